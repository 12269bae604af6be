#include "kit_cleanup.h"

#include <algorithm>
#include <cwctype>

namespace zelt::kit {

namespace {

// The attributes SetFileAttributesW can give back; compression and encryption need other calls
// and are left as the copy makes them.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_TEMPORARY;

bool Contains(const std::vector<std::wstring>& names, std::wstring_view name) {
    return std::any_of(names.begin(), names.end(),
                       [&](const std::wstring& n) { return EqualsNoCase(n, name); });
}

bool DeleteFileAnyway(const std::wstring& path) {
    const std::wstring extended = ExtendedPath(path);
    SetFileAttributesW(extended.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(extended.c_str()) != 0;
}

}  // namespace

bool LogFolderKeeper::Save(const std::wstring& folder, const std::wstring& saveDir,
                           std::string& problem) {
    folder_ = folder;
    saveDir_ = saveDir;
    const auto entries = ListDir(folder);
    existed_ = IsDirectory(folder);
    if (!existed_) return true;
    if (!entries) {
        problem = "cannot list " + Narrow(folder) + " (" + ErrorText(GetLastError()) + ")";
        return false;
    }
    for (const DirEntry& entry : *entries) {
        if (entry.IsDirectory()) {
            folders_.push_back(entry.name);
            continue;
        }
        SavedFile file{entry.name, {}};
        const std::wstring from = ExtendedPath(JoinPath(folder, entry.name));
        const std::wstring to = ExtendedPath(JoinPath(saveDir, entry.name));
        // The times first: reading the file for the copy may move its last-access time.
        if (!GetFileAttributesExW(from.c_str(), GetFileExInfoStandard, &file.data) ||
            !CopyFileW(from.c_str(), to.c_str(), FALSE)) {
            problem = "cannot save a copy of " + Narrow(JoinPath(folder, entry.name)) + " (" +
                      ErrorText(GetLastError()) + ")";
            return false;
        }
        files_.push_back(std::move(file));
    }
    return true;
}

// The bytes are written through the one handle that then sets the times, so that nothing the
// file system does on its own (a copy's new creation time, a close's write time) comes after them.
std::string LogFolderKeeper::PutBack(const SavedFile& file) {
    const std::string path = Narrow(JoinPath(folder_, file.name));
    const std::wstring target = ExtendedPath(JoinPath(folder_, file.name));
    const auto bytes = ReadFileBytes(ExtendedPath(JoinPath(saveDir_, file.name)));
    const std::string kept = "; its saved copy is " + Narrow(JoinPath(saveDir_, file.name));
    if (!bytes) return "could not read the saved copy of " + path;
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    OwnedHandle handle(CreateFileW(target.c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.Valid()) {
        return "could not put back " + path + " (" + ErrorText(GetLastError()) + ")" + kept;
    }
    if (const DWORD error = WriteAll(handle.Get(), *bytes); error != 0) {
        return "could not put back " + path + " (" + ErrorText(error) + ")" + kept;
    }
    const WIN32_FILE_ATTRIBUTE_DATA& d = file.data;
    if (!SetFileTime(handle.Get(), &d.ftCreationTime, &d.ftLastAccessTime, &d.ftLastWriteTime)) {
        return "put back " + path + " but not its times (" + ErrorText(GetLastError()) + ")";
    }
    handle.Reset();
    const DWORD attributes = d.dwFileAttributes & kSettableAttributes;
    if (!SetFileAttributesW(target.c_str(), attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes)) {
        return "put back " + path + " but not its attributes (" + ErrorText(GetLastError()) + ")";
    }
    return "";
}

std::vector<std::string> LogFolderKeeper::Restore() {
    std::vector<std::string> lines;
    const std::string where = Narrow(folder_);
    if (!existed_) {
        if (!IsDirectory(folder_)) return {where + " did not exist before the run, nor after it."};
        std::vector<std::wstring> stuck;
        if (RemoveTree(folder_, &stuck)) {
            return {where + " did not exist before the run; the run made it, and it was removed."};
        }
        lines.push_back("could not remove " + where + ", which the run made:");
        for (const std::wstring& path : stuck) lines.push_back("  still there: " + Narrow(path));
        return lines;
    }
    CreateDirectoryW(ExtendedPath(folder_).c_str(), nullptr);
    std::vector<std::string> problems;
    size_t restored = 0;
    for (const SavedFile& file : files_) {
        std::string problem = PutBack(file);
        restored += problem.empty();
        allPutBack_ = allPutBack_ && problem.empty();
        if (!problem.empty()) problems.push_back(std::move(problem));
    }
    size_t deleted = 0;
    for (const DirEntry& entry : ListDir(folder_).value_or(std::vector<DirEntry>{})) {
        const std::string path = Narrow(JoinPath(folder_, entry.name));
        if (entry.IsDirectory()) {
            if (!Contains(folders_, entry.name)) problems.push_back("left behind: " + path);
        } else if (!std::any_of(files_.begin(), files_.end(), [&](const SavedFile& f) {
                       return EqualsNoCase(f.name, entry.name);
                   })) {
            if (DeleteFileAnyway(JoinPath(folder_, entry.name))) {
                ++deleted;
            } else {
                problems.push_back("could not delete " + path + " (" + ErrorText(GetLastError()) +
                                   ")");
            }
        }
    }
    lines.push_back(where + ": " + std::to_string(restored) + " of " +
                    std::to_string(files_.size()) +
                    " file(s) from before the run put back as they were, " +
                    std::to_string(deleted) + " file(s) the run made deleted.");
    lines.insert(lines.end(), problems.begin(), problems.end());
    return lines;
}

bool IsRuntimeFolderEntry(std::wstring_view name, bool isDirectory) {
    if (isDirectory) return EqualsNoCase(name, L"packages");
    if (EqualsNoCase(name, L"Update.exe")) return true;
    constexpr std::wstring_view kStart = L"Update.exe.";
    constexpr std::wstring_view kEnd = L".partial";
    if (name.size() <= kStart.size() + kEnd.size()) return false;
    if (!EqualsNoCase(name.substr(0, kStart.size()), kStart) ||
        !EqualsNoCase(name.substr(name.size() - kEnd.size()), kEnd)) {
        return false;
    }
    const std::wstring_view digits =
        name.substr(kStart.size(), name.size() - kStart.size() - kEnd.size());
    return std::all_of(digits.begin(), digits.end(),
                       [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

void LocalAppDataWatch::Before(const std::wstring& folder) {
    folder_ = folder;
    for (const DirEntry& entry : ListDir(folder).value_or(std::vector<DirEntry>{})) {
        before_.push_back(entry.name);
    }
}

LocalAppDataWatch::Changes LocalAppDataWatch::After() const {
    Changes changes;
    if (folder_.empty()) return changes;
    for (const DirEntry& entry : ListDir(folder_).value_or(std::vector<DirEntry>{})) {
        if (Contains(before_, entry.name)) continue;
        const std::wstring path = JoinPath(folder_, entry.name);
        const auto content =
            entry.IsDirectory() && !(entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT)
                ? ListDir(path)
                : std::nullopt;
        const bool ours =
            content && std::all_of(content->begin(), content->end(), [](const DirEntry& e) {
                return IsRuntimeFolderEntry(e.name, e.IsDirectory());
            });
        if (!ours) {
            changes.leftBehind.push_back(Narrow(path));
            continue;
        }
        std::vector<std::wstring> stuck;
        if (RemoveTree(path, &stuck)) {
            changes.removed.push_back(Narrow(path));
        } else {
            changes.problems.push_back("could not remove " + Narrow(path));
            for (const std::wstring& p : stuck)
                changes.problems.push_back("  still there: " + Narrow(p));
        }
    }
    return changes;
}

}  // namespace zelt::kit
