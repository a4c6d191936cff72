#include "app/product_services.h"

#include <memory>

#include "collector/token.h"
#include "core/secret_string.h"
#include "net/http_client.h"

namespace vornet::app {

EnrollFunction productEnrollFunction() {
    return [](const Config& config, const std::string& code, const std::string& expectedCollectorId) {
        std::unique_ptr<HttpClient> client = createHttpClient(kUserAgent);
        if (!client) {
            EnrollResult failed;
            failed.message = "cannot create HTTP client";
            return failed;
        }
        return enroll(config, *client, code, expectedCollectorId);
    };
}

WriteTokenFunction productWriteToken() {
    return [](const std::string& collectorId, const std::string& token, std::string& error) {
        return writeToken(collectorId, token, error);
    };
}

std::function<bool(const std::string&)> productTokenReadable() {
    return [](const std::string& collectorId) {
        std::string source;
        std::string error;
        // Only whether it opens matters: the token is wiped before its memory is given back.
        std::optional<std::string> token = readToken(collectorId, source, error);
        const bool readable = token.has_value();
        if (token) secureWipe(*token);
        return readable;
    };
}

}  // namespace vornet::app
