#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "common/failure.h"
#include "common/text.h"
#include "tests/support/failures.h"

namespace {

// The system's message for a code, looked up here independently of the code under test.
std::string systemText(DWORD code)
{
    wchar_t buffer[2048];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        code, 0, buffer, 2048, nullptr);
    return narrow(std::wstring(buffer, length));
}

// A code that the system message table has no text for.
constexpr DWORD CODE_WITHOUT_MESSAGE = 0x2FFF0;

} // namespace

TEST(Require, WritesTheStepTheDecimalCodeAndTheSystemMessage)
{
    const std::string message = systemText(ERROR_ACCESS_DENIED);
    ASSERT_GE(message.size(), 2u);
    EXPECT_EQ(message.substr(message.size() - 2), "\r\n") << "system messages end with a line break";

    const std::string text = failureText([] {
        SetLastError(ERROR_ACCESS_DENIED);
        require(false, "Open Windows services");
    });
    EXPECT_EQ(text, "Open Windows services (5): " + message);
}

TEST(Require, EndsAtTheParenthesisWhenTheSystemHasNoMessage)
{
    ASSERT_EQ(systemText(CODE_WITHOUT_MESSAGE), "");
    const std::string text = failureText([] {
        SetLastError(CODE_WITHOUT_MESSAGE);
        require(false, "Create Console service");
    });
    EXPECT_EQ(text, "Create Console service (196592)");
}

TEST(Require, ReportsLastErrorZero)
{
    const std::string text = failureText([] {
        SetLastError(0);
        require(false, "Lock Console setup");
    });
    EXPECT_EQ(text, "Lock Console setup (0): " + systemText(0));
}

TEST(Require, PassingLeavesTheLastErrorAlone)
{
    SetLastError(1234);
    require(true, "Never shown");
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(FirewallCheck, WritesEightUpperCaseHexDigitsAndTheSystemMessage)
{
    const std::string text = failureText([] { firewallCheck(E_ACCESSDENIED, "Set firewall port"); });
    EXPECT_EQ(text, "Set firewall port (HRESULT 0x80070005): " + systemText(static_cast<DWORD>(E_ACCESSDENIED)));
    EXPECT_EQ(failureText([] { firewallCheck(static_cast<long>(0x8000000AL), "Add"); }).substr(0, 24),
              "Add (HRESULT 0x8000000A)");
}

TEST(FirewallCheck, EndsAtTheParenthesisWhenTheSystemHasNoMessage)
{
    ASSERT_EQ(systemText(0x80AB0001), "");
    EXPECT_EQ(failureText([] { firewallCheck(static_cast<long>(0x80AB0001L), "Save Console firewall rule"); }),
              "Save Console firewall rule (HRESULT 0x80AB0001)");
}

TEST(FirewallCheck, LetsEverySuccessCodeThrough)
{
    SetLastError(77);
    EXPECT_EQ(failureText([] { firewallCheck(S_OK, "x"); }), "(no failure)");
    EXPECT_EQ(failureText([] { firewallCheck(S_FALSE, "x"); }), "(no failure)");
    EXPECT_EQ(failureText([] { firewallCheck(0x7FFFFFFF, "x"); }), "(no failure)");
    EXPECT_EQ(GetLastError(), 77u);
}

// Thrown where a failure is caught and shown: the text must come out, whatever was thrown.
TEST(CaughtFailureText, ShowsEveryKindOfFailureWithoutRaisingAgain)
{
    ASSERT_EQ(GetACP(), 1252u) << "the test prefix's ANSI code page";
    const auto caught = [](auto thrown) {
        try {
            throw thrown;
        } catch (...) {
            return caughtFailureText();
        }
    };
    EXPECT_EQ(caught(std::runtime_error("Stop Console service (5): Access is denied.\r\n")),
              L"Stop Console service (5): Access is denied.\r\n");
    EXPECT_EQ(caught(std::runtime_error("Dossier \xC3\xA9tendu")), L"Dossier \u00e9tendu") << "UTF-8 stays UTF-8";
    // A file-system error of a French system: its message is in the ANSI code page, not UTF-8.
    EXPECT_EQ(caught(std::runtime_error("Acc\xE8s refus\xE9")), L"Acc\u00e8s refus\u00e9");
    EXPECT_EQ(caught(std::bad_alloc()), L"std::bad_alloc");
    EXPECT_EQ(caught(42), L"Setup stopped because of an unexpected internal error.");
}
