// When the firewall rule cannot be added: the setup log, the prompt and what each answer does
// to the installation. The rule set's refusals and the prompt's answers come from the test shim
// (Wine's firewall accepts every rule and a prompt needs a user); the service, files and
// registry are the prefix's own.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/folders.h"
#include "tests/support/headless.h"
#include "tests/support/installation.h"
#include "tests/support/links.h"
#include "tests/support/loopback_server.h"
#include "tests/support/named_rows.h"
#include "tests/support/shim.h"

namespace fs = std::filesystem;
using testing::ElementsAre;

namespace {

constexpr char PROMPT_START[] = "Windows Firewall access could not be configured.\r\n\r\n"
                                "Save Console firewall rule (HRESULT 0x80070005): Access denied.\r\n"
                                "\r\n\r\nTry Again: retry after correcting the Windows firewall problem.\r\n"
                                "Continue: finish installation without adding a firewall rule. Access from "
                                "other computers may remain blocked.\r\nCancel: cancel installation and keep "
                                "saved data.\r\n\r\n";
constexpr char LOG_SAVED[] = "Details: C:\\ProgramData\\Vostrel\\Quellmark Console\\logs\\setup.log";
constexpr char CANCELLED[] = "Installation cancelled after the firewall rule could not be created.\n"
                             "Saved data and logs were retained. Correct the problem, then retry.";
constexpr char SETTINGS_WITH_RULE[] = "[Console]\r\nPort={port}\r\nFirewall=1\r\n";
constexpr char SETTINGS_WITHOUT_RULE[] = "[Console]\r\nPort={port}\r\nFirewall=0\r\n";

// The rule set refuses the first `refusals` rules; the prompt gets `answers` in order.
std::string plan(int refusals, const std::string& answers)
{
    std::string text;
    for (int call = 1; call <= refusals; ++call)
        text += "fail INetFwRules::Add call=" + std::to_string(call) + " return=0x80070005\n";
    return text + "answer MessageBoxW " + answers + "\n";
}

std::vector<std::string> prompts()
{
    std::vector<std::string> texts;
    for (const ShimRecord& box : readShimRecords("MessageBoxW")) {
        EXPECT_EQ(box["caption"], "Console network access");
        EXPECT_EQ(box["style"], "310") << "Cancel, Try Again, Continue; warning; Try Again by default";
        EXPECT_EQ(box["owner"], "no") << "no window in a headless run";
        texts.push_back(box["text"]);
    }
    return texts;
}

struct Answer : NamedRow {
    std::string answers;
    std::string outcome;
    const char* settings; // console.ini of the installation, or null where there is none
};

class PromptAnswer : public testing::TestWithParam<Answer> {};

} // namespace

// One refusal, then the answer: the log line comes before the prompt, and the answer alone
// decides how the installation goes on.
TEST_P(PromptAnswer, DecidesHowTheInstallationGoesOn)
{
    const Answer& answer = GetParam();
    const unsigned port = unusedLoopbackPort();
    const HeadlessRun run = headlessInstall(port, true, plan(1, answer.answers));

    EXPECT_EQ(run.outcome, answer.outcome);
    EXPECT_THAT(prompts(), ElementsAre(std::string(PROMPT_START) + LOG_SAVED));
    EXPECT_EQ(std::count(run.reports.begin(), run.reports.end(),
                         std::pair<int, std::string>{90, "Allowing access on private and domain networks..."}),
              1);
    const std::string log = readBytes(dataDir() / L"logs" / L"setup.log");
    EXPECT_THAT(log, testing::EndsWith(" UTC: Save Console firewall rule (HRESULT 0x80070005): Access denied.\r\r\n\r\n"));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << "one entry; the message's own line break is kept";
    if (answer.settings != nullptr)
        expectApplicationFiles(withPort(answer.settings, port));
    else
        EXPECT_FALSE(fs::exists(appDir()));
}

INSTANTIATE_TEST_SUITE_P(
    EveryAnswer, PromptAnswer,
    testing::Values(Answer{"TryAgain", "IDTRYAGAIN", "done firewallAdded=1", SETTINGS_WITH_RULE},
                    Answer{"Continue", "IDCONTINUE", "done firewallAdded=0", SETTINGS_WITHOUT_RULE},
                    Answer{"Cancel", "IDCANCEL", CANCELLED, nullptr},
                    Answer{"EscapeOrCloseBox", "IDCLOSE", CANCELLED, nullptr},
                    Answer{"BoxNotShown", "0", CANCELLED, nullptr}),
    rowName);

// Each refusal is logged and asked about again; the log keeps every entry, in UTC without
// leading zeros.
TEST(SetupLog, KeepsOneEntryPerRefusal)
{
    const unsigned port = unusedLoopbackPort();
    const HeadlessRun run = headlessInstall(
        port, true, plan(2, "IDTRYAGAIN IDTRYAGAIN") + "value GetSystemTime year=2026 month=3 day=4 hour=9 minute=5 second=7\n");
    EXPECT_EQ(run.outcome, "done firewallAdded=1");
    EXPECT_EQ(prompts().size(), 2u);
    const std::string entry = std::string("2026-3-4 9:5:7 UTC: ") + "Save Console firewall rule (HRESULT 0x80070005): "
                              "Access denied.\r\r\n\r\n";
    EXPECT_EQ(readBytes(dataDir() / L"logs" / L"setup.log"), entry + entry);
    expectApplicationFiles(withPort(SETTINGS_WITH_RULE, port));
}

// A log write that failed once does not taint the next prompt: once the log is written again,
// the prompt names it.
TEST(SetupLog, NamesTheLogAgainOnceAWriteWorks)
{
    // Only the log writes through a C runtime stream: the first log write fails, the second works.
    const HeadlessRun run = headlessInstall(unusedLoopbackPort(), true,
                                            plan(2, "IDTRYAGAIN IDTRYAGAIN") +
                                                "process headless_setup.exe\nfail _fdopen call=1 errno=2 return=0\n");
    EXPECT_EQ(run.outcome, "done firewallAdded=1");
    EXPECT_THAT(prompts(), ElementsAre(std::string(PROMPT_START) +
                                           "The setup log could not be saved: Cannot write setup.log",
                                       std::string(PROMPT_START) + LOG_SAVED));
}

namespace {

struct LogProblem : NamedRow {
    std::string plan; // besides the refusal and the answer
    std::string lastLine;
    void (*meanwhile)() = nullptr; // done where the plan pauses the run
};

// Where a link that the console's own account could make would lead the log.
const fs::path ELSEWHERE = L"C:\\elsewhere";
constexpr char NOT_THE_LOG[] = "not the log's\r\n";
const std::string AFTER_THE_CHECK = "process headless_setup.exe\npause GetSystemTime call=1\n";
const std::string LINK_REFUSED = "The setup log could not be saved: Installation paths must not contain links or junctions";

class UnsavedLog : public testing::TestWithParam<LogProblem> {};

} // namespace

// A log that cannot be written is named in the prompt, and changes nothing else.
TEST_P(UnsavedLog, IsToldInThePromptAndChangesNothingElse)
{
    const LogProblem& problem = GetParam();
    keepDataFolder();
    writeBytes(ELSEWHERE / L"setup.log", NOT_THE_LOG);
    const unsigned port = unusedLoopbackPort();
    const std::string plans = plan(1, "IDCONTINUE") + problem.plan;
    const HeadlessRun run = problem.meanwhile
                                ? headlessPausedAt(L"install " + std::to_wstring(port) + L" 1", plans, problem.meanwhile)
                                : headlessInstall(port, true, plans);
    EXPECT_EQ(run.outcome, "done firewallAdded=0");
    EXPECT_THAT(prompts(), ElementsAre(std::string(PROMPT_START) + problem.lastLine));
    EXPECT_EQ(readBytes(ELSEWHERE / L"setup.log"), NOT_THE_LOG);
}

// A log that will not open is the shim's. The console's own account has full control of "logs":
// the rest is what it could do between the installer's check of the log's path and the write
// (links made on the Linux side, which the shim opens as Windows opens a link itself). A link
// to a file shows in Wine as the file itself, so the link at the log's place leads to a folder,
// as a junction would.
INSTANTIATE_TEST_SUITE_P(
    EveryProblem, UnsavedLog,
    testing::Values(LogProblem{"LogNotOpened", "process headless_setup.exe\nfail _fdopen call=1 errno=2 return=0\n",
                               "The setup log could not be saved: Cannot write setup.log"},
                    LogProblem{"LogSwappedForALink", AFTER_THE_CHECK, LINK_REFUSED,
                               [] { makeDirectoryLink(setupLog(), ELSEWHERE); }},
                    LogProblem{"LogSwappedForAHardLink", AFTER_THE_CHECK, LINK_REFUSED,
                               [] { CreateHardLinkW(setupLog().c_str(), (ELSEWHERE / L"setup.log").c_str(), nullptr); }},
                    LogProblem{"LogsSwappedForALink", AFTER_THE_CHECK, LINK_REFUSED,
                               [] {
                                   fs::rename(setupLog().parent_path(), dataDir() / L"logs (moved)");
                                   makeDirectoryLink(setupLog().parent_path(), ELSEWHERE);
                               }}),
    rowName);

// A later failure after "Continue" rolls back without touching a rule that was never added.
TEST(PromptContinue, LeavesNoRuleToRemoveInALaterRollback)
{
    const unsigned port = unusedLoopbackPort();
    // The seventh file put in place: both markers, the settings three times, both shortcuts.
    const HeadlessRun run =
        headlessInstall(port, true, plan(1, "IDCONTINUE") + "fail SetFileInformationByHandle call=7 error=112 return=0\n");
    EXPECT_THAT(run.outcome, testing::StartsWith("Cannot write C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs"
                                                 "\\Quellmark Console\\Installation manual.url (112): Disk full.\r\n\nSaved data"));
    EXPECT_THAT(firewallCalls(), ElementsAre("Add Quellmark Console HTTP " + std::to_string(port)));
    EXPECT_FALSE(fs::exists(appDir()));
}
