#include "app/collector_start.h"

#include <string>

#include "collector/token.h"
#include "core/secret_string.h"
#include "net/http_client.h"
#include "sources/lockfile.h"

namespace vornet::app {

std::unique_ptr<CollectorRun> startProductCollector(AppState& state) {
    std::string source;
    std::string error;
    std::optional<std::string> unsealed = readToken(state.config.id, source, error);
    if (!unsealed) {
        state.enrolled = false;
        return nullptr;
    }
    // Held wiping itself until the collector has its own copy, whichever way this returns.
    const SecretString token(std::move(*unsealed));
    secureWipe(*unsealed);
    std::unique_ptr<HttpClient> http = createHttpClient(kUserAgent);
    if (!http) {
        state.lastError = "cannot create HTTP client";
        return nullptr;
    }
    LockfileSupplier discover = [dir = state.config.leagueInstallDir]() { return findLockfile(dir); };
    auto collector = std::make_unique<Collector>(state.config, http.get(), token.str(), std::move(discover),
                                                 CollectorClocks::system());
    if (state.stats) {
        state.stats->setCollectorId(state.config.id);
        DailyStats* stats = state.stats.get();
        // Runs on the upload thread; the store has its own lock. The controller removes the
        // callback before the store goes away.
        collector->setUploadCallback([stats](const Collector::UploadResult& result) {
            stats->recordUpload(result.uploadedBytes, result.rawBytes, result.totals);
        });
    }
    return std::make_unique<CollectorRun>(std::move(http), std::move(collector), state.paused);
}

}  // namespace vornet::app
