#include "net/http_policy.h"

#include <gtest/gtest.h>

namespace vornet {
namespace {

// The verdict a table row names: "" for accepted.
std::optional<std::string> verdict(const char* reason) {
    if (*reason == '\0') return std::nullopt;
    return std::string(reason);
}

HttpRequest pinnedTo(std::vector<std::string> roots) {
    HttpRequest request;
    request.tlsMode = TlsMode::PinnedRoots;
    request.pinnedRoots = std::move(roots);
    return request;
}

// Catches a chain accepted without ending in a pinned root, a prefix or longer root accepted as
// equal, and the reasons given in the wrong precedence.
TEST(JudgeChain, ReasonsInPrecedence) {
    const HttpRequest request = pinnedTo({"ROOT-A", "ROOT-B"});
    struct Case {
        const char* name;
        ChainFacts facts;
        const char* reason;
    };
    const Case cases[] = {
        {"accepted", {true, "ROOT-B", false, 0}, ""},
        {"no chain", {false, "ROOT-A", false, 0}, "cannot build certificate chain"},
        {"empty top", {true, "", false, 0}, "cannot build certificate chain"},
        {"other root", {true, "ROOT-C", true, 7}, "certificate does not chain to the configured root"},
        {"prefix of a root", {true, "ROOT-", false, 0}, "certificate does not chain to the configured root"},
        {"root with more bytes", {true, "ROOT-A ", false, 0}, "certificate does not chain to the configured root"},
        {"expired beats other errors", {true, "ROOT-A", true, 0x10}, "certificate expired or not yet valid"},
        {"other error in hex", {true, "ROOT-A", false, 0x2a}, "certificate chain error 0x2a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(judgeChain(c.facts, request), verdict(c.reason));
    }
}

// Validity dates count for every server but the game client on loopback, whose leaf key ships
// with every install. Catches dates judged towards loopback, dates ignored towards any other
// host (an aggregator with its own CA file), and the allowance hiding a foreign root or another
// chain fault.
TEST(JudgeChain, DatesTowardsLoopbackOnly) {
    struct Case {
        const char* host;
        ChainFacts facts;
        const char* reason;
    };
    const Case cases[] = {
        {"127.0.0.1", {true, "ROOT-A", true, 0}, ""},
        {"localhost", {true, "ROOT-A", true, 0}, ""},
        {"::1", {true, "ROOT-B", true, 0}, ""},
        {"127.0.0.1", {true, "ROOT-C", true, 0}, "certificate does not chain to the configured root"},
        {"127.0.0.1", {true, "ROOT-A", true, 0x2a}, "certificate chain error 0x2a"},
        {"127.0.0.2", {true, "ROOT-A", true, 0}, "certificate expired or not yet valid"},
        {"aggregator.example", {true, "ROOT-A", true, 0}, "certificate expired or not yet valid"},
        {"", {true, "ROOT-A", true, 0}, "certificate expired or not yet valid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        HttpRequest request = pinnedTo({"ROOT-A", "ROOT-B"});
        request.host = c.host;
        EXPECT_EQ(judgeChain(c.facts, request), verdict(c.reason));
    }
}

// Catches a failed or unchecked probe that passes, and the wrong text or flag for each outcome.
TEST(FirstContact, Outcomes) {
    struct Case {
        const char* name;
        ProbeOutcome outcome;
        bool passes;
        const char* error;
        bool tlsFailure;
    };
    const Case cases[] = {
        {"checked and accepted", {std::nullopt, true, false, "", TransportFailure{"timed out"}}, true, "", false},
        {"not prepared",
         {TransportFailure{"WinHTTP session unavailable"}, false, false, "", std::nullopt},
         false,
         "WinHTTP session unavailable",
         false},
        {"rejected",
         {std::nullopt, true, true, "certificate expired or not yet valid", TransportFailure{"x"}},
         false,
         "TLS certificate rejected: certificate expired or not yet valid",
         true},
        {"transport failure",
         {std::nullopt, false, false, "", TransportFailure{"connection refused"}},
         false,
         "connection refused",
         true},
        {"never checked",
         {std::nullopt, false, false, "", std::nullopt},
         false,
         "TLS certificate could not be checked",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto failure = firstContactFailure(c.outcome);
        EXPECT_EQ(!failure.has_value(), c.passes);
        if (!failure) continue;
        const HttpResponse response = failedResponse(*failure);
        EXPECT_EQ(response.status, 0);
        EXPECT_EQ(response.error, c.error);
        EXPECT_EQ(response.tlsFailure, c.tlsFailure);
        EXPECT_TRUE(response.body.empty());
    }
}

// Catches relaxations granted to hosts that only look local, and name checks kept or dropped
// in the wrong mode.
TEST(Policy, HostNameCheckAndLoopbackRule) {
    struct Case {
        const char* host;
        TlsMode mode;
        bool allowMismatch;
        bool https;
        bool checksName;
    };
    const Case cases[] = {
        {"127.0.0.1", TlsMode::System, true, true, true},       {"127.0.0.1", TlsMode::PinnedRoots, false, true, true},
        {"127.0.0.1", TlsMode::PinnedRoots, true, true, false}, {"::1", TlsMode::PinnedRoots, true, true, false},
        {"127.0.0.2", TlsMode::PinnedRoots, true, true, true},  {"localhost.", TlsMode::PinnedRoots, true, true, true},
        {"localhost", TlsMode::Insecure, false, true, false},   {"localhost", TlsMode::System, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        HttpRequest request;
        request.host = c.host;
        request.tlsMode = c.mode;
        request.allowLoopbackNameMismatch = c.allowMismatch;
        request.https = c.https;
        EXPECT_EQ(checksHostName(request), c.checksName);
    }
    HttpRequest plain;
    plain.https = false;
    plain.host = "localhost.";
    auto refused = checkRequestPolicy(plain);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->error, "plain HTTP is only permitted for loopback addresses");
    EXPECT_FALSE(refused->tlsFailure);
    plain.host = "::1";
    EXPECT_EQ(checkRequestPolicy(plain), std::nullopt);
}

// Each row feeds frames in order; `out` is what each frame yields. Catches fragments delivered
// early, binary data delivered or leaking into text, an off-by-one at 32 MiB, and the tail of
// an oversized message delivered as if it were whole.
TEST(TextMessageAssembler, FramesToMessages) {
    using F = TextMessageAssembler::Frame;
    struct Step {
        F kind;
        std::string data;
        bool final;
        std::optional<std::string> out;
    };
    const std::string half(kMaxMessageBytes / 2, 'h');
    const std::vector<std::pair<const char*, std::vector<Step>>> cases = {
        {"fragments", {{F::Text, "a", false, {}}, {F::Text, "b", false, {}}, {F::Text, "c", true, "abc"}}},
        {"binary drops partial",
         {{F::Text, "part", false, {}}, {F::Binary, "\x01", true, {}}, {F::Text, "whole", true, "whole"}}},
        {"binary fragments", {{F::Binary, "x", false, {}}, {F::Binary, "y", true, {}}, {F::Text, "t", true, "t"}}},
        {"empty message", {{F::Text, "", true, ""}}},
        {"exactly the cap", {{F::Text, half, false, {}}, {F::Text, half, true, half + half}}},
        {"one byte over",
         {{F::Text, half, false, {}},
          {F::Text, half + "x", false, {}},
          {F::Text, "tail", true, std::nullopt},
          {F::Text, "next", true, "next"}}},
    };
    for (const auto& [name, steps] : cases) {
        SCOPED_TRACE(name);
        TextMessageAssembler assembler;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE(i);
            auto out = assembler.add(steps[i].kind, steps[i].data, steps[i].final);
            ASSERT_EQ(out.has_value(), steps[i].out.has_value());
            if (out) {
                EXPECT_TRUE(*out == *steps[i].out);
            }
        }
    }
}

TEST(Policy, TruncationText) {
    EXPECT_EQ(truncatedError(""), "response truncated");
    EXPECT_EQ(truncatedError("connection reset"), "response truncated: connection reset");
}

}  // namespace
}  // namespace vornet
