#include "collector/token.h"

#include <cstdint>
#include <cstdio>

#include "collector/token_seal.h"
#include "core/files.h"
#include "core/text.h"

namespace vornet {
namespace {

bool keptInFileName(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

std::uint32_t fnv1a(const std::string& bytes) {
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

}  // namespace

std::string tokenFileName(const std::string& collectorId) {
    std::string safe;
    safe.reserve(collectorId.size());
    bool needsSuffix = false;
    for (unsigned char c : collectorId) {
        if (keptInFileName(c)) {
            safe.push_back(static_cast<char>(c));
            needsSuffix = needsSuffix || (c >= 'A' && c <= 'Z');
        } else {
            safe.push_back('_');
            needsSuffix = true;
        }
    }
    if (needsSuffix) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "-%08x", static_cast<unsigned>(fnv1a(collectorId)));
        safe += suffix;
    }
    return "collector-" + safe + ".token";
}

std::string tokenFilePath(const std::string& collectorId) {
    return joinPath(tokenFolder(), tokenFileName(collectorId));
}

bool writeToken(const std::string& collectorId, const std::string& token, std::string& error) {
    // Without a per-user folder there is nowhere private to keep the token: fail before any
    // file is made (never in the working folder).
    if (tokenFolder().empty()) {
        error = "cannot write token: no per-user folder";
        return false;
    }
    std::optional<std::string> blob = sealForUser(token, error);
    if (!blob) {
        return false;
    }
    const std::string path = tokenFilePath(collectorId);
    if (!writeFileAtomically(path, *blob)) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

std::optional<std::string> readToken(const std::string& collectorId, std::string& source, std::string& error) {
    source.clear();
    error.clear();
    if (std::optional<std::string> blob = readWholeFile(tokenFilePath(collectorId))) {
        if (std::optional<std::string> token = unsealForUser(*blob)) {
            source = "dpapi";
            return token;
        }
        error = "stored token could not be decrypted (created by another Windows user?); re-run --enroll or "
                "--set-token";
    }
    std::optional<std::string> fromEnvironment = getEnv("VORNET_COLLECTOR_TOKEN");
    if (fromEnvironment && !fromEnvironment->empty()) {
        source = "environment";
        return fromEnvironment;
    }
    if (error.empty()) {
        error = "no ingestion token: run with --enroll <code> or --set-token";
    }
    return std::nullopt;
}

}  // namespace vornet
