// The frame decoder reads whatever listens on the game client's port. Any byte stream, cut
// into any pieces, must decode to the same events as the whole stream fed at once; control
// frames never exceed 125 bytes; nothing is ever buffered that was not fed; and every decoded
// frame, encoded and masked again, decodes back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "net/websocket_frame.h"

namespace {

using Kind = vornet::WebSocketFrameEvent::Kind;

struct Whole {
    Kind kind;
    std::uint8_t opcode;
    bool final;
    std::string payload;
};

// Feeds `input` in pieces of the given sizes (cycled), joining data pieces into whole frames.
std::vector<Whole> decode(std::string_view input, const std::vector<std::size_t>& cuts) {
    vornet::WebSocketFrameDecoder decoder;
    std::vector<Whole> frames;
    std::string data;
    std::size_t fed = 0, cut = 0;
    for (;;) {
        vornet::WebSocketFrameEvent event = decoder.next();
        if (decoder.buffered() > fed) std::abort();
        if (event.kind == Kind::NeedMore) {
            if (fed == input.size()) break;
            const std::size_t n = cuts.empty() ? input.size() : std::max<std::size_t>(1, cuts[cut++ % cuts.size()]);
            const std::size_t take = std::min(n, input.size() - fed);
            decoder.feed(input.substr(fed, take));
            fed += take;
            continue;
        }
        if (event.kind == Kind::ProtocolError) {
            if (decoder.next().kind != Kind::ProtocolError) std::abort();  // broken stays broken
            frames.push_back({Kind::ProtocolError, 0, false, {}});
            break;
        }
        if (event.kind == Kind::Control) {
            if (event.payload.size() > 125 || !event.final || !event.frameEnd || event.opcode < 0x8) std::abort();
            frames.push_back({Kind::Control, event.opcode, event.final, std::move(event.payload)});
            continue;
        }
        if (event.opcode > 0x2) std::abort();
        data += event.payload;
        if (event.frameEnd) {
            frames.push_back({Kind::Data, event.opcode, event.final, std::move(data)});
            data.clear();
        }
    }
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size < 1) return 0;
    // The first byte chooses how the rest is cut: 0 feeds it whole, else pieces of 1..n bytes.
    const std::size_t pieces = bytes[0] % 8;
    std::vector<std::size_t> cuts;
    for (std::size_t i = 0; i < pieces; ++i) cuts.push_back(1 + (bytes[0] >> 3) % 5 + i * 3);
    const std::string_view input(reinterpret_cast<const char*>(bytes) + 1, size - 1);
    const std::vector<Whole> whole = decode(input, {});
    const std::vector<Whole> cut = decode(input, cuts);
    if (whole.size() != cut.size()) std::abort();
    for (std::size_t i = 0; i < whole.size(); ++i) {
        if (whole[i].kind != cut[i].kind || whole[i].opcode != cut[i].opcode || whole[i].final != cut[i].final ||
            whole[i].payload != cut[i].payload)
            std::abort();
    }
    // Every decoded frame, encoded again (masked, as a client would), decodes to itself.
    const vornet::WebSocketMask mask{bytes[0], 0x5A, 0xC3, static_cast<std::uint8_t>(size)};
    for (const Whole& frame : whole) {
        if (frame.kind == Kind::ProtocolError) break;
        const std::string encoded = vornet::encodeWebSocketFrame(frame.opcode, frame.final, frame.payload, mask);
        const std::vector<Whole> again = decode(encoded, cuts);
        if (again.size() != 1 || again[0].kind != frame.kind || again[0].opcode != frame.opcode ||
            again[0].final != frame.final || again[0].payload != frame.payload)
            std::abort();
    }
    return 0;
}
