#include "net/websocket_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vornet {
namespace {

using Kind = WebSocketFrameEvent::Kind;

std::string bytes(std::initializer_list<unsigned> values) {
    std::string out;
    for (unsigned v : values) out.push_back(static_cast<char>(v));
    return out;
}

// Feeds everything, then collects events until the decoder needs more or fails.
std::vector<WebSocketFrameEvent> decodeAll(WebSocketFrameDecoder& decoder, const std::string& input) {
    decoder.feed(input);
    std::vector<WebSocketFrameEvent> events;
    for (;;) {
        WebSocketFrameEvent event = decoder.next();
        if (event.kind == Kind::NeedMore) break;
        const bool failed = event.kind == Kind::ProtocolError;
        events.push_back(std::move(event));
        if (failed) break;
    }
    return events;
}

// Catches a wrong length form at each boundary (125/126, 65535/65536), a length in the wrong
// byte order, a mask bit missing or set on a server frame, and a payload not masked with the
// key in its byte order.
TEST(WebSocketFrame, EncodesEachLengthForm) {
    const WebSocketMask key{0x01, 0x02, 0x04, 0x08};
    struct Case {
        const char* name;
        std::uint8_t opcode;
        bool final;
        std::size_t length;
        bool masked;
        std::string header;  // bytes before the (masked) payload
    };
    const Case cases[] = {
        {"empty text", 0x1, true, 0, false, bytes({0x81, 0x00})},
        {"125 bytes in the short form", 0x2, true, 125, false, bytes({0x82, 125})},
        {"126 needs two length bytes", 0x1, true, 126, false, bytes({0x81, 126, 0x00, 126})},
        {"65535 is the last two-byte length", 0x0, false, 65535, false, bytes({0x00, 126, 0xFF, 0xFF})},
        {"65536 needs eight length bytes", 0x1, false, 65536, false,
         bytes({0x01, 127, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00})},
        {"masked short", 0x9, true, 3, true, bytes({0x89, 0x83, 0x01, 0x02, 0x04, 0x08})},
        {"masked two-byte length", 0x1, true, 300, true, bytes({0x81, 0xFE, 0x01, 0x2C, 0x01, 0x02, 0x04, 0x08})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string payload(c.length, '\0');
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
        const std::string frame =
            encodeWebSocketFrame(c.opcode, c.final, payload, c.masked ? std::optional(key) : std::nullopt);
        ASSERT_EQ(frame.size(), c.header.size() + c.length);
        EXPECT_EQ(frame.substr(0, c.header.size()), c.header);
        std::string body = frame.substr(c.header.size());
        if (c.masked)
            for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(body[i] ^ key[i % 4]);
        EXPECT_EQ(body, payload);
    }
}

// Catches a decoder that mis-reads a length form (127 in the two-byte form taken for the
// eight-byte marker), forgets to unmask (or unmasks with the key
// restarted at each piece), loses the FIN bit or the opcode, or cannot be fed one byte at a time.
TEST(WebSocketFrame, DecodesWhatTheEncoderWrote) {
    const WebSocketMask key{0xA5, 0x5A, 0xFF, 0x00};
    struct Case {
        const char* name;
        std::uint8_t opcode;
        bool final;
        std::size_t length;
        bool masked;
    };
    const Case cases[] = {
        {"127 in the two-byte form, masked", 0x1, true, 127, true},
        {"127 in the two-byte form", 0x2, true, 127, false},
        {"empty unmasked text", 0x1, true, 0, false},
        {"short masked text", 0x1, true, 5, true},
        {"125 masked binary", 0x2, false, 125, true},
        {"126 unmasked continuation", 0x0, true, 126, false},
        {"65535 masked text", 0x1, false, 65535, true},
        {"65536 unmasked binary", 0x2, true, 65536, false},
        {"masked ping", 0x9, true, 125, true},
        {"close with a code", 0x8, true, 2, false},
    };
    for (const Case& c : cases) {
        for (bool byteByByte : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (byteByByte ? ", one byte at a time" : ", all at once"));
            std::string payload(c.length, '\0');
            for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + 3);
            const std::string frame =
                encodeWebSocketFrame(c.opcode, c.final, payload, c.masked ? std::optional(key) : std::nullopt);
            WebSocketFrameDecoder decoder;
            std::vector<WebSocketFrameEvent> events;
            if (byteByByte) {
                for (char b : frame) {
                    auto more = decodeAll(decoder, std::string(1, b));
                    for (auto& e : more) events.push_back(std::move(e));
                }
            } else {
                events = decodeAll(decoder, frame);
            }
            ASSERT_FALSE(events.empty());
            std::string got;
            for (std::size_t i = 0; i < events.size(); ++i) {
                const bool control = c.opcode >= 0x8;
                EXPECT_EQ(events[i].kind, control ? Kind::Control : Kind::Data);
                EXPECT_EQ(events[i].opcode, c.opcode);
                EXPECT_EQ(events[i].final, c.final);
                EXPECT_EQ(events[i].frameEnd, i + 1 == events.size());
                got += events[i].payload;
            }
            if (c.opcode >= 0x8) {
                EXPECT_EQ(events.size(), 1u);  // control frames come out whole
            }
            EXPECT_EQ(got, payload);
            EXPECT_EQ(decoder.buffered(), 0u);
        }
    }
}

// Catches frames that run into each other: a length that consumes the next frame's header, or
// a data frame held back until the next one arrives.
TEST(WebSocketFrame, DecodesFramesBackToBack) {
    const std::string input = encodeWebSocketFrame(0x1, false, "hello ") + encodeWebSocketFrame(0x9, true, "p") +
                              encodeWebSocketFrame(0x0, true, "world") + encodeWebSocketFrame(0x2, true, "");
    WebSocketFrameDecoder decoder;
    const auto events = decodeAll(decoder, input);
    struct Expected {
        Kind kind;
        std::uint8_t opcode;
        bool final;
        const char* payload;
    };
    const Expected expected[] = {
        {Kind::Data, 0x1, false, "hello "},
        {Kind::Control, 0x9, true, "p"},
        {Kind::Data, 0x0, true, "world"},
        {Kind::Data, 0x2, true, ""},
    };
    ASSERT_EQ(events.size(), std::size(expected));
    for (std::size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(events[i].kind, expected[i].kind);
        EXPECT_EQ(events[i].opcode, expected[i].opcode);
        EXPECT_EQ(events[i].final, expected[i].final);
        EXPECT_TRUE(events[i].frameEnd);
        EXPECT_EQ(events[i].payload, expected[i].payload);
    }
}

// Catches a huge announced data frame being buffered whole: what was fed comes out at once,
// and the frame ends only when its last byte arrived.
TEST(WebSocketFrame, HandsOutDataPiecesAsTheyArrive) {
    const std::string frame = encodeWebSocketFrame(0x1, true, std::string(70000, 'x'));
    WebSocketFrameDecoder decoder;
    decoder.feed(std::string_view(frame).substr(0, 10 + 1000));
    WebSocketFrameEvent first = decoder.next();
    EXPECT_EQ(first.kind, Kind::Data);
    EXPECT_EQ(first.payload.size(), 1000u);
    EXPECT_FALSE(first.frameEnd);
    EXPECT_EQ(decoder.next().kind, Kind::NeedMore);
    decoder.feed(std::string_view(frame).substr(10 + 1000));
    WebSocketFrameEvent rest = decoder.next();
    EXPECT_EQ(rest.kind, Kind::Data);
    EXPECT_EQ(rest.payload.size(), 69000u);
    EXPECT_TRUE(rest.frameEnd);
}

// Catches the control-frame rules and reserved opcodes going unchecked, and a decoder that
// carries on reading after it declared the stream broken.
TEST(WebSocketFrame, RejectsFramesOutsideTheProtocol) {
    struct Case {
        const char* name;
        std::string input;
        Kind first;  // what the first call says
    };
    const Case cases[] = {
        {"fragmented ping", encodeWebSocketFrame(0x9, false, "p"), Kind::ProtocolError},
        {"fragmented close", encodeWebSocketFrame(0x8, false, ""), Kind::ProtocolError},
        {"ping of 126 bytes", encodeWebSocketFrame(0x9, true, std::string(126, 'p')), Kind::ProtocolError},
        {"opcode 3", bytes({0x83, 0x00}), Kind::ProtocolError},
        {"opcode 7", bytes({0x87, 0x00}), Kind::ProtocolError},
        {"opcode 0xB", bytes({0x8B, 0x00}), Kind::ProtocolError},
        {"opcode 0xF", bytes({0x8F, 0x00}), Kind::ProtocolError},
        {"ping of 125 bytes is allowed", encodeWebSocketFrame(0x9, true, std::string(125, 'p')), Kind::Control},
        {"pong is allowed", encodeWebSocketFrame(0xA, true, "q"), Kind::Control},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WebSocketFrameDecoder decoder;
        decoder.feed(c.input + encodeWebSocketFrame(0x1, true, "after"));
        EXPECT_EQ(decoder.next().kind, c.first);
        const Kind then = decoder.next().kind;
        if (c.first == Kind::ProtocolError) {
            EXPECT_EQ(then, Kind::ProtocolError);
        } else {
            EXPECT_EQ(then, Kind::Data);
        }
    }
}

// Catches a header read before all of it arrived: a partial extended length or mask key must
// wait, not be taken from whatever bytes are there.
TEST(WebSocketFrame, WaitsForTheWholeHeader) {
    const WebSocketMask key{1, 2, 3, 4};
    struct Case {
        const char* name;
        std::string frame;
        std::size_t headerBytes;
        const char* firstByte;  // the first payload byte, unmasked
    };
    const Case cases[] = {
        {"two-byte length", encodeWebSocketFrame(0x1, true, std::string(200, 'a')), 4, "a"},
        {"eight-byte length", encodeWebSocketFrame(0x1, true, std::string(70000, 'c')), 10, "c"},
        {"mask key", encodeWebSocketFrame(0x1, true, "xyz", key), 6, "x"},
        {"eight-byte length and mask", encodeWebSocketFrame(0x2, true, std::string(65536, 'b'), key), 14, "b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WebSocketFrameDecoder decoder;
        for (std::size_t i = 0; i + 1 < c.headerBytes; ++i) {
            decoder.feed(c.frame.substr(i, 1));
            EXPECT_EQ(decoder.next().kind, Kind::NeedMore) << "after " << i + 1 << " header bytes";
        }
        decoder.feed(c.frame.substr(c.headerBytes - 1, 2));
        WebSocketFrameEvent event = decoder.next();
        EXPECT_EQ(event.kind, Kind::Data);
        EXPECT_EQ(event.payload, c.firstByte);
        EXPECT_FALSE(event.frameEnd);
    }
}

}  // namespace
}  // namespace vornet
