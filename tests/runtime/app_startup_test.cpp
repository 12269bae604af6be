// The installed application's start-up on a disk in memory. Applying cannot succeed here (the
// native build starts no processes), so these cases cover everything but the successful hand-over,
// which the Windows tests drive end to end.
#include "app_startup.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "fake_file_system.h"
#include "log_capture.h"
#include "os/os.h"
#include "text.h"
#include "zip_writer.h"

namespace upkit {
namespace {

using zelt::test::FakeFileSystem;

using testing::CapturedLog;
using testing::LogLine;

#ifdef _WIN32
void SetEnv(const char* name, const char* value) {
    SetEnvironmentVariableA(name, value);
}
void UnsetEnv(const char* name) {
    SetEnvironmentVariableA(name, nullptr);
}
#else
void SetEnv(const char* name, const char* value) {
    setenv(name, value, 1);
}
void UnsetEnv(const char* name) {
    unsetenv(name);
}
#endif

// An installation on a disk in memory: its updater and manifest, and a packages folder of its
// own (a custom one, writable, so it is kept) that the test fills with packages. Nothing of it is
// on the real disk: an updater that the start-up tries to start is not there to run.
class Installation {
public:
    explicit Installation(std::string manifest) {
        fs_.AddFile(Text(root_) + "Update.exe");
        fs_.AddFile(Text(root_) + "current\\sq.version", std::move(manifest));
        fs_.AddDirectory(Text(PackagesDir()));
        fs_.writableDirs.insert(Text(PackagesDir()));
    }

    void AddPackage(const std::string& fileName, std::string_view version) {
        fs_.AddFile(Text(JoinPath(PackagesDir(), fileName)), zelt::zipw::Package("App", version));
    }
    std::vector<std::string> PackageFiles() const {
        std::vector<std::string> names;
        const std::string folder = Text(PackagesDir()) + "\\";
        for (const std::string& path : fs_.Paths()) {
            if (path.rfind(folder, 0) == 0) names.push_back(path.substr(folder.size()));
        }
        return names;
    }
    std::string PackagePathDebug(const std::string& fileName) const {
        return PathDebug(JoinPath(PackagesDir(), fileName));
    }

    // The standard layout with the packages folder of its own.
    LocatorConfig Config() {
        LocatorConfig config = ConfigFromRoot(root_, fs_);
        config.packagesDir = PackagesDir();
        return config;
    }
    Path PackagesDir() const { return JoinPath(root_, "cache"); }
    FakeFileSystem& Fs() { return fs_; }

private:
    static std::string Text(const Path& path) { return PathDisplay(path); }

    const Path root_ = Path::FromUtf8(R"(C:\upkit-tests-only\App\)");
    FakeFileSystem fs_;
};

std::string Manifest(std::string_view version, std::string_view extra = {}) {
    return "<package><metadata><id>App</id><version>" + std::string(version) +
           "</version><mainExe>App.exe</mainExe>" + std::string(extra) + "</metadata></package>";
}

// The identity registered with the system, where the system reports it back (Wine does not: there
// only the log line shows it).
void ExpectIdentity(const std::string& identity) {
#ifdef _WIN32
    if (const std::optional<std::u16string> id = ProcessAppUserModelId()) {
        EXPECT_EQ(*id, Wtf8ToUtf16(identity));
    }
#else
    EXPECT_EQ(ProcessAppUserModelId(), Wtf8ToUtf16(identity));
#endif
}

// A request as the start-up sequence builds it, with hooks that note what they were called with.
struct Request {
    UpkitApp app;
    std::vector<std::string> fired;
    Request(std::optional<LocatorConfig> config, bool applyOnStart) {
        app.locatorOverride = std::move(config);
        app.applyOnStart = applyOnStart;
        app.args = {"-windowed"};
        app.onFirstRun = [this](const Version& v) {
            fired.push_back("firstrun " + VersionText(v));
        };
        app.onRestarted = [this](const Version& v) {
            fired.push_back("restarted " + VersionText(v));
        };
    }
};

class InstalledStartup : public ::testing::Test {
protected:
    void SetUp() override {
        UnsetEnv("UPKIT_FIRSTRUN");
        UnsetEnv("UPKIT_RESTART");
    }
    void TearDown() override { SetUp(); }

    static std::vector<std::string> Messages(const CapturedLog& log) {
        std::vector<std::string> out;
        for (const LogLine& line : log.Lines()) {
            if (line.target == "upkit::app") out.push_back(line.message);
        }
        return out;
    }
};

TEST_F(InstalledStartup, KeepsTheInstalledAndThePendingPackagesAndRemovesTheRest) {
    Installation install(Manifest("1.0.0"));
    install.AddPackage("App-0.9.0-full.nupkg", "0.9.0");
    install.AddPackage("App-1.0.0-full.nupkg", "1.0.0");
    install.AddPackage("App-1.1.0-full.nupkg", "1.1.0");
    install.AddPackage("App-1.2.0-full.nupkg", "1.2.0");

    Request request(install.Config(), false);
    CapturedLog log;
    RunInstalledStartup(request.app, install.Fs());

    EXPECT_EQ(Messages(log),
              (std::vector<std::string>{
                  "Setting current process explicit AppUserModelID to 'upkit.App'",
                  "Removing old package: " + install.PackagePathDebug("App-0.9.0-full.nupkg"),
                  "Removing old package: " + install.PackagePathDebug("App-1.1.0-full.nupkg"),
              }));
    // Everything the start-up says of itself here is information: no warning, no error.
    for (const LogLine& line : log.Lines()) {
        if (line.target == "upkit::app") {
            EXPECT_EQ(line.level, Level::Info) << line.message;
        }
    }
    EXPECT_EQ(install.PackageFiles(),
              (std::vector<std::string>{"App-1.0.0-full.nupkg", "App-1.2.0-full.nupkg"}));
    ExpectIdentity("upkit.App");
    EXPECT_TRUE(request.fired.empty());
    EXPECT_TRUE(log.Lines(Level::Info, "upkit::process").empty()) << "nothing was applied";
}

TEST_F(InstalledStartup, BuildMetadataDecidesWhatIsTheInstalledVersion) {
    Installation install(Manifest("1.0.0+5"));
    install.AddPackage("a-full.nupkg", "1.0.0+3");  // older: removed
    install.AddPackage("b-full.nupkg", "1.0.0+5");  // the installed version: kept
    install.AddPackage("c-full.nupkg", "1.0.0");    // older still: removed
    install.AddPackage("d-full.nupkg", "1.0.0+7");  // pending: kept
    install.AddPackage("e-full.nupkg", "1.0.0+7");  // the same version as the pending one: kept

    Request request(install.Config(), false);
    RunInstalledStartup(request.app, install.Fs());
    EXPECT_EQ(install.PackageFiles(),
              (std::vector<std::string>{"b-full.nupkg", "d-full.nupkg", "e-full.nupkg"}));
}

TEST_F(InstalledStartup, AFailedHandOverIsLoggedAndCleanUpGoesOn) {
    Installation install(Manifest("1.0.0"));
    install.AddPackage("App-0.9.0-full.nupkg", "0.9.0");
    install.AddPackage("App-1.2.0-full.nupkg", "1.2.0");

    Request request(install.Config(), true);
    CapturedLog log;
    RunInstalledStartup(request.app, install.Fs());

    const std::vector<LogLine> launch = log.Lines(Level::Info, "upkit::process");
    ASSERT_EQ(launch.size(), 2u);
    EXPECT_NE(launch[0].message.find("App-1.2.0-full.nupkg"), std::string::npos)
        << launch[0].message;
    EXPECT_NE(launch[0].message.find(" --waitPid "), std::string::npos) << launch[0].message;
    EXPECT_NE(launch[0].message.find(" -- -windowed\\0\")"), std::string::npos)
        << launch[0].message;
    const std::vector<LogLine> errors = log.Lines(Level::Error, "upkit::app");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(
        errors[0].message.rfind("UpkitApp: Error applying pending updates on startup: Io(", 0), 0u)
        << errors[0].message;
    EXPECT_EQ(install.PackageFiles(), (std::vector<std::string>{"App-1.2.0-full.nupkg"}));
}

TEST_F(InstalledStartup, PackagesThatCannotBeListedOrDeletedStayAndTheStartGoesOn) {
    Installation install(Manifest("1.0.0"));
    install.AddPackage("App-0.8.0-full.nupkg", "0.8.0");
    install.AddPackage("App-0.9.0-full.nupkg", "0.9.0");
    install.Fs().undeletable.insert(
        PathDisplay(JoinPath(install.PackagesDir(), "App-0.8.0-full.nupkg")));

    Request request(install.Config(), false);
    CapturedLog log;
    RunInstalledStartup(request.app, install.Fs());
    // Both are named as removed; the one another program holds is still there.
    EXPECT_EQ(Messages(log),
              (std::vector<std::string>{
                  "Setting current process explicit AppUserModelID to 'upkit.App'",
                  "Removing old package: " + install.PackagePathDebug("App-0.8.0-full.nupkg"),
                  "Removing old package: " + install.PackagePathDebug("App-0.9.0-full.nupkg"),
              }));
    EXPECT_EQ(install.PackageFiles(), (std::vector<std::string>{"App-0.8.0-full.nupkg"}));

    // A packages folder that cannot be listed holds nothing to remove.
    install.Fs().failing.emplace(PathDisplay(install.PackagesDir()),
                                 IoError::FromKind(IoErrorKind::PermissionDenied));
    CapturedLog again;
    RunInstalledStartup(request.app, install.Fs());
    EXPECT_EQ(Messages(again),
              (std::vector<std::string>{
                  "Setting current process explicit AppUserModelID to 'upkit.App'"}));
    EXPECT_EQ(install.PackageFiles(), (std::vector<std::string>{"App-0.8.0-full.nupkg"}));
}

TEST_F(InstalledStartup, MarkersAreConsumedAndFireTheirHooks) {
    struct Case {
        const char* firstRun;  // nullptr: not set
        const char* restart;
        bool applyOnStart;
        std::vector<std::string> fired;
        bool applied;
    };
    const Case cases[] = {
        {nullptr, nullptr, false, {}, false},
        {"", nullptr, false, {"firstrun 1.0.0"}, false},
        {"1", nullptr, true, {"firstrun 1.0.0"}, true},
        {nullptr, "true", true, {"restarted 1.0.0"}, false},
        {"x", "", true, {"firstrun 1.0.0", "restarted 1.0.0"}, false},
    };
    for (const Case& c : cases) {
        Installation install(Manifest("1.0.0"));
        install.AddPackage("App-2.0.0-full.nupkg", "2.0.0");
        if (c.firstRun) SetEnv("UPKIT_FIRSTRUN", c.firstRun);
        if (c.restart) SetEnv("UPKIT_RESTART", c.restart);

        Request request(install.Config(), c.applyOnStart);
        CapturedLog log;
        RunInstalledStartup(request.app, install.Fs());

        EXPECT_EQ(request.fired, c.fired);
        EXPECT_FALSE(ReadEnvVar(u"UPKIT_FIRSTRUN").has_value());
        EXPECT_FALSE(ReadEnvVar(u"UPKIT_RESTART").has_value());
        EXPECT_EQ(log.Lines(Level::Info, "upkit::process").size(), c.applied ? 2u : 0u);
        // A hook that fired is taken out of the request, so it cannot fire twice.
        EXPECT_EQ(request.app.onFirstRun.has_value(), c.firstRun == nullptr);
        EXPECT_EQ(request.app.onRestarted.has_value(), c.restart == nullptr);
        SetUp();
    }
}

TEST_F(InstalledStartup, WithoutAnInstallationOnlyTheErrorIsLoggedAndMarkersStay) {
    Installation install(Manifest("1.0.0"));
    LocatorConfig config = install.Config();
    config.updaterPath = Path(config.updaterPath.Units() + u".missing");
    SetEnv("UPKIT_FIRSTRUN", "1");
    SetEnv("UPKIT_RESTART", "1");

    Request request(config, true);
    CapturedLog log;
    RunInstalledStartup(request.app, install.Fs());

    const std::vector<LogLine> app = log.Lines(Level::Error, "upkit::app");
    ASSERT_EQ(app.size(), 1u);
    EXPECT_EQ(
        app[0].message.rfind("UpkitApp: Error loading manager/locator: NotInstalled(\"Update.exe "
                             "does not exist in the expected path (",
                             0),
        0u)
        << app[0].message;
    EXPECT_EQ(Messages(log).size(), 1u);
    EXPECT_TRUE(ReadEnvVar(u"UPKIT_FIRSTRUN").has_value());
    EXPECT_TRUE(ReadEnvVar(u"UPKIT_RESTART").has_value());
    EXPECT_TRUE(request.fired.empty());
}

TEST_F(InstalledStartup, IdentityFromTheManifest) {
    struct Case {
        std::string extra;
        std::string identity;
    };
    const Case cases[] = {
        {"", "upkit.App"},
        {"<shortcutAumid>Zelt.ZeltOy2</shortcutAumid>", "Zelt.ZeltOy2"},
        {"<shortcutAumid>Zelt Oyun ğüş</shortcutAumid>", "Zelt Oyun ğüş"},
    };
    for (const Case& c : cases) {
        Installation install(Manifest("1.0.0", c.extra));
        Request request(install.Config(), false);
        CapturedLog log;
        RunInstalledStartup(request.app, install.Fs());
        ASSERT_FALSE(Messages(log).empty());
        EXPECT_EQ(Messages(log)[0],
                  "Setting current process explicit AppUserModelID to '" + c.identity + "'");
        ExpectIdentity(c.identity);
    }
}

TEST(AppUserModelId, NulCharactersAreLeftOut) {
    EXPECT_EQ(AppUserModelIdBuffer("upkit.App"), std::u16string(u"upkit.App") + u'\0');
    EXPECT_EQ(AppUserModelIdBuffer(std::string("a\0b\0", 4)), std::u16string(u"ab") + u'\0');
    EXPECT_EQ(AppUserModelIdBuffer(""), std::u16string(1, u'\0'));
    EXPECT_EQ(AppUserModelIdBuffer("Oyun ğ"), std::u16string(u"Oyun ğ") + u'\0');

    PackageManifest manifest;
    manifest.id = "MyGame";
    EXPECT_EQ(AppUserModelIdFor(manifest), "upkit.MyGame");
    manifest.shortcutAumid = "Studio.Game";
    EXPECT_EQ(AppUserModelIdFor(manifest), "Studio.Game");
}

}  // namespace
}  // namespace upkit
