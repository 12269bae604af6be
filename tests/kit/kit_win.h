// What run-tests.exe asks of Windows: text conversion, files and folders, the console, and the
// runs of test programs inside a job object.
//
// Every handle is owned by an OwnedHandle and closed on every path. Failures come back as values
// (false, nothing, a Windows error code); the runner decides what to say about them.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelt::kit {

// A handle closed when it goes away.
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    ~OwnedHandle() { Reset(); }
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }
    void Reset() {
        if (Valid()) CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// ---- Text ----

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);
// Output of a program as UTF-8: read as UTF-8 where LooksLikeUtf8 says so (invalid bytes becoming
// U+FFFD), else as text in the system's ANSI code page.
std::string OutputText(std::string_view bytes);
// "error 5: Access is denied."
std::string ErrorText(DWORD code);
// One argument quoted so that the usual command-line splitting gives it back unchanged.
std::wstring QuoteArgument(std::wstring_view argument);

// ---- Files and folders ----

// The folder of the running executable (no trailing backslash).
std::wstring ExeDir();
// a + "\" + b, without doubling a trailing backslash of a.
std::wstring JoinPath(std::wstring_view a, std::wstring_view b);
// The absolute form of a path given on the command line, against the current folder.
std::wstring FullPath(const std::wstring& path);
// The path in the form that reaches past MAX_PATH whatever the system's long-path setting.
std::wstring ExtendedPath(const std::wstring& path);
std::wstring FileNameOf(const std::wstring& path);

bool IsDirectory(const std::wstring& path);
bool IsFile(const std::wstring& path);
// The whole file (or its last maxBytes bytes); nothing when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::wstring& path, size_t maxBytes = 0);
// Writes all the bytes at the handle's position; 0 or the Windows error code.
DWORD WriteAll(HANDLE file, std::string_view bytes);
// Writes the bytes to the file, replacing it; 0 or the Windows error code.
DWORD WriteFileBytes(const std::wstring& path, std::string_view bytes);

struct DirEntry {
    std::wstring name;
    DWORD attributes = 0;
    bool IsDirectory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};
// The entries of a folder (no "." or ".."); nothing when it cannot be listed.
std::optional<std::vector<DirEntry>> ListDir(const std::wstring& path);
// Removes a file or a whole folder tree, read-only attributes cleared first. A junction or
// symbolic link is removed itself, never followed. The paths it could not remove go to `stuck`.
bool RemoveTree(const std::wstring& path, std::vector<std::wstring>* stuck = nullptr);
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);

// ---- The system ----

bool RunningOnWine();
// A known folder's path (FOLDERID_LocalAppData and the like); empty when the shell has none.
std::wstring KnownFolder(const GUID& id);
// FOLDERID_LocalAppData, spelled out so that no GUID library is needed at link time.
inline constexpr GUID kFolderLocalAppData = {
    0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};

// ---- The console ----

// Standard output: written with WriteConsoleW when it is a console (test names and messages may
// hold any character), else as UTF-8 bytes.
class Console {
public:
    Console();
    void Write(std::string_view utf8);
    // Whether this process alone uses its console (Explorer started it) and standard input is
    // that console: then the window would close the moment the runner ends.
    static bool OwnsInteractiveConsole();
    // "Press any key to close this window." and the wait for a key.
    void PauseForKey();

private:
    HANDLE out_;
    bool isConsole_;
};

// ---- Running programs ----

// Changes to the runner's environment for its children: a value sets the variable, nothing
// removes it. Names compare case-insensitively, as Windows does.
using EnvChanges = std::vector<std::pair<std::wstring, std::optional<std::wstring>>>;
// The runner's environment block with the changes applied (double-NUL-terminated).
std::wstring BuildEnvironmentBlock(const EnvChanges& changes);

struct Launch {
    std::wstring program;      // full path of the executable
    std::wstring commandLine;  // the whole command line, program name included
    std::wstring workingDir;
    const std::wstring* environment = nullptr;  // a block from BuildEnvironmentBlock
    std::wstring outputFile;                    // standard output and error, created anew
    DWORD timeoutMs = INFINITE;
    HANDLE stopEvent = nullptr;  // when signalled, the run is ended as if it had timed out
};

struct ChildEnd {
    enum class How { kExited, kTimedOut, kStopped, kNotStarted } how = How::kNotStarted;
    DWORD exitCode = 0;
    DWORD startError = 0;   // for kNotStarted: the failing call's error code
    std::string startWhat;  // for kNotStarted: which call failed
    double seconds = 0;
    DWORD leftProcesses = 0;    // processes of its tree still running when it exited, then ended
    bool treeEnded = true;      // false when some process of its tree would not end
    bool startRetried = false;  // Wine's start failure (error 1359) was retried once
};

// Starts the program suspended, puts it into a job object that ends its whole process tree when
// closed, lets it run, and waits for its end or the time limit. Whatever still runs in the job
// afterwards is ended before this returns.
ChildEnd RunChild(const Launch& launch);

}  // namespace zelt::kit
