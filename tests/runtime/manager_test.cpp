#include "manager.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fake_file_system.h"
#include "log_capture.h"
#include "text.h"

namespace upkit {
namespace {

using zelt::test::FakeFileSystem;

using testing::CapturedLog;
using testing::LogLine;

Version V(std::string_view text) {
    Result<Version> version = ParseVersion(text);
    EXPECT_TRUE(version.ok()) << text;
    return version ? version.value() : Version{};
}

// Packages named after their position so a choice can be read back whatever the order.
std::vector<LocalPackage> Packages(const std::vector<std::string>& versions) {
    std::vector<LocalPackage> packages;
    for (const std::string& version : versions) {
        LocalPackage package;
        package.path = Path::FromUtf8("C:\\App\\packages\\App-" + version + "-full.nupkg");
        package.manifest.id = "App";
        package.manifest.version = V(version);
        package.manifest.mainExe = "App.exe";
        packages.push_back(std::move(package));
    }
    return packages;
}

std::optional<std::string> Chosen(const std::vector<std::string>& versions,
                                  std::string_view installed) {
    const std::vector<LocalPackage> packages = Packages(versions);
    const std::optional<size_t> pending = SelectPendingUpdate(packages, V(installed));
    if (!pending) return std::nullopt;
    EXPECT_LT(*pending, packages.size());
    return versions[*pending];
}

TEST(SelectPendingUpdate, ChoosesTheGreatestNewerVersion) {
    struct Case {
        std::string installed;
        std::vector<std::string> listed;
        std::optional<std::string> chosen;
    };
    const Case cases[] = {
        {"2.0.0", {"1.9.0", "2.0.0"}, std::nullopt},
        {"1.0.0", {"0.9.0", "1.0.0", "1.1.0", "1.2.0-beta"}, "1.2.0-beta"},
        {"1.0.0", {}, std::nullopt},
        {"1.0.0", {"1.0.0"}, std::nullopt},
        {"1.0.0", {"1.0.0-rc.1", "0.1.0"}, std::nullopt},
        {"1.0.0-rc.1", {"1.0.0-rc.2", "1.0.0-beta"}, "1.0.0-rc.2"},
        {"1.0.0", {"1.0.0-rc.2", "1.0.0"}, std::nullopt},
        {"1.0.0", {"10.0.0", "9.0.0", "2.0.0"}, "10.0.0"},  // numbers by value, not text
        // Build metadata alone makes a version newer or older than the installed one.
        {"1.0.0+1", {"1.0.0+0", "1.0.0"}, std::nullopt},
        {"1.0.0+1", {"1.0.0+2", "1.0.0+1"}, "1.0.0+2"},
        {"1.0.0", {"1.3.0+12", "1.3.0+5"}, "1.3.0+12"},
        {"1.0.0", {"1.3.0+5", "1.3.0+12"}, "1.3.0+12"},
        {"1.0.0", {"1.3.0+5", "1.3.0+12", "1.3.0+9"}, "1.3.0+12"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Chosen(c.listed, c.installed), c.chosen) << "installed " << c.installed;
    }
}

TEST(SelectPendingUpdate, OrderOfTheListDoesNotChangeTheChoice) {
    std::vector<std::string> versions = {"0.9.0", "1.0.0", "1.1.0", "1.2.0-beta", "1.2.0-alpha"};
    std::sort(versions.begin(), versions.end());
    do {
        EXPECT_EQ(Chosen(versions, "1.0.0"), "1.2.0-beta");
    } while (std::next_permutation(versions.begin(), versions.end()));
}

TEST(SelectPendingUpdate, LastOfEqualVersionsWins) {
    struct Case {
        std::vector<std::string> listed;
        size_t position;
    };
    const Case cases[] = {
        {{"1.3.0", "1.3.0"}, 1},
        {{"1.3.0", "1.1.0", "1.3.0", "1.2.0"}, 2},
        {{"1.3.0+7", "1.3.0+7", "0.1.0"}, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SelectPendingUpdate(Packages(c.listed), V("1.0.0")), c.position);
    }
}

TEST(ManagerSettings, CountZeroMeansTheDefault) {
    struct Case {
        std::optional<ManagerSettings> given;
        std::optional<std::string> text;
        uint32_t count;
        bool flag;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, 10, false},
        {ManagerSettings{std::nullopt, 0, false}, std::nullopt, 10, false},
        {ManagerSettings{"beta", 0, true}, "beta", 10, true},
        {ManagerSettings{"", 3, false}, "", 3, false},
        {ManagerSettings{std::nullopt, 4294967295u, true}, std::nullopt, 4294967295u, true},
    };
    for (const Case& c : cases) {
        const ManagerSettings settings = CompleteSettings(c.given);
        EXPECT_EQ(settings.text, c.text);
        EXPECT_EQ(settings.count, c.count);
        EXPECT_EQ(settings.flag, c.flag);
    }
}

TEST(NoneSource, RefusesBothOperationsWithTheirTexts) {
    NoneSource source;
    Result<ReleaseFeed> feed = source.FetchReleaseFeed("stable");
    ASSERT_FALSE(feed.ok());
    EXPECT_EQ(feed.error().Debug(),
              R"(NotSupported("None source does not checking release feed"))");

    Status download = source.DownloadRelease(UpdateAsset{}, "x", std::nullopt);
    ASSERT_FALSE(download.ok());
    EXPECT_EQ(download.error().Debug(),
              R"(NotSupported("None source does not support downloads"))");
}

TEST(NoneSource, LetsGoOfTheProgressSenderBeforeReturning) {
    ProgressChannel channel = ProgressChannel::Make();
    const std::unique_ptr<ReleaseSource> source = std::make_unique<NoneSource>();
    ASSERT_TRUE(channel.receiver.SendersConnected());
    Status download = source->DownloadRelease(UpdateAsset{}, "x", std::move(channel.sender));
    EXPECT_FALSE(download.ok());
    EXPECT_FALSE(channel.receiver.SendersConnected());
    EXPECT_FALSE(channel.receiver.TryReceive().has_value());

    // Only the sender it was given goes: a copy held elsewhere keeps the channel open.
    ProgressChannel second = ProgressChannel::Make();
    const ProgressSender kept = second.sender;
    EXPECT_FALSE(source->DownloadRelease(UpdateAsset{}, "x", std::move(second.sender)).ok());
    EXPECT_TRUE(second.receiver.SendersConnected());
    EXPECT_TRUE(kept.Send(5));
    EXPECT_EQ(second.receiver.TryReceive(), 5);
}

TEST(ProgressChannel, ManySendersOneReceiver) {
    ProgressChannel channel = ProgressChannel::Make();
    {
        ProgressSender a = channel.sender;
        ProgressSender b = std::move(channel.sender);
        EXPECT_TRUE(a.Send(10));
        EXPECT_TRUE(b.Send(20));
        EXPECT_TRUE(a.Send(30));
        ProgressSender c = a;
        c = b;  // assigning lets go of what c held
        EXPECT_TRUE(channel.receiver.SendersConnected());
    }
    EXPECT_FALSE(channel.receiver.SendersConnected());
    EXPECT_EQ(channel.receiver.TryReceive(), 10);
    EXPECT_EQ(channel.receiver.TryReceive(), 20);
    EXPECT_EQ(channel.receiver.TryReceive(), 30);
    EXPECT_EQ(channel.receiver.TryReceive(), std::nullopt);

    ProgressChannel other = ProgressChannel::Make();
    { ProgressReceiver gone = std::move(other.receiver); }
    EXPECT_FALSE(other.sender.Send(1));
}

// A package file on disk; its path ends in a separator-joined name so that both builds find it.
class TempFolder {
public:
    TempFolder() {
        dir_ = std::filesystem::temp_directory_path() /
               ("upkit-manager-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(dir_);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    Path File(const std::string& name, size_t size) const {
        std::ofstream(dir_ / name, std::ios::binary) << std::string(size, 'x');
#ifdef _WIN32
        return Path(reinterpret_cast<const char16_t*>((dir_ / name).native().c_str()));
#else
        return Path::FromUtf8((dir_ / name).native());
#endif
    }

private:
    std::filesystem::path dir_;
};

TEST(AssetFromLocalPackage, FieldsFromTheManifestAndTheFile) {
    TempFolder folder;
    LocalPackage package;
    package.path = folder.File("App-1.2.0-full.nupkg", 1234);
    package.manifest.id = "App";
    package.manifest.version = V("1.2.0-beta.1+7");
    package.manifest.releaseNotes = "notes\nline";
    package.manifest.releaseNotesHtml = "<p>notes</p>";
    package.manifest.title = "not copied";

    const UpdateAsset asset = AssetFromLocalPackage(package);
    EXPECT_EQ(asset.id, "App");
    EXPECT_EQ(asset.version, "1.2.0-beta.1+7");
    EXPECT_EQ(asset.kind, "Full");
    EXPECT_EQ(asset.fileName, "App-1.2.0-full.nupkg");
    EXPECT_EQ(asset.reserved1, "");
    EXPECT_EQ(asset.reserved2, "");
    EXPECT_EQ(asset.releaseNotes, "notes\nline");
    EXPECT_EQ(asset.releaseNotesHtml, "<p>notes</p>");
    EXPECT_EQ(asset.size, 1234u);
}

TEST(AssetFromLocalPackage, MissingFileAndOddNames) {
    struct Case {
        std::u16string path;
        std::string fileName;
    };
    const Case cases[] = {
        {u"C:\\App\\packages\\App-1.2.0-full.nupkg", "App-1.2.0-full.nupkg"},
        {u"C:\\App\\packages/Oyun ğüş-1.0.0-full.nupkg", "Oyun ğüş-1.0.0-full.nupkg"},
        {u"C:\\p\\a" + std::u16string(1, char16_t(0xDC00)) + u"-full.nupkg",
         "a\xEF\xBF\xBD-full.nupkg"},
        {u"-full.nupkg", "-full.nupkg"},
    };
    for (const Case& c : cases) {
        LocalPackage package;
        package.path = Path(c.path);
        package.manifest.version = V("1.0.0");
        const UpdateAsset asset = AssetFromLocalPackage(package);
        EXPECT_EQ(asset.fileName, c.fileName);
        EXPECT_EQ(asset.size, 0u) << "a file that cannot be examined has size 0";
        EXPECT_EQ(asset.version, "1.0.0");
    }
}

// A disk with one installation at C:\App, its root writable; an entry without a text cannot be
// read.
FakeFileSystem InstallationFs(std::set<std::string> entries,
                              std::map<std::string, std::string> texts) {
    FakeFileSystem fs;
    for (const std::string& entry : entries) {
        auto text = texts.find(entry);
        fs.AddFile(entry, text != texts.end() ? text->second : "");
        if (text == texts.end())
            fs.failing.emplace(entry, IoError::FromKind(IoErrorKind::NotFound));
    }
    fs.writableDirs = {"C:\\App"};
    fs.exePath = Path::FromUtf8("C:\\App\\current\\App.exe");
    return fs;
}

const char kManifest[] =
    "<package><metadata><id>App</id><version>1.0.0</version><mainExe>App.exe</mainExe>"
    "</metadata></package>";

// Counts how many sources are alive, to see who owns and releases one.
struct CountedSource : ReleaseSource {
    explicit CountedSource(int& alive) : alive_(alive) { ++alive_; }
    ~CountedSource() override { --alive_; }
    Result<ReleaseFeed> FetchReleaseFeed(std::string_view channel) override {
        return NoneSource().FetchReleaseFeed(channel);
    }
    Status DownloadRelease(const UpdateAsset& release, std::string_view localFile,
                           std::optional<ProgressSender> progress) override {
        return NoneSource().DownloadRelease(release, localFile, std::move(progress));
    }
    int& alive_;
};

TEST(CreateManager, ExplicitConfigurationIsOpenedAfterAWarning) {
    FakeFileSystem fs = InstallationFs({"C:\\App\\Update.exe", "C:\\App\\current\\sq.version"},
                                       {{"C:\\App\\current\\sq.version", kManifest}});
    int alive = 0;
    CapturedLog log;
    Result<ManagerHandle> manager =
        CreateManager(std::make_unique<CountedSource>(alive), ManagerSettings{"x", 0, true},
                      ConfigFromRoot(Path::FromUtf8("C:\\App"), fs), fs);
    ASSERT_TRUE(manager.ok()) << manager.error().Debug();
    ASSERT_FALSE(log.Lines().empty());
    EXPECT_EQ(log.Lines().front(),
              (LogLine{Level::Warn, "upkit::manager",
                       "Using explicit locator configuration, ignoring auto-locate."}));
    EXPECT_TRUE(log.Lines(Level::Info, "upkit::locator").size() >= 1);
    EXPECT_TRUE(log.Lines(Level::Info, "upkit::manager").empty());

    const AppUpdateManager& m = *manager.value();
    EXPECT_EQ(m.locator().manifest.id, "App");
    EXPECT_EQ(VersionText(m.locator().manifest.version), "1.0.0");
    EXPECT_EQ(PathDisplay(m.locator().config.packagesDir), "C:\\App\\packages");
    EXPECT_EQ(m.settings().count, 10u);
    EXPECT_EQ(m.settings().text, "x");
    EXPECT_TRUE(m.settings().flag);
    EXPECT_FALSE(m.source().FetchReleaseFeed("").ok());

    // Shared: the source goes with the last holder.
    ManagerHandle copy = manager.value();
    manager = RuntimeError::Other("released");
    EXPECT_EQ(alive, 1);
    copy.reset();
    EXPECT_EQ(alive, 0);
}

TEST(CreateManager, FailuresPassUnchangedAndReleaseTheSource) {
    struct Case {
        const char* name;
        std::set<std::string> entries;
        std::map<std::string, std::string> texts;
        bool explicitConfig;
        std::string error;
    };
    const Case cases[] = {
        {"explicit configuration without an updater",
         {"C:\\App\\current\\sq.version"},
         {{"C:\\App\\current\\sq.version", kManifest}},
         true,
         R"x(NotInstalled("Update.exe does not exist in the expected path (C:\\App\\Update.exe)"))x"},
        {"explicit configuration with a bad manifest",
         {"C:\\App\\Update.exe", "C:\\App\\current\\sq.version"},
         {{"C:\\App\\current\\sq.version",
           "<package><metadata><id>App</id><version>1.0.0</version></metadata></package>"}},
         true,
         R"(InvalidPackage("Missing required manifest property: mainExe"))"},
        {"auto-location from the executable finds no updater",
         {"C:\\App\\current\\sq.version"},
         {{"C:\\App\\current\\sq.version", kManifest}},
         false,
         R"(NotInstalled("Could not auto-locate app manifest"))"},
        {"auto-location from the executable finds the root without a manifest",
         {"C:\\App\\Update.exe"},
         {},
         false,
         R"x(NotInstalled("Manifest file does not exist in the expected path (C:\\App\\current\\sq.version)"))x"},
    };
    for (const Case& c : cases) {
        FakeFileSystem fs = InstallationFs(c.entries, c.texts);
        int alive = 0;
        CapturedLog log;
        Result<ManagerHandle> manager = CreateManager(
            std::make_unique<CountedSource>(alive), std::nullopt,
            c.explicitConfig ? std::optional(ConfigFromRoot(Path::FromUtf8("C:\\App"), fs))
                             : std::nullopt,
            fs);
        ASSERT_FALSE(manager.ok()) << c.name;
        EXPECT_EQ(manager.error().Debug(), c.error) << c.name;
        EXPECT_EQ(alive, 0) << c.name;
        EXPECT_EQ(log.Lines(Level::Warn, "upkit::manager").size(), c.explicitConfig ? 1u : 0u)
            << c.name;
    }
}

TEST(ApplyAfterExit, MissingPackageFailsWithoutStartingAnything) {
    FakeFileSystem fs = InstallationFs({"C:\\App\\Update.exe", "C:\\App\\current\\sq.version"},
                                       {{"C:\\App\\current\\sq.version", kManifest}});
    Result<ManagerHandle> manager =
        CreateManager(std::make_unique<NoneSource>(), std::nullopt,
                      ConfigFromRoot(Path::FromUtf8("C:\\App"), fs), fs);
    ASSERT_TRUE(manager.ok());
    CapturedLog log;
    Status applied = ApplyAfterExit(*manager.value(), "App-9.9.9-full.nupkg", false, true, {"a"});
    ASSERT_FALSE(applied.ok());
    EXPECT_EQ(applied.error().Debug(),
              R"(FileNotFound("C:\\App\\packages\\App-9.9.9-full.nupkg"))");
    EXPECT_EQ(
        log.Lines(),
        (std::vector<LogLine>{
            {Level::Error, "upkit::manager",
             R"(Package does not exist on disk: '"C:\\App\\packages\\App-9.9.9-full.nupkg"')"}}));
}

}  // namespace
}  // namespace upkit
