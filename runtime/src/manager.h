// The update manager: one installation's handle for update work. It holds the opened installation,
// its settings and the source new releases would come from, chooses the pending update among the
// downloaded packages and hands a package to the updater.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors.h"
#include "locator.h"
#include "locator_packages.h"
#include "version.h"

namespace upkit {

// Settings given when a manager is created. A count of 0 stands for the default count.
struct ManagerSettings {
    std::optional<std::string> text;
    uint32_t count = 10;
    bool flag = false;
};

// The settings a manager keeps: the given ones with a count of 0 replaced by 10, or the defaults
// (no text, 10, false) when none were given.
ManagerSettings CompleteSettings(std::optional<ManagerSettings> given);

// One package to apply, as the updater and a release feed describe it.
struct UpdateAsset {
    std::string id;
    std::string version;   // the SemVer text
    std::string kind;      // "Full"
    std::string fileName;  // the package file's name in the packages directory
    // Two texts this program leaves empty and never reads.
    std::string reserved1;
    std::string reserved2;
    std::string releaseNotes;
    std::string releaseNotesHtml;
    uint64_t size = 0;
};

// The asset for a downloaded package. Its size is the file's size on disk, 0 when that cannot be
// read. The package path must end in a file name.
UpdateAsset AssetFromLocalPackage(const LocalPackage& package);
UpdateAsset AssetFromLocalPackage(FileSystem& fs, const LocalPackage& package);

// The position of the pending update in the list: the greatest version above the installed one
// (by version order, build metadata breaking ties), the last of equal ones; nothing when no entry
// is newer than the installed version.
std::optional<size_t> SelectPendingUpdate(const std::vector<LocalPackage>& packages,
                                          const Version& installed);

// The releases a source offers.
struct ReleaseFeed {
    std::vector<UpdateAsset> assets;
};

// A channel through which a download reports its progress (in percent): any number of senders,
// one receiver. The receiver sees whether any sender is still held, so a source can be checked
// for letting go of the one it was given.
namespace detail {
struct ProgressState {
    std::mutex mutex;
    std::deque<int> values;
    size_t senders = 0;
    bool receiverAlive = true;
};
}  // namespace detail

class ProgressSender {
public:
    ProgressSender(const ProgressSender& other);
    ProgressSender& operator=(const ProgressSender& other);
    ProgressSender(ProgressSender&& other) noexcept = default;
    ProgressSender& operator=(ProgressSender&& other) noexcept;
    ~ProgressSender();

    // False when the receiver is gone; the value is then dropped.
    bool Send(int percent) const;

private:
    friend struct ProgressChannel;
    explicit ProgressSender(std::shared_ptr<detail::ProgressState> state);
    void Release();
    std::shared_ptr<detail::ProgressState> state_;
};

class ProgressReceiver {
public:
    ProgressReceiver(ProgressReceiver&&) noexcept = default;
    ProgressReceiver& operator=(ProgressReceiver&& other) noexcept;
    ~ProgressReceiver();

    // The oldest value not yet taken.
    std::optional<int> TryReceive();
    // Whether some sender still exists.
    bool SendersConnected() const;

private:
    friend struct ProgressChannel;
    explicit ProgressReceiver(std::shared_ptr<detail::ProgressState> state)
        : state_(std::move(state)) {}
    void Release();
    std::shared_ptr<detail::ProgressState> state_;
};

struct ProgressChannel {
    ProgressSender sender;
    ProgressReceiver receiver;
    static ProgressChannel Make();
};

// Where releases come from.
class ReleaseSource {
public:
    virtual ~ReleaseSource() = default;
    // The list of available releases.
    virtual Result<ReleaseFeed> FetchReleaseFeed(std::string_view channel) = 0;
    // Downloads one release to the local file. The source takes over the progress sender and lets
    // go of it before returning.
    virtual Status DownloadRelease(const UpdateAsset& release, std::string_view localFile,
                                   std::optional<ProgressSender> progress) = 0;
};

// The source of an installation that takes no updates from anywhere: both operations fail with
// NotSupported.
class NoneSource final : public ReleaseSource {
public:
    Result<ReleaseFeed> FetchReleaseFeed(std::string_view channel) override;
    Status DownloadRelease(const UpdateAsset& release, std::string_view localFile,
                           std::optional<ProgressSender> progress) override;
};

// The manager of one installation. Immutable once created; shared by reference counting.
class AppUpdateManager {
public:
    AppUpdateManager(const AppUpdateManager&) = delete;
    AppUpdateManager& operator=(const AppUpdateManager&) = delete;

    const Locator& locator() const { return locator_; }
    // The file system the installation was opened on; the manager's work goes on over it.
    FileSystem& fileSystem() const { return fs_; }
    const ManagerSettings& settings() const { return settings_; }
    ReleaseSource& source() const { return *source_; }

private:
    friend Result<std::shared_ptr<const AppUpdateManager>> CreateManager(
        std::unique_ptr<ReleaseSource>, std::optional<ManagerSettings>,
        std::optional<LocatorConfig>, FileSystem&);
    AppUpdateManager(Locator locator, ManagerSettings settings,
                     std::unique_ptr<ReleaseSource> source, FileSystem& fs)
        : locator_(std::move(locator)),
          settings_(std::move(settings)),
          source_(std::move(source)),
          fs_(fs) {}

    const Locator locator_;
    const ManagerSettings settings_;
    const std::unique_ptr<ReleaseSource> source_;
    FileSystem& fs_;
};

using ManagerHandle = std::shared_ptr<const AppUpdateManager>;

// Opens the installation: the explicit configuration when one is given (with a Warn line), else
// the one found from the running executable. A failure to locate or open is returned unchanged.
Result<ManagerHandle> CreateManager(std::unique_ptr<ReleaseSource> source,
                                    std::optional<ManagerSettings> settings,
                                    std::optional<LocatorConfig> locatorConfig);
// The same on the given file-system services.
Result<ManagerHandle> CreateManager(std::unique_ptr<ReleaseSource> source,
                                    std::optional<ManagerSettings> settings,
                                    std::optional<LocatorConfig> locatorConfig, FileSystem& fs);

// Starts the updater to apply the package once this process has ended; returns as soon as the
// updater runs. Ending this process is the caller's step.
Status ApplyAfterExit(const AppUpdateManager& manager, std::string_view fileName, bool silent,
                      bool restart, const std::vector<std::string>& restartArguments);

}  // namespace upkit
