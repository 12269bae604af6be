// The installed application's start-up and the updater launch, end to end in real install layouts:
// what the fixture updater is started with, which package files survive, which hooks fire and what
// the engine finds in its environment. The applying path is driven by the start-up test host,
// which leaves the apply-on-start option unset as a host of the runtime may; ZeltOy2.exe itself
// switches it off.
#include <windows.h>
#include <shellapi.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../runtime/zip_writer.h"
#include "misc.h"
#include "zelt_test.h"

namespace zelt::test {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

constexpr const wchar_t* kStartupHost = L"startup_host.exe";
// What the start-up host returns when upkit_app_run came back, and after a direct launch.
constexpr DWORD kHostReturned = 3;
constexpr DWORD kHostLaunched = 4;

// The arguments as Windows itself splits a command line.
std::vector<std::string> SplitLikeWindows(const std::string& commandLine) {
    std::vector<std::string> out;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(Widen(commandLine).c_str(), &count);
    if (argv == nullptr) return out;
    for (int i = 0; i < count; ++i) out.push_back(Narrow(argv[i]));
    LocalFree(argv);
    return out;
}

// The quoted form the runtime logs paths and texts in (backslashes and quotes escaped).
std::string Quoted(const std::wstring& text) {
    std::string out = "\"";
    for (char c : Narrow(text)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// An installation root with the fixture updater, an installed manifest and package files.
struct Layout {
    Installation install;
    std::wstring record;  // what the fixture updater writes when it is started

    Layout(const std::wstring& root, std::string_view manifest)
        : install(LayOutInstallation(root, manifest)), record(JoinPath(root, kUpdaterRecord)) {}

    std::wstring Package(std::string_view version) const {
        return JoinPath(install.packagesDir, L"App-" + Widen(version) + L"-full.nupkg");
    }
    void AddPackages(const std::vector<std::string>& versions) const {
        for (const std::string& version : versions) {
            EXPECT_TRUE(WriteFile(Package(version), zipw::Package("App", version)));
        }
    }
    std::vector<std::wstring> Packages() const { return ListDir(install.packagesDir); }
    // The start-up host placed among the application's files, where auto-location finds the root.
    std::wstring HostInCurrent() const {
        const std::wstring host = JoinPath(install.currentDir, kStartupHost);
        EXPECT_TRUE(CopyFileTo(BinPath(kStartupHost), host));
        return host;
    }
};

std::vector<std::wstring> PackageNames(const std::vector<std::string>& versions) {
    std::vector<std::wstring> names;
    for (const std::string& v : versions) names.push_back(L"App-" + Widen(v) + L"-full.nupkg");
    return names;
}

struct HostRun {
    std::optional<DWORD> exitCode;
    Record record;
};

// Runs the start-up host with its settings in the environment and the given arguments.
HostRun RunHost(const std::wstring& host, const TempDir& scratch, EnvChanges env,
                const std::vector<std::wstring>& args = {}) {
    const std::wstring recordPath = scratch / L"host-record.txt";
    DeleteFileW(recordPath.c_str());
    ProcessSpec invocation;
    invocation.application = host;
    invocation.commandLine = QuoteArgument(host);
    for (const std::wstring& arg : args) invocation.commandLine += L" " + QuoteArgument(arg);
    env.push_back({L"ZELT_HOST_RECORD", recordPath});
    env.push_back({L"ZELT_BASLATICI_KUTUSUZ", L"1"});
    invocation.env = std::move(env);
    HostRun run;
    run.exitCode = RunProcess(invocation);
    run.record = Record::Load(recordPath);
    return run;
}

// Waits for the fixture updater's record; the updater runs on by itself after the launch.
std::optional<UpdaterRecord> AwaitUpdater(const std::wstring& recordPath) {
    if (!WaitForFile(recordPath, 20000)) return std::nullopt;
    return ReadUpdaterRecord(recordPath);
}

// ---- The updater launch, called directly ----

struct LaunchCase {
    const char* name;
    std::wstring rootName;
    std::vector<std::wstring> restartArgs;
    EnvChanges settings;
    // The expected command line after the package path, with "{pid}" for the host's id, "{root}"
    // for the root and "{packages}" for the packages folder (each quoted when it holds a blank).
    std::string afterPackage;
};

TEST(UpdaterLaunch, CommandLineWorkingDirectoryAndArguments) {
    const LaunchCase cases[] = {
        {"restart arguments with blanks, empty and quoted ones",
         L"My Games",
         {L"-windowed", L"-slot 2", L"", L"a\"b", L"C:\\x y\\", L"a\\\\\"b", L"ğüş"},
         {},
         " --waitPid {pid} --root {root} --packageDir {packages} -- -windowed \"-slot 2\" "
         "\"\" a\\\"b \"C:\\x y\\\\\" a\\\\\\\\\\\"b ğüş"},
        {"no restart arguments",
         L"App",
         {},
         {},
         " --waitPid {pid} --root {root} --packageDir {packages}"},
        {"no wait, silent, no restart",
         L"App",
         {L"x"},
         {{L"ZELT_HOST_WAIT", L"none"}, {L"ZELT_HOST_SILENT", L"1"}, {L"ZELT_HOST_RESTART", L"0"}},
         " --silent --norestart --root {root} --packageDir {packages} -- x"},
        {"a given process id",
         L"App",
         {},
         {{L"ZELT_HOST_WAIT", L"7"}},
         " --waitPid 7 --root {root} --packageDir {packages}"},
    };
    for (const LaunchCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir(L"launch");
        const Layout layout(dir / c.rootName, ManifestXml("App", "1.0.0"));
        layout.AddPackages({"2.0.0"});
        const std::wstring& root = layout.install.root;
        const bool blank = root.find(L' ') != std::wstring::npos;
        auto q = [&](const std::wstring& path) {
            return blank ? "\"" + Narrow(path) + "\"" : Narrow(path);
        };

        EnvChanges env = c.settings;
        env.push_back({L"ZELT_HOST_MODE", L"launch"});
        env.push_back({L"ZELT_HOST_ROOT", root});
        env.push_back({L"ZELT_HOST_FILE", L"App-2.0.0-full.nupkg"});
        const HostRun run = RunHost(BinPath(kStartupHost), dir, env, c.restartArgs);
        ASSERT_EQ(run.exitCode, kHostLaunched);
        ASSERT_EQ(run.record.Get("launch"), "ok");

        const std::optional<UpdaterRecord> updater = AwaitUpdater(layout.record);
        ASSERT_TRUE(updater.has_value()) << "the updater did not start";
        std::string expected = "\"" + Narrow(layout.install.updateExe) + "\" apply --package " +
                               q(layout.Package("2.0.0")) + c.afterPackage;
        const std::pair<std::string, std::string> values[] = {
            {"{pid}", run.record.Get("pid")},
            {"{root}", q(root)},
            {"{packages}", q(layout.install.packagesDir)}};
        for (const auto& [key, value] : values) {
            for (size_t at; (at = expected.find(key)) != std::string::npos;) {
                expected.replace(at, key.size(), value);
            }
        }
        EXPECT_EQ(updater->commandLine, expected);
        EXPECT_EQ(updater->workingDir, Narrow(root));

        // Windows' own splitting gives back exactly the arguments the runtime meant.
        std::vector<std::string> args = SplitLikeWindows(updater->commandLine);
        ASSERT_FALSE(args.empty());
        EXPECT_EQ(args[0], Narrow(layout.install.updateExe));
        if (!c.restartArgs.empty()) {
            std::vector<std::string> tail(args.end() - c.restartArgs.size(), args.end());
            std::vector<std::string> wanted;
            for (const std::wstring& a : c.restartArgs) wanted.push_back(Narrow(a));
            EXPECT_EQ(tail, wanted);
        }

        // The two launch lines, with the program, the folder and the line in their quoted forms.
        const std::vector<std::string> info = run.record.All("log.info");
        ASSERT_EQ(info.size(), 2u);
        std::string line = Quoted(Widen(updater->commandLine));
        line.insert(line.size() - 1, "\\0");  // the buffer's final NUL
        EXPECT_EQ(info[0], "About to launch: 'WideString(" + Quoted(layout.install.updateExe) +
                               ")' in dir 'Some(WideString(" + Quoted(root) +
                               "))' with arguments: WideString(" + line + ") [upkit::process]");
        EXPECT_EQ(info[1],
                  "Environment block present: true, flags: PROCESS_CREATION_FLAGS(134218752) "
                  "[upkit::process]");
    }
}

TEST(UpdaterLaunch, EnvironmentPassesWithoutEmptyValuesAndDriveFolders) {
    TempDir dir(L"lenv");
    const Layout layout(dir / L"App", ManifestXml("App", "1.0.0"));
    layout.AddPackages({"2.0.0"});
    const HostRun run = RunHost(BinPath(kStartupHost), dir,
                                {{L"ZELT_HOST_MODE", L"launch"},
                                 {L"ZELT_HOST_ROOT", layout.install.root},
                                 {L"ZELT_HOST_FILE", L"App-2.0.0-full.nupkg"},
                                 {L"ZELT_HOST_ENVLIST", L"1"},
                                 {L"ZELT_EMPTY_VALUE", L""},
                                 {L"ZELT_TEXT_VALUE", L"değer = ğüş"},
                                 {L"=Z:", L"Z:\\oyun"}});
    ASSERT_EQ(run.exitCode, kHostLaunched);
    ASSERT_EQ(run.record.Get("launch"), "ok");
    const std::optional<UpdaterRecord> updater = AwaitUpdater(layout.record);
    ASSERT_TRUE(updater.has_value());

    // The host's own environment, as the system listed it just before the launch.
    const std::vector<std::string> hostEnv = run.record.All("hostenv");
    ASSERT_THAT(hostEnv, ::testing::Contains("ZELT_EMPTY_VALUE=")) << "the condition was not made";
    ASSERT_THAT(hostEnv, ::testing::Contains("=Z:=Z:\\oyun")) << "the condition was not made";
    std::vector<std::string> kept;
    for (const std::string& entry : hostEnv) {
        const size_t eq = entry.find('=', 1);
        if (entry[0] == '=' || eq == std::string::npos || eq + 1 == entry.size()) continue;
        kept.push_back(entry);
    }
    EXPECT_THAT(updater->environment, ElementsAreArray(kept));
    EXPECT_EQ(updater->EnvValue("ZELT_TEXT_VALUE"), "değer = ğüş");
    EXPECT_FALSE(updater->EnvValue("ZELT_EMPTY_VALUE").has_value());
}

TEST(UpdaterLaunch, OnlyDriveFolderEntriesLeaveTheEnvironmentToInheritance) {
    TempDir dir(L"linh");
    const Layout layout(dir / L"App", ManifestXml("App", "1.0.0"));
    layout.AddPackages({"2.0.0"});
    // The host clears every other variable of its own just before the launch.
    const HostRun run = RunHost(BinPath(kStartupHost), dir,
                                {{L"ZELT_HOST_MODE", L"launch"},
                                 {L"ZELT_HOST_ROOT", layout.install.root},
                                 {L"ZELT_HOST_FILE", L"App-2.0.0-full.nupkg"},
                                 {L"ZELT_HOST_ENVLIST", L"1"},
                                 {L"ZELT_HOST_STRIPENV", L"1"},
                                 {L"=Z:", L"Z:\\oyun"}});
    ASSERT_EQ(run.exitCode, kHostLaunched);
    ASSERT_EQ(run.record.Get("launch"), "ok");
    for (const std::string& entry : run.record.All("hostenv")) {
        ASSERT_EQ(entry[0], '=') << "the condition was not made: " << entry;
    }
    EXPECT_EQ(run.record.All("log.info").at(1),
              "Environment block present: false, flags: PROCESS_CREATION_FLAGS(134218752) "
              "[upkit::process]");
    const std::optional<UpdaterRecord> updater = AwaitUpdater(layout.record);
    ASSERT_TRUE(updater.has_value());
    // Inherited, so the drive-folder entry is still there.
    EXPECT_THAT(updater->environment, ::testing::Contains("=Z:=Z:\\oyun"));
}

TEST(UpdaterLaunch, MissingPackageStartsNothing) {
    TempDir dir(L"lmiss");
    const Layout layout(dir / L"App", ManifestXml("App", "1.0.0"));
    const HostRun run = RunHost(BinPath(kStartupHost), dir,
                                {{L"ZELT_HOST_MODE", L"launch"},
                                 {L"ZELT_HOST_ROOT", layout.install.root},
                                 {L"ZELT_HOST_FILE", L"x-full.nupkg"}});
    ASSERT_EQ(run.exitCode, kHostLaunched);
    const std::wstring package = JoinPath(layout.install.packagesDir, L"x-full.nupkg");
    EXPECT_EQ(run.record.Get("launch"), "FileNotFound(" + Quoted(package) + ")");
    EXPECT_EQ(run.record.All("log.error"),
              std::vector<std::string>{"Package does not exist on disk: '" + Quoted(package) +
                                       "' [upkit::manager]"});
    EXPECT_TRUE(run.record.All("log.info").empty());
    EXPECT_FALSE(PathExists(layout.record));
}

TEST(UpdaterLaunch, RefusedProcessCreationGivesTheWrappedLastError) {
    TempDir dir(L"lbad");
    const Layout layout(dir / L"App", ManifestXml("App", "1.0.0"));
    layout.AddPackages({"2.0.0"});
    ASSERT_TRUE(WriteFile(layout.install.updateExe, "not a program"));
    const HostRun run = RunHost(BinPath(kStartupHost), dir,
                                {{L"ZELT_HOST_MODE", L"launch"},
                                 {L"ZELT_HOST_ROOT", layout.install.root},
                                 {L"ZELT_HOST_FILE", L"App-2.0.0-full.nupkg"}});
    ASSERT_EQ(run.exitCode, kHostLaunched);
    const std::string launch = run.record.Get("launch");
    // 0x80070000 | the last error, shown as a negative 32-bit number.
    EXPECT_THAT(launch, ::testing::StartsWith("Io(Os { code: -21470"));
    const long long code = std::stoll(launch.substr(std::string("Io(Os { code: ").size()));
    EXPECT_EQ(static_cast<uint32_t>(code) & 0xFFFF0000u, 0x80070000u) << launch;
    EXPECT_NE(static_cast<uint32_t>(code) & 0xFFFFu, 0u) << launch;
    EXPECT_EQ(run.record.All("log.info").size(), 2u);
}

// ---- The installed application's start-up ----

TEST(InstalledStartupHost, AppliesTheNewestPackageAndEndsWithExitCodeZero) {
    TempDir dir(L"sapply");
    const Layout layout(dir / L"Zelt Oyun", ManifestXml("App", "1.0.0"));
    layout.AddPackages({"0.9.0", "1.0.0", "1.1.0", "1.2.0"});
    const HostRun run = RunHost(layout.HostInCurrent(), dir, {}, {L"-windowed", L"-slot 2", L""});
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(run.record.Has("returned")) << "upkit_app_run came back";

    const std::optional<UpdaterRecord> updater = AwaitUpdater(layout.record);
    ASSERT_TRUE(updater.has_value()) << "the updater did not start";
    const std::vector<std::string> expected = {Narrow(layout.install.updateExe),
                                               "apply",
                                               "--package",
                                               Narrow(layout.Package("1.2.0")),
                                               "--waitPid",
                                               run.record.Get("pid"),
                                               "--root",
                                               Narrow(layout.install.root),
                                               "--packageDir",
                                               Narrow(layout.install.packagesDir),
                                               "--",
                                               "-windowed",
                                               "-slot 2",
                                               ""};
    EXPECT_EQ(SplitLikeWindows(updater->commandLine), expected);
    EXPECT_EQ(updater->workingDir, Narrow(layout.install.root));
    // Nothing is removed before the hand-over.
    EXPECT_EQ(layout.Packages(), PackageNames({"0.9.0", "1.0.0", "1.1.0", "1.2.0"}));
    EXPECT_THAT(run.record.All("log.info"),
                ::testing::Contains("Setting current process explicit AppUserModelID to "
                                    "'upkit.App'"));
}

TEST(InstalledStartupHost, ExplicitLayoutAndArgumentOverride) {
    TempDir dir(L"sover");
    const Layout layout(dir / L"App", ManifestXml("App", "1.0.0"));
    layout.AddPackages({"1.5.0"});
    const HostRun run =
        RunHost(BinPath(kStartupHost), dir,
                {{L"ZELT_HOST_ROOT", layout.install.root}, {L"ZELT_HOST_ARGS", L"a b||c\"d"}},
                {L"ignored"});
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_THAT(run.record.All("log.warn"),
                ::testing::Contains("Using explicit locator configuration, ignoring auto-locate."));
    const std::optional<UpdaterRecord> updater = AwaitUpdater(layout.record);
    ASSERT_TRUE(updater.has_value());
    const std::vector<std::string> args = SplitLikeWindows(updater->commandLine);
    ASSERT_GE(args.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(args.end() - 4, args.end()),
              (std::vector<std::string>{"--", "a b", "", "c\"d"}));
}

TEST(InstalledStartupHost, MarkersSuppressApplyingAndFireTheirHooks) {
    struct Case {
        const char* name;
        EnvChanges env;
        std::vector<std::string> firstRun;
        std::vector<std::string> restarted;
    };
    const Case cases[] = {
        {"restart marker", {{L"UPKIT_RESTART", L"1"}}, {}, {"1.0.0"}},
        {"restart marker with an empty value", {{L"UPKIT_RESTART", L""}}, {}, {"1.0.0"}},
        {"both markers",
         {{L"UPKIT_RESTART", L"x"}, {L"UPKIT_FIRSTRUN", L"1"}},
         {"1.0.0"},
         {"1.0.0"}},
        {"first run without applying",
         {{L"UPKIT_FIRSTRUN", L"1"}, {L"ZELT_HOST_APPLY", L"0"}},
         {"1.0.0"},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir(L"smark");
        const Layout layout(dir / L"App", ManifestXml("App", "1.0.0"));
        layout.AddPackages({"0.9.0", "1.0.0", "1.1.0", "1.2.0"});
        const HostRun run = RunHost(layout.HostInCurrent(), dir, c.env);
        EXPECT_EQ(run.exitCode, kHostReturned);
        EXPECT_EQ(run.record.All("hook.firstrun"), c.firstRun);
        EXPECT_EQ(run.record.All("hook.restarted"), c.restarted);
        for (const std::string& marker : run.record.All("hook.firstrun.userData")) {
            EXPECT_EQ(marker, "marker");
        }
        EXPECT_EQ(run.record.Get("after.UPKIT_FIRSTRUN.present"), "0");
        EXPECT_EQ(run.record.Get("after.UPKIT_RESTART.present"), "0");
        EXPECT_FALSE(PathExists(layout.record)) << "the updater was started";
        EXPECT_EQ(layout.Packages(), PackageNames({"1.0.0", "1.2.0"}));
    }
}

TEST(InstalledStartupHost, AFailedHandOverIsLoggedAndTheStartGoesOn) {
    TempDir dir(L"sfail");
    const Layout layout(dir / L"App", ManifestXml("App", "1.0.0"));
    layout.AddPackages({"0.9.0", "1.2.0"});
    ASSERT_TRUE(WriteFile(layout.install.updateExe, "not a program"));
    const HostRun run = RunHost(layout.HostInCurrent(), dir, {});
    EXPECT_EQ(run.exitCode, kHostReturned);
    const std::vector<std::string> errors = run.record.All("log.error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THAT(errors[0], ::testing::StartsWith(
                               "UpkitApp: Error applying pending updates on startup: Io(Os { "));
    EXPECT_EQ(layout.Packages(), PackageNames({"1.2.0"}));
}

TEST(InstalledStartupHost, IdentityComesFromTheManifest) {
    struct Case {
        std::string manifest;
        std::string identity;
    };
    const Case cases[] = {
        {ManifestXml("Zelt.Oyun", "1.0.0"), "upkit.Zelt.Oyun"},
        {"<package><metadata><id>App</id><version>1.0.0</version><mainExe>App.exe</mainExe>"
         "<shortcutAumid>Zelt.ZeltOy2.Kisayol</shortcutAumid></metadata></package>",
         "Zelt.ZeltOy2.Kisayol"},
    };
    for (const Case& c : cases) {
        TempDir dir(L"sid");
        const Layout layout(dir / L"App", c.manifest);
        const HostRun run = RunHost(layout.HostInCurrent(), dir, {});
        EXPECT_EQ(run.exitCode, kHostReturned);
        EXPECT_THAT(run.record.All("log.info"),
                    ::testing::Contains("Setting current process explicit AppUserModelID to '" +
                                        c.identity + "'"));
    }
}

// The identity the shell groups the game's windows and taskbar button by, read back from the
// system in the process itself: it must be there and be the manifest's.
TEST(InstalledStartupHost, TheSystemReportsTheIdentityBack) {
    ZELT_SKIP_ON_WINE("Wine does not keep a process's explicit application user model identity");
    TempDir dir(L"sidb");
    const Layout layout(dir / L"App", ManifestXml("Zelt.Oyun", "1.0.0"));
    const HostRun run = RunHost(layout.HostInCurrent(), dir, {});
    EXPECT_EQ(run.exitCode, kHostReturned);
    EXPECT_EQ(run.record.Find("aumid"), std::optional<std::string>("upkit.Zelt.Oyun"));
}

TEST(InstalledStartupHost, OutsideAnInstallationOnlyTheErrorIsLogged) {
    TempDir dir(L"sout");
    const std::wstring host = dir / kStartupHost;
    ASSERT_TRUE(CopyFileTo(BinPath(kStartupHost), host));
    const HostRun run = RunHost(host, dir, {{L"UPKIT_FIRSTRUN", L"1"}, {L"UPKIT_RESTART", L"1"}});
    EXPECT_EQ(run.exitCode, kHostReturned);
    EXPECT_EQ(run.record.All("log.error"),
              std::vector<std::string>{
                  "UpkitApp: Error loading manager/locator: NotInstalled(\"Could not auto-locate "
                  "app manifest\")"});
    EXPECT_EQ(run.record.Get("after.UPKIT_FIRSTRUN.present"), "1");
    EXPECT_EQ(run.record.Get("after.UPKIT_RESTART.present"), "1");
    EXPECT_FALSE(run.record.Has("hook.firstrun"));
}

// ---- ZeltOy2.exe itself ----

// The runtime log of an installation, in the per-user folder as the shell reports it.
std::wstring RuntimeLog(std::string_view id) {
    return JoinPath(JoinPath(LocalAppDataFolder(), L"upkit"), L"upkit_" + Widen(id) + L".log");
}

// The messages of the log file's lines, without the line heads.
std::vector<std::string> LogMessages(const std::wstring& path) {
    std::vector<std::string> out;
    const std::string text = TryReadFile(path).value_or("");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t level = line.find("] [", line.find("] [") + 1);
        const size_t head =
            level == std::string::npos ? std::string::npos : line.find("] ", level + 1);
        if (head != std::string::npos) out.push_back(line.substr(head + 2));
        start = end + 1;
    }
    return out;
}

HostRun RunGame(const std::wstring& exe, const TempDir& scratch, EnvChanges env) {
    const std::wstring report = scratch / L"engine-report.txt";
    DeleteFileW(report.c_str());
    ProcessSpec invocation;
    invocation.application = exe;
    invocation.commandLine = QuoteArgument(exe);
    env.push_back({L"ZELT_BASLATICI_KUTUSUZ", L"1"});
    env.push_back({L"ZELT_FIXTURE_REPORT", report});
    env.push_back({L"ZELT_FIXTURE_RESULT", L"7"});
    env.push_back({L"ZELT_FIXTURE_ENV", L"UPKIT_FIRSTRUN;UPKIT_RESTART"});
    invocation.env = std::move(env);
    HostRun run;
    run.exitCode = RunProcess(invocation);
    run.record = Record::Load(report);
    return run;
}

TEST(InstalledStartupGame, KeepsTheDownloadedUpdateAndRemovesOutdatedPackages) {
    TempDir dir(L"game");
    const std::string id = "InstStart.Game" + std::to_string(GetCurrentProcessId());
    const Layout layout(dir / L"ZeltOy2", ManifestXml(id, "1.0.0"));
    // Package files named after the application, whatever their manifest's id.
    layout.AddPackages({"0.9.0", "1.0.0", "1.1.0", "1.2.0"});
    const std::wstring log = RuntimeLog(id);
    DeleteFileW(log.c_str());

    // No restart marker: nothing but the launcher's own setting keeps the newer package from
    // being handed to the updater.
    const HostRun run = RunGame(layout.install.exe, dir,
                                {{L"UPKIT_FIRSTRUN", L"1"}, {L"UPKIT_RESTART", std::nullopt}});
    EXPECT_EQ(run.exitCode, 7u);
    EXPECT_EQ(layout.Packages(), PackageNames({"1.0.0", "1.2.0"}));
    EXPECT_FALSE(PathExists(layout.record)) << "the launcher must not apply at start-up";
    // The engine runs after the marker was consumed.
    EXPECT_EQ(run.record.Get("env.UPKIT_FIRSTRUN.present"), "0");

    const std::vector<std::string> messages = LogMessages(log);
    EXPECT_THAT(messages, ::testing::Contains("Setting current process explicit AppUserModelID to "
                                              "'upkit." +
                                              id + "'"));
    EXPECT_THAT(messages,
                ::testing::Contains("Removing old package: " + Quoted(layout.Package("0.9.0"))));
    EXPECT_THAT(messages,
                ::testing::Contains("Removing old package: " + Quoted(layout.Package("1.1.0"))));
    EXPECT_THAT(messages, ::testing::Not(::testing::Contains(HasSubstr("About to launch"))));
    DeleteFileW(log.c_str());
}

TEST(InstalledStartupGame, OutsideAnInstallationTheMarkersStay) {
    TempDir dir(L"gout");
    const std::wstring exe = dir / kLauncherExe;
    ASSERT_TRUE(CopyFileTo(BinPath(kLauncherExe), exe));
    ASSERT_TRUE(CopyFileTo(BinPath(kFixtureEngine), dir / L"UnityPlayer.dll"));
    const HostRun run = RunGame(exe, dir, {{L"UPKIT_FIRSTRUN", L"1"}, {L"UPKIT_RESTART", L""}});
    EXPECT_EQ(run.exitCode, 7u);
    EXPECT_EQ(run.record.Get("env.UPKIT_FIRSTRUN.present"), "1");
    EXPECT_EQ(run.record.Get("env.UPKIT_RESTART.present"), "1");
    EXPECT_EQ(run.record.Get("env.UPKIT_RESTART"), "");
}

}  // namespace
}  // namespace zelt::test
