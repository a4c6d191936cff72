#include <windows.h>

#include <vector>

#include "app/autostart.h"
#include "core/text.h"
#include "core/win_handles_win.h"

namespace vornet::app {
namespace {

constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr DWORD kMaxValueBytes = 4096;

const wchar_t* wide(const WideString& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

using win::RegistryKey;

class RegistryAutostart final : public Autostart {
public:
    explicit RegistryAutostart(const std::string& entryName) : name_(utf8ToWide(entryName)) {}

    std::optional<std::string> read() override {
        RegistryKey key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        std::vector<BYTE> data(kMaxValueBytes + 2, 0);
        DWORD type = 0;
        DWORD size = kMaxValueBytes;
        if (RegQueryValueExW(key.get(), wide(name_), nullptr, &type, data.data(), &size) != ERROR_SUCCESS ||
            type != REG_SZ || size > kMaxValueBytes) {
            return std::nullopt;
        }
        // The stored text need not end in a zero; the buffer's spare bytes provide one.
        WideString text(reinterpret_cast<const char16_t*>(data.data()), size / sizeof(char16_t));
        while (!text.empty() && text.back() == u'\0') text.pop_back();
        return wideToUtf8(text);
    }

    bool write(const std::string& command) override {
        RegistryKey key;
        if (!openForSet(key)) return false;
        WideString text = utf8ToWide(command);
        DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(char16_t));
        return RegSetValueExW(key.get(), wide(name_), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes) ==
               ERROR_SUCCESS;
    }

    bool remove() override {
        RegistryKey key;
        if (!openForSet(key)) return false;
        return RegDeleteValueW(key.get(), wide(name_)) == ERROR_SUCCESS;
    }

private:
    static bool openForSet(RegistryKey& key) {
        return RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) ==
               ERROR_SUCCESS;
    }

    WideString name_;
};

}  // namespace

std::unique_ptr<Autostart> createSystemAutostart(const std::string& entryName) {
    return std::make_unique<RegistryAutostart>(entryName);
}

std::string currentExecutablePath() {
    std::vector<wchar_t> buffer(260);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {
            return wideToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer.data()), n));
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace vornet::app
