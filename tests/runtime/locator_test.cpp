// The locator's decisions on an imaginary disk: layout joins, the "\current\" search, the order of
// the auto-location attempts, the failures of opening, and the packages-directory choice with the
// conditions a real disk cannot easily produce (no local application data folder, failing copies).
#include "locator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fake_file_system.h"
#include "log_capture.h"

namespace upkit {
namespace {

using testing::CapturedLog;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::LogLine;
using ::testing::Not;
using zelt::test::FakeFileSystem;

Path P(std::string_view text) {
    return Path::FromUtf8(text);
}

std::string ValidManifest(std::string_view id) {
    return "<package><metadata><id>" + std::string(id) +
           "</id><version>1.2.3</version><mainExe>game.exe</mainExe></metadata></package>";
}

// An installation at root on the disk: Update.exe and current\sq.version with the given
// manifest id.
void Install(FakeFileSystem& disk, const std::string& root, std::string_view id = "MyApp") {
    const std::string sep = root.empty() || root.back() == '\\' ? "" : "\\";
    disk.AddFile(root + sep + "Update.exe");
    disk.AddFile(root + sep + "current\\sq.version", ValidManifest(id));
}

// The disk's actions, with the process's own number in a partial copy's name written "<pid>",
// since it differs from run to run.
std::vector<std::string> Actions(const FakeFileSystem& disk) {
    const std::regex own("\\." + std::to_string(CurrentProcessId()) + "\\.partial");
    std::vector<std::string> shown;
    for (const std::string& action : disk.actions) {
        shown.push_back(std::regex_replace(action, own, ".<pid>.partial"));
    }
    return shown;
}

// The warning of a directory that refuses new files on the fake disk.
LogLine ProbeRefused(const std::string& dir) {
    return {Level::Warn, "upkit::misc",
            "Failed to open directory for writing " +
                PathDebug(JoinPath(P(dir), ".upkit_dir_test")) + ": " +
                IoError::FromKind(IoErrorKind::PermissionDenied).Display()};
}

LogLine Info(std::string m) {
    return {Level::Info, "upkit::locator", std::move(m)};
}
LogLine Warn(std::string m) {
    return {Level::Warn, "upkit::locator", std::move(m)};
}
LogLine Error(std::string m) {
    return {Level::Error, "upkit::locator", std::move(m)};
}
const LogLine kAutoLocating = Info("Auto-locating app manifest...");

std::string ErrorText(const Result<Locator>& result) {
    return result.ok() ? "(located)" : result.error().Debug();
}

// ---- ConfigFromRoot ----

TEST(ConfigFromRoot, JoinsTheFixedNamesWithoutDoublingSeparators) {
    struct Case {
        const char* root;
        const char* updater;
        const char* packages;
        const char* current;
        const char* manifest;
    };
    const Case cases[] = {
        {R"(C:\App)", R"(C:\App\Update.exe)", R"(C:\App\packages)", R"(C:\App\current)",
         R"(C:\App\current\sq.version)"},
        {R"(C:\App\)", R"(C:\App\Update.exe)", R"(C:\App\packages)", R"(C:\App\current)",
         R"(C:\App\current\sq.version)"},
        {R"(C:\)", R"(C:\Update.exe)", R"(C:\packages)", R"(C:\current)",
         R"(C:\current\sq.version)"},
        {"C:/App/", "C:/App/Update.exe", "C:/App/packages", "C:/App/current",
         R"(C:/App/current\sq.version)"},
        {"", "Update.exe", "packages", "current", R"(current\sq.version)"},
        {R"(D:\Games\ZeltOy2)", R"(D:\Games\ZeltOy2\Update.exe)", R"(D:\Games\ZeltOy2\packages)",
         R"(D:\Games\ZeltOy2\current)", R"(D:\Games\ZeltOy2\current\sq.version)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.root);
        FakeFileSystem disk;
        const LocatorConfig config = ConfigFromRoot(P(c.root), disk);
        EXPECT_EQ(PathDisplay(config.rootDir), c.root);
        EXPECT_EQ(PathDisplay(config.updaterPath), c.updater);
        EXPECT_EQ(PathDisplay(config.packagesDir), c.packages);
        EXPECT_EQ(PathDisplay(config.currentDir), c.current);
        EXPECT_EQ(PathDisplay(config.manifestPath), c.manifest);
        EXPECT_FALSE(config.portable);
        EXPECT_THAT(disk.actions, IsEmpty());
    }
}

TEST(ConfigFromRoot, PortableWhenTheMarkerExistsBesideTheRootsEntries) {
    FakeFileSystem disk;
    disk.AddFile(R"(C:\App\.portable)");
    EXPECT_TRUE(ConfigFromRoot(P(R"(C:\App)"), disk).portable);
    EXPECT_TRUE(ConfigFromRoot(P(R"(C:\App\)"), disk).portable);
    EXPECT_FALSE(ConfigFromRoot(P(R"(C:\App\current)"), disk).portable);
}

TEST(ConfigFromRoot, KeepsTheRootsSpellingAndUnpairedSurrogates) {
    FakeFileSystem disk;
    const Path root(std::u16string(u"C:\\GAMES\\") + char16_t(0xD800));
    const LocatorConfig config = ConfigFromRoot(root, disk);
    EXPECT_EQ(config.rootDir, root);
    EXPECT_EQ(config.updaterPath.Units(), root.Units() + u"\\Update.exe");
}

// ---- The "\current\" search ----

TEST(CurrentPatternRoot, TakesTheTextBeforeTheLastExactOccurrence) {
    struct Case {
        std::u16string exe;
        std::optional<std::string> root;
    };
    const Case cases[] = {
        {uR"(C:\Games\App\current\game.exe)", R"(C:\Games\App)"},
        {uR"(C:\a\current\b\current\game.exe)", R"(C:\a\current\b)"},
        {uR"(\current\game.exe)", ""},
        {uR"(C:\Games\App\Current\game.exe)", std::nullopt},
        {uR"(C:\Games\App\CURRENT\game.exe)", std::nullopt},
        {u"C:/Games/App/current/game.exe", std::nullopt},
        {uR"(C:\Games\App/current\game.exe)", std::nullopt},
        {uR"(C:\Games\App\current/game.exe)", std::nullopt},
        {uR"(C:\Games\App\current)", std::nullopt},
        {uR"(C:\Games\App\currently\game.exe)", std::nullopt},
        {uR"(C:\Games\App\mycurrent\game.exe)", std::nullopt},
        {uR"(C:\a\current\current\game.exe)", R"(C:\a\current)"},
        {std::u16string(u"C:\\") + char16_t(0xDC00) + u"\\current\\game.exe", "C:\\\xEF\xBF\xBD"},
        {u"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(PathDisplay(Path(c.exe)));
        EXPECT_EQ(CurrentPatternRoot(Path(c.exe)), c.root);
    }
}

// ---- AutoLocate ----

TEST(AutoLocate, CurrentExecutableFindsTheRootByThePatternAndLogsEachStep) {
    CapturedLog log;
    FakeFileSystem disk;
    Install(disk, R"(C:\Games\App)");
    disk.writableDirs = {R"(C:\Games\App)"};
    disk.exePath = P(R"(C:\Games\App\current\game.exe)");

    Result<Locator> located = AutoLocate(LocationContext::CurrentExecutable{}, disk);
    ASSERT_TRUE(located.ok()) << ErrorText(located);
    EXPECT_EQ(PathDisplay(located->config.rootDir), R"(C:\Games\App)");
    EXPECT_EQ(PathDisplay(located->config.updaterPath), R"(C:\Games\App\Update.exe)");
    EXPECT_EQ(PathDisplay(located->config.packagesDir), R"(C:\Games\App\packages)");
    EXPECT_EQ(PathDisplay(located->config.manifestPath), R"(C:\Games\App\current\sq.version)");
    EXPECT_EQ(located->manifest.id, "MyApp");
    EXPECT_THAT(
        log.Lines(),
        ElementsAre(
            kAutoLocating, kAutoLocating,
            Info(R"(Found Update.exe by current path pattern search in directory: C:\Games\App)"),
            Info(R"(Root directory 'C:\Games\App' writable: true)"),
            Info(R"(Using root packages directory: C:\Games\App\packages)")));
}

TEST(AutoLocate, AChosenRootIsFinalEvenWhenItsManifestIsMissing) {
    CapturedLog log;
    FakeFileSystem disk;
    Install(disk, R"(C:\Games\App)");
    disk.AddFile(R"(C:\Games\App\current\Update.exe)");
    disk.writableDirs = {R"(C:\Games\App)", R"(C:\Games\App\current)"};

    Result<Locator> located =
        AutoLocate(LocationContext::AppExecutable{P(R"(C:\Games\App\current\game.exe)")}, disk);
    EXPECT_EQ(ErrorText(located),
              R"~(NotInstalled("Manifest file does not exist in the expected path )~"
              R"~((C:\\Games\\App\\current\\current\\sq.version)"))~");
    EXPECT_THAT(log.Lines(),
                ElementsAre(kAutoLocating,
                            Info(R"(Found Update.exe in parent directory: C:\Games\App\current)")));
    EXPECT_THAT(disk.actions, IsEmpty());
}

TEST(AutoLocate, AppExecutableOutcomes) {
    struct Case {
        const char* name;
        std::u16string exe;
        std::vector<std::string> installs;  // roots laid out on the disk
        std::string expected;               // the root found, or the error's debug form
    };
    const std::string notFound = R"~(NotInstalled("Could not auto-locate app manifest"))~";
    const Case cases[] = {
        {"the root's own Update.exe", uR"(C:\App\Update.exe)", {R"(C:\App)"}, R"(C:\App)"},
        {"capital Current", uR"(C:\App\Current\game.exe)", {R"(C:\App)"}, notFound},
        {"forward slashes", u"C:/App/current/game.exe", {R"(C:\App)"}, notFound},
        {"only the last current is tried",
         uR"(C:\a\current\b\current\game.exe)",
         {R"(C:\a)"},
         notFound},
        {"the last current names the root",
         uR"(C:\a\current\b\current\game.exe)",
         {R"(C:\a\current\b)"},
         R"(C:\a\current\b)"},
        {"deeper below current", uR"(C:\App\current\bin\x64\game.exe)", {R"(C:\App)"}, R"(C:\App)"},
        {"a path starting with the pattern looks in the working directory",
         uR"(\current\game.exe)",
         {""},
         ""},
        {"no installation", uR"(C:\Elsewhere\game.exe)", {R"(C:\App)"}, notFound},
        {"a bare name", u"game.exe", {R"(C:\App)"}, notFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFileSystem disk;
        for (const std::string& root : c.installs) Install(disk, root);
        Result<Locator> located = AutoLocate(LocationContext::AppExecutable{Path(c.exe)}, disk);
        EXPECT_EQ(located.ok() ? PathDisplay(located->config.rootDir) : ErrorText(located),
                  c.expected);
    }
}

TEST(AutoLocate, UnknownTriesTheExecutableTwiceThenGivesUp) {
    CapturedLog log;
    FakeFileSystem disk;
    disk.exePath = P(R"(C:\Elsewhere\tool.exe)");
    Result<Locator> located = AutoLocate(LocationContext::Unknown{}, disk);
    EXPECT_EQ(ErrorText(located), R"~(NotInstalled("Could not auto-locate app manifest"))~");
    EXPECT_THAT(log.Lines(),
                ElementsAre(kAutoLocating,
                            Warn("Unknown location context, trying to auto-locate from current "
                                 "exe location..."),
                            kAutoLocating, kAutoLocating, kAutoLocating));
}

TEST(AutoLocate, UnknownReturnsTheFirstSuccess) {
    CapturedLog log;
    FakeFileSystem disk;
    Install(disk, R"(C:\App)");
    disk.writableDirs = {R"(C:\App)"};
    disk.exePath = P(R"(C:\App\current\game.exe)");
    Result<Locator> located = AutoLocate(LocationContext::Unknown{}, disk);
    ASSERT_TRUE(located.ok()) << ErrorText(located);
    EXPECT_EQ(PathDisplay(located->config.rootDir), R"(C:\App)");
    EXPECT_THAT(
        log.Lines(),
        ElementsAre(kAutoLocating,
                    Warn("Unknown location context, trying to auto-locate from current "
                         "exe location..."),
                    kAutoLocating, kAutoLocating,
                    Info(R"(Found Update.exe by current path pattern search in directory: C:\App)"),
                    Info(R"(Root directory 'C:\App' writable: true)"),
                    Info(R"(Using root packages directory: C:\App\packages)")));
}

TEST(AutoLocate, UpdaterProcessTakesTheExecutablesDirectoryAsTheRoot) {
    struct Case {
        std::optional<std::string> exe;
        std::string expected;
    };
    const Case cases[] = {
        {R"(C:\App\Update.exe)", R"(C:\App)"},
        {R"(C:\App\current\game.exe)",
         R"~(NotInstalled("Update.exe does not exist in the expected path (C:\\App\\current\\Update.exe)"))~"},
        {R"(C:\)", R"~(NotInstalled("Could not auto-locate app manifest"))~"},
        {std::nullopt, IoError::FromOsCode(122).Debug()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exe.value_or("(no path)"));
        FakeFileSystem disk;
        Install(disk, R"(C:\App)");
        if (c.exe) {
            disk.exePath = P(*c.exe);
        } else {
            disk.exePath = IoError::FromOsCode(122);
        }
        Result<Locator> located = AutoLocate(LocationContext::UpdaterProcess{}, disk);
        std::string got = located.ok() ? PathDisplay(located->config.rootDir) : ErrorText(located);
        if (!located.ok() && located.error().GetKind() == RuntimeError::Kind::Io) {
            got = located.error().AsIo()->Debug();
        }
        EXPECT_EQ(got, c.expected);
    }
}

TEST(AutoLocate, CurrentExecutablePassesAnUnknownPathFailureOnAsIo) {
    FakeFileSystem disk;
    disk.exePath = IoError::FromOsCode(122);
    Result<Locator> located = AutoLocate(LocationContext::CurrentExecutable{}, disk);
    ASSERT_FALSE(located.ok());
    ASSERT_EQ(located.error().GetKind(), RuntimeError::Kind::Io);
    EXPECT_EQ(located.error().AsIo()->OsCode(), 122);
}

TEST(AutoLocate, RootDirectoryStartsFromTheGivenPackagesDirectory) {
    CapturedLog log;
    FakeFileSystem disk;
    Install(disk, R"(C:\App)");
    disk.writableDirs = {R"(D:\Cache)"};
    Result<Locator> located =
        AutoLocate(LocationContext::RootDirectory{P(R"(C:\App)"), P(R"(D:\Cache)")}, disk);
    ASSERT_TRUE(located.ok()) << ErrorText(located);
    EXPECT_EQ(PathDisplay(located->config.packagesDir), R"(D:\Cache)");
    EXPECT_THAT(log.Lines(),
                ElementsAre(kAutoLocating,
                            Info(R"(Using custom packages directory (writable): D:\Cache)")));

    Result<Locator> standard =
        AutoLocate(LocationContext::RootDirectory{P(R"(C:\App)"), std::nullopt}, disk);
    ASSERT_TRUE(standard.ok()) << ErrorText(standard);
    EXPECT_EQ(PathDisplay(standard->config.packagesDir), R"(C:\App\packages)");
}

// ---- OpenLocator ----

TEST(OpenLocator, ReportsWhatIsMissingOrUnreadable) {
    struct Case {
        const char* name;
        std::set<std::string> entries;
        std::map<std::string, std::string> texts;
        std::string expected;
    };
    const std::string manifest = R"(C:\App\current\sq.version)";
    const std::string updater = R"(C:\App\Update.exe)";
    const Case cases[] = {
        {"no updater",
         {manifest},
         {{manifest, ValidManifest("A")}},
         R"~(NotInstalled("Update.exe does not exist in the expected path (C:\\App\\Update.exe)"))~"},
        {"no manifest",
         {updater},
         {},
         R"~(NotInstalled("Manifest file does not exist in the expected path (C:\\App\\current\\sq.version)"))~"},
        {"manifest unreadable",
         {updater, manifest},
         {},
         R"~(NotInstalled("Manifest file does not exist or is not readable: \"C:\\\\App\\\\current\\\\sq.version\""))~"},
        {"empty manifest",
         {updater, manifest},
         {{manifest, ""}},
         R"~(InvalidPackage("Missing required manifest property: id"))~"},
        {"no mainExe",
         {updater, manifest},
         {{manifest, "<p><id>A</id><version>1.0.0</version></p>"}},
         R"~(InvalidPackage("Missing required manifest property: mainExe"))~"},
        {"bad version",
         {updater, manifest},
         {{manifest, "<p><id>A</id><version>1.0</version><mainExe>a.exe</mainExe></p>"}},
         "Semver("},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFileSystem disk;
        // An entry without a text is there but cannot be read.
        for (const std::string& entry : c.entries) {
            auto text = c.texts.find(entry);
            disk.AddFile(entry, text != c.texts.end() ? text->second : "");
            if (text == c.texts.end()) disk.failing.emplace(entry, IoError::FromOsCode(5));
        }
        Result<Locator> located = OpenLocator(ConfigFromRoot(P(R"(C:\App)"), disk), disk);
        EXPECT_EQ(ErrorText(located).substr(0, c.expected.size()), c.expected);
        EXPECT_THAT(disk.probes, IsEmpty());
    }
}

TEST(OpenLocator, AManifestThatVanishesBeforeTheReadIsNotReadable) {
    FakeFileSystem disk;
    Install(disk, R"(C:\App)");
    const std::string manifest = R"(C:\App\current\sq.version)";
    int manifestTests = 0;
    // There for the first look, gone by the second, as when the updater replaces it.
    disk.before = [&](const std::string& operation, const std::string& path) {
        if (operation == "exists" && path == manifest && ++manifestTests == 2) disk.Remove(path);
    };
    Result<Locator> located = OpenLocator(ConfigFromRoot(P(R"(C:\App)"), disk), disk);
    EXPECT_EQ(located.ok() ? "" : located.error().Message(),
              R"(Manifest file does not exist or is not readable: "C:\\App\\current\\sq.version")");
    EXPECT_THAT(disk.actions, IsEmpty());
}

TEST(OpenLocator, KeepsTheLayoutApartFromTheSettledPackagesDirectory) {
    FakeFileSystem disk;
    Install(disk, R"(C:\App)", "Zelt.ZeltOy2");
    disk.writableDirs = {R"(C:\App)"};
    LocatorConfig config = ConfigFromRoot(P(R"(C:\App)"), disk);
    config.packagesDir = P(R"(C:/App//packages/)");
    config.portable = true;
    const LocatorConfig before = config;

    Result<Locator> located = OpenLocator(config, disk);
    ASSERT_TRUE(located.ok()) << ErrorText(located);
    EXPECT_EQ(located->config.rootDir, before.rootDir);
    EXPECT_EQ(located->config.manifestPath, before.manifestPath);
    EXPECT_EQ(located->config.currentDir, before.currentDir);
    EXPECT_TRUE(located->config.portable);
    EXPECT_EQ(PathDisplay(located->config.packagesDir), R"(C:\App\packages)");
    EXPECT_EQ(located->manifest.id, "Zelt.ZeltOy2");
    EXPECT_EQ(located->manifest.mainExe, "game.exe");
    EXPECT_EQ(config.packagesDir, before.packagesDir);
}

// ---- SelectPackagesDirectory ----

TEST(SelectPackagesDirectory, Decisions) {
    const IoError createError = IoError::FromOsCode(183);
    const IoError copyError = IoError::FromOsCode(112);
    const IoError renameError = IoError::FromOsCode(5);
    const IoError flushError = IoError::FromOsCode(1117);  // ERROR_IO_DEVICE
    const std::string lad = R"(C:\Users\u\AppData\Local)";
    const std::string fallback = lad + R"(\MyApp)";
    const LogLine rootFalse = Info(R"(Root directory 'C:\App' writable: false)");
    const LogLine usingFallback = Info("Using fallback directory: " + fallback);
    const LogLine copied =
        Info("Copied Update.exe from root to fallback: " + fallback + R"(\Update.exe)");
    const LogLine rootRefused = ProbeRefused(R"(C:\App)");
    const std::string createFallback = "create " + fallback;
    const std::string create = "create " + fallback + R"(\packages)";
    const std::string updater = fallback + R"(\Update.exe)";
    const std::string partial = updater + ".<pid>.partial";
    const std::string copy = R"(copy C:\App\Update.exe -> new )" + partial;
    const std::string flush = "flush " + partial;
    const std::string publish = "publish " + partial + " -> " + updater;
    const std::string discard = "discard " + partial;
    const std::string rootUpdater = R"(C:\App\Update.exe)";
    // Partial copies left by other starts: ids no process of this test can have.
    const std::string stale = updater + ".4294967295.partial";
    const std::string live = updater + ".4294967291.partial";
    const std::string ownStale = updater + "." + std::to_string(CurrentProcessId()) + ".partial";
    const std::string notACopy = updater + ".notes.partial";
    const LogLine removedStale = Info("Removed abandoned updater copy: " + stale);

    struct Case {
        const char* name;
        std::string packagesIn;
        std::string updaterIn;
        std::set<std::string> writable;
        std::set<std::string> entries;
        std::optional<std::string> localAppData;
        std::optional<IoError> createError;
        std::optional<IoError> copyError;
        std::string packagesOut;
        std::string updaterOut;
        std::vector<LogLine> lines;
        std::vector<std::string> actions;
        std::vector<std::string> probes;
        std::optional<IoError> renameError = {};
        std::optional<std::string> appearsDuringCopy = {};
        std::optional<IoError> flushError = {};
        std::set<std::string> readOnly = {};  // entries carrying the read-only attribute
        std::set<std::string> held = {};      // entries another start holds open
        std::set<std::string> partialsAfter = {};
    };
    const Case cases[] = {
        {"writable root",
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {R"(C:\App)"},
         {},
         lad,
         {},
         {},
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {Info(R"(Root directory 'C:\App' writable: true)"),
          Info(R"(Using root packages directory: C:\App\packages)")},
         {},
         {R"(C:\App)"}},
        {"the standard directory spelled differently",
         R"(C:/App//packages/)",
         R"(C:\App\Update.exe)",
         {R"(C:\App)"},
         {},
         lad,
         {},
         {},
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {Info(R"(Root directory 'C:\App' writable: true)"),
          Info(R"(Using root packages directory: C:\App\packages)")},
         {},
         {R"(C:\App)"}},
        {"custom directory writable, root not: updater stays",
         R"(D:\Cache)",
         R"(C:\App\Update.exe)",
         {R"(D:\Cache)"},
         {R"(C:\App\Update.exe)"},
         lad,
         {},
         {},
         R"(D:\Cache)",
         R"(C:\App\Update.exe)",
         {Info(R"(Using custom packages directory (writable): D:\Cache)")},
         {},
         {R"(D:\Cache)"}},
        {"custom directory not writable",
         R"(D:\Missing)",
         R"(C:\App\Update.exe)",
         {R"(C:\App)"},
         {},
         lad,
         {},
         {},
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {ProbeRefused(R"(D:\Missing)"),
          Warn(
              R"(Custom packages directory is not writable, falling through to standard logic: D:\Missing)"),
          Info(R"(Root directory 'C:\App' writable: true)"),
          Info(R"(Using root packages directory: C:\App\packages)")},
         {},
         {R"(D:\Missing)", R"(C:\App)"}},
        {"letter case makes a custom directory",
         R"(C:\App\Packages)",
         R"(C:\App\Update.exe)",
         {R"(C:\App\Packages)"},
         {},
         lad,
         {},
         {},
         R"(C:\App\Packages)",
         R"(C:\App\Update.exe)",
         {Info(R"(Using custom packages directory (writable): C:\App\Packages)")},
         {},
         {R"(C:\App\Packages)"}},
        {"fallback with the first copy",
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {},
         {R"(C:\App\Update.exe)"},
         lad,
         {},
         {},
         fallback + R"(\packages)",
         fallback + R"(\Update.exe)",
         {rootRefused, rootFalse, usingFallback, copied},
         {createFallback, create, copy, flush, publish},
         {R"(C:\App)"}},
        {"fallback copy already there is kept",
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {},
         {R"(C:\App\Update.exe)", fallback + R"(\Update.exe)"},
         lad,
         {},
         {},
         fallback + R"(\packages)",
         fallback + R"(\Update.exe)",
         {rootRefused, rootFalse, usingFallback},
         {create},
         {R"(C:\App)"}},
        {"the copy comes from the root, not the configured updater",
         R"(C:\App\packages)",
         R"(D:\Tools\Update.exe)",
         {},
         {R"(C:\App\Update.exe)", R"(D:\Tools\Update.exe)"},
         lad,
         {},
         {},
         fallback + R"(\packages)",
         fallback + R"(\Update.exe)",
         {rootRefused, rootFalse, usingFallback, copied},
         {createFallback, create, copy, flush, publish},
         {R"(C:\App)"}},
        {"no root updater, no copy",
         R"(C:\App\packages)",
         R"(D:\Tools\Update.exe)",
         {},
         {R"(D:\Tools\Update.exe)"},
         lad,
         {},
         {},
         fallback + R"(\packages)",
         fallback + R"(\Update.exe)",
         {rootRefused, rootFalse, usingFallback},
         {createFallback, create},
         {R"(C:\App)"}},
        {"custom not writable and root not writable",
         R"(D:\Missing)",
         R"(C:\App\Update.exe)",
         {},
         {R"(C:\App\Update.exe)"},
         lad,
         {},
         {},
         fallback + R"(\packages)",
         fallback + R"(\Update.exe)",
         {ProbeRefused(R"(D:\Missing)"),
          Warn(
              R"(Custom packages directory is not writable, falling through to standard logic: D:\Missing)"),
          rootRefused, rootFalse, usingFallback, copied},
         {createFallback, create, copy, flush, publish},
         {R"(D:\Missing)", R"(C:\App)"}},
        {"no local application data folder",
         R"(C:\App\packages\)",
         R"(C:\App\Update.exe)",
         {},
         {R"(C:\App\Update.exe)"},
         std::nullopt,
         {},
         {},
         R"(C:\App\packages\)",
         R"(C:\App\Update.exe)",
         {rootRefused, rootFalse,
          Error("Root directory is not writable and LocalAppData is unavailable. "
                "Updates may not work correctly.")},
         {},
         {R"(C:\App)"}},
        {"custom not writable, root not writable, no local application data folder",
         R"(D:\Missing)",
         R"(C:\App\Update.exe)",
         {},
         {R"(C:\App\Update.exe)"},
         std::nullopt,
         {},
         {},
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {ProbeRefused(R"(D:\Missing)"),
          Warn(
              R"(Custom packages directory is not writable, falling through to standard logic: D:\Missing)"),
          rootRefused, rootFalse,
          Error("Root directory is not writable and LocalAppData is unavailable. "
                "Updates may not work correctly.")},
         {},
         {R"(D:\Missing)", R"(C:\App)"}},
        {"creation and copy fail, the fallback paths stay",
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {},
         {R"(C:\App\Update.exe)"},
         lad,
         createError,
         copyError,
         fallback + R"(\packages)",
         fallback + R"(\Update.exe)",
         {rootRefused, rootFalse, usingFallback,
          Error("Unable to create fallback packages directory: " + createError.Display()),
          Error("Failed to copy Update.exe to fallback path: " + copyError.Display())},
         {copy},
         {R"(C:\App)"}},
        {"the copy cannot take its name: nothing partial is left",
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {},
         {R"(C:\App\Update.exe)"},
         lad,
         {},
         {},
         fallback + R"(\packages)",
         fallback + R"(\Update.exe)",
         {rootRefused, rootFalse, usingFallback,
          Error("Failed to copy Update.exe to fallback path: " + renameError.Display())},
         {createFallback, create, copy, flush, publish, discard},
         {R"(C:\App)"},
         renameError},
        {"the copy cannot be flushed to the disk: it is never published",
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {},
         {R"(C:\App\Update.exe)"},
         lad,
         {},
         {},
         fallback + R"(\packages)",
         fallback + R"(\Update.exe)",
         {rootRefused, rootFalse, usingFallback,
          Error("Failed to copy Update.exe to fallback path: " + flushError.Display())},
         {createFallback, create, copy, flush, discard},
         {R"(C:\App)"},
         {},
         {},
         flushError},
        {"another start published its whole copy first: that one is kept",
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {},
         {R"(C:\App\Update.exe)"},
         lad,
         {},
         {},
         fallback + R"(\packages)",
         fallback + R"(\Update.exe)",
         {rootRefused, rootFalse, usingFallback, copied},
         {createFallback, create, copy, flush, publish, discard},
         {R"(C:\App)"},
         {},
         updater},
        {"a read-only root updater gives a copy without the attribute",
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {},
         {rootUpdater},
         lad,
         {},
         {},
         fallback + R"(\packages)",
         updater,
         {rootRefused, rootFalse, usingFallback, copied},
         {createFallback, create, copy, flush, publish},
         {R"(C:\App)"},
         {},
         {},
         {},
         {rootUpdater}},
        {"an abandoned read-only partial copy beside the copy is removed, other names stay",
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {},
         {rootUpdater, updater, stale, notACopy},
         lad,
         {},
         {},
         fallback + R"(\packages)",
         updater,
         {rootRefused, rootFalse, usingFallback, removedStale},
         {create, "delete read-only " + stale},
         {R"(C:\App)"},
         {},
         {},
         {},
         {stale},
         {},
         {notACopy}},
        {"a partial copy another start is still making is left alone",
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {},
         {rootUpdater, updater, live},
         lad,
         {},
         {},
         fallback + R"(\packages)",
         updater,
         {rootRefused, rootFalse, usingFallback},
         {create, "delete read-only " + live},
         {R"(C:\App)"},
         {},
         {},
         {},
         {},
         {live},
         {live}},
        {"abandoned partial copies go once this start has published its own",
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {},
         {rootUpdater, stale},
         lad,
         {},
         {},
         fallback + R"(\packages)",
         updater,
         {rootRefused, rootFalse, usingFallback, copied, removedStale},
         {create, copy, flush, publish, "delete read-only " + stale},
         {R"(C:\App)"},
         {},
         {},
         {},
         {stale}},
        {"a partial copy under this start's own id was abandoned by an ended process",
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {},
         {rootUpdater, ownStale},
         lad,
         {},
         {},
         fallback + R"(\packages)",
         updater,
         {rootRefused, rootFalse, usingFallback, copied},
         {create, copy, "delete read-only " + partial, copy, flush, publish},
         {R"(C:\App)"},
         {},
         {},
         {},
         {ownStale}},
        {"no abandoned copy is touched when no copy was published or found",
         R"(C:\App\packages)",
         R"(C:\App\Update.exe)",
         {},
         {rootUpdater, stale},
         lad,
         {},
         {},
         fallback + R"(\packages)",
         updater,
         {rootRefused, rootFalse, usingFallback,
          Error("Failed to copy Update.exe to fallback path: " + flushError.Display())},
         {create, copy, flush, discard},
         {R"(C:\App)"},
         {},
         {},
         flushError,
         {stale},
         {},
         {stale}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CapturedLog log;
        FakeFileSystem disk;
        disk.writableDirs = c.writable;
        for (const std::string& entry : c.entries) disk.AddFile(entry, "bytes of " + entry);
        for (const std::string& entry : c.readOnly) disk.SetReadOnly(entry);
        disk.undeletable = c.held;
        disk.localAppData = c.localAppData;
        if (c.localAppData) disk.AddDirectory(*c.localAppData);
        disk.createError = c.createError;
        disk.copyError = c.copyError;
        disk.renameError = c.renameError;
        disk.appearsDuringCopy = c.appearsDuringCopy;
        disk.flushError = c.flushError;
        LocatorConfig config = ConfigFromRoot(P(R"(C:\App)"), disk);
        config.packagesDir = P(c.packagesIn);
        config.updaterPath = P(c.updaterIn);
        PackageManifest manifest;
        manifest.id = "MyApp";

        SelectPackagesDirectory(config, manifest, disk);
        EXPECT_EQ(PathDisplay(config.packagesDir), c.packagesOut);
        EXPECT_EQ(PathDisplay(config.updaterPath), c.updaterOut);
        EXPECT_EQ(PathDisplay(config.rootDir), R"(C:\App)");
        EXPECT_EQ(PathDisplay(config.manifestPath), R"(C:\App\current\sq.version)");
        EXPECT_THAT(log.Lines(), ElementsAreArray(c.lines));
        EXPECT_THAT(Actions(disk), ElementsAreArray(c.actions));
        EXPECT_THAT(disk.probes, ElementsAreArray(c.probes));
        // What is on the disk afterwards: a copy this start published is the root's updater,
        // whole and without the read-only attribute, and no partial copy of its own is left.
        std::set<std::string> partials;
        for (const std::string& path : disk.Paths()) {
            if (path.size() > 8 && path.substr(path.size() - 8) == ".partial")
                partials.insert(path);
        }
        EXPECT_THAT(partials, ElementsAreArray(c.partialsAfter));
        const bool published = std::find(c.lines.begin(), c.lines.end(), copied) != c.lines.end() &&
                               !c.appearsDuringCopy;
        if (published) {
            EXPECT_EQ(disk.Content(updater), "bytes of " + rootUpdater);
            EXPECT_FALSE(disk.IsReadOnly(updater));
        }
    }
}

TEST(SelectPackagesDirectory, TheIdIsOnePathComponentAsWritten) {
    FakeFileSystem disk;
    disk.localAppData = R"(C:\Users\u\AppData\Local\)";
    disk.AddDirectory(R"(C:\Users\u\AppData\Local)");
    LocatorConfig config = ConfigFromRoot(P(R"(C:\App)"), disk);
    PackageManifest manifest;
    manifest.id = "Zelt.Oyun İki";
    SelectPackagesDirectory(config, manifest, disk);
    EXPECT_EQ(PathDisplay(config.packagesDir),
              R"(C:\Users\u\AppData\Local\Zelt.Oyun İki\packages)");
}

// ---- The manifest text limit ----

TEST(ManifestTextFromBytes, AcceptsUpToTheLimitOfValidUtf8) {
    struct Case {
        std::string bytes;
        std::optional<std::string> error;
    };
    const std::string limitError = "manifest file is larger than 16777216 bytes";
    const Case cases[] = {
        {"", std::nullopt},
        {"<id>Zelt İki</id>", std::nullopt},
        {std::string(kMaxManifestBytes, ' '), std::nullopt},
        {std::string(kMaxManifestBytes + 1, ' '), limitError},
        {"<id>\xC3(</id>", "stream did not contain valid UTF-8"},
        {"\xED\xA0\x80", "stream did not contain valid UTF-8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.size());
        IoResult<std::string> text = ManifestTextFromBytes(c.bytes);
        if (c.error) {
            ASSERT_FALSE(text.ok());
            EXPECT_EQ(text.error().Kind(), IoErrorKind::InvalidData);
            EXPECT_EQ(text.error().Message(), *c.error);
        } else {
            ASSERT_TRUE(text.ok());
            EXPECT_EQ(text.value(), c.bytes);
        }
    }
}

// ---- The log file's name ----

TEST(LogFileNameForInstallation, NamesTheFileAfterTheId) {
    FakeFileSystem disk;
    Install(disk, R"(C:\App)", "Zelt.ZeltOy2");
    Install(disk, R"(D:\Other)", "Other");
    disk.exePath = P(R"(C:\App\current\game.exe)");

    EXPECT_EQ(LogFileNameForInstallation(std::nullopt, disk), "upkit_Zelt.ZeltOy2.log");
    EXPECT_EQ(LogFileNameForInstallation(ConfigFromRoot(P(R"(D:\Other)"), disk), disk),
              "upkit_Other.log");
    EXPECT_EQ(LogFileNameForInstallation(ConfigFromRoot(P(R"(D:\None)"), disk), disk), "upkit.log");
    disk.exePath = P(R"(C:\Elsewhere\game.exe)");
    EXPECT_EQ(LogFileNameForInstallation(std::nullopt, disk), "upkit.log");
}

TEST(LogFileNameForInstallation, LogsItsLocationOnlyOnceALoggerAdmitsIt) {
    FakeFileSystem disk;
    Install(disk, R"(C:\App)", "Zelt.ZeltOy2");
    disk.exePath = P(R"(C:\App\current\game.exe)");
    {
        CapturedLog log;
        SetMaxLevel(Level::Off);  // as before the first set-up
        EXPECT_EQ(LogFileNameForInstallation(std::nullopt, disk), "upkit_Zelt.ZeltOy2.log");
        EXPECT_THAT(log.Lines(), IsEmpty());
    }
    CapturedLog log;  // as at a second set-up in the same process
    EXPECT_EQ(LogFileNameForInstallation(std::nullopt, disk), "upkit_Zelt.ZeltOy2.log");
    EXPECT_THAT(log.Lines(Level::Info, "upkit::locator"), Not(IsEmpty()));
}

TEST(LogFileNameForInstallation, OutsideAnyInstallationItIsUpkitLog) {
    EXPECT_EQ(LogFileNameForInstallation(std::nullopt), "upkit.log");
}

}  // namespace
}  // namespace upkit
