#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "tests/support/failures.h"

namespace {

// What Windows' own splitter makes of a command line; the program name is the first element.
std::vector<std::wstring> split(const std::wstring& commandLine)
{
    int count = 0;
    const LocalPtr<wchar_t*> arguments(CommandLineToArgvW(commandLine.c_str(), &count));
    EXPECT_TRUE(arguments);
    std::vector<std::wstring> result;
    for (int i = 0; arguments && i < count; ++i)
        result.emplace_back(arguments.get()[i]);
    return result;
}

void expectRoundTrip(const std::vector<std::wstring>& arguments)
{
    std::wstring commandLine = L"program.exe";
    for (const auto& argument : arguments)
        commandLine += L" " + quote(argument);
    std::vector<std::wstring> expected{L"program.exe"};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(split(commandLine), expected) << "command line: " << narrow(commandLine);
}

std::string widenFailure(const std::string& bytes)
{
    return failureText([&] { widen(bytes); });
}

} // namespace

TEST(Quote, WritesTheDocumentedForms)
{
    EXPECT_EQ(quote(L""), L"\"\"");
    EXPECT_EQ(quote(L"C:\\Program Files\\Vostrel\\x.exe"), L"\"C:\\Program Files\\Vostrel\\x.exe\"");
    EXPECT_EQ(quote(L"C:\\Program Files\\"), L"\"C:\\Program Files\\\\\"");
    EXPECT_EQ(quote(L"\""), L"\"\\\"\"");
    EXPECT_EQ(quote(L"a\\\\\"b"), L"\"a\\\\\\\\\\\"b\"");
    EXPECT_EQ(quote(L"50% & ^caret\ttab"), L"\"50% & ^caret\ttab\"");
}

TEST(Quote, ReadsBackThroughCommandLineToArgvW)
{
    expectRoundTrip({L""});
    expectRoundTrip({L"plain"});
    expectRoundTrip({L"C:\\Program Files\\Vostrel\\Quellmark Console\\runtime/python.exe"});
    expectRoundTrip({L"C:\\trailing\\"});
    expectRoundTrip({L"C:\\two trailing\\\\"});
    expectRoundTrip({L"\""});
    expectRoundTrip({L"\\\""});
    expectRoundTrip({L"say \"hi\"", L"", L"\t", L" lead and trail "});
    expectRoundTrip({L"import sys; sys.path.insert(0, sys.argv[1]); import fastapi,uvicorn,cryptography; "
                     L"from app.web import app",
                     L"C:\\Program Files\\Vostrel\\Quellmark Console\\server/backend"});
}

TEST(Quote, ReadsBackForGeneratedArguments)
{
    // Arguments built from the characters that the quoting rule treats specially.
    const std::wstring alphabet = L"\\\\\\\"\" \tab";
    std::mt19937 random(20261208);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::wstring> arguments(1 + random() % 3);
        for (auto& argument : arguments) {
            const size_t length = random() % 12;
            for (size_t i = 0; i < length; ++i)
                argument += alphabet[random() % alphabet.size()];
            if (random() % 4 == 0)
                argument += L'\\'; // trailing backslash, the classic trap
        }
        expectRoundTrip(arguments);
        if (HasFailure())
            break;
    }
}

TEST(Widen, RefusesMalformedUtf8)
{
    const char* const invalid[] = {
        "\xFF",            // a byte that never occurs in UTF-8
        "ok\xE2\x82",      // a three-byte sequence cut off at the end
        "\xC0\xAF",        // overlong form of "/"
        "\xED\xA0\x80",    // an encoded surrogate
        "\x80",            // a lone continuation byte
    };
    for (const char* bytes : invalid)
        EXPECT_EQ(widenFailure(bytes), "Invalid UTF-8 text") << "input: " << testing::PrintToString(bytes);
}

TEST(Widen, ConvertsWellFormedText)
{
    EXPECT_EQ(widen(""), L"");
    EXPECT_EQ(widen("Console \xE2\x80\x94 Setup"), L"Console \u2014 Setup");
    EXPECT_EQ(widen("\xF0\x9F\x94\x92"), std::wstring(L"\xD83D\xDD12")); // a pair of surrogates
    EXPECT_EQ(widen(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(Narrow, RoundTripsEveryWellFormedInput)
{
    const std::string samples[] = {
        "", "ascii", std::string("embedded\0zero", 13), "\xC3\xBC" "ber", "\xE2\x80\x94",
        "\xF0\x9F\x94\x92 lock", "\xEF\xBF\xBD", "\x7F\x01",
    };
    for (const auto& sample : samples)
        EXPECT_EQ(narrow(widen(sample)), sample);
}

TEST(DisplayText, ShowsUtf8AsWidenDoesAndAnythingElseInTheAnsiCodePage)
{
    EXPECT_EQ(displayText("Console \xE2\x80\x94 Setup"), L"Console \u2014 Setup");
    EXPECT_EQ(displayText(""), L"");
    // The C++ library's file-system errors carry paths in the ANSI code page, not in UTF-8.
    ASSERT_EQ(GetACP(), 1252u) << "the test prefix's ANSI code page";
    EXPECT_EQ(displayText("Cannot open C:\\Caf\xE9\\x.txt"), L"Cannot open C:\\Caf\u00E9\\x.txt");
}

TEST(Narrow, ReplacesAnUnpairedSurrogate)
{
    EXPECT_EQ(narrow(std::wstring(L"\xD800")), "\xEF\xBF\xBD");
    EXPECT_EQ(narrow(std::wstring(L"a\xDC00z")), "a\xEF\xBF\xBDz");
}
