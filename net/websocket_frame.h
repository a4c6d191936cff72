// WebSocket framing (RFC 6455) without any transport: an encoder for one frame and an
// incremental decoder that takes bytes as they arrive. The decoder hands out a data frame's
// payload piece by piece, so a frame that announces a huge length never makes the caller
// buffer more than what was fed; control frames are short and come out whole.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vornet {

namespace ws_opcode {
inline constexpr std::uint8_t kContinuation = 0x0;
inline constexpr std::uint8_t kText = 0x1;
inline constexpr std::uint8_t kBinary = 0x2;
inline constexpr std::uint8_t kClose = 0x8;
inline constexpr std::uint8_t kPing = 0x9;
inline constexpr std::uint8_t kPong = 0xA;
}  // namespace ws_opcode

using WebSocketMask = std::array<std::uint8_t, 4>;

// One frame: the shortest length form that fits, the payload masked when a mask is given
// (a client's frames are always masked, a server's never).
std::string encodeWebSocketFrame(std::uint8_t opcode, bool final, std::string_view payload,
                                 const std::optional<WebSocketMask>& mask = std::nullopt);

// What the decoder found in the bytes fed so far.
struct WebSocketFrameEvent {
    enum class Kind {
        NeedMore,       // nothing complete yet: feed more bytes
        Data,           // a piece of a text, binary or continuation frame
        Control,        // a whole close, ping or pong frame
        ProtocolError,  // a reserved opcode, or a control frame that is fragmented or too long
    };
    Kind kind = Kind::NeedMore;
    std::uint8_t opcode = 0;  // the frame's own opcode (0 for a continuation)
    bool final = false;       // the frame's FIN bit
    bool frameEnd = false;    // Data: this piece is the last of its frame
    std::string payload;      // unmasked
};

class WebSocketFrameDecoder {
public:
    // Appends received bytes; nothing is decoded until next() is called.
    void feed(std::string_view bytes) { input_.append(bytes); }
    // The next event; after ProtocolError the stream cannot be decoded any further and every
    // later call returns ProtocolError again.
    WebSocketFrameEvent next();
    // Bytes fed but not yet decoded.
    std::size_t buffered() const { return input_.size(); }

private:
    void unmask(std::string& piece);

    std::string input_;
    bool inFrame_ = false;
    bool broken_ = false;
    bool final_ = false;
    bool masked_ = false;
    WebSocketMask mask_{};
    std::uint8_t opcode_ = 0;
    std::uint64_t remaining_ = 0;
    std::uint64_t offset_ = 0;
};

}  // namespace vornet
