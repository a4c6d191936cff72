#include <windows.h>

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/files.h"
#include "core/text.h"
#include "tests/support/environment.h"

namespace vornet {
namespace {

std::string knownLocalAppData() {
    PWSTR path = nullptr;
    std::string out;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &path)))
        out = wideToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(path), wcslen(path)));
    CoTaskMemFree(path);
    return out;
}

TEST(FilesWin, JoinUsesBackslashUnlessTheFolderEndsInASeparator) {
    EXPECT_EQ(joinPath("C:\\a", "b"), "C:\\a\\b");
    EXPECT_EQ(joinPath("C:\\a\\", "b"), "C:\\a\\b");
    EXPECT_EQ(joinPath("C:/a/", "b"), "C:/a/b");
    EXPECT_EQ(joinPath("C:\\", "b"), "C:\\b");
}

TEST(FilesWin, FoldersUseTheKnownFolderAndLocalAppData) {
    // Catches the working folder used as a fallback, the 260-character buffer rule, narrow
    // reading of the variable, and LOCALAPPDATA leaking into the application folder.
    const std::string known = knownLocalAppData();
    ASSERT_FALSE(known.empty());
    const std::string knownToken = joinPath(known, "Vornet");
    std::wstring longest = L"C:\\" + std::wstring(256, L'x');  // 259 characters
    std::string longestUtf8 = "C:\\" + std::string(256, 'x');
    struct Case {
        const char* name;
        std::optional<std::wstring> localAppData;
        std::string token;
    };
    const std::vector<Case> cases = {
        {"set", L"D:\\Data\\Local", "D:\\Data\\Local\\Vornet"},
        {"trailing separator", L"D:\\Data\\Local\\", "D:\\Data\\Local\\Vornet"},
        {"non-ASCII", L"D:\\Zo\u00eb\\\u6570", "D:\\Zo\xc3\xab\\\xe6\x95\xb0\\Vornet"},
        {"UNC", L"\\\\server\\share", "\\\\server\\share\\Vornet"},
        {"259 characters", longest, longestUtf8 + "\\Vornet"},
        {"260 characters", longest + L"y", knownToken},
        {"unset", std::nullopt, knownToken},
        {"empty", L"", knownToken},
        {"relative", L"Local", knownToken},
        {"drive relative", L"D:Local", knownToken},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::string> localAppData;
        if (c.localAppData)
            localAppData = wideToUtf8(
                std::u16string_view(reinterpret_cast<const char16_t*>(c.localAppData->data()), c.localAppData->size()));
        testing::ScopedEnvironment local("LOCALAPPDATA", localAppData);
        EXPECT_EQ(tokenFolder(), c.token);
        EXPECT_EQ(appDataFolder(), joinPath(known, "Parlow"));
    }
}

TEST(FilesWin, PathsThatAreNotUtf8) {
    const std::string bad = "C:\\bad\xff\xfe.json";
    EXPECT_FALSE(readWholeFile(bad).has_value());
    EXPECT_FALSE(writeFileAtomically(bad, "x"));
    try {
        fileExists(bad);
        ADD_FAILURE() << "no exception";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_NE(std::string(error.what()).find("exists"), std::string::npos) << error.what();
    }
}

TEST(FilesWin, FileExistsRaisesForAnInvalidName) {
    // '<' and '>' cannot appear in a Windows file name: that is not absence.
    std::string path = wideToUtf8(u"C:\\windows\\a<b>c");
    try {
        bool exists = fileExists(path);
        ADD_FAILURE() << "no exception, result " << exists;
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_NE(std::string(error.what()).find("exists"), std::string::npos) << error.what();
    }
}

}  // namespace
}  // namespace vornet
