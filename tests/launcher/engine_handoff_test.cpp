// ZeltOy2.exe end to end: what the engine receives, what comes back as the exit code, and which
// starts never reach the engine.
#include <gtest/gtest.h>

#include <climits>
#include <sstream>

#include "game_run.h"

namespace zelt::test {
namespace {

struct CommandLineCase {
    const char* name;
    std::wstring commandLine;  // the whole command line, program name included
    std::wstring expected;     // what the engine must receive
};

// The program name need not match the real path: the executable is given separately.
const CommandLineCase kCommandLines[] = {
    {"program name only", L"ZeltOy2.exe", L""},
    {"quoted program name only", L"\"C:\\Oyun Klasörü\\ZeltOy2.exe\"", L""},
    {"plain arguments", L"ZeltOy2.exe -screen-width 1920", L"-screen-width 1920"},
    {"quoted name with blanks after it",
     L"\"C:\\Program Files\\Zelt\\ZeltOy2.exe\" \t \t-popupwindow  x", L"-popupwindow  x"},
    {"quotes and backslashes kept verbatim", L"ZeltOy2.exe   \"a b\"  \"c\\\"d\" e\\\\\"  ",
     L"\"a b\"  \"c\\\"d\" e\\\\\"  "},
    {"quote inside the program name", L"\"Zelt Oy2\".exe --arg", L"--arg"},
    {"quoted part in the middle of the name", L"Zelt\"Oy 2\".exe rest", L"rest"},
    {"unterminated quote in the name", L"\"ZeltOy2.exe rest", L""},
    {"unterminated quote in the arguments", L"ZeltOy2.exe \"open", L"\"open"},
    {"non-ASCII text", L"ZeltOy2.exe ğüşıöç ÇĞİÖŞÜ 🎮", L"ğüşıöç ÇĞİÖŞÜ 🎮"},
    {"unpaired surrogate", L"ZeltOy2.exe a\xD800z", L"a\xD800z"},
    {"hook word in the middle", L"ZeltOy2.exe x --upkit-install 1.0.0", L"x --upkit-install 1.0.0"},
};

TEST(EngineHandoff, EngineReceivesTheCommandLineAfterTheProgramName) {
    GameFolder game;
    for (const CommandLineCase& c : kCommandLines) {
        SCOPED_TRACE(c.name);
        DeleteFileW(game.report().c_str());
        ASSERT_EQ(RunProcess(game.SpecWithCommandLine(c.commandLine)), 0u);
        const Record report = Record::Load(game.report());
        EXPECT_EQ(report.Get("commandLineNull"), "0");
        EXPECT_EQ(report.Get("commandLineHex"), HexUnits(c.expected))
            << "received: " << report.Get("commandLine");
    }
}

TEST(EngineHandoff, EngineReceivesTheModuleTheShowCommandAndNoPreviousInstance) {
    struct ShowCase {
        std::optional<WORD> startupShow;
        int expected;
    };
    const ShowCase cases[] = {
        {std::nullopt, SW_SHOWDEFAULT},
        {SW_SHOWMINNOACTIVE, SW_SHOWMINNOACTIVE},
        {SW_HIDE, SW_HIDE},
        {SW_SHOWMAXIMIZED, SW_SHOWMAXIMIZED},
    };
    GameFolder game;
    for (const ShowCase& c : cases) {
        SCOPED_TRACE(c.expected);
        DeleteFileW(game.report().c_str());
        ProcessSpec invocation = game.Invocation(L"");
        invocation.showWindow = c.startupShow;
        ASSERT_EQ(RunProcess(invocation), 0u);
        const Record report = Record::Load(game.report());
        EXPECT_EQ(report.Get("show"), std::to_string(c.expected));
        EXPECT_EQ(report.Get("instanceIsExe"), "1");
        EXPECT_EQ(report.Get("previous"), "0");
    }
}

TEST(EngineHandoff, EngineResultIsTheExitCode) {
    const long long results[] = {0,  1,       255,     256,
                                 -1, INT_MIN, INT_MAX, static_cast<int>(0xC0000005u),
                                 259 /* STILL_ACTIVE */};
    GameFolder game;
    for (long long result : results) {
        SCOPED_TRACE(result);
        const std::optional<DWORD> code =
            RunProcess(game.Invocation(L"", {{L"ZELT_FIXTURE_RESULT", std::to_wstring(result)}}));
        EXPECT_EQ(code, static_cast<DWORD>(result));
    }
}

// The runtime deals with faults only while its start-up runs: a crash in the engine is the
// engine's own. An access violation ends the process with its exception code (Wine's crash
// debugger is off for the tests), not with the runtime's fault exit code 3, and no fault record is
// written. An engine stack overflow would end it with 0xC00000FD on Windows; Wine runs out of
// stack itself while it looks for a handler after the vectored ones (which it does reach) and
// ends the process its own way, so here it only shows that the runtime's stack-overflow handler
// is gone: no exit code 3 and no record.
TEST(EngineHandoff, ACrashInTheEngineIsTheEnginesOwn) {
    const struct {
        const wchar_t* crash;
        std::optional<DWORD> exitCode;  // nothing: Wine's own
    } cases[] = {
        {L"av", 0xC0000005u},
        {L"stack", std::nullopt},
    };
    GameFolder game;
    const std::wstring log = JoinPath(JoinPath(LocalAppDataFolder(), L"upkit"), L"upkit.log");
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.crash));
        DeleteFileW(game.report().c_str());
        const ProcessSpec invocation = game.Invocation(L"", {{L"ZELT_FIXTURE_CRASH", c.crash}});
        Process process;
        ASSERT_TRUE(process.Start(invocation));
        const std::optional<DWORD> exitCode = process.Wait(invocation.timeoutMs);
        ASSERT_TRUE(exitCode.has_value());
        if (c.exitCode) {
            EXPECT_EQ(exitCode, c.exitCode);
        } else {
            EXPECT_NE(exitCode, std::optional<DWORD>(3));
        }
        EXPECT_TRUE(PathExists(game.report())) << "the engine did not run";
        const std::string prefix = "[lib-cpp:" + std::to_string(process.Id()) + "] ";
        std::istringstream lines(TryReadFile(log).value_or(""));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(prefix, 0) == 0) {
                EXPECT_EQ(line.find("panicked"), std::string::npos) << line;
            }
        }
    }
}

// The engine library is loaded with the system's critical-error boxes off for the loading thread
// (SEM_FAILCRITICALERRORS, 0x1), so a library that cannot be bound never brings up a dialog of the
// system's before the launcher's own message; the engine then runs with the thread's mode as it
// was before the load (a new thread's: 0). Wine binds a library whatever it lacks, so only the
// mode itself can be seen here, as the engine's DllMain and entry point find it.
TEST(EngineHandoff, TheEngineIsLoadedWithoutSystemErrorBoxesAndRunsWithTheModeBefore) {
    GameFolder game;
    ASSERT_EQ(RunProcess(game.Invocation(L"")), 0u);
    const Record report = Record::Load(game.report());
    EXPECT_EQ(report.Get("errorModeAtLoad"), std::to_string(SEM_FAILCRITICALERRORS));
    EXPECT_EQ(report.Get("errorModeAtEntry"), "0");
}

// Installer and updater hook invocations end the process with 0 before the engine is loaded.
const wchar_t* const kHookInvocations[] = {
    L"--upkit-install 1.0.0",   L"--UPKIT-Updated 1.2.0",           L"--upkit-obsolete 1.1.0",
    L"--upkit-uninstall 1.0.0", L"--upkit-uninstall not-a-version", L"--Upkit-Install 1.0.0 extra",
};

TEST(EngineHandoff, HookInvocationsEndWithZeroBeforeTheEngineIsLoaded) {
    GameFolder game;
    for (const wchar_t* arguments : kHookInvocations) {
        SCOPED_TRACE(Narrow(arguments));
        DeleteFileW(game.report().c_str());
        EXPECT_EQ(RunProcess(game.Invocation(arguments, {{L"ZELT_FIXTURE_RESULT", L"42"}})), 0u);
        EXPECT_FALSE(PathExists(game.report())) << "the engine ran";
    }
}

TEST(EngineHandoff, HookInvocationsShowNoErrorEvenWithoutAnEngine) {
    // Without the engine and with error boxes allowed, a start that went past the runtime would
    // wait for a box to be closed instead of ending.
    GameFolder game(EngineKind::Missing);
    for (const wchar_t* arguments : kHookInvocations) {
        SCOPED_TRACE(Narrow(arguments));
        ProcessSpec invocation =
            game.Invocation(arguments, {{L"ZELT_BASLATICI_KUTUSUZ", std::nullopt}});
        invocation.timeoutMs = 30000;
        EXPECT_EQ(RunProcess(invocation), 0u);
    }
}

TEST(EngineHandoff, OtherStartsReachTheEngine) {
    struct StartCase {
        const wchar_t* arguments;
        EnvChanges env;
    };
    const StartCase cases[] = {
        {L"--upkit-install", {}},
        {L"--upkit-install-now 1.2.0", {}},
        {L"--upkit-installed 1.2.0", {}},
        {L"upkit-install 1.2.0", {}},
        {L"--upkit-install 1.0.0", {{L"UPKIT_DEBUG", L"1"}}},
        {L"--upkit-updated 1.2.0", {{L"UPKIT_DEBUG", L""}}},
        {L"--upkit-uninstall not-a-version", {{L"UPKIT_DEBUG", L"evet"}}},
    };
    GameFolder game;
    for (const StartCase& c : cases) {
        SCOPED_TRACE(Narrow(c.arguments));
        DeleteFileW(game.report().c_str());
        EnvChanges env = c.env;
        env.emplace_back(L"ZELT_FIXTURE_RESULT", L"42");
        EXPECT_EQ(RunProcess(game.Invocation(c.arguments, env)), 42u);
        ASSERT_TRUE(PathExists(game.report()));
        EXPECT_EQ(Record::Load(game.report()).Get("commandLine"), Narrow(c.arguments));
    }
}

}  // namespace
}  // namespace zelt::test
