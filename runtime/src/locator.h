// The install layout of an installation and the records through which the runtime sees it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>

#include "errors.h"
#include "manifest.h"
#include "misc_path.h"
#include "os/os.h"

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

LocatorConfig ConfigFromRoot(const Path& root, FileSystem& fs);

// An installed manifest larger than this is treated as unreadable: a huge or endless
// "sq.version" must not exhaust memory at every start.
inline constexpr size_t kMaxManifestBytes = size_t{16} * 1024 * 1024;

// Checks bytes read from a manifest file (at most kMaxManifestBytes + 1 of them): more than the
// limit, or text that is not valid UTF-8, is a read failure.
IoResult<std::string> ManifestTextFromBytes(std::string bytes);

// The whole manifest file as UTF-8 text, with the retries of a file operation: a file that cannot
// be opened or read, is larger than the limit or is not UTF-8 is tried four times.
IoResult<std::string> ReadManifestText(FileSystem& fs, const Path& path);

// The root named by the last "\current\" in the executable path's display text (exact bytes,
// letter case included, backslashes only), or nothing when the text has no such occurrence.
std::optional<std::string> CurrentPatternRoot(const Path& exePath);

// Finds and opens the installation from the context's hint.
Result<Locator> AutoLocate(LocationContext context);
Result<Locator> AutoLocate(LocationContext context, FileSystem& fs);

// Confirms the updater and the manifest exist, reads the manifest and settles the packages
// directory. The caller's configuration is left untouched.
Result<Locator> OpenLocator(const LocatorConfig& config);
Result<Locator> OpenLocator(const LocatorConfig& config, FileSystem& fs);

// Chooses a packages directory the user can write to, moving to a per-user fallback directory
// (with a copy of the root's Update.exe) when the root is not writable. Never fails: every problem
// is logged and the best available choice kept.
void SelectPackagesDirectory(LocatorConfig& config, const PackageManifest& manifest);
void SelectPackagesDirectory(LocatorConfig& config, const PackageManifest& manifest,
                             FileSystem& fs);

// The runtime log's file name: "upkit_<id>.log" after the installation that the override names,
// or else the one found from the running executable; "upkit.log" when none can be opened. The
// location is silent: the global log level is Off while it runs, and its error is dropped.
std::string LogFileNameForInstallation(const std::optional<LocatorConfig>& locatorOverride);
std::string LogFileNameForInstallation(const std::optional<LocatorConfig>& locatorOverride,
                                       FileSystem& fs);

}  // namespace upkit
