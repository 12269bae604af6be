// The install locator in real layouts: the test host (tests/hosts/locator_host.cpp) is copied into
// an installation and locates it from there, writing its log records and findings to a file.
// Each test uses its own manifest id, since the per-user fallback directory under LocalAppData is
// shared by every test in the Wine prefix.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "locator.h"
#include "misc.h"
#include "misc_path.h"
#include "zelt_test.h"

#include <winioctl.h>

namespace {

namespace zt = zelt::test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr const wchar_t* kHost = L"locator_host.exe";
constexpr size_t kLimit = upkit::kMaxManifestBytes;

std::string N(const std::wstring& wide) {
    return zt::Narrow(wide);
}

std::string Info(const std::string& message) {
    return "INFO upkit::locator " + message;
}
std::string Warn(const std::string& message) {
    return "WARN upkit::locator " + message;
}
std::string Error(const std::string& message) {
    return "ERROR upkit::locator " + message;
}
const std::string kAutoLocating = Info("Auto-locating app manifest...");
const std::string kUnknownWarning =
    Warn("Unknown location context, trying to auto-locate from current exe location...");

std::string Manifest(std::string_view id) {
    return zt::ManifestXml(id, "1.4.0");
}

// The debug form of a path, as the "not readable" message quotes it.
std::string Quoted(const std::wstring& path) {
    return upkit::PathDebug(upkit::Path(std::u16string(path.begin(), path.end())));
}

// The per-user folder, as the shell reports it independently of the runtime.
std::wstring LocalAppData() {
    return zt::LocalAppDataFolder();
}

// The per-user fallback directory of an id, removed before and after the test.
class FallbackDir {
public:
    explicit FallbackDir(std::wstring_view id) : path_(zt::JoinPath(LocalAppData(), id)) {
        zt::RemoveTree(path_);
    }
    ~FallbackDir() { zt::RemoveTree(path_); }
    const std::wstring& path() const { return path_; }
    std::wstring operator/(std::wstring_view name) const { return zt::JoinPath(path_, name); }

private:
    std::wstring path_;
};

struct HostRun {
    zt::Record out;
    std::vector<std::string> log;
    std::chrono::milliseconds elapsed{0};

    std::string Get(std::string_view key) const { return out.Get(key); }
    // The log lines of one target.
    std::vector<std::string> Of(std::string_view target) const {
        std::vector<std::string> lines;
        for (const std::string& line : log) {
            const size_t space = line.find(' ');
            if (line.compare(space + 1, target.size() + 1, std::string(target) + " ") == 0) {
                lines.push_back(line);
            }
        }
        return lines;
    }
};

class LocatorWin : public ::testing::Test {
protected:
    // Copies the host to the given place and runs it with the arguments after the output file.
    HostRun Run(const std::wstring& exe, const std::vector<std::wstring>& args) {
        if (!zt::PathExists(exe)) {
            EXPECT_TRUE(zt::CopyFileTo(zt::BinPath(kHost), exe));
        }
        const std::wstring out = work_ / (L"out" + std::to_wstring(++runs_) + L".txt");
        zt::ProcessSpec invocation;
        invocation.application = exe;
        invocation.commandLine = zt::QuoteArgument(exe) + L" " + zt::QuoteArgument(out);
        for (const std::wstring& arg : args)
            invocation.commandLine += L" " + zt::QuoteArgument(arg);
        invocation.workingDir = work_.path();
        const auto start = std::chrono::steady_clock::now();
        const std::optional<DWORD> code = zt::RunProcess(invocation);
        HostRun run;
        run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        EXPECT_EQ(code, std::optional<DWORD>(0));
        run.out = zt::Record::Load(out);
        run.log = run.out.All("log");
        return run;
    }

    // An installation: Update.exe (with recognisable bytes) and current\sq.version.
    void Install(const std::wstring& root, std::string_view manifestText) {
        ASSERT_TRUE(zt::WriteFile(zt::JoinPath(root, L"Update.exe"), "updater in " + N(root)));
        ASSERT_TRUE(zt::WriteFile(zt::JoinPath(root, L"current\\sq.version"), manifestText));
    }

    zt::TempDir work_{L"locw"};
    zt::TempDir dir_{L"loc"};
    int runs_ = 0;
};

// ---- Auto-location from the running executable ----

TEST_F(LocatorWin, InstalledGameFindsItsRootByThePatternWithTheseLinesInOrder) {
    const std::wstring root = dir_ / L"ZeltOy2";
    Install(root, Manifest("LocTest.Standard"));
    ASSERT_TRUE(zt::MakeDirs(zt::JoinPath(root, L".portable")));

    const HostRun run = Run(root + L"\\current\\ZeltOy2.exe", {L"auto", L"current"});
    EXPECT_THAT(run.log,
                ElementsAre(kAutoLocating, kAutoLocating,
                            Info("Found Update.exe by current path pattern search in directory: " +
                                 N(root)),
                            Info("Root directory '" + N(root) + "' writable: true"),
                            Info("Using root packages directory: " + N(root) + "\\packages")));
    EXPECT_EQ(run.Get("rootDir"), N(root));
    EXPECT_EQ(run.Get("updaterPath"), N(root) + "\\Update.exe");
    EXPECT_EQ(run.Get("packagesDir"), N(root) + "\\packages");
    EXPECT_EQ(run.Get("currentDir"), N(root) + "\\current");
    EXPECT_EQ(run.Get("manifestPath"), N(root) + "\\current\\sq.version");
    EXPECT_EQ(run.Get("portable"), "true");
    EXPECT_EQ(run.Get("id"), "LocTest.Standard");
    EXPECT_EQ(run.Get("version"), "1.4.0");
    EXPECT_EQ(run.Get("mainExe"), "ZeltOy2.exe");
    // The packages directory is only named, not created, and the probe leaves nothing behind.
    EXPECT_THAT(zt::ListDir(root), ElementsAre(L".portable", L"Update.exe", L"current"));
}

TEST_F(LocatorWin, WhereTheExecutableLiesDecidesTheRoot) {
    const std::wstring root = dir_.path();
    struct Case {
        const char* name;
        std::vector<std::wstring> updaters;   // relative to the temporary root
        std::vector<std::wstring> manifests;  // relative to the temporary root
        std::wstring exe;                     // relative to the temporary root
        std::wstring foundRoot;               // empty: not located
        std::string foundLine;                // the "Found Update.exe ..." line, if any
        std::string error;                    // the error's message when not located
    };
    const Case cases[] = {
        {"an Update.exe inside current wins and has no manifest beside it",
         {L"a\\Update.exe", L"a\\current\\Update.exe"},
         {L"a\\current\\sq.version"},
         L"a\\current\\ZeltOy2.exe",
         L"",
         "Found Update.exe in parent directory: " + N(root) + "\\a\\current",
         "Manifest file does not exist in the expected path (" + N(root) +
             "\\a\\current\\current\\sq.version)"},
        {"a capital Current is no match",
         {L"b\\Update.exe"},
         {L"b\\Current\\sq.version"},
         L"b\\Current\\ZeltOy2.exe",
         L"",
         "",
         "Could not auto-locate app manifest"},
        {"only the last current is tried",
         {L"c\\Update.exe"},
         {L"c\\current\\sq.version"},
         L"c\\current\\x\\current\\ZeltOy2.exe",
         L"",
         "",
         "Could not auto-locate app manifest"},
        {"the last current names the root",
         {L"d\\Update.exe", L"d\\current\\x\\Update.exe"},
         {L"d\\current\\sq.version", L"d\\current\\x\\current\\sq.version"},
         L"d\\current\\x\\current\\ZeltOy2.exe",
         L"d\\current\\x",
         "Found Update.exe by current path pattern search in directory: " + N(root) +
             "\\d\\current\\x",
         ""},
        {"the executable is the root's Update.exe",
         {},
         {L"e\\current\\sq.version"},
         L"e\\Update.exe",
         L"e",
         "Found Update.exe in parent directory: " + N(root) + "\\e",
         ""},
        {"no installation around the executable",
         {},
         {},
         L"f\\bin\\ZeltOy2.exe",
         L"",
         "",
         "Could not auto-locate app manifest"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::wstring& u : c.updaters) {
            ASSERT_TRUE(zt::WriteFile(zt::JoinPath(root, u), "updater"));
        }
        for (const std::wstring& m : c.manifests) {
            ASSERT_TRUE(zt::WriteFile(zt::JoinPath(root, m), Manifest("LocTest.Where")));
        }
        const HostRun run = Run(zt::JoinPath(root, c.exe), {L"auto", L"current"});
        std::vector<std::string> expected = {kAutoLocating, kAutoLocating};
        if (!c.foundLine.empty()) expected.push_back(Info(c.foundLine));
        if (c.foundRoot.empty()) {
            EXPECT_EQ(run.out.Find("rootDir"), std::nullopt);
            EXPECT_EQ(run.Get("message"), c.error);
            EXPECT_THAT(run.log, ElementsAreArray(expected));
        } else {
            EXPECT_EQ(run.Get("rootDir"), N(zt::JoinPath(root, c.foundRoot)));
            // After these come the lines of the packages-directory choice.
            const size_t head = std::min(run.log.size(), expected.size());
            EXPECT_THAT(std::vector<std::string>(run.log.begin(), run.log.begin() + head),
                        ElementsAreArray(expected));
        }
    }
}

TEST_F(LocatorWin, UpdaterProcessAndUnknownContexts) {
    const std::wstring root = dir_ / L"App";
    Install(root, Manifest("LocTest.Contexts"));
    const std::wstring game = root + L"\\current\\ZeltOy2.exe";
    // Run as the updater itself: the executable's directory is the root.
    const std::wstring updater = root + L"\\Update.exe";
    ASSERT_TRUE(zt::CopyFileTo(zt::BinPath(kHost), updater));
    HostRun asUpdater = Run(updater, {L"auto", L"updater"});
    EXPECT_EQ(asUpdater.Get("rootDir"), N(root));
    EXPECT_THAT(asUpdater.log,
                ElementsAre(kAutoLocating, Info("Root directory '" + N(root) + "' writable: true"),
                            Info("Using root packages directory: " + N(root) + "\\packages")));

    // The updater context from inside current takes current as the root.
    HostRun fromCurrent = Run(game, {L"auto", L"updater"});
    EXPECT_EQ(fromCurrent.Get("message"), "Update.exe does not exist in the expected path (" +
                                              N(root) + "\\current\\Update.exe)");
    EXPECT_THAT(fromCurrent.log, ElementsAre(kAutoLocating));

    HostRun unknown = Run(game, {L"auto", L"unknown"});
    EXPECT_EQ(unknown.Get("rootDir"), N(root));
    EXPECT_THAT(unknown.log,
                ElementsAre(kAutoLocating, kUnknownWarning, kAutoLocating, kAutoLocating,
                            Info("Found Update.exe by current path pattern search in directory: " +
                                 N(root)),
                            Info("Root directory '" + N(root) + "' writable: true"),
                            Info("Using root packages directory: " + N(root) + "\\packages")));

    HostRun nowhere = Run(dir_ / L"loose\\tool.exe", {L"auto", L"unknown"});
    EXPECT_EQ(nowhere.Get("error"), R"~(NotInstalled("Could not auto-locate app manifest"))~");
    EXPECT_THAT(nowhere.log, ElementsAre(kAutoLocating, kUnknownWarning, kAutoLocating,
                                         kAutoLocating, kAutoLocating));
}

// ---- Choosing the packages directory ----

TEST_F(LocatorWin, RootDirectoryWithAPackagesDirectory) {
    const std::wstring root = dir_ / L"App";
    Install(root, Manifest("LocTest.RootDir"));
    const std::wstring cache = dir_ / L"cache";
    ASSERT_TRUE(zt::MakeDirs(cache));
    const std::wstring game = root + L"\\current\\ZeltOy2.exe";

    HostRun custom = Run(game, {L"auto", L"root", root, cache});
    EXPECT_EQ(custom.Get("packagesDir"), N(cache));
    EXPECT_EQ(custom.Get("updaterPath"), N(root) + "\\Update.exe");
    EXPECT_THAT(custom.log,
                ElementsAre(kAutoLocating,
                            Info("Using custom packages directory (writable): " + N(cache))));

    const std::wstring missing = dir_ / L"no-such-cache";
    HostRun notThere = Run(game, {L"auto", L"root", root, missing});
    EXPECT_EQ(notThere.Get("packagesDir"), N(root) + "\\packages");
    EXPECT_FALSE(zt::PathExists(missing));
    EXPECT_THAT(notThere.Of("upkit::locator"),
                ElementsAre(kAutoLocating,
                            Warn("Custom packages directory is not writable, falling through to "
                                 "standard logic: " +
                                 N(missing)),
                            Info("Root directory '" + N(root) + "' writable: true"),
                            Info("Using root packages directory: " + N(root) + "\\packages")));
    EXPECT_THAT(notThere.Of("upkit::misc"),
                ElementsAre(HasSubstr("Failed to open directory for writing " +
                                      Quoted(missing + L"\\.upkit_dir_test") + ": ")));

    // The root's own packages directory spelled another way is no custom directory.
    HostRun respelled = Run(game, {L"auto", L"root", root, root + L"/packages\\"});
    EXPECT_EQ(respelled.Get("packagesDir"), N(root) + "\\packages");
    EXPECT_THAT(respelled.log,
                ElementsAre(kAutoLocating, Info("Root directory '" + N(root) + "' writable: true"),
                            Info("Using root packages directory: " + N(root) + "\\packages")));
}

TEST_F(LocatorWin, ARootThatRefusesNewFilesMovesPackagesToLocalAppData) {
    const std::wstring root = dir_ / L"App";
    Install(root, Manifest("LocTest.Fallback"));
    // The probe cannot create its file where a directory of that name stands.
    ASSERT_TRUE(zt::MakeDirs(zt::JoinPath(root, L".upkit_dir_test")));
    FallbackDir fallback(L"LocTest.Fallback");
    const std::wstring game = root + L"\\current\\ZeltOy2.exe";

    const std::vector<std::string> common = {
        kAutoLocating, kAutoLocating,
        Info("Found Update.exe by current path pattern search in directory: " + N(root)),
        Info("Root directory '" + N(root) + "' writable: false"),
        Info("Using fallback directory: " + N(fallback.path()))};

    HostRun first = Run(game, {L"auto", L"current"});
    std::vector<std::string> firstLines = common;
    firstLines.push_back(
        Info("Copied Update.exe from root to fallback: " + N(fallback / L"Update.exe")));
    EXPECT_THAT(first.Of("upkit::locator"), ElementsAreArray(firstLines));
    EXPECT_THAT(first.Of("upkit::misc"),
                ElementsAre(HasSubstr("Failed to open directory for writing " +
                                      Quoted(root + L"\\.upkit_dir_test") + ": ")));
    EXPECT_EQ(first.Get("packagesDir"), N(fallback / L"packages"));
    EXPECT_EQ(first.Get("updaterPath"), N(fallback / L"Update.exe"));
    EXPECT_EQ(first.Get("rootDir"), N(root));
    EXPECT_TRUE(zt::IsDirectory(fallback / L"packages"));
    EXPECT_EQ(zt::TryReadFile(fallback / L"Update.exe"), "updater in " + N(root));

    // A second start finds the copy and leaves it alone, even when the root's updater changed.
    ASSERT_TRUE(zt::WriteFile(root + L"\\Update.exe", "a newer updater"));
    HostRun second = Run(game, {L"auto", L"current"});
    EXPECT_THAT(second.Of("upkit::locator"), ElementsAreArray(common));
    EXPECT_EQ(second.Get("updaterPath"), N(fallback / L"Update.exe"));
    EXPECT_EQ(zt::TryReadFile(fallback / L"Update.exe"), "updater in " + N(root));

    // Once the root accepts files again, the packages go back there; the fallback stays on disk.
    ASSERT_TRUE(zt::RemoveTree(zt::JoinPath(root, L".upkit_dir_test")));
    HostRun third = Run(game, {L"auto", L"current"});
    EXPECT_EQ(third.Get("packagesDir"), N(root) + "\\packages");
    EXPECT_EQ(third.Get("updaterPath"), N(root) + "\\Update.exe");
    EXPECT_TRUE(zt::PathExists(fallback / L"Update.exe"));
}

// An installer may leave the root's updater read-only. Copying it keeps the attribute, and a
// read-only copy can be neither opened for writing (to flush it) nor deleted on Windows; Wine as
// root does both, so the attributes are checked here, where the decision shows.
TEST_F(LocatorWin, AReadOnlyRootUpdaterIsPublishedAsAWholeCopyThatIsNotReadOnly) {
    const std::wstring root = dir_ / L"App";
    Install(root, Manifest("LocTest.ReadOnly"));
    const std::wstring rootUpdater = root + L"\\Update.exe";
    const std::string bytes = "MZ updater " + std::string(1 << 20, 'u');
    ASSERT_TRUE(zt::WriteFile(rootUpdater, bytes));
    ASSERT_TRUE(SetFileAttributesW(rootUpdater.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(zt::MakeDirs(zt::JoinPath(root, L".upkit_dir_test")));
    FallbackDir fallback(L"LocTest.ReadOnly");

    HostRun run = Run(root + L"\\current\\ZeltOy2.exe", {L"auto", L"current"});
    EXPECT_THAT(run.log, Contains(Info("Copied Update.exe from root to fallback: " +
                                       N(fallback / L"Update.exe"))));
    EXPECT_EQ(zt::TryReadFile(fallback / L"Update.exe"), bytes);
    const DWORD attributes = GetFileAttributesW((fallback / L"Update.exe").c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attributes & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_THAT(zt::ListDir(fallback.path()), ElementsAre(L"Update.exe", L"packages"));
}

// A start killed between its copy and the publication leaves a whole "Update.exe.<pid>.partial"
// (read-only, when an earlier version copied a read-only updater). The next start that finds the
// copy removes it, but not one that a live start is still making, which is held open without
// sharing deletion (here by the test, a process of its own to the host's).
TEST_F(LocatorWin, AbandonedPartialCopiesGoButNotOneAStartIsMaking) {
    const std::wstring root = dir_ / L"App";
    Install(root, Manifest("LocTest.Partials"));
    ASSERT_TRUE(zt::MakeDirs(zt::JoinPath(root, L".upkit_dir_test")));
    FallbackDir fallback(L"LocTest.Partials");
    const std::wstring stale = fallback / L"Update.exe.4294967295.partial";
    const std::wstring live = fallback / L"Update.exe.4294967291.partial";
    const std::wstring other = fallback / L"Update.exe.notes.partial";
    ASSERT_TRUE(zt::WriteFile(fallback / L"Update.exe", "the published copy"));
    for (const std::wstring& path : {stale, live, other}) {
        ASSERT_TRUE(zt::WriteFile(path, "MZ partial"));
    }
    ASSERT_TRUE(SetFileAttributesW(stale.c_str(), FILE_ATTRIBUTE_READONLY));
    const HANDLE making = CreateFileW(live.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(making, INVALID_HANDLE_VALUE);

    HostRun run = Run(root + L"\\current\\ZeltOy2.exe", {L"auto", L"current"});
    CloseHandle(making);
    EXPECT_THAT(run.Of("upkit::locator"),
                Contains(Info("Removed abandoned updater copy: " + N(stale))));
    EXPECT_THAT(run.Of("upkit::locator"), Not(Contains(HasSubstr(N(live)))));
    EXPECT_THAT(zt::ListDir(fallback.path()),
                ElementsAre(L"Update.exe", L"Update.exe.4294967291.partial",
                            L"Update.exe.notes.partial", L"packages"));
    EXPECT_EQ(zt::TryReadFile(fallback / L"Update.exe"), "the published copy");
}

TEST_F(LocatorWin, AFallbackThatCannotBeCreatedIsLoggedAndStillUsed) {
    const std::wstring root = dir_ / L"App";
    Install(root, Manifest("LocTest.Blocked"));
    ASSERT_TRUE(zt::MakeDirs(zt::JoinPath(root, L".upkit_dir_test")));
    FallbackDir fallback(L"LocTest.Blocked");
    // A file where the fallback directory belongs.
    ASSERT_TRUE(zt::WriteFile(fallback.path(), "in the way"));

    HostRun run = Run(root + L"\\current\\ZeltOy2.exe", {L"auto", L"current"});
    const std::vector<std::string> lines = run.Of("upkit::locator");
    ASSERT_EQ(lines.size(), 7u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[4], Info("Using fallback directory: " + N(fallback.path())));
    EXPECT_THAT(lines[5],
                ::testing::StartsWith(Error("Unable to create fallback packages directory: ")));
    EXPECT_THAT(lines[5], HasSubstr("(os error "));
    EXPECT_THAT(lines[6],
                ::testing::StartsWith(Error("Failed to copy Update.exe to fallback path: ")));
    EXPECT_THAT(lines[6], HasSubstr("(os error "));
    EXPECT_EQ(run.Get("packagesDir"), N(fallback / L"packages"));
    EXPECT_EQ(run.Get("updaterPath"), N(fallback / L"Update.exe"));
    EXPECT_EQ(zt::TryReadFile(fallback.path()), "in the way");
}

TEST_F(LocatorWin, AWritableCustomDirectoryKeepsTheUpdaterInAnUnwritableRoot) {
    const std::wstring root = dir_ / L"App";
    Install(root, Manifest("LocTest.Custom"));
    ASSERT_TRUE(zt::MakeDirs(zt::JoinPath(root, L".upkit_dir_test")));
    FallbackDir fallback(L"LocTest.Custom");
    const std::wstring cache = dir_ / L"cache";
    ASSERT_TRUE(zt::MakeDirs(cache));

    HostRun run = Run(root + L"\\current\\ZeltOy2.exe", {L"auto", L"root", root, cache});
    EXPECT_EQ(run.Get("packagesDir"), N(cache));
    EXPECT_EQ(run.Get("updaterPath"), N(root) + "\\Update.exe");
    EXPECT_THAT(run.log,
                ElementsAre(kAutoLocating,
                            Info("Using custom packages directory (writable): " + N(cache))));
    EXPECT_FALSE(zt::PathExists(fallback.path()));
}

TEST_F(LocatorWin, AnExplicitConfigurationCopiesTheRootsUpdaterNotTheConfiguredOne) {
    const std::wstring root = dir_ / L"App";
    Install(root, Manifest("LocTest.Explicit"));
    ASSERT_TRUE(zt::MakeDirs(zt::JoinPath(root, L".upkit_dir_test")));
    const std::wstring tool = dir_ / L"tools\\Updater.exe";
    ASSERT_TRUE(zt::WriteFile(tool, "configured updater"));
    FallbackDir fallback(L"LocTest.Explicit");
    const std::wstring host = dir_ / L"host\\locator_host.exe";
    const std::vector<std::wstring> open = {L"open",
                                            root,
                                            tool,
                                            root + L"\\packages",
                                            root + L"\\current\\sq.version",
                                            root + L"\\current",
                                            L"0"};

    HostRun run = Run(host, open);
    EXPECT_EQ(run.Get("updaterPath"), N(fallback / L"Update.exe"));
    EXPECT_EQ(zt::TryReadFile(fallback / L"Update.exe"), "updater in " + N(root));
    EXPECT_THAT(run.log, Contains(Info("Copied Update.exe from root to fallback: " +
                                       N(fallback / L"Update.exe"))));
    EXPECT_THAT(run.log, Not(Contains(kAutoLocating)));

    // Without an Update.exe in the root nothing is copied, and the locator names the missing copy.
    ASSERT_TRUE(zt::RemoveTree(fallback.path()));
    ASSERT_TRUE(zt::RemoveTree(root + L"\\Update.exe"));
    HostRun noRootUpdater = Run(host, open);
    EXPECT_EQ(noRootUpdater.Get("updaterPath"), N(fallback / L"Update.exe"));
    EXPECT_FALSE(zt::PathExists(fallback / L"Update.exe"));
    EXPECT_TRUE(zt::IsDirectory(fallback / L"packages"));
    EXPECT_THAT(noRootUpdater.Of("upkit::locator"),
                ElementsAre(Info("Root directory '" + N(root) + "' writable: false"),
                            Info("Using fallback directory: " + N(fallback.path()))));
}

// ---- The installed manifest ----

TEST_F(LocatorWin, ManifestContentThatIsReadButRejectedIsNotRetried) {
    struct Case {
        const char* name;
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"empty", "", R"~(InvalidPackage("Missing required manifest property: id"))~"},
        {"no mainExe",
         "<package><metadata><id>LocTest.NoMain</id><version>1.0.0</version>"
         "</metadata></package>",
         R"~(InvalidPackage("Missing required manifest property: mainExe"))~"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        zt::TempDir dir(L"locm");
        const std::wstring root = dir / L"App";
        Install(root, c.text);
        HostRun run = Run(root + L"\\current\\ZeltOy2.exe", {L"auto", L"current"});
        EXPECT_EQ(run.Get("error"), c.error);
        EXPECT_THAT(run.Of("upkit::misc"), IsEmpty());
    }
}

TEST_F(LocatorWin, ManifestsThatCannotBeReadAreRetriedThenNotInstalled) {
    struct Case {
        const char* name;
        std::function<void(const std::wstring& manifest)> make;
    };
    const auto write = [](std::string bytes) {
        return
            [bytes](const std::wstring& manifest) { ASSERT_TRUE(zt::WriteFile(manifest, bytes)); };
    };
    std::string overLimit = Manifest("LocTest.Big");
    overLimit.resize(kLimit + 1, ' ');
    const Case cases[] = {
        {"invalid UTF-8", write(Manifest("LocTest.\xC3(Bad"))},
        {"one byte over 16 MiB", write(overLimit)},
        {"a sparse file of 64 GiB",
         [](const std::wstring& manifest) {
             HANDLE file = CreateFileW(manifest.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
             ASSERT_NE(file, INVALID_HANDLE_VALUE);
             DWORD ignored = 0;
             DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
             LARGE_INTEGER size;
             size.QuadPart = 64LL << 30;
             EXPECT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
             EXPECT_TRUE(SetEndOfFile(file));
             CloseHandle(file);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        zt::TempDir dir(L"locr");
        const std::wstring root = dir / L"App";
        Install(root, "");
        const std::wstring manifest = root + L"\\current\\sq.version";
        c.make(manifest);
        HostRun run = Run(root + L"\\current\\ZeltOy2.exe", {L"auto", L"current"});
        EXPECT_EQ(run.Get("message"),
                  "Manifest file does not exist or is not readable: " + Quoted(manifest));
        const std::vector<std::string> retries = run.Of("upkit::misc");
        ASSERT_EQ(retries.size(), 3u) << ::testing::PrintToString(run.log);
        EXPECT_THAT(retries[0],
                    ::testing::StartsWith("WARN upkit::misc Retrying operation in 333ms..."));
        EXPECT_THAT(retries[1],
                    ::testing::StartsWith("WARN upkit::misc Retrying operation in 666ms..."));
        EXPECT_THAT(retries[2],
                    ::testing::StartsWith("WARN upkit::misc Retrying operation in 1000ms..."));
        EXPECT_GE(run.elapsed, std::chrono::milliseconds(1999));
    }
}

TEST_F(LocatorWin, AManifestHeldWithoutSharingIsNotReadable) {
    const std::wstring root = dir_ / L"App";
    Install(root, Manifest("LocTest.Locked"));
    const std::wstring manifest = root + L"\\current\\sq.version";
    HANDLE held = CreateFileW(manifest.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    HostRun run = Run(root + L"\\current\\ZeltOy2.exe", {L"auto", L"current"});
    CloseHandle(held);
    EXPECT_EQ(run.Get("message"),
              "Manifest file does not exist or is not readable: " + Quoted(manifest));
    EXPECT_EQ(run.Of("upkit::misc").size(), 3u);
}

TEST_F(LocatorWin, AManifestOfExactly16MiBIsRead) {
    const std::wstring root = dir_ / L"App";
    std::string text = Manifest("LocTest.Exact");
    text.resize(kLimit, '\n');
    Install(root, text);
    HostRun run = Run(root + L"\\current\\ZeltOy2.exe", {L"auto", L"current"});
    EXPECT_EQ(run.Get("id"), "LocTest.Exact");
    EXPECT_THAT(run.Of("upkit::misc"), IsEmpty());
}

// ---- The log file's name ----

TEST_F(LocatorWin, TheLogFileIsNamedAfterTheInstallationFoundSilently) {
    const std::wstring root = dir_ / L"App";
    Install(root, Manifest("LocTest.LogName"));
    const std::wstring other = dir_ / L"Other";
    Install(other, Manifest("LocTest.Override"));
    const std::wstring game = root + L"\\current\\ZeltOy2.exe";

    HostRun installed = Run(game, {L"logname"});
    EXPECT_EQ(installed.Get("name"), "upkit_LocTest.LogName.log");
    EXPECT_THAT(installed.log, IsEmpty());
    EXPECT_EQ(installed.Get("level"), "OFF");

    HostRun overridden = Run(game, {L"logname", other});
    EXPECT_EQ(overridden.Get("name"), "upkit_LocTest.Override.log");
    EXPECT_THAT(overridden.log, IsEmpty());

    HostRun outside = Run(dir_ / L"loose\\ZeltOy2.exe", {L"logname"});
    EXPECT_EQ(outside.Get("name"), "upkit.log");
    EXPECT_THAT(outside.log, IsEmpty());
}

}  // namespace
