#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "common/folders.h"
#include "common/text.h"
#include "tests/support/failures.h"
#include "tests/support/shim.h"

namespace fs = std::filesystem;

TEST(Folders, AreTheProductFoldersUnderTheKnownFoldersEveryTime)
{
    for (int asked = 1; asked <= 2; ++asked) {
        EXPECT_EQ(appDir().wstring(), L"C:\\Program Files\\Vostrel\\Quellmark Console") << asked;
        EXPECT_EQ(dataDir().wstring(), L"C:\\ProgramData\\Vostrel\\Quellmark Console") << asked;
        EXPECT_EQ(shortcuts().wstring(), L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Quellmark Console")
            << asked;
    }
}

TEST(Folders, AreNotCreatedByAskingForThem)
{
    EXPECT_FALSE(fs::exists(appDir()));
    EXPECT_FALSE(fs::exists(appDir().parent_path())) << "not even the maker level";
    EXPECT_FALSE(fs::exists(dataDir().parent_path()));
    EXPECT_FALSE(fs::exists(shortcuts()));
}

TEST(Folders, ExePathIsTheRunningProgramEveryTime)
{
    // Wine shows the Linux root as drive Z:.
    const fs::path self = fs::path(L"Z:" + widen(QM_TEST_PROGRAM)).make_preferred();
    ASSERT_TRUE(fs::is_regular_file(self));
    EXPECT_EQ(exePath(), self);
    EXPECT_EQ(exePath(), self);
}

TEST(Folders, ExePathRefusesANameCutToTheBuffer)
{
    // No path here is that long; the shim makes GetModuleFileNameW fill the whole buffer, as
    // Windows does when the name does not fit.
    loadShim("fail GetModuleFileNameW call=1 error=122 return=32768\n");
    const std::string text = failureText([] { exePath(); });
    unloadShim();
    EXPECT_EQ(text.rfind("Get executable path (122)", 0), 0u) << text;
}

// The shell returns its failure and leaves the thread's last error alone; the text shows the
// returned code.
TEST(Folders, UnknownFolderIsALocateFailureWithTheShellsCode)
{
    const KNOWNFOLDERID unknown = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    wchar_t* path = nullptr;
    const HRESULT result = SHGetKnownFolderPath(unknown, 0, nullptr, &path);
    CoTaskMemFree(path);
    ASSERT_LT(result, 0);
    SetLastError(ERROR_SUCCESS);
    EXPECT_THAT(failureText([&] { known(unknown); }),
                testing::StartsWith("Locate Windows folder (" + std::to_string(static_cast<unsigned long>(result)) + ")"));
}

TEST(Folders, ShellFailureOfAProductFolderShowsTheShellsCode)
{
    // E_ACCESSDENIED cannot be provoked for a known folder, so the shim returns it.
    loadShim("fail SHGetKnownFolderPath from=1 return=0x80070005\n");
    SetLastError(ERROR_SUCCESS);
    const std::string text = failureText([] { appDir(); });
    unloadShim();
    EXPECT_THAT(text, testing::StartsWith("Locate Windows folder (2147942405)"));
}
