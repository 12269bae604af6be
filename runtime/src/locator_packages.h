// Local package discovery: the full packages already downloaded into a packages directory.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "manifest.h"
#include "misc_path.h"
#include "os/os.h"

namespace upkit {

// A package file with the manifest read from it.
struct LocalPackage {
    Path path;
    PackageManifest manifest;
};

// Lists the directory (literally: its text is never taken as a pattern) and opens every file
// named "*-full.nupkg" in the order of the names' UTF-8 bytes, one at a time, keeping those whose
// manifest can be read. Never fails: a missing or unreadable directory gives an empty list,
// and packages that cannot be read are left out silently.
std::vector<LocalPackage> FindLocalPackages(const Path& packagesDir);
std::vector<LocalPackage> FindLocalPackages(FileSystem& fs, const Path& packagesDir);

// Whether a file name is that of a full package: any prefix (the empty one and a leading dot
// included) followed by "-full.nupkg", compared case-sensitively.
bool IsFullPackageName(std::u16string_view name);

// The names of the full package files among the entries (directories and "." and ".." left
// out), ordered by their UTF-8 bytes (WTF-8 for names holding unpaired surrogates).
std::vector<std::u16string> SelectFullPackageFiles(std::vector<DirectoryEntry> entries);

}  // namespace upkit
