#include "net/winhttp_client_win.h"

#include "core/text.h"
#include "net/winhttp_async_win.h"

#include <cstdio>
#include <cstring>

namespace vornet {

namespace {

constexpr DWORD kSecureProtocolsModern = 0x2800;  // TLS 1.2 | TLS 1.3
constexpr DWORD kSecureProtocolsTls12 = 0x800;
constexpr DWORD kSecureFlag = 0x800000;  // WINHTTP_FLAG_SECURE
constexpr DWORD kIgnoreUnknownCa = 0x100;
constexpr DWORD kIgnoreNameMismatch = 0x1000;
constexpr DWORD kIgnoreDateInvalid = 0x2000;
constexpr DWORD kIgnoreAll = 0x3300;  // unknown CA, wrong usage, name mismatch, dates
constexpr DWORD kSendingRequestFlags = 0x30;

constexpr DWORD kCodeTimeout = 12002;
constexpr DWORD kCodeNameNotResolved = 12007;
constexpr DWORD kCodeCancelled = 12017;
constexpr DWORD kCodeCannotConnect = 12029;
constexpr DWORD kCodeConnectionReset = 12030;
constexpr DWORD kCodeSecureChannel = 12157;
constexpr DWORD kCodeSecureFailure = 12175;
constexpr DWORD kCodeWsaTimedOut = 10060;
constexpr DWORD kCodeWsaConnectionReset = 10054;

using win::wide;

void setSecureProtocols(HINTERNET session) {
    DWORD flags = kSecureProtocolsModern;
    if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &flags, sizeof(flags))) {
        flags = kSecureProtocolsTls12;
        WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &flags, sizeof(flags));
    }
}

win::WinHttpHandle openSession(const WideString& agent, DWORD accessType, DWORD flags) {
    return win::WinHttpHandle(
        WinHttpOpen(wide(agent), accessType, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, flags));
}

// Direct and proxy sessions for one mode (synchronous or asynchronous).
void openSessions(const WideString& agent, DWORD flags, win::WinHttpHandle& direct, win::WinHttpHandle& proxy) {
    direct = openSession(agent, WINHTTP_ACCESS_TYPE_NO_PROXY, flags);
    proxy = openSession(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, flags);
    if (!proxy) {
        proxy = openSession(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, flags);
    }
    for (auto* session : {&direct, &proxy}) {
        if (*session) {
            setSecureProtocols(session->get());
        }
    }
}

std::optional<std::uint64_t> contentLength(HINTERNET request) {
    wchar_t buffer[32] = {};
    DWORD size = sizeof(buffer);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, buffer, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (const wchar_t* p = buffer; *p; ++p) {
        if (*p == L' ' || *p == L'\t') {
            continue;
        }
        if (*p < L'0' || *p > L'9' || digits >= 19) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(*p - L'0');
        ++digits;
    }
    if (digits == 0) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string describeError(unsigned long code) {
    switch (code) {
        case kCodeTimeout:
        case kCodeWsaTimedOut:  // wine reports socket time-outs with the Winsock code
            return kErrTimedOut;
        case kCodeNameNotResolved:
            return kErrNotResolved;
        case kCodeCancelled:
            return kErrCancelled;
        case kCodeCannotConnect:
            return kErrRefused;
        case kCodeConnectionReset:
        case kCodeWsaConnectionReset:  // wine reports a reset with the Winsock code
            return kErrReset;
        case kCodeSecureFailure:
        case kCodeSecureChannel:  // a handshake the TLS layer refused (wine: any certificate problem)
            return kErrTlsValidation;
        default:
            return "WinHTTP error " + std::to_string(code);
    }
}

bool isTlsErrorCode(unsigned long code) {
    return code == kCodeSecureFailure || code == kCodeSecureChannel;
}

TransportFailure sendFailure(unsigned long code) {
    return TransportFailure{describeError(code), isTlsErrorCode(code)};
}

namespace {

constexpr const char* kReasonNotTrusted = "certificate not trusted by the system";
constexpr const char* kReasonNameMismatch = "certificate not issued for this host";

// The SSL policy's verdict on a built chain for `host` (0: it holds), with `ignore` made of
// the same flags WinHTTP takes as security flags.
DWORD sslPolicyError(PCCERT_CHAIN_CONTEXT chain, const std::string& host, DWORD ignore) {
    WideString name = utf8ToWide(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA extra = {};
    extra.cbStruct = sizeof(extra);
    extra.dwAuthType = AUTHTYPE_SERVER;
    extra.fdwChecks = ignore;
    extra.pwszServerName = const_cast<wchar_t*>(wide(name));
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof(policy);
    policy.pvExtraPolicyPara = &extra;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
        return GetLastError() != 0 ? GetLastError() : static_cast<DWORD>(-1);
    }
    return status.dwError;
}

// The full platform judgement (system roots, dates, host name) of a certificate the TLS layer
// may not have judged for this request: one on a kept connection.
std::optional<std::string> verifySystemTrust(PCCERT_CONTEXT serverCertificate, const HttpRequest& request) {
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    PCCERT_CHAIN_CONTEXT rawChain = nullptr;
    if (!CertGetCertificateChain(nullptr, serverCertificate, nullptr, serverCertificate->hCertStore, &para, 0, nullptr,
                                 &rawChain)) {
        return kReasonNoChain;
    }
    win::CertChain chain(rawChain);
    // Every fault of the chain counts, whatever the policy says of it: wine's SSL policy, for
    // one, passes a chain that never reached a root.
    const DWORD faults = chain.get()->TrustStatus.dwErrorStatus &
                         ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    if (faults != 0 || sslPolicyError(chain.get(), request.host, 0) != 0) {
        return kReasonNotTrusted;
    }
    return {};
}

}  // namespace

bool checksCertificateItself(const HttpRequest& request) {
    return usesPinnedRoots(request) ||
           (request.https && request.tlsMode == TlsMode::System && isLoopbackHost(request.host));
}

bool keepsConnection(const HttpRequest& request) {
    return !request.https || request.tlsMode == TlsMode::System ||
           (request.tlsMode == TlsMode::PinnedRoots && isLoopbackHost(request.host));
}

std::optional<std::string> verifyChain(PCCERT_CONTEXT serverCertificate, const HttpRequest& request) {
    if (request.tlsMode == TlsMode::System) {
        return verifySystemTrust(serverCertificate, request);
    }
    win::CertStore store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!store) {
        return kReasonNoStore;
    }
    for (const std::string& root : request.pinnedRoots) {
        CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(root.data()),
                                         static_cast<DWORD>(root.size()), CERT_STORE_ADD_ALWAYS, nullptr);
    }
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    PCCERT_CHAIN_CONTEXT rawChain = nullptr;
    ChainFacts facts;
    win::CertChain chain;
    if (CertGetCertificateChain(nullptr, serverCertificate, nullptr, store.get(), &para, 0, nullptr, &rawChain)) {
        chain.reset(rawChain);
        if (chain.get()->cChain != 0 && chain.get()->rgpChain[0]->cElement != 0) {
            const CERT_SIMPLE_CHAIN* simple = chain.get()->rgpChain[0];
            PCCERT_CONTEXT top = simple->rgpElement[simple->cElement - 1]->pCertContext;
            facts.built = true;
            facts.top.assign(reinterpret_cast<const char*>(top->pbCertEncoded), top->cbCertEncoded);
            // The pinned root is not in the system store, so the engine calls it untrusted;
            // revocation is not checked.
            DWORD status = chain.get()->TrustStatus.dwErrorStatus &
                           ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                               CERT_TRUST_IS_OFFLINE_REVOCATION);
            facts.timeInvalid = (status & CERT_TRUST_IS_NOT_TIME_VALID) != 0;
            // Kept apart from the dates, which do not count towards loopback: a chain with
            // another fault as well must still be refused there.
            facts.otherErrors =
                status & ~static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED);
        }
    }
    std::optional<std::string> reason = judgeChain(facts, request);
    // Connections to a loopback host are kept, so this request may ride one whose handshake
    // ignored the host name: the name is judged here too when the request wants it.
    if (!reason && checksHostName(request) && isLoopbackHost(request.host) &&
        sslPolicyError(chain.get(), request.host, kIgnoreUnknownCa | kIgnoreDateInvalid) != 0) {
        return kReasonNameMismatch;
    }
    return reason;
}

namespace win {

const wchar_t* wide(const WideString& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

void runPinCheck(HINTERNET request, PinCheck& check) {
    PCCERT_CONTEXT raw = nullptr;
    DWORD size = sizeof(raw);
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) || raw == nullptr) {
        check.reason = kReasonNoCertificate;
        check.checked = true;
        check.rejected = true;
    } else {
        CertContext certificate(raw);
        if (auto reason = verifyChain(certificate.get(), check.request)) {
            check.reason = std::move(*reason);
            check.rejected = true;
        }
        check.checked = true;
    }
    // Closing the handle aborts the request on Windows; wine sends it anyway, so the result is
    // decided by `rejected`, never by whether the send failed.
    if (check.rejected && !check.handleClosed.exchange(true)) {
        WinHttpCloseHandle(request);
    }
}

std::optional<TransportFailure> judgeSend(const HttpRequest& request, bool sent, DWORD error, PinCheck* check,
                                          VerifiedPairs& verified) {
    if (check && check->rejected) {
        if (usesPinnedRoots(request)) {
            verified.remove(VerifiedPairs::key(request));
        }
        // What a handshake of this request's own would have refused fails as that handshake does.
        if (!usesPinnedRoots(request) || check->reason == kReasonNameMismatch) {
            return TransportFailure{kErrTlsValidation, true};
        }
        return TransportFailure{kErrRejectedPrefix + check->reason, true};
    }
    if (!sent) {
        return sendFailure(error);
    }
    if (usesPinnedRoots(request) && (!check || !check->checked)) {
        return TransportFailure{kErrNotCheckedAgainstPin, true};
    }
    if (check && !check->checked) {
        return TransportFailure{kErrNotChecked, true};
    }
    return std::nullopt;
}

WideString headerBlock(const HttpRequest& request) {
    std::string block;
    for (const auto& [name, value] : request.headers) {
        block += name;
        block += ": ";
        block += value;
        block += "\r\n";
    }
    return utf8ToWide(block);
}

void closeRequest(WinHttpHandle& request, PinCheck* check) {
    if (check && check->handleClosed.exchange(true)) {
        request.release();
    } else {
        request.reset();
    }
}

}  // namespace win

namespace {

using win::wide;

void CALLBACK pinCheckCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
    if (status != WINHTTP_CALLBACK_STATUS_SENDING_REQUEST || context == 0) {
        return;
    }
    win::runPinCheck(handle, *reinterpret_cast<PinCheck*>(context));
}

}  // namespace

WinHttpClient::WinHttpClient(const std::string& userAgent) {
    WideString agent = utf8ToWide(userAgent);
    openSessions(agent, 0, directSession_, proxySession_);
    openSessions(agent, WINHTTP_FLAG_ASYNC, asyncDirectSession_, asyncProxySession_);
}

WinHttpClient::~WinHttpClient() = default;

bool WinHttpClient::isVerified(const std::string& host, std::int32_t port) const {
    return verifiedPairs_.contains(host + ":" + std::to_string(port));
}

Result<WinHttpClient::Prepared> WinHttpClient::prepareRequest(const HttpRequest& request, bool webSocket, bool async) {
    if (auto refused = checkRequestPolicy(request)) {
        return *refused;
    }
    const win::WinHttpHandle& session = async ? (request.useProxy ? asyncProxySession_ : asyncDirectSession_)
                                              : (request.useProxy ? proxySession_ : directSession_);
    if (!session) {
        return TransportFailure{"WinHTTP session unavailable"};
    }
    Prepared out;
    out.connection.reset(
        WinHttpConnect(session.get(), wide(utf8ToWide(request.host)), static_cast<INTERNET_PORT>(request.port), 0));
    if (!out.connection) {
        return TransportFailure{describeError(GetLastError())};
    }
    out.request.reset(WinHttpOpenRequest(out.connection.get(), wide(utf8ToWide(request.method)),
                                         wide(utf8ToWide(request.path)), nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, request.https ? kSecureFlag : 0));
    if (!out.request) {
        return TransportFailure{describeError(GetLastError())};
    }
    HINTERNET h = out.request.get();
    int timeout = static_cast<int>(std::min<std::uint32_t>(request.timeoutMs, 0x7fffffff));
    WinHttpSetTimeouts(h, timeout, timeout, timeout, timeout);
    // WinHttpSetTimeouts does not bound the wait for the response headers everywhere (wine).
    DWORD responseTimeout = static_cast<DWORD>(timeout);
    WinHttpSetOption(h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof(responseTimeout));
    DWORD disable = WINHTTP_DISABLE_REDIRECTS;
    // A connection opened with relaxed certificate flags goes back to the pool only towards a
    // loopback host, where every request judges the certificate of the connection it rides in
    // its send callback (wine pools by host, port and the secure flag alone, across sessions).
    if (!keepsConnection(request)) {
        disable |= WINHTTP_DISABLE_KEEP_ALIVE;
    }
    WinHttpSetOption(h, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof(disable));
    if (webSocket && !WinHttpSetOption(h, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0)) {
        return TransportFailure{"WebSocket upgrade not supported by this WinHTTP"};
    }
    if (!request.https) {
        return out;
    }
    DWORD flags = 0;
    if (request.tlsMode == TlsMode::PinnedRoots) {
        // The pinned-root check judges validity dates itself (and names the reason); left to
        // the platform, an expired certificate would fail the handshake before the check runs.
        flags = kIgnoreUnknownCa | kIgnoreDateInvalid;
        if (!checksHostName(request)) {
            flags |= kIgnoreNameMismatch;
        }
    } else if (request.tlsMode == TlsMode::Insecure) {
        flags = kIgnoreAll;
    }
    if (flags != 0) {
        WinHttpSetOption(h, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
    }
    return out;
}

Result<std::int32_t> WinHttpClient::sendRequest(const HttpRequest& request, Prepared& prepared, PinCheck* check) {
    HINTERNET h = prepared.request.get();
    if (check) {
        DWORD_PTR context = reinterpret_cast<DWORD_PTR>(check);
        WinHttpSetOption(h, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context));
        WinHttpSetStatusCallback(h, pinCheckCallback, kSendingRequestFlags, 0);
    }
    WideString headers = win::headerBlock(request);
    DWORD bodySize = static_cast<DWORD>(request.body.size());
    void* body = request.body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(request.body.data());
    BOOL sent = WinHttpSendRequest(h, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wide(headers),
                                   headers.empty() ? 0 : static_cast<DWORD>(-1L), body, bodySize, bodySize,
                                   reinterpret_cast<DWORD_PTR>(check));
    DWORD error = sent ? 0 : GetLastError();
    if (check && check->handleClosed) {
        prepared.request.release();
    }
    if (auto verdict = win::judgeSend(request, sent != FALSE, error, check, verifiedPairs_)) {
        return *verdict;
    }
    if (!WinHttpReceiveResponse(h, nullptr)) {
        return sendFailure(GetLastError());
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                             &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        return TransportFailure{describeError(GetLastError())};
    }
    return static_cast<std::int32_t>(status);
}

Result<std::string> WinHttpClient::readBody(HINTERNET request, std::chrono::steady_clock::time_point deadline) {
    const std::optional<std::uint64_t> expected = contentLength(request);
    std::string buffer(kReadChunkBytes, '\0');
    std::string body;
    std::optional<DWORD> readError;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            readError = GetLastError();
            break;
        }
        if (available == 0) {
            break;
        }
        // Never ask for more than is available: wine may block for the rest otherwise.
        DWORD wanted = std::min<DWORD>(available, static_cast<DWORD>(buffer.size()));
        DWORD got = 0;
        if (!WinHttpReadData(request, buffer.data(), wanted, &got)) {
            readError = GetLastError();
            break;
        }
        if (got == 0) {
            break;
        }
        if (body.size() + got > kMaxResponseBytes) {
            return TransportFailure{kErrTooLarge};
        }
        body.append(buffer.data(), got);
        // Each read is bounded by the receive time-out; a server that drips a byte just often
        // enough must still not hold the request beyond its overall deadline.
        if (std::chrono::steady_clock::now() > deadline && (!expected || body.size() < *expected)) {
            readError = kCodeTimeout;
            break;
        }
    }
    const bool shortBody = expected && body.size() < *expected;
    if (readError) {
        // Only an answer whose declared length has fully arrived survives a failed read; without
        // a length, a failure (even before the first body byte) is a broken answer.
        if (shortBody || !expected) {
            return TransportFailure{truncatedError(describeError(*readError))};
        }
    } else if (shortBody) {
        // wine ends a short body with a zero-byte read and no error.
        return TransportFailure{truncatedError("")};
    }
    return body;
}

std::optional<TransportFailure> WinHttpClient::checkFirstContact(const HttpRequest& request) {
    if (!usesPinnedRoots(request)) {
        return std::nullopt;
    }
    const std::string key = VerifiedPairs::key(request);
    if (verifiedPairs_.contains(key)) {
        return std::nullopt;
    }
    HttpRequest probe;
    probe.method = "GET";
    probe.https = true;
    probe.host = request.host;
    probe.port = request.port;
    probe.path = "/";
    probe.timeoutMs = request.timeoutMs;
    probe.tlsMode = request.tlsMode;
    probe.pinnedRoots = request.pinnedRoots;
    probe.allowLoopbackNameMismatch = request.allowLoopbackNameMismatch;
    probe.useProxy = request.useProxy;

    ProbeOutcome outcome;
    if (Result<Prepared> prepared = prepareRequest(probe, false, false); !prepared) {
        outcome.prepareFailure = prepared.failure();
    } else {
        PinCheck check(probe);
        Result<std::int32_t> answer = sendRequest(probe, prepared.value(), &check);
        win::closeRequest(prepared.value().request, &check);
        outcome.checked = check.checked;
        outcome.rejected = check.rejected;
        outcome.reason = check.reason;
        if (!answer) {
            outcome.probeFailure = answer.failure();
        }
    }
    auto refused = firstContactFailure(outcome);
    if (!refused) {
        verifiedPairs_.add(key);
    }
    return refused;
}

HttpResponse WinHttpClient::request(const HttpRequest& request) {
    if (auto refused = checkRequestPolicy(request)) {
        return failedResponse(*refused);
    }
    if (auto refused = checkFirstContact(request)) {
        return failedResponse(*refused);
    }
    const auto deadline = std::chrono::steady_clock::now() + 2 * std::chrono::milliseconds(request.timeoutMs);
    Result<Prepared> prepared = prepareRequest(request, false, false);
    if (!prepared) {
        return failedResponse(prepared.failure());
    }
    std::optional<PinCheck> check;
    if (checksCertificateItself(request)) {
        check.emplace(request);
    }
    PinCheck* checkPtr = check ? &*check : nullptr;
    HttpResponse response;
    if (Result<std::int32_t> status = sendRequest(request, prepared.value(), checkPtr); !status) {
        response = failedResponse(status.failure());
    } else if (Result<std::string> body = readBody(prepared.value().request.get(), deadline); !body) {
        response = failedResponse(body.failure());
    } else {
        response.status = status.value();
        response.body = std::move(body.value());
    }
    win::closeRequest(prepared.value().request, checkPtr);
    prepared.value().connection.reset();
    return response;
}

Result<std::unique_ptr<WebSocketConnection>> WinHttpClient::connectWebSocket(const HttpRequest& request) {
    if (auto refused = checkRequestPolicy(request)) {
        return *refused;
    }
    if (auto refused = checkFirstContact(request)) {
        return *refused;
    }
    Result<Prepared> prepared = prepareRequest(request, true, true);
    if (!prepared) {
        return prepared.failure();
    }
    Result<std::unique_ptr<WebSocketConnection>> opened =
        win::performHandshake(request, prepared.value().request, checksCertificateItself(request), verifiedPairs_);
    prepared.value().connection.reset();
    return opened;
}

std::unique_ptr<HttpClient> createHttpClient(const std::string& userAgent) {
    return std::make_unique<WinHttpClient>(userAgent);
}

}  // namespace vornet
