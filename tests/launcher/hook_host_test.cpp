// The installer and updater hooks as a host that registered them sees them: the right hook, once,
// with the version's text and the host's user data, then the end of the process with 0.
#include <gtest/gtest.h>

#include "zelt_test.h"

namespace zelt::test {
namespace {

struct HookCase {
    const wchar_t* arguments;     // on the command line, after the program name
    const wchar_t* overrideArgs;  // '|'-separated replacement arguments, or null
    const char* expectedFired;    // "hook|version", or null for none
};

const HookCase kHookCases[] = {
    {L"--upkit-install 1.0.0", nullptr, "install|1.0.0"},
    {L"--UPKIT-Updated 1.2.0-beta.1+build.5", nullptr, "updated|1.2.0-beta.1+build.5"},
    {L"--upkit-obsolete 2.0.0", nullptr, "obsolete|2.0.0"},
    {L"--upkit-uninstall 0.0.1", nullptr, "uninstall|0.0.1"},
    {L"--upkit-updated 1.0.0 more arguments", nullptr, "updated|1.0.0"},
    {L"--upkit-uninstall not-a-version", nullptr, nullptr},
    {L"--upkit-install 01.0.0", nullptr, nullptr},
    {L"--upkit-install \"\"", nullptr, nullptr},
    {L"", L"--upkit-obsolete|3.1.4", "obsolete|3.1.4"},
    {L"--upkit-install 9.9.9", L"--upkit-uninstall|1.0.0", "uninstall|1.0.0"},
};

struct HookRun {
    std::optional<DWORD> exitCode;
    Record record;
};

HookRun RunHookHost(const TempDir& dir, const wchar_t* arguments, const wchar_t* overrideArgs,
                    const EnvChanges& extra = {}) {
    const std::wstring record = dir / L"hooks.txt";
    DeleteFileW(record.c_str());
    ProcessSpec invocation;
    invocation.application = BinPath(L"hook_host.exe");
    invocation.commandLine = QuoteArgument(invocation.application) + L" " + arguments;
    invocation.workingDir = dir.path();
    invocation.env = {{L"ZELT_HOOK_RECORD", record},
                      {L"ZELT_HOOK_ARGS",
                       overrideArgs ? std::optional<std::wstring>(overrideArgs) : std::nullopt},
                      {L"UPKIT_DEBUG", std::nullopt},
                      {L"UPKIT_FIRSTRUN", std::nullopt},
                      {L"UPKIT_RESTART", std::nullopt}};
    invocation.env.insert(invocation.env.end(), extra.begin(), extra.end());
    HookRun run;
    run.exitCode = RunProcess(invocation);
    run.record = Record::Load(record);
    return run;
}

// "hook|version" for each call, after checking that each carried the host's user data.
std::vector<std::string> FiredHooks(const Record& record) {
    const std::string userData = record.Get("userData");
    std::vector<std::string> fired;
    for (const std::string& entry : record.All("fired")) {
        const size_t last = entry.rfind('|');
        EXPECT_EQ(entry.substr(last + 1), userData) << entry;
        fired.push_back(entry.substr(0, last));
    }
    return fired;
}

TEST(HookHost, EachHookArgumentFiresItsHookOnceThenEndsWithZero) {
    TempDir dir(L"hooks");
    for (const HookCase& c : kHookCases) {
        SCOPED_TRACE(Narrow(c.arguments) + (c.overrideArgs ? " / " + Narrow(c.overrideArgs) : ""));
        const HookRun run = RunHookHost(dir, c.arguments, c.overrideArgs);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_FALSE(run.record.Has("returned"));
        const std::vector<std::string> expected = c.expectedFired
                                                      ? std::vector<std::string>{c.expectedFired}
                                                      : std::vector<std::string>{};
        EXPECT_EQ(FiredHooks(run.record), expected);
    }
}

TEST(HookHost, DebugModeFiresTheHookAndGoesOn) {
    TempDir dir(L"hooks");
    const HookRun run =
        RunHookHost(dir, L"--upkit-install 1.0.0", nullptr, {{L"UPKIT_DEBUG", L""}});
    EXPECT_EQ(run.exitCode, 3u);
    EXPECT_TRUE(run.record.Has("returned"));
    EXPECT_EQ(FiredHooks(run.record), std::vector<std::string>{"install|1.0.0"});
}

TEST(HookHost, OrdinaryStartsFireNoInstallerHook) {
    TempDir dir(L"hooks");
    for (const wchar_t* arguments :
         {L"", L"--upkit-install", L"--upkit-install-now 1.2.0", L"-screen-width 1920"}) {
        SCOPED_TRACE(Narrow(arguments));
        const HookRun run = RunHookHost(dir, arguments, nullptr);
        EXPECT_EQ(run.exitCode, 3u);
        EXPECT_TRUE(run.record.Has("returned"));
        EXPECT_EQ(FiredHooks(run.record), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace zelt::test
