#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which they need.
#include <wincrypt.h>
// After wincrypt.h.
#include <dpapi.h>

#include "collector/token.h"
#include "core/files.h"
#include "tests/support/environment.h"
#include "tests/support/temp_folder.h"

namespace vornet {
namespace {

using testing::ScopedEnvironment;
using testing::TempFolder;

// The stored file is a plain DPAPI blob: it opens with the label as entropy and records the
// description, and does not open without the label.
TEST(TokenDpapiTest, FileIsADpapiBlobBoundToTheLabel) {
    TempFolder home;
    ScopedEnvironment local("LOCALAPPDATA", home.utf8());
    std::string error;
    ASSERT_TRUE(writeToken("pc", "dpapi-token", error)) << error;
    std::string blob = readWholeFile(tokenFilePath("pc")).value();

    DATA_BLOB in{static_cast<DWORD>(blob.size()), reinterpret_cast<BYTE*>(blob.data())};
    std::string label = "vornet-sealed-stores/collector-token/v1";
    DATA_BLOB entropy{static_cast<DWORD>(label.size()), reinterpret_cast<BYTE*>(label.data())};
    DATA_BLOB out{};
    LPWSTR description = nullptr;
    ASSERT_TRUE(CryptUnprotectData(&in, &description, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.pbData), out.cbData), "dpapi-token");
    ASSERT_NE(description, nullptr);
    EXPECT_EQ(std::wstring(description), L"Vornet collector token");
    LocalFree(out.pbData);
    LocalFree(description);

    DATA_BLOB withoutLabel{};
    EXPECT_FALSE(CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &withoutLabel));
    if (withoutLabel.pbData != nullptr) LocalFree(withoutLabel.pbData);
}

}  // namespace
}  // namespace vornet
