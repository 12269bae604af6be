// Listing a packages directory on Windows.
#include <windows.h>

#include <string>

#include "locator_packages.h"
#include "misc.h"

namespace upkit {

std::vector<DirectoryEntry> ListDirectory(const Path& dir) {
    std::vector<DirectoryEntry> entries;
    // Only the appended "*" is a wildcard: the directory's own text ("[", "]" and all) is taken
    // literally by the system.
    IoResult<std::u16string> pattern = SystemPathText(JoinPath(dir, std::u16string_view(u"*")));
    if (!pattern.ok()) return entries;
    WIN32_FIND_DATAW found;
    HANDLE find =
        FindFirstFileExW(reinterpret_cast<const wchar_t*>(pattern->c_str()), FindExInfoBasic,
                         &found, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) return entries;
    do {
        entries.push_back(
            DirectoryEntry{std::u16string(reinterpret_cast<const char16_t*>(found.cFileName)),
                           (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return entries;
}

}  // namespace upkit
