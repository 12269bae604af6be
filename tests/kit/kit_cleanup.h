// Leaving the PC as the run found it. The tests write the per-user log folder that every game
// using the update runtime shares (%LOCALAPPDATA%\upkit), and some lay out per-user installation
// folders in %LOCALAPPDATA%: the files of other games found there must come through untouched.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kit_win.h"

namespace zelt::kit {

// The log folder's files, saved before the first test and put back after the last.
class LogFolderKeeper {
public:
    // Copies every file of the folder, when it exists, into saveDir, noting its attributes and
    // times. False, with `problem` saying why, when a file could not be saved: no test may run
    // then, since it could not be put back.
    bool Save(const std::wstring& folder, const std::wstring& saveDir, std::string& problem);
    // Puts each saved file back as it was (bytes, attributes, times) and deletes the files that
    // were not there before, or the whole folder when it did not exist. Lines for the report: what
    // was done, then whatever could not be.
    std::vector<std::string> Restore();
    // Whether every saved file was put back: until then its saved copy is the only one, and the
    // folder holding it must stay.
    bool AllPutBack() const { return allPutBack_; }

private:
    struct SavedFile {
        std::wstring name;
        WIN32_FILE_ATTRIBUTE_DATA data;
    };
    std::string PutBack(const SavedFile& file);

    std::wstring folder_;
    std::wstring saveDir_;
    bool existed_ = false;
    bool allPutBack_ = true;
    std::vector<SavedFile> files_;
    std::vector<std::wstring> folders_;
};

// Whether an entry of a new folder is one the update runtime puts into a per-user installation
// folder: a "packages" folder, "Update.exe", or an "Update.exe.<digits>.partial" copy.
bool IsRuntimeFolderEntry(std::wstring_view name, bool isDirectory);

// The top-level entries of %LOCALAPPDATA% before the run, and what to do with the new ones after.
class LocalAppDataWatch {
public:
    void Before(const std::wstring& folder);

    struct Changes {
        std::vector<std::string> removed;     // new per-user installation folders, removed
        std::vector<std::string> leftBehind;  // any other new entry, only named
        std::vector<std::string> problems;    // folders that could not be removed
    };
    // New folders holding nothing but what IsRuntimeFolderEntry accepts were made by the tests and
    // are removed; any other new entry may be another program's, made meanwhile, and is only named.
    Changes After() const;

private:
    std::wstring folder_;
    std::vector<std::wstring> before_;
};

}  // namespace zelt::kit
