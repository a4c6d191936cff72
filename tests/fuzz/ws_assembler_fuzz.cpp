// Received WebSocket frames come from the game client, or from whatever listens on its port:
// any sequence of frames must be assembled into exactly the text messages a simple model
// gives, never one past the size limit, never binary data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "net/http_policy.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Frame = vornet::TextMessageAssembler::Frame;
    // Two bytes per frame, at most 16 frames: control (bit 0 binary, bit 1 final, bits 2-4 all
    // set for a big frame, bits 3-7 a count) and the byte a small frame repeats. A big frame
    // is (count / 4) eighths of the limit (two pass it), taken from one shared block.
    static const std::string big(2 * vornet::kMaxMessageBytes, 'B');
    vornet::TextMessageAssembler assembler;
    std::string expected;  // the model: the text message being assembled
    bool dropped = false;  // the model: the current message passed the limit
    for (std::size_t i = 0; i + 1 < size && i < 32; i += 2) {
        const Frame kind = (data[i] & 1) ? Frame::Binary : Frame::Text;
        const bool final = (data[i] & 2) != 0;
        const std::size_t count = data[i] >> 3;
        std::string small;
        std::string_view frame;
        if ((data[i] & 0x1C) == 0x1C) {
            frame = std::string_view(big).substr(0, (count >> 2) * (vornet::kMaxMessageBytes / 8));
        } else {
            small.assign(count, static_cast<char>(data[i + 1]));
            frame = small;
        }
        const std::optional<std::string> message = assembler.add(kind, frame, final);
        if (assembler.pendingBytes() > vornet::kMaxMessageBytes) std::abort();
        if (kind == Frame::Binary) {
            if (message) std::abort();  // binary data is never delivered
            expected.clear();
            dropped = false;
            continue;
        }
        if (!dropped) {
            if (expected.size() + frame.size() > vornet::kMaxMessageBytes) {
                dropped = true;
                expected.clear();
            } else {
                expected += frame;
            }
        }
        if (!final) {
            if (message) std::abort();
            continue;
        }
        if (dropped ? message.has_value() : (!message || *message != expected)) std::abort();
        expected.clear();
        dropped = false;
    }
    return 0;
}
