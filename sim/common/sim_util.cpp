#include "sim/common/sim_util.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace vornet::sim {

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool writeFileAtomic(const std::string& path, std::string_view content) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.flush();
        if (!out) return false;
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    return !ec;
}

bool appendLine(const std::string& path, std::string_view line) {
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (!file) return false;
    bool ok = std::fwrite(line.data(), 1, line.size(), file) == line.size() && std::fputc('\n', file) != EOF;
    ok = std::fflush(file) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    return ok;
}

bool removeFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::remove(path, ec);
}

bool CommandLine::parse(int argc, char** argv, const std::set<std::string>& valued, const std::set<std::string>& flags,
                        std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            error = "unexpected argument " + arg;
            return false;
        }
        std::string name = arg.substr(2);
        std::optional<std::string> value;
        if (std::size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (flags.count(name)) {
            values_.emplace(name, value.value_or("1"));
        } else if (valued.count(name)) {
            if (!value) {
                if (i + 1 >= argc) {
                    error = "--" + name + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            values_.emplace(name, *value);
        } else {
            error = "unknown switch --" + name;
            return false;
        }
    }
    return true;
}

std::string CommandLine::get(const std::string& name, const std::string& fallback) const {
    auto range = values_.equal_range(name);
    if (range.first == range.second) return fallback;
    return std::prev(range.second)->second;  // the last one wins
}

std::vector<std::string> CommandLine::all(const std::string& name) const {
    std::vector<std::string> out;
    auto range = values_.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
    return out;
}

bool parseInt(std::string_view text, long long& out) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

bool parseDouble(std::string_view text, double& out) {
    if (text.empty()) return false;
    std::string copy(text);
    char* end = nullptr;
    out = std::strtod(copy.c_str(), &end);
    return end == copy.c_str() + copy.size();
}

bool CommandLine::getInt(const std::string& name, long long fallback, long long min, long long max, long long& out,
                         std::string& error) const {
    out = fallback;
    if (!has(name)) return true;
    if (!parseInt(get(name), out) || out < min || out > max) {
        error = "--" + name + " must be a whole number from " + std::to_string(min) + " to " + std::to_string(max);
        return false;
    }
    return true;
}

bool CommandLine::getDouble(const std::string& name, double fallback, double min, double max, double& out,
                            std::string& error) const {
    out = fallback;
    if (!has(name)) return true;
    if (!parseDouble(get(name), out) || !(out >= min && out <= max)) {
        error = "--" + name + " must be a number from " + std::to_string(min) + " to " + std::to_string(max);
        return false;
    }
    return true;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace vornet::sim
