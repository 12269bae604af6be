#include "manager.h"

#include "logging.h"
#include "process_win.h"
#include "text.h"

namespace upkit {

namespace {

constexpr const char* kTarget = "upkit::manager";
constexpr uint32_t kDefaultCount = 10;

}  // namespace

ManagerSettings CompleteSettings(std::optional<ManagerSettings> given) {
    if (!given) return ManagerSettings{std::nullopt, kDefaultCount, false};
    if (given->count == 0) given->count = kDefaultCount;
    return std::move(*given);
}

UpdateAsset AssetFromLocalPackage(const LocalPackage& package) {
    return AssetFromLocalPackage(SystemFileSystem(), package);
}

UpdateAsset AssetFromLocalPackage(FileSystem& fs, const LocalPackage& package) {
    UpdateAsset asset;
    asset.id = package.manifest.id;
    asset.version = VersionText(package.manifest.version);
    asset.kind = "Full";
    asset.fileName = Utf16ToUtf8Lossy(FileName(package.path).value_or(std::u16string()));
    asset.releaseNotes = package.manifest.releaseNotes;
    asset.releaseNotesHtml = package.manifest.releaseNotesHtml;
    // A package that vanished since it was listed still gets an asset; applying it then fails.
    IoResult<uint64_t> size = fs.FileSize(package.path);
    asset.size = size ? size.value() : 0;
    return asset;
}

std::optional<size_t> SelectPendingUpdate(const std::vector<LocalPackage>& packages,
                                          const Version& installed) {
    std::optional<size_t> best;
    for (size_t i = 0; i < packages.size(); ++i) {
        const Version& version = packages[i].manifest.version;
        if (CompareVersions(version, installed) <= 0) continue;
        // Not "greater than": of equal versions the one later in the list wins.
        if (!best || CompareVersions(packages[*best].manifest.version, version) <= 0) best = i;
    }
    return best;
}

ProgressSender::ProgressSender(std::shared_ptr<detail::ProgressState> state)
    : state_(std::move(state)) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    ++state_->senders;
}

ProgressSender::ProgressSender(const ProgressSender& other) : state_(other.state_) {
    if (state_) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        ++state_->senders;
    }
}

ProgressSender& ProgressSender::operator=(const ProgressSender& other) {
    if (this != &other) {
        ProgressSender copy(other);
        *this = std::move(copy);
    }
    return *this;
}

ProgressSender& ProgressSender::operator=(ProgressSender&& other) noexcept {
    if (this != &other) {
        Release();
        state_ = std::move(other.state_);
    }
    return *this;
}

ProgressSender::~ProgressSender() {
    Release();
}

void ProgressSender::Release() {
    if (!state_) return;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        --state_->senders;
    }
    state_.reset();
}

bool ProgressSender::Send(int percent) const {
    if (!state_) return false;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->receiverAlive) return false;
    state_->values.push_back(percent);
    return true;
}

ProgressReceiver& ProgressReceiver::operator=(ProgressReceiver&& other) noexcept {
    if (this != &other) {
        Release();
        state_ = std::move(other.state_);
    }
    return *this;
}

ProgressReceiver::~ProgressReceiver() {
    Release();
}

void ProgressReceiver::Release() {
    if (!state_) return;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->receiverAlive = false;
        state_->values.clear();
    }
    state_.reset();
}

std::optional<int> ProgressReceiver::TryReceive() {
    if (!state_) return std::nullopt;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->values.empty()) return std::nullopt;
    const int value = state_->values.front();
    state_->values.pop_front();
    return value;
}

bool ProgressReceiver::SendersConnected() const {
    if (!state_) return false;
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->senders > 0;
}

ProgressChannel ProgressChannel::Make() {
    auto state = std::make_shared<detail::ProgressState>();
    return ProgressChannel{ProgressSender(state), ProgressReceiver(state)};
}

Result<ReleaseFeed> NoneSource::FetchReleaseFeed(std::string_view) {
    return RuntimeError::NotSupported("None source does not checking release feed");
}

Status NoneSource::DownloadRelease(const UpdateAsset&, std::string_view,
                                   std::optional<ProgressSender> progress) {
    progress.reset();  // let go of the sender before reporting, so the receiver sees it gone
    return RuntimeError::NotSupported("None source does not support downloads");
}

Result<ManagerHandle> CreateManager(std::unique_ptr<ReleaseSource> source,
                                    std::optional<ManagerSettings> settings,
                                    std::optional<LocatorConfig> locatorConfig) {
    return CreateManager(std::move(source), std::move(settings), std::move(locatorConfig),
                         SystemFileSystem());
}

Result<ManagerHandle> CreateManager(std::unique_ptr<ReleaseSource> source,
                                    std::optional<ManagerSettings> settings,
                                    std::optional<LocatorConfig> locatorConfig, FileSystem& fs) {
    std::optional<Result<Locator>> located;
    if (locatorConfig) {
        UPKIT_WARN(kTarget, "Using explicit locator configuration, ignoring auto-locate.");
        located.emplace(OpenLocator(*locatorConfig, fs));
        locatorConfig.reset();
    } else {
        located.emplace(AutoLocate(LocationContext(LocationContext::CurrentExecutable{}), fs));
    }
    if (!*located) return located->take_error();  // source and settings go with this frame

    return ManagerHandle(new AppUpdateManager(
        std::move(located->value()), CompleteSettings(std::move(settings)), std::move(source), fs));
}

Status ApplyAfterExit(const AppUpdateManager& manager, std::string_view fileName, bool silent,
                      bool restart, const std::vector<std::string>& restartArguments) {
    return LaunchUpdater(manager.fileSystem(), manager.locator(), fileName, silent,
                         WaitTarget::CurrentProcess(), restart, restartArguments);
}

}  // namespace upkit
