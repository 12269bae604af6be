// Finding the installation the runtime belongs to, opening it and choosing where packages go.
// Everything here works through a FileSystem, so the decisions run in the native build too and
// a test can give them any disk.
#include "locator.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "logging.h"
#include "misc.h"
#include "os/os.h"
#include "text.h"

namespace upkit {

namespace {

constexpr const char* kTarget = "upkit::locator";
constexpr std::string_view kCurrentPattern = "\\current\\";

RuntimeError CouldNotAutoLocate() {
    return RuntimeError::NotInstalled("Could not auto-locate app manifest");
}

Result<Locator> LocateAppExecutable(const Path& exePath, FileSystem& fs) {
    if (std::optional<Path> parent = ParentDir(exePath)) {
        if (fs.Exists(JoinPath(*parent, "Update.exe"))) {
            UPKIT_INFO(kTarget, "Found Update.exe in parent directory: " + PathDisplay(*parent));
            return OpenLocator(ConfigFromRoot(*parent, fs), fs);
        }
    }
    // Only the innermost "current" is the installation's; an outer one belongs to some other
    // folder that merely has that name.
    if (std::optional<std::string> candidate = CurrentPatternRoot(exePath)) {
        const Path root = Path::FromUtf8(*candidate);
        if (fs.Exists(JoinPath(root, "Update.exe"))) {
            UPKIT_INFO(kTarget, "Found Update.exe by current path pattern search in directory: " +
                                    *candidate);
            return OpenLocator(ConfigFromRoot(root, fs), fs);
        }
    }
    return CouldNotAutoLocate();
}

// The name a start copies the updater under before the copy takes its real name:
// "Update.exe.<pid>.partial" beside it.
Path PartialCopyPath(const Path& updater, uint32_t processId) {
    return Path(updater.Units() + Wtf8ToUtf16("." + std::to_string(processId) + ".partial"));
}

// Copies the root's updater to the fallback folder so that the updater found there is always a
// whole program: the copy is made in a new file of this start's own, which has normal attributes
// (an installer may mark the root's copy read-only, and a read-only copy could be neither flushed
// nor deleted), and takes the real name through the same open handle once it is complete and on
// the disk, never over one that another start published meanwhile. Without the flush a power cut
// could leave the published name with the copy's size but zeros for data, and since an existing
// copy is never replaced, that broken updater would stay for good. Whatever fails, the partial
// copy is deleted as it is closed, so the next start tries again.
IoResult<Unit> PublishUpdaterCopy(const Path& from, const Path& to, FileSystem& fs) {
    const Path partial = PartialCopyPath(to, CurrentProcessId());
    IoResult<std::unique_ptr<UnpublishedFile>> copy = fs.CopyToNewFile(from, partial);
    if (!copy && copy.error().Kind() == IoErrorKind::AlreadyExists) {
        // Left by an ended process that had this one's id: no live start is writing it.
        (void)fs.RemoveFileEvenReadOnly(partial);
        copy = fs.CopyToNewFile(from, partial);
    }
    if (!copy) return copy.take_error();
    IoResult<Unit> step = copy.value()->Flush();
    if (step) step = copy.value()->Publish(to);
    if (step) return step;
    copy.value().reset();
    // Another start got there first with a whole copy of its own, which is kept.
    if (step.error().Kind() == IoErrorKind::AlreadyExists && fs.Exists(to)) return Unit{};
    return step;
}

// Whether a name is that of a start's partial copy of the updater: "Update.exe.<digits>.partial".
bool IsPartialCopyName(std::u16string_view name) {
    constexpr std::u16string_view kPrefix = u"Update.exe.";
    constexpr std::u16string_view kSuffix = u".partial";
    if (name.size() <= kPrefix.size() + kSuffix.size() ||
        name.substr(0, kPrefix.size()) != kPrefix ||
        name.substr(name.size() - kSuffix.size()) != kSuffix) {
        return false;
    }
    const std::u16string_view id =
        name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    return std::all_of(id.begin(), id.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

// Deletes the partial copies of the updater that a start left beside the published one when it
// was killed or lost power between its copy and the publication: each is as large as the updater,
// and no later start would remove it, since its id differs. Those of earlier versions carry the
// root's attributes, read-only among them. A start still making its copy holds it open without
// sharing deletion, so its copy refuses to go and is left alone; so is anything else that refuses.
void RemoveAbandonedUpdaterCopies(const Path& fallback, FileSystem& fs) {
    IoResult<std::vector<DirectoryEntry>> entries = fs.List(fallback);
    if (!entries) return;
    for (const DirectoryEntry& entry : entries.value()) {
        if (entry.isDirectory || !IsPartialCopyName(entry.name)) continue;
        const Path path = JoinPath(fallback, std::u16string_view(entry.name));
        if (fs.RemoveFileEvenReadOnly(path)) {
            UPKIT_INFO(kTarget, "Removed abandoned updater copy: " + PathDisplay(path));
        }
    }
}

}  // namespace

LocatorConfig ConfigFromRoot(const Path& root) {
    return ConfigFromRoot(root, SystemFileSystem());
}

LocatorConfig ConfigFromRoot(const Path& root, FileSystem& fs) {
    LocatorConfig config;
    config.rootDir = root;
    config.updaterPath = JoinPath(root, "Update.exe");
    config.packagesDir = JoinPath(root, "packages");
    config.currentDir = JoinPath(root, "current");
    config.manifestPath = JoinPath(config.currentDir, "sq.version");
    config.portable = fs.Exists(JoinPath(root, ".portable"));
    return config;
}

IoResult<std::string> ManifestTextFromBytes(std::string bytes) {
    if (bytes.size() > kMaxManifestBytes) {
        return IoError::WithMessage(
            IoErrorKind::InvalidData,
            "manifest file is larger than " + std::to_string(kMaxManifestBytes) + " bytes");
    }
    if (!IsValidUtf8(bytes)) {
        return IoError::WithMessage(IoErrorKind::InvalidData, "stream did not contain valid UTF-8");
    }
    return bytes;
}

IoResult<std::string> ReadManifestText(FileSystem& fs, const Path& path) {
    return RetryFileOperation([&]() -> IoResult<std::string> {
        IoResult<std::unique_ptr<RandomAccessFile>> file = fs.OpenForReading(path);
        if (!file) return file.take_error();
        // Read from the start, stopping one byte past the limit: a file that keeps growing or
        // claims an enormous size costs no more than that.
        constexpr size_t kAtMost = kMaxManifestBytes + 1;
        constexpr size_t kChunk = size_t{64} * 1024;
        std::string bytes;
        if (IoResult<uint64_t> size = file.value()->Size(); size && size.value() > 0) {
            bytes.reserve(static_cast<size_t>(std::min<uint64_t>(size.value(), kAtMost)));
        }
        while (bytes.size() < kAtMost) {
            const size_t at = bytes.size();
            bytes.resize(at + std::min(kChunk, kAtMost - at));
            IoResult<size_t> got = file.value()->ReadAt(at, bytes.data() + at, bytes.size() - at);
            if (!got) return got.take_error();
            bytes.resize(at + got.value());
            if (got.value() == 0) break;
        }
        return ManifestTextFromBytes(std::move(bytes));
    });
}

std::optional<std::string> CurrentPatternRoot(const Path& exePath) {
    const std::string text = PathDisplay(exePath);
    const size_t at = text.rfind(kCurrentPattern);
    if (at == std::string::npos) return std::nullopt;
    return text.substr(0, at);
}

Result<Locator> AutoLocate(LocationContext context) {
    return AutoLocate(std::move(context), SystemFileSystem());
}

Result<Locator> AutoLocate(LocationContext context, FileSystem& fs) {
    UPKIT_INFO(kTarget, "Auto-locating app manifest...");
    using C = LocationContext;
    return std::visit(
        [&fs](auto&& variant) -> Result<Locator> {
            using T = std::decay_t<decltype(variant)>;
            if constexpr (std::is_same_v<T, C::Unknown>) {
                UPKIT_WARN(kTarget,
                           "Unknown location context, trying to auto-locate from current exe "
                           "location...");
                if (Result<Locator> found = AutoLocate(C::CurrentExecutable{}, fs)) return found;
                if (Result<Locator> found = AutoLocate(C::UpdaterProcess{}, fs)) return found;
                return CouldNotAutoLocate();
            } else if constexpr (std::is_same_v<T, C::UpdaterProcess>) {
                IoResult<Path> exe = fs.CurrentExePath();
                if (!exe) return RuntimeError::Io(exe.take_error());
                const std::optional<Path> parent = ParentDir(exe.value());
                if (!parent) return CouldNotAutoLocate();
                // OpenLocator itself insists on the Update.exe beside the executable.
                return OpenLocator(ConfigFromRoot(*parent, fs), fs);
            } else if constexpr (std::is_same_v<T, C::CurrentExecutable>) {
                IoResult<Path> exe = fs.CurrentExePath();
                if (!exe) return RuntimeError::Io(exe.take_error());
                return AutoLocate(C::AppExecutable{std::move(exe.value())}, fs);
            } else if constexpr (std::is_same_v<T, C::RootDirectory>) {
                LocatorConfig config = ConfigFromRoot(variant.root, fs);
                if (variant.packagesDir) config.packagesDir = *variant.packagesDir;
                return OpenLocator(config, fs);
            } else {
                static_assert(std::is_same_v<T, C::AppExecutable>);
                return LocateAppExecutable(variant.path, fs);
            }
        },
        std::move(context.value));
}

Result<Locator> OpenLocator(const LocatorConfig& config) {
    return OpenLocator(config, SystemFileSystem());
}

Result<Locator> OpenLocator(const LocatorConfig& config, FileSystem& fs) {
    if (!fs.Exists(config.updaterPath)) {
        return RuntimeError::NotInstalled("Update.exe does not exist in the expected path (" +
                                          PathDisplay(config.updaterPath) + ")");
    }
    if (!fs.Exists(config.manifestPath)) {
        return RuntimeError::NotInstalled("Manifest file does not exist in the expected path (" +
                                          PathDisplay(config.manifestPath) + ")");
    }
    const auto notReadable = [&config] {
        return RuntimeError::NotInstalled("Manifest file does not exist or is not readable: " +
                                          PathDebug(config.manifestPath));
    };
    // The updater may replace the installation between the tests above and the read.
    if (!fs.Exists(config.manifestPath)) return notReadable();
    Result<PackageManifest> manifest = [&]() -> Result<PackageManifest> {
        IoResult<std::string> text = ReadManifestText(fs, config.manifestPath);
        if (!text) return notReadable();
        return ReadManifestFromText(text.value());
    }();
    if (!manifest) return manifest.take_error();

    Locator locator{config, std::move(manifest.value())};
    SelectPackagesDirectory(locator.config, locator.manifest, fs);
    return locator;
}

void SelectPackagesDirectory(LocatorConfig& config, const PackageManifest& manifest) {
    SelectPackagesDirectory(config, manifest, SystemFileSystem());
}

void SelectPackagesDirectory(LocatorConfig& config, const PackageManifest& manifest,
                             FileSystem& fs) {
    const Path standard = JoinPath(config.rootDir, "packages");

    if (!PathEquals(config.packagesDir, standard)) {
        if (CanWriteToDirectory(fs, config.packagesDir)) {
            UPKIT_INFO(kTarget, "Using custom packages directory (writable): " +
                                    PathDisplay(config.packagesDir));
            return;
        }
        UPKIT_WARN(
            kTarget,
            "Custom packages directory is not writable, falling through to standard logic: " +
                PathDisplay(config.packagesDir));
        config.packagesDir = standard;
    }

    const bool writable = CanWriteToDirectory(fs, config.rootDir);
    UPKIT_INFO(kTarget, "Root directory '" + PathDisplay(config.rootDir) +
                            "' writable: " + (writable ? "true" : "false"));
    if (writable) {
        config.packagesDir = standard;
        UPKIT_INFO(kTarget, "Using root packages directory: " + PathDisplay(config.packagesDir));
        return;
    }

    IoResult<Path> localAppData = fs.LocalAppDataDir();
    if (!localAppData) {
        UPKIT_ERROR(kTarget,
                    "Root directory is not writable and LocalAppData is unavailable. Updates may "
                    "not work correctly.");
        return;
    }
    const Path fallback = JoinPath(localAppData.value(), manifest.id);
    config.packagesDir = JoinPath(fallback, "packages");
    config.updaterPath = JoinPath(fallback, "Update.exe");
    UPKIT_INFO(kTarget, "Using fallback directory: " + PathDisplay(fallback));

    if (IoResult<Unit> created = CreateDirAll(fs, config.packagesDir); !created) {
        UPKIT_ERROR(kTarget,
                    "Unable to create fallback packages directory: " + created.error().Display());
    }

    // The copy comes from the root even when the configuration named another updater: the root's
    // is the one the installer keeps current. An existing copy is left alone.
    const Path rootUpdater = JoinPath(config.rootDir, "Update.exe");
    bool haveCopy = fs.Exists(config.updaterPath);
    if (!haveCopy && fs.Exists(rootUpdater)) {
        if (IoResult<Unit> copied = PublishUpdaterCopy(rootUpdater, config.updaterPath, fs);
            !copied) {
            UPKIT_ERROR(kTarget,
                        "Failed to copy Update.exe to fallback path: " + copied.error().Display());
        } else {
            UPKIT_INFO(kTarget, "Copied Update.exe from root to fallback: " +
                                    PathDisplay(config.updaterPath));
            haveCopy = true;
        }
    }
    if (haveCopy) RemoveAbandonedUpdaterCopies(fallback, fs);
}

std::string LogFileNameForInstallation(const std::optional<LocatorConfig>& locatorOverride) {
    return LogFileNameForInstallation(locatorOverride, SystemFileSystem());
}

std::string LogFileNameForInstallation(const std::optional<LocatorConfig>& locatorOverride,
                                       FileSystem& fs) {
    // At the first set-up no logger exists yet, so this location is silent and its error is
    // dropped; a later set-up in the same process logs its lines like any other location.
    Result<Locator> located = locatorOverride
                                  ? OpenLocator(*locatorOverride, fs)
                                  : AutoLocate(LocationContext::CurrentExecutable{}, fs);
    if (!located) return "upkit.log";
    return "upkit_" + located->manifest.id + ".log";
}

}  // namespace upkit
