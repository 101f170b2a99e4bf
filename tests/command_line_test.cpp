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

// The mode and the parent that the arguments ask for, in one text.
std::string parsed(const std::vector<std::wstring>& arguments)
{
    const CommandLine line = parseCommandLine(arguments);
    return (line.uninstall ? "uninstall" : "install") + std::string(", parent ") + std::to_string(line.parent);
}

} // namespace

TEST(CommandLine, NoArgumentsMeansInstallWithoutParent)
{
    EXPECT_EQ(parsed({}), "install, parent 0");
}

TEST(CommandLine, UninstallMayRepeatAndParentIsReadInDecimal)
{
    EXPECT_EQ(parsed({L"--uninstall", L"--uninstall"}), "uninstall, parent 0");
    EXPECT_EQ(parsed({L"--uninstall", L"--parent", L"4242"}), "uninstall, parent 4242");
    EXPECT_EQ(parsed({L"--parent", L"12", L"--uninstall"}), "uninstall, parent 12");
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
    EXPECT_EQ(parsed({L"--parent", L"--uninstall"}), "install, parent 0");
}

TEST(CommandLine, RefusesEverythingElse)
{
    const std::vector<std::vector<std::wstring>> refused = {
        {L"--Uninstall"}, {L"/uninstall"}, {L"-uninstall"}, {L"--uninstall="}, {L""},
        {L"--parent"}, {L"--uninstall", L"--parent"}, {L"--parent", L"1", L"--parent"},
        {L"--uninstall", L"extra"}, {L"--PARENT", L"1"}, {L"--quiet", L"--port"}, {L"--quiet", L"--log"},
        {L"--Quiet"}, {L"/quiet"}, {L"--log-id"},
    };
    for (const auto& arguments : refused)
        EXPECT_EQ(refusal(arguments), "Unknown setup option") << "arguments: " << arguments.size();
}

// The unattended run's options: each only with --quiet and in its own run mode; a value is read
// as the settings page reads the port.
TEST(CommandLine, TakesTheUnattendedOptionsOnlyWhereTheyBelong)
{
    const CommandLine install = parseCommandLine({L"--quiet", L"--port", L"08081", L"--no-firewall", L"--log", L"a b"});
    EXPECT_TRUE(install.quiet && !install.uninstall && !install.firewall && !install.deleteData);
    EXPECT_EQ(install.port, 8081u);
    EXPECT_EQ(install.log, L"a b");
    const CommandLine remove = parseCommandLine({L"--delete-data", L"--uninstall", L"--quiet"});
    EXPECT_TRUE(remove.uninstall && remove.deleteData && remove.firewall && remove.port == 8080);
    EXPECT_EQ(unattendedPart({L"--parent", L"--quiet", L"--log", L"--quiet", L"--no-firewall"}).log, L"--quiet")
        << "a value that looks like an option is a value";
    // The log serves a windowed run too; an uninstall's copy is told which file its parent logs to.
    const CommandLine copy = parseCommandLine({L"--uninstall", L"--log", L"C:\\a.log", L"--log-id", L"7-9"});
    EXPECT_EQ(copy.log + L" " + copy.logIdentity, L"C:\\a.log 7-9");
    EXPECT_EQ(unattendedPart({L"--log-id", L"7-9", L"--parent", L"1"}).logIdentity, L"7-9");

    const struct {
        std::vector<std::wstring> arguments;
        const char* text;
    } refused[] = {
        {{L"--port", L"8081"}, "The option --port is for unattended runs only: add --quiet."},
        {{L"--uninstall", L"--delete-data"}, "The option --delete-data is for unattended runs only: add --quiet."},
        {{L"--quiet", L"--uninstall", L"--no-firewall"}, "The option --no-firewall is not for an uninstallation."},
        {{L"--quiet", L"--delete-data"}, "The option --delete-data is not for an installation."},
        {{L"--quiet", L"--port", L"1023"}, "Enter a port between 1024 and 65535."},
        {{L"--quiet", L"--port", L"65536"}, "Enter a port between 1024 and 65535."},
    };
    for (const auto& row : refused)
        EXPECT_EQ(refusal(row.arguments), row.text) << row.text;
}
