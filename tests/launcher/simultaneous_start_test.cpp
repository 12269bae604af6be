// Several starts of one installation at the same moment, as a player's double-click or the
// updater restarting the game beside a running one makes them. They share the runtime log, which
// is at its limit so that the starts rotate it while others hold it open; the root refuses new
// files, so every start wants the per-user folder and its copy of the updater; and outdated
// packages wait to be removed. Whatever order the starts meet each other in, nothing is lost: every
// start runs the engine, every start's lines are in the log or its ".old" exactly once, the older
// lines survive, and the updater in the per-user folder is a whole copy.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "hostile_game.h"

namespace zelt::test::hostile {
namespace {

constexpr int kStarts = 8;

// Rounds of simultaneous starts; ZELT_SIMULTANEOUS_ROUNDS overrides the default for a longer
// hunt.
int Rounds() {
    const char* text = std::getenv("ZELT_SIMULTANEOUS_ROUNDS");
    const int rounds = text != nullptr ? std::atoi(text) : 0;
    return rounds > 0 ? rounds : 40;
}

// Numbered lines, as earlier starts left them, until the file holds at least `size` bytes.
std::string OlderLines(size_t size) {
    std::string text;
    for (int i = 0; text.size() < size; ++i) {
        text += "[lib-cpp:1] [00:00:00] [INFO] older line " + std::to_string(i) + "\n";
    }
    return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Starts the game kStarts times at once: all are created suspended and then let go together.
std::vector<std::pair<DWORD, std::optional<DWORD>>> StartTogether(const Site& site,
                                                                  const TempDir& scratch) {
    std::vector<Process> games(kStarts);
    for (int i = 0; i < kStarts; ++i) {
        ProcessSpec invocation;
        invocation.application = site.install.exe;
        invocation.commandLine = QuoteArgument(site.install.exe);
        invocation.workingDir = scratch.path();
        invocation.suspended = true;
        invocation.env = {{L"ZELT_BASLATICI_KUTUSUZ", L"1"},
                          {L"ZELT_FIXTURE_REPORT", scratch / (L"report" + std::to_wstring(i))},
                          {L"ZELT_FIXTURE_RESULT", std::to_wstring(kResult)},
                          {L"UPKIT_FIRSTRUN", std::nullopt},
                          {L"UPKIT_RESTART", std::nullopt}};
        EXPECT_TRUE(games[i].Start(invocation));
    }
    for (Process& game : games) game.Resume();
    std::vector<std::pair<DWORD, std::optional<DWORD>>> ends;
    for (Process& game : games) ends.push_back({game.Id(), game.Wait(120000)});
    return ends;
}

TEST(SimultaneousStarts, EightStartsOfOneInstallationLoseNothing) {
    const Site site(CaseId("Simultaneous", "eight"));
    // The root refuses new files: a folder stands where the writability probe goes.
    ASSERT_TRUE(MakeDirs(JoinPath(site.install.root, L".upkit_dir_test")));
    const std::wstring fallback = JoinPath(LocalAppData(), Widen(site.id));
    const std::wstring packages = JoinPath(fallback, L"packages");
    const std::wstring updater = JoinPath(fallback, L"Update.exe");
    const LogFiles log(LogFileFor(site.id));
    // Every other round the log is just past its limit, so that each start finds it too large
    // at set-up; in the others it is just below, so that the starts' own lines take it past
    // while they all hold it open, and the counts of all but the first to rotate are stale.
    const std::string olderPast = OlderLines(1048576 + 1);
    const std::string olderBelow = OlderLines(1048576 - 512);
    const std::string rootUpdater = ReadFile(site.install.updateExe);

    int lossyRounds = 0;
    const int rounds = Rounds();
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string& older = round % 2 == 0 ? olderPast : olderBelow;
        const std::vector<std::string> olderLines = SplitLines(older);
        ASSERT_TRUE(RemoveTree(fallback));
        site.AddPackages(packages, {"0.8.0", "0.9.0", "1.0.0"});
        ASSERT_TRUE(WriteFile(log.path(), older));
        ASSERT_TRUE(RemoveTree(log.path() + L".old"));
        TempDir scratch(L"sim");

        const auto ends = StartTogether(site, scratch);

        const std::string both =
            TryReadFile(log.path() + L".old").value_or("") + TryReadFile(log.path()).value_or("");
        std::map<std::string, int> count;
        for (const std::string& line : SplitLines(both)) ++count[line];
        int lost = 0;
        for (const auto& [pid, exitCode] : ends) {
            EXPECT_EQ(exitCode, std::optional<DWORD>(kResult)) << "process " << pid;
            int running = 0;
            for (const LogLine& line : ReadLog(log.path() + L".old", pid)) {
                running += line.message.starts_with("UpkitApp: Running with args:");
            }
            for (const LogLine& line : ReadLog(log.path(), pid)) {
                running += line.message.starts_with("UpkitApp: Running with args:");
            }
            EXPECT_EQ(running, 1) << "process " << pid << "'s first line";
            lost += running != 1;
        }
        int olderKept = 0;
        for (const std::string& line : olderLines) olderKept += count[line] == 1;
        EXPECT_EQ(olderKept, static_cast<int>(olderLines.size())) << "older lines kept once";
        lost += olderKept != static_cast<int>(olderLines.size());
        lossyRounds += lost > 0;

        EXPECT_EQ(ListDir(packages), Names({PackageName("1.0.0")}));
        EXPECT_TRUE(TryReadFile(updater) == rootUpdater)
            << "the per-user copy of the updater is not the root's";
        EXPECT_EQ(ListDir(fallback), Names({L"Update.exe", L"packages"}));
    }
    std::printf("%d of %d rounds of %d simultaneous starts lost log lines\n", lossyRounds, rounds,
                kStarts);
    RemoveTree(fallback);
}

}  // namespace
}  // namespace zelt::test::hostile
