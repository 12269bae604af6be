// Local package discovery: which directory entries are full packages, the order they are read
// in, and reading each of them.
#include "locator_packages.h"

#include <algorithm>
#include <utility>

#include "bundle.h"
#include "logging.h"
#include "text.h"
#include "version.h"

namespace upkit {

namespace {
constexpr const char* kTarget = "upkit::locator";
}  // namespace

bool IsFullPackageName(std::u16string_view name) {
    constexpr std::u16string_view kSuffix = u"-full.nupkg";
    return name.size() >= kSuffix.size() && name.substr(name.size() - kSuffix.size()) == kSuffix;
}

std::vector<std::u16string> SelectFullPackageFiles(std::vector<DirectoryEntry> entries) {
    // Sorting on the UTF-8 form orders by code point, which UTF-16 code units do not (a
    // character above U+FFFF would come before U+E000..U+FFFF).
    std::vector<std::pair<std::string, std::u16string>> keyed;
    for (auto& entry : entries) {
        // A directory can never be opened as a package: leaving it out spares the retries.
        if (entry.isDirectory || entry.name == u"." || entry.name == u"..") continue;
        if (!IsFullPackageName(entry.name)) continue;
        keyed.emplace_back(Utf16ToWtf8(entry.name), std::move(entry.name));
    }
    std::sort(keyed.begin(), keyed.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::u16string> names;
    names.reserve(keyed.size());
    for (auto& [key, name] : keyed) names.push_back(std::move(name));
    return names;
}

std::vector<LocalPackage> FindLocalPackages(const Path& packagesDir) {
    return FindLocalPackages(SystemFileSystem(), packagesDir);
}

std::vector<LocalPackage> FindLocalPackages(FileSystem& fs, const Path& packagesDir) {
    UPKIT_INFO(kTarget, "Searching for local packages in: " + QuoteText(PathDisplay(packagesDir)));
    std::vector<LocalPackage> packages;
    // A directory that cannot be listed holds no packages.
    IoResult<std::vector<DirectoryEntry>> listed = fs.List(packagesDir);
    std::vector<DirectoryEntry> entries =
        listed ? std::move(listed.value()) : std::vector<DirectoryEntry>();
    for (const auto& name : SelectFullPackageFiles(std::move(entries))) {
        Path path = JoinPath(packagesDir, std::u16string_view(name));
        UPKIT_TRACE(kTarget, "Checking package: '" + PathDebug(path) + "'");
        // One package is open at a time: each bundle is gone before the next file is opened.
        auto manifest = [&]() -> Result<PackageManifest> {
            auto bundle = LoadBundleFromFile(fs, path);
            if (!bundle.ok()) return bundle.take_error();
            return ReadBundleManifest(bundle.value());
        }();
        if (!manifest.ok()) continue;
        UPKIT_INFO(kTarget, "Found " + VersionText(manifest.value().version) + ": '" +
                                PathDebug(path) + "'");
        packages.push_back(LocalPackage{std::move(path), std::move(manifest.value())});
    }
    return packages;
}

}  // namespace upkit
