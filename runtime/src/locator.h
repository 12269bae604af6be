// The install layout of an installation and the records through which the runtime sees it.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "errors.h"
#include "manifest.h"
#include "misc_path.h"

namespace upkit {

// The six layout entries of one installation.
struct LocatorConfig {
    Path rootDir;
    Path updaterPath;
    Path packagesDir;
    Path manifestPath;
    Path currentDir;
    bool portable = false;
};

// An opened installation: its layout after the packages-directory choice and the installed
// version's manifest as read when it was opened. A snapshot; nothing revalidates it.
struct Locator {
    LocatorConfig config;
    PackageManifest manifest;
};

// Derives the layout from an installation root by fixed joins. Creates nothing; the disk is looked
// at only to see whether ".portable" exists. A root that does not exist still gives a layout.
LocatorConfig ConfigFromRoot(const Path& root);

// Where auto-location starts looking for the installation.
class LocationContext {
public:
    // No hint: the running executable as an application executable, then as the updater.
    struct Unknown {};
    // The running executable lies directly in the root, as Update.exe does.
    struct UpdaterProcess {};
    // The running executable is an application executable inside the installation.
    struct CurrentExecutable {};
    // The root is known; a given packages directory replaces the standard one.
    struct RootDirectory {
        Path root;
        std::optional<Path> packagesDir;
    };
    // The given path is an application executable inside the installation.
    struct AppExecutable {
        Path path;
    };
    using Variant =
        std::variant<Unknown, UpdaterProcess, CurrentExecutable, RootDirectory, AppExecutable>;

    template <class T>
    LocationContext(T variant) : value(std::move(variant)) {}

    Variant value;
};

// The file-system services the locator rests on. The running system's are SystemLocatorFs(); tests
// substitute their own to reach conditions a real disk cannot produce on demand.
struct LocatorFs {
    std::function<bool(const Path&)> pathExists;
    std::function<bool(const Path&)> canWriteToDirectory;
    std::function<IoResult<Path>()> localAppDataDir;
    std::function<IoResult<Path>()> currentExePath;
    // The whole manifest file as UTF-8 text, with the retries of a file operation.
    std::function<IoResult<std::string>(const Path&)> readManifestText;
    std::function<IoResult<Unit>(const Path&)> createDirAll;
    // Copies a file, replacing an existing destination.
    std::function<IoResult<Unit>(const Path& from, const Path& to)> copyFile;
    // Renames a file; fails with AlreadyExists, changing nothing, when the new name is taken.
    std::function<IoResult<Unit>(const Path& from, const Path& to)> renameNoReplace;
    // Deletes a file; a failure is ignored.
    std::function<void(const Path&)> deleteFile;
};

const LocatorFs& SystemLocatorFs();

LocatorConfig ConfigFromRoot(const Path& root, const LocatorFs& fs);

// An installed manifest larger than this is treated as unreadable: a huge or endless
// "sq.version" must not exhaust memory at every start.
inline constexpr size_t kMaxManifestBytes = 16u * 1024u * 1024u;

// Checks bytes read from a manifest file (at most kMaxManifestBytes + 1 of them): more than the
// limit, or text that is not valid UTF-8, is a read failure.
IoResult<std::string> ManifestTextFromBytes(std::string bytes);

// The root named by the last "\current\" in the executable path's display text (exact bytes,
// letter case included, backslashes only), or nothing when the text has no such occurrence.
std::optional<std::string> CurrentPatternRoot(const Path& exePath);

// Finds and opens the installation from the context's hint.
Result<Locator> AutoLocate(LocationContext context);
Result<Locator> AutoLocate(LocationContext context, const LocatorFs& fs);

// Confirms the updater and the manifest exist, reads the manifest and settles the packages
// directory. The caller's configuration is left untouched.
Result<Locator> OpenLocator(const LocatorConfig& config);
Result<Locator> OpenLocator(const LocatorConfig& config, const LocatorFs& fs);

// Chooses a packages directory the user can write to, moving to a per-user fallback directory
// (with a copy of the root's Update.exe) when the root is not writable. Never fails: every problem
// is logged and the best available choice kept.
void SelectPackagesDirectory(LocatorConfig& config, const PackageManifest& manifest);
void SelectPackagesDirectory(LocatorConfig& config, const PackageManifest& manifest,
                             const LocatorFs& fs);

// The runtime log's file name: "upkit_<id>.log" after the installation that the override names,
// or else the one found from the running executable; "upkit.log" when none can be opened. The
// location is silent: the global log level is Off while it runs, and its error is dropped.
std::string LogFileNameForInstallation(const std::optional<LocatorConfig>& locatorOverride);
std::string LogFileNameForInstallation(const std::optional<LocatorConfig>& locatorOverride,
                                       const LocatorFs& fs);

}  // namespace upkit
