#include "net/websocket_frame.h"

#include <algorithm>

namespace vornet {

std::string encodeWebSocketFrame(std::uint8_t opcode, bool final, std::string_view payload,
                                 const std::optional<WebSocketMask>& mask) {
    std::string frame;
    frame.push_back(static_cast<char>((final ? 0x80 : 0) | (opcode & 0x0F)));
    const std::uint8_t maskBit = mask ? 0x80 : 0;
    const std::uint64_t length = payload.size();
    if (length < 126) {
        frame.push_back(static_cast<char>(maskBit | length));
    } else if (length <= 0xFFFF) {
        frame.push_back(static_cast<char>(maskBit | 126));
        frame.push_back(static_cast<char>(length >> 8));
        frame.push_back(static_cast<char>(length & 0xFF));
    } else {
        frame.push_back(static_cast<char>(maskBit | 127));
        for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<char>((length >> shift) & 0xFF));
    }
    if (!mask) return frame.append(payload);
    frame.append(reinterpret_cast<const char*>(mask->data()), mask->size());
    for (std::size_t i = 0; i < payload.size(); ++i)
        frame.push_back(static_cast<char>(static_cast<std::uint8_t>(payload[i]) ^ (*mask)[i % 4]));
    return frame;
}

WebSocketFrameEvent WebSocketFrameDecoder::next() {
    WebSocketFrameEvent event;
    if (broken_) {
        event.kind = WebSocketFrameEvent::Kind::ProtocolError;
        return event;
    }
    if (!inFrame_) {
        if (input_.size() < 2) return event;
        const auto* bytes = reinterpret_cast<const unsigned char*>(input_.data());
        std::size_t header = 2;
        std::uint64_t length = bytes[1] & 0x7F;
        const bool masked = (bytes[1] & 0x80) != 0;
        if (length == 126) header += 2;
        if (length == 127) header += 8;
        if (masked) header += 4;
        if (input_.size() < header) return event;
        // Exclusive: a two-byte length may itself be 127.
        if (length == 126) {
            length = (std::uint64_t(bytes[2]) << 8) | bytes[3];
        } else if (length == 127) {
            length = 0;
            for (int i = 0; i < 8; ++i) length = (length << 8) | bytes[2 + i];
        }
        final_ = (bytes[0] & 0x80) != 0;
        opcode_ = bytes[0] & 0x0F;
        masked_ = masked;
        if (masked) std::copy_n(bytes + header - 4, 4, mask_.begin());
        remaining_ = length;
        offset_ = 0;
        inFrame_ = true;
        input_.erase(0, header);
        const bool control = opcode_ >= 0x8;
        if ((control && (length > 125 || !final_)) || (opcode_ > ws_opcode::kBinary && opcode_ < ws_opcode::kClose) ||
            opcode_ > ws_opcode::kPong) {
            broken_ = true;
            input_.clear();
            event.kind = WebSocketFrameEvent::Kind::ProtocolError;
            return event;
        }
    }
    event.opcode = opcode_;
    event.final = final_;
    if (opcode_ >= 0x8) {
        if (input_.size() < remaining_) return event;
        event.kind = WebSocketFrameEvent::Kind::Control;
        event.payload = input_.substr(0, remaining_);
        input_.erase(0, remaining_);
        unmask(event.payload);
        event.frameEnd = true;
        inFrame_ = false;
        return event;
    }
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, input_.size()));
    if (take == 0 && remaining_ > 0) return event;
    event.kind = WebSocketFrameEvent::Kind::Data;
    event.payload = input_.substr(0, take);
    input_.erase(0, take);
    unmask(event.payload);
    remaining_ -= take;
    event.frameEnd = remaining_ == 0;
    if (event.frameEnd) inFrame_ = false;
    return event;
}

void WebSocketFrameDecoder::unmask(std::string& piece) {
    if (!masked_) return;
    for (char& c : piece) c = static_cast<char>(static_cast<std::uint8_t>(c) ^ mask_[offset_++ % 4]);
}

}  // namespace vornet
