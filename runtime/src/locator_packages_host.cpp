// Native stand-in for listing a packages directory, so discovery runs in host tests.
#include <dirent.h>
#include <sys/stat.h>

#include <string>

#include "locator_packages.h"
#include "misc.h"
#include "text.h"

namespace upkit {

std::vector<DirectoryEntry> ListDirectory(const Path& dir) {
    std::vector<DirectoryEntry> entries;
    if (!SystemPathText(dir).ok()) return entries;
    const std::string native = Utf16ToWtf8(dir.Units());
    DIR* stream = opendir(native.empty() ? "." : native.c_str());
    if (stream == nullptr) return entries;
    while (const dirent* entry = readdir(stream)) {
        const std::string name = entry->d_name;
        struct stat info;
        const std::string full = (native.empty() ? std::string(".") : native) + "/" + name;
        const bool isDirectory = stat(full.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        entries.push_back(DirectoryEntry{Wtf8ToUtf16(name), isDirectory});
    }
    closedir(stream);
    return entries;
}

}  // namespace upkit
