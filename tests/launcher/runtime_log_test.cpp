// The runtime log seen from outside: real starts of ZeltOy2.exe and of the log test host, and the
// log file they leave under the local application data folder.
//
// Every process that runs the runtime's start-up writes the same file, so these tests run one at
// a time with every other test that starts such a process (a CTest resource lock).
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "misc.h"
#include "zelt_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using zelt::test::Held;
using zelt::test::ReadFile;
using zelt::test::TryReadFile;
using TestDir = zelt::test::TempDir;

constexpr size_t kMax = 1048576;
constexpr DWORD kEngineResult = 4242;

// The runtime log's folder, from the shell's account of the per-user folder, not the runtime's.
std::wstring LogDir() {
    return zelt::test::JoinPath(zelt::test::LocalAppDataFolder(), L"upkit");
}

std::wstring LogPath() {
    return LogDir() + L"\\upkit.log";
}
std::wstring OldLogPath() {
    return LogPath() + L".old";
}

// Starts from a clean slate: no log file, no ".old", optionally set contents.
void ResetLogFiles(std::optional<std::string> log = std::nullopt,
                   std::optional<std::string> old = std::nullopt) {
    for (const std::wstring& path : {LogPath(), OldLogPath(), LogDir() + L"\\upkit.first.log"}) {
        DeleteFileW(path.c_str());
        ASSERT_FALSE(zelt::test::PathExists(path)) << zelt::test::Narrow(path);
    }
    if (log) {
        ASSERT_TRUE(zelt::test::WriteFile(LogPath(), *log));
    }
    if (old) {
        ASSERT_TRUE(zelt::test::WriteFile(OldLogPath(), *old));
    }
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The game outside any installation (so the log is "upkit.log"), with the fixture engine.
class Game {
public:
    Game() {
        EXPECT_TRUE(zelt::test::CopyFileTo(zelt::test::BinPath(zelt::test::kLauncherExe), exe_));
        EXPECT_TRUE(zelt::test::CopyFileTo(zelt::test::BinPath(zelt::test::kFixtureEngine),
                                           dir_ / L"UnityPlayer.dll"));
    }

    // Starts the game and waits for it; the exit code, and the process id through `pid`.
    std::optional<DWORD> Start(DWORD* pid = nullptr) {
        zelt::test::ProcessSpec invocation;
        invocation.application = exe_;
        invocation.commandLine = zelt::test::QuoteArgument(exe_);
        invocation.workingDir = dir_.path();
        invocation.env = {{L"ZELT_BASLATICI_KUTUSUZ", L"1"},
                          {L"ZELT_FIXTURE_RESULT", std::to_wstring(kEngineResult)}};
        zelt::test::Process process;
        if (!process.Start(invocation)) return std::nullopt;
        if (pid != nullptr) *pid = process.Id();
        return process.Wait(invocation.timeoutMs);
    }

private:
    TestDir dir_{L"game"};
    std::wstring exe_ = dir_ / L"ZeltOy2.exe";
};

std::string Filler(size_t size) {
    return std::string(size - 1, 'x') + "\n";
}

// One file line: "[lib-cpp:PID] [HH:MM:SS] [LEVEL] message".
const std::regex kLine(R"(\[lib-cpp:(\d+)\] \[(\d\d):(\d\d):(\d\d)\] \[(ERROR|WARN|INFO)\] (.*))");

int SecondOfDay(const SYSTEMTIME& t) {
    return t.wHour * 3600 + t.wMinute * 60 + t.wSecond;
}

// The local time's offset from UTC in seconds now, from the zone's bias as the system describes
// the zone (GetTimeZoneInformation), not from a conversion of a time as the runtime makes it.
int SystemZoneOffset() {
    TIME_ZONE_INFORMATION zone = {};
    const DWORD state = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias;
    if (state == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
    if (state == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
    return -static_cast<int>(bias) * 60;
}

// Lines carry the wall-clock time of the zone the game runs in. Under Wine, CTest and scripts/test
// run this test with TZ=Asia/Kolkata (Wine takes a process's zone from TZ, and the game inherits
// it), a zone east of UTC with a half-hour offset, so a missing or whole-hour-only offset shows;
// the offset is then the zone's, fixed here. On Windows the PC's own zone is exercised, as the
// system describes it; the test reports the offset, and marks itself weak when it is a whole hour
// (a lost half hour would not show). The times the game should write are worked out here from
// UTC and the offset, apart from any conversion of times.
TEST(RuntimeLogFile, RealStartWritesTheLayoutInLocalTime) {
    wchar_t zone[64] = {};
    GetEnvironmentVariableW(L"TZ", zone, 64);
    if (zelt::test::RunningOnWine()) {
        ASSERT_STREQ(zone, L"Asia/Kolkata")
            << "under Wine run this test with TZ=Asia/Kolkata (CTest and scripts/test set it)";
    }
    const int offset = zelt::test::RunningOnWine() ? 5 * 3600 + 30 * 60 : SystemZoneOffset();
    EXPECT_EQ(SystemZoneOffset(), offset);
    const std::string shown = (offset < 0 ? "-" : "+") + std::to_string(std::abs(offset) / 3600) +
                              ":" + (std::abs(offset) % 3600 / 60 < 10 ? "0" : "") +
                              std::to_string(std::abs(offset) % 3600 / 60);
    ::testing::Test::RecordProperty("localOffset", shown);
    if (offset % 3600 == 0) {
        ::testing::Test::RecordProperty(
            "weak", "the zone's offset from UTC (" + shown +
                        ") is a whole hour, so a lost half hour would not show");
    }
    const int day = 24 * 3600;

    ResetLogFiles();
    Game game;
    SYSTEMTIME before;
    GetSystemTime(&before);
    DWORD pid = 0;
    EXPECT_EQ(game.Start(&pid), std::optional<DWORD>(kEngineResult));
    SYSTEMTIME after;
    GetSystemTime(&after);
    const int from = (SecondOfDay(before) + offset) % day;
    const int to = (SecondOfDay(after) + offset) % day;

    ASSERT_TRUE(zelt::test::IsDirectory(LogDir()));
    const std::string text = ReadFile(LogPath());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
    const std::vector<std::string> lines = Lines(text);
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
        EXPECT_EQ(m[1].str(), std::to_string(pid)) << line;
        const int second = std::stoi(m[2]) * 3600 + std::stoi(m[3]) * 60 + std::stoi(m[4]);
        if (from <= to) {  // not across midnight
            EXPECT_GE(second, from) << line;
            EXPECT_LE(second, to) << line;
        }
    }
    ASSERT_FALSE(lines.empty());
    EXPECT_THAT(lines[0], ::testing::EndsWith("] [INFO] UpkitApp: Running with args: []"));
}

TEST(RuntimeLogFile, SizeCheckAtStartAndTheCrossingLine) {
    const struct {
        const char* name;
        size_t existing;
        bool rotatedAtStart;  // ".old" holds exactly the original file
        bool firstLineInOld;  // ".old" holds the original file and the start's first line
    } cases[] = {
        {"below the limit", kMax / 2, false, false},
        {"exactly the limit", kMax, false, true},
        {"one byte over", kMax + 1, true, false},
    };
    for (const auto& c : cases) {
        const std::string original = Filler(c.existing);
        ResetLogFiles(original, "stale\n");
        Game game;
        EXPECT_EQ(game.Start(), std::optional<DWORD>(kEngineResult)) << c.name;

        const std::string log = ReadFile(LogPath());
        const std::string old = ReadFile(OldLogPath());
        if (c.rotatedAtStart) {
            EXPECT_EQ(old, original) << c.name;
            ASSERT_FALSE(log.empty()) << c.name;
            EXPECT_TRUE(std::regex_match(Lines(log)[0], kLine)) << c.name;
        } else if (c.firstLineInOld) {
            ASSERT_GT(old.size(), original.size()) << c.name;
            EXPECT_EQ(old.substr(0, original.size()), original) << c.name;
            // The line that crossed the limit is whole in ".old"; the new file starts afresh.
            const std::vector<std::string> added = Lines(old.substr(original.size()));
            ASSERT_EQ(added.size(), 1u) << c.name;
            EXPECT_TRUE(std::regex_match(added[0], kLine)) << added[0];
            EXPECT_EQ(old.back(), '\n');
            if (!log.empty()) {
                EXPECT_TRUE(std::regex_match(Lines(log)[0], kLine)) << c.name;
            }
        } else {
            EXPECT_EQ(old, "stale\n") << c.name;
            ASSERT_GT(log.size(), original.size()) << c.name;
            EXPECT_EQ(log.substr(0, original.size()), original) << c.name;
        }
    }
}

TEST(RuntimeLogFile, LockedOldFileKeepsTheLogGrowingAndRotationIsRetried) {
    const std::string original = Filler(kMax + 1);
    ResetLogFiles(original, "stale\n");
    Game game;
    std::string grown;
    {
        Held old(OldLogPath(), FILE_SHARE_READ | FILE_SHARE_WRITE);  // no delete sharing
        EXPECT_EQ(game.Start(), std::optional<DWORD>(kEngineResult));
        grown = ReadFile(LogPath());
        ASSERT_GT(grown.size(), original.size());
        EXPECT_EQ(grown.substr(0, original.size()), original);
    }
    EXPECT_EQ(ReadFile(OldLogPath()), "stale\n");

    // Free again: the next start finds the file too large and rotates it before its first line.
    EXPECT_EQ(game.Start(), std::optional<DWORD>(kEngineResult));
    EXPECT_EQ(ReadFile(OldLogPath()), grown);
    const std::vector<std::string> lines = Lines(ReadFile(LogPath()));
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines[0], kLine)) << lines[0];
}

TEST(RuntimeLogFile, LogHeldExclusivelyLosesRecordsAndTheGameStillStarts) {
    ResetLogFiles("before\n");
    Game game;
    {
        Held exclusive(LogPath(), 0);
        EXPECT_EQ(game.Start(), std::optional<DWORD>(kEngineResult));
    }
    EXPECT_EQ(ReadFile(LogPath()), "before\n");
    EXPECT_FALSE(zelt::test::PathExists(OldLogPath()));
}

// ---- Through the log test host ----

struct HostRun {
    std::optional<DWORD> exitCode;
    std::vector<std::string> forwarded;  // "level<TAB>message"
    std::string output;                  // standard output and standard error
    zelt::test::Record where;            // what the host wrote beside the records, if anything
    bool wentOn = false;                 // the host went on after the start-up (its marker)
};

// Runs "log_host <mode> <records file> <extra>"; the host writes the forwarded records there.
HostRun RunHost(const std::wstring& mode, const std::wstring& extra = L"") {
    TestDir temp(L"loghost");
    const std::wstring exe = zelt::test::BinPath(L"log_host.exe");
    const std::wstring records = temp / L"forwarded.txt";
    zelt::test::ProcessSpec invocation;
    invocation.application = exe;
    invocation.commandLine = zelt::test::QuoteArgument(exe) + L" " + mode + L" " +
                             zelt::test::QuoteArgument(records) +
                             (extra.empty() ? L"" : L" " + extra);
    invocation.env = {{L"ZELT_BASLATICI_KUTUSUZ", L"1"}};
    invocation.outputFile = temp / L"output.txt";
    HostRun run;
    run.exitCode = zelt::test::RunProcess(invocation);
    run.forwarded = Lines(TryReadFile(records).value_or(""));
    run.output = TryReadFile(invocation.outputFile).value_or("");
    run.where = zelt::test::Record::Parse(TryReadFile(records + L".where").value_or(""));
    run.wentOn = zelt::test::PathExists(records + L".went-on");
    return run;
}

// Whether `expected` occurs in `lines` in this order (other lines may come between).
bool ContainsInOrder(const std::vector<std::string>& lines,
                     const std::vector<std::string>& expected) {
    size_t next = 0;
    for (const std::string& line : lines) {
        if (next < expected.size() && line == expected[next]) ++next;
    }
    return next == expected.size();
}

TEST(RuntimeLogHost, EveryRecordReachesTheCallbackTheFileKeepsItsFirstDestination) {
    ResetLogFiles();
    const HostRun run = RunHost(L"forward");
    ASSERT_EQ(run.exitCode, std::optional<DWORD>(0));

    const std::string args = "info\tUpkitApp: Running with args: []";
    const std::string exit = "trace\tupkit_app_run() => ()";
    EXPECT_TRUE(ContainsInOrder(
        run.forwarded, {args, exit,                                               // run 1
                        "trace\tupkit_app_run(p_user_data: 0x1234)", args, exit,  // run 2
                        args, exit,                                               // run 3
                        "info\tnul\\0inside", "debug\tdebug record", "trace\ttrace record"}))
        << ::testing::PrintToString(run.forwarded);
    // Before the first set-up there is no logger: the first entry line goes nowhere. Before the
    // third the level was Off: its entry line is not even built.
    size_t entries = 0;
    for (const std::string& line : run.forwarded) {
        entries += line.rfind("trace\tupkit_app_run(p_user_data:", 0) == 0;
    }
    EXPECT_EQ(entries, 1u);

    // The second and third set-ups opened a new "upkit.log" and dropped it; every record went on
    // into the file of the first, renamed in between.
    EXPECT_EQ(ReadFile(LogPath()), "");
    const std::vector<std::string> fileLines = Lines(ReadFile(LogDir() + L"\\upkit.first.log"));
    size_t argsLines = 0;
    for (const std::string& line : fileLines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
        argsLines += m[6].str() == "UpkitApp: Running with args: []";
        EXPECT_THAT(line, ::testing::Not(HasSubstr(" record")));  // no Debug or Trace line
    }
    EXPECT_EQ(argsLines, 3u);
    // The file takes the message as it is, NUL included.
    EXPECT_THAT(fileLines.back(), ::testing::EndsWith(std::string("] [INFO] nul\0inside", 19)));
}

TEST(RuntimeLogHost, FaultBecomesAnErrorRecordAndEndsTheProcess) {
    const struct {
        const wchar_t* mode;
        const wchar_t* kind;
        const char* thread;
        const char* message;
        const char* file;  // where the fault was raised
    } cases[] = {
        {L"fault", L"text", "zelt-main", "install hook failed", "lib.cpp"},
        {L"fault", L"none", "<unnamed>", "Box<Any>", "lib.cpp"},
        {L"terminate", L"", "<unnamed>", "Box<Any>", "logging.cpp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(zelt::test::Narrow(c.mode) + " " + zelt::test::Narrow(c.kind));
        ResetLogFiles();
        const HostRun run = RunHost(c.mode, c.kind);
        // Ended at once with exit code 3, never through the C runtime's abort (which the host
        // turns into 99): on Windows abort first shows a message box and waits for the player.
        EXPECT_EQ(run.exitCode, std::optional<DWORD>(3));
        const std::string start =
            std::string("thread '") + c.thread + "' panicked at '" + c.message + "': ";
        ASSERT_FALSE(run.forwarded.empty());
        const std::string& last = run.forwarded.back();
        EXPECT_EQ(last.substr(0, 6 + start.size()), "error\t" + start) << last;
        EXPECT_TRUE(std::regex_search(last, std::regex(std::string("[\\\\/]") + c.file + ":\\d+$")))
            << last;

        const std::vector<std::string> fileLines = Lines(ReadFile(LogPath()));
        ASSERT_FALSE(fileLines.empty());
        EXPECT_EQ(fileLines.back().substr(fileLines.back().find("] [ERROR] ") + 10),
                  last.substr(6));
    }
}

// A hardware fault or a terminate while the start-up runs, on whatever thread, ends the process
// with exit code 3 and no dialog of any kind (Wine's crash debugger is off for the tests, so a
// fault that nothing handles would end it with the exception's code instead). Once the log is set
// up, the fault is written first as a panic record naming the faulting module and the offset of
// the instruction, which the host reports itself. Before, nothing is written, and nothing comes
// from the C++ runtime's own terminate handler either: it prints "terminate called ..." and
// aborts, which under Wine also ends with 3.
//
// A fault while the faulting thread holds the loader lock is written all the same: nothing the
// record needs at fault time takes that lock (no new thread, no loader lookup of the module).
// Were it needed, the faulting thread would wait its 5 s and end the process without a record. A
// C++ throw of Microsoft's runtime names the module that threw and the offset of the thrown
// type's description in it, not the system library that raised it.
TEST(RuntimeLogHost, FaultsWhileTheStartUpRunsEndTheProcessWithoutADialog) {
    const struct {
        const wchar_t* when;
        const wchar_t* kind;
        const char* thread;    // in the record
        const char* code;      // in the record
        const char* function;  // where the faulting instruction lies (the host's report)
        bool exact = false;    // the offset is the reported one itself, not an instruction in it
    } cases[] = {
        {L"before", L"av", nullptr, nullptr, nullptr},
        {L"before", L"stack", nullptr, nullptr, nullptr},
        {L"before", L"terminate", nullptr, nullptr, nullptr},
        {L"before", L"thread-av", nullptr, nullptr, nullptr},
        {L"after", L"av", "<unnamed>", "0xC0000005", "touchNowhere"},
        {L"after", L"stack", "<unnamed>", "0xC00000FD", "overflow"},
        {L"after", L"thread-av", "zelt-worker", "0xC0000005", "touchNowhere"},
        {L"after", L"loader-lock", "<unnamed>", "0xC0000005", "touchNowhere"},
        {L"after", L"msvc-throw", "<unnamed>", "0xE06D7363", "throwInfo", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(zelt::test::Narrow(std::wstring(c.when) + L" " + c.kind));
        ResetLogFiles();
        const HostRun run = RunHost(L"hardware", std::wstring(c.when) + L" " + c.kind);
        EXPECT_EQ(run.exitCode, std::optional<DWORD>(3));
        EXPECT_THAT(run.output, ::testing::Not(HasSubstr("terminate called"))) << run.output;
        if (c.function == nullptr) {
            // The runtime's log was never set up: no record anywhere.
            EXPECT_THAT(run.forwarded, ::testing::IsEmpty());
            EXPECT_FALSE(zelt::test::PathExists(LogPath()));
            continue;
        }
        ASSERT_FALSE(run.forwarded.empty());
        const std::string& last = run.forwarded.back();
        std::smatch m;
        ASSERT_TRUE(std::regex_match(
            last, m,
            std::regex(R"(error\tthread '([^']*)' panicked at 'exception (0x[0-9A-F]{8}) at )"
                       R"(log_host\.exe\+0x([0-9A-F]+)': <unknown>:0)")))
            << last;
        EXPECT_EQ(m[1].str(), c.thread);
        EXPECT_EQ(m[2].str(), c.code);
        const unsigned long long offset = std::stoull(m[3].str(), nullptr, 16);
        const unsigned long long function = std::stoull(run.where.Get(c.function), nullptr, 16);
        EXPECT_GE(offset, function) << run.where.Get(c.function);
        EXPECT_LT(offset, function + (c.exact ? 1 : 0x80)) << run.where.Get(c.function);

        const std::vector<std::string> fileLines = Lines(ReadFile(LogPath()));
        ASSERT_FALSE(fileLines.empty());
        EXPECT_THAT(fileLines.back(), ::testing::EndsWith("] [ERROR] " + last.substr(6)));
    }
}

// The thread that writes a fault's record for the faulting one waits a moment for the log's
// locks: here the host's log callback holds the callback's lock for 200 ms on the start-up's
// thread while a worker faults, and the worker's record still reaches the callback. And once a
// fault is claimed, the start-up does not come back to load the engine into a process about to
// end: it waits for the fault to end it.
TEST(RuntimeLogHost, AFaultOfAnotherThreadIsRecordedPastABriefLockAndNothingGoesOn) {
    ResetLogFiles();
    const HostRun run = RunHost(L"held-log");
    EXPECT_EQ(run.exitCode, std::optional<DWORD>(3));
    EXPECT_FALSE(run.wentOn) << "the start-up came back while a fault was being dealt with";
    const std::regex panic(R"(error\tthread 'zelt-worker' panicked at 'exception 0xC0000005 at )"
                           R"(log_host\.exe\+0x[0-9A-F]+': <unknown>:0)");
    // The start-up's thread goes on logging while the record waits for the lock: the record need
    // not be the last line.
    const auto record =
        std::find_if(run.forwarded.begin(), run.forwarded.end(),
                     [&](const std::string& line) { return std::regex_match(line, panic); });
    ASSERT_NE(record, run.forwarded.end()) << ::testing::PrintToString(run.forwarded);
    EXPECT_THAT(Lines(ReadFile(LogPath())),
                ::testing::Contains(::testing::EndsWith("] [ERROR] " + record->substr(6))));
}

// The runtime puts back the unhandled-exception filter it found only while its own is the one
// installed: a filter that something installed during the start-up (a library it loaded) stays.
TEST(RuntimeLogHost, AFilterInstalledDuringTheStartUpStays) {
    ResetLogFiles();
    const HostRun run = RunHost(L"own-filter");
    EXPECT_EQ(run.exitCode, std::optional<DWORD>(0));
}

}  // namespace

namespace {

// What a debugger sees of a process: each stack overflow it is told of (true for first chance)
// and the exit code.
struct Debugged {
    std::vector<bool> overflows;
    std::optional<DWORD> exitCode;
};

// The exit code the debugger below gives a process that stopped making progress after a stack
// overflow.
constexpr DWORD kStalled = 0x5A11;

// Starts the log host under a debugger of the test's own and runs its debug loop: every exception
// is passed back unhandled, as a debugger that only watches would; a second-chance exception ends
// the process with the exception's code. A process that has not ended 10 s after its first stack
// overflow is ended with kStalled.
Debugged RunUnderDebugger(const std::wstring& mode, const std::wstring& extra) {
    TestDir temp(L"debugged");
    const std::wstring exe = zelt::test::BinPath(L"log_host.exe");
    std::wstring line = zelt::test::QuoteArgument(exe) + L" " + mode + L" " +
                        zelt::test::QuoteArgument(temp / L"forwarded.txt") + L" " + extra;
    std::wstring env = zelt::test::BuildEnvironmentBlock({{L"ZELT_BASLATICI_KUTUSUZ", L"1"}});
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    Debugged seen;
    if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE,
                        DEBUG_ONLY_THIS_PROCESS | CREATE_UNICODE_ENVIRONMENT, env.data(), nullptr,
                        &startup, &info)) {
        ADD_FAILURE() << "cannot start the host under a debugger (error " << GetLastError() << ")";
        return seen;
    }
    ULONGLONG deadline = GetTickCount64() + 60000;
    bool ending = false;
    for (;;) {
        DEBUG_EVENT event = {};
        if (!WaitForDebugEvent(&event, 500)) {
            if (!ending && GetTickCount64() > deadline) {
                ending = true;
                TerminateProcess(info.hProcess, kStalled);
            }
            continue;
        }
        DWORD status = DBG_CONTINUE;
        if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
            const EXCEPTION_DEBUG_INFO& exception = event.u.Exception;
            if (exception.ExceptionRecord.ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
                seen.overflows.push_back(exception.dwFirstChance != 0);
                deadline = GetTickCount64() + 10000;
            }
            // The loader's breakpoint is the debugger's own; everything else is the program's.
            if (exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                status = DBG_EXCEPTION_NOT_HANDLED;
            }
            if (exception.dwFirstChance == 0 && !ending) {
                ending = true;
                TerminateProcess(info.hProcess, exception.ExceptionRecord.ExceptionCode);
            }
        } else if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
            CloseHandle(event.u.CreateProcessInfo.hFile);
        } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
            CloseHandle(event.u.LoadDll.hFile);
        } else if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
            seen.exitCode = event.u.ExitProcess.dwExitCode;
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return seen;
}

// Under a debugger a stack overflow is the debugger's: the runtime does not end the process when
// the debugger is first told of it (with exit code 3), so the debugger sees it once more, as
// nothing handled it. Wine shows the first half only: once the debugger passes the first chance
// back, Wine's exception dispatch runs out of the overflowed stack and the process stalls.
TEST(RuntimeLogHost, AStackOverflowUnderADebuggerIsLeftToTheDebugger) {
    ResetLogFiles();
    const Debugged run = RunUnderDebugger(L"hardware", L"after stack");
    ASSERT_FALSE(run.overflows.empty());
    EXPECT_TRUE(run.overflows.front());
    EXPECT_NE(run.exitCode, std::optional<DWORD>(3)) << "ended by the runtime at first chance";
    if (zelt::test::RunningOnWine()) {
        EXPECT_EQ(run.exitCode, std::optional<DWORD>(kStalled));
        return;
    }
    EXPECT_THAT(run.overflows, ElementsAre(true, false));
    EXPECT_EQ(run.exitCode, std::optional<DWORD>(EXCEPTION_STACK_OVERFLOW));
}

}  // namespace
