#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/command_line.h"
#include "tests/support/failures.h"

namespace {

std::string refusal(const std::vector<std::wstring>& arguments)
{
    return failureText([&] { parseCommandLine(arguments); });
}

} // namespace

TEST(CommandLine, NoArgumentsMeansInstallWithoutParent)
{
    const CommandLine result = parseCommandLine({});
    EXPECT_FALSE(result.uninstall);
    EXPECT_EQ(result.parent, 0u);
}

TEST(CommandLine, UninstallMayRepeatAndParentIsReadInDecimal)
{
    EXPECT_TRUE(parseCommandLine({L"--uninstall", L"--uninstall"}).uninstall);
    const CommandLine relaunched = parseCommandLine({L"--uninstall", L"--parent", L"4242"});
    EXPECT_TRUE(relaunched.uninstall);
    EXPECT_EQ(relaunched.parent, 4242u);
    EXPECT_EQ(parseCommandLine({L"--parent", L"12", L"--uninstall"}).parent, 12u);
}

TEST(CommandLine, ParentFollowsWcstoul)
{
    EXPECT_EQ(parseCommandLine({L"--parent", L"0"}).parent, 0u);
    EXPECT_EQ(parseCommandLine({L"--parent", L"abc"}).parent, 0u);
    EXPECT_EQ(parseCommandLine({L"--parent", L"  +77x"}).parent, 77u);
    EXPECT_EQ(parseCommandLine({L"--parent", L"010"}).parent, 10u) << "base 10, not octal";
    EXPECT_EQ(parseCommandLine({L"--parent", L"99999999999"}).parent, 4294967295u);
    EXPECT_EQ(parseCommandLine({L"--parent", L"-1"}).parent, 4294967295u);
    EXPECT_EQ(parseCommandLine({L"--parent", L"12", L"--parent", L"34"}).parent, 34u) << "the later one wins";
}

TEST(CommandLine, ParentConsumesTheNextArgumentWhateverItIs)
{
    const CommandLine result = parseCommandLine({L"--parent", L"--uninstall"});
    EXPECT_FALSE(result.uninstall);
    EXPECT_EQ(result.parent, 0u);
}

TEST(CommandLine, RefusesEverythingElse)
{
    const std::vector<std::vector<std::wstring>> refused = {
        {L"--Uninstall"}, {L"/uninstall"}, {L"-uninstall"}, {L"--uninstall="}, {L""},
        {L"--parent"}, {L"--uninstall", L"--parent"}, {L"--parent", L"1", L"--parent"},
        {L"--uninstall", L"extra"}, {L"--PARENT", L"1"},
    };
    for (const auto& arguments : refused)
        EXPECT_EQ(refusal(arguments), "Unknown setup option") << "arguments: " << arguments.size();
}
