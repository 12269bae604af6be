// Everything the update runtime asks of the operating system, and nothing else: the one seam
// between the portable logic and the system. Each platform implements it once: Windows in
// os/win/os_win.cpp (the product), and os/native/os_native.cpp, a POSIX port that exists so the
// logic can run and be tested natively.
//
// Two kinds of declarations:
//   - FileSystem, an interface: files, directories and the places the runtime keeps things in.
//     Portable code takes it as a parameter, so a test can give any part of the runtime a disk in
//     any state (tests/support/fake_file_system.h); SystemFileSystem() is the running system's.
//   - Plain functions for the process itself (command line, environment, identity, time, ending
//     it, starting another one) and for reading operating-system error codes.
//
// Rules every implementation follows:
//   - No log line, no retry, no recursion: those are portable code's, so that every platform runs
//     the same text and the same algorithm. A call is one system operation (or the few that make
//     one up), and its failure comes back as the IoError of the system's own code.
//   - Paths are handed over as SystemPathText gives them (misc.h): a path holding a NUL
//     fails with "nul byte found in provided data" and is never cut short at it.
//   - Files are opened so that other processes may go on reading, writing, renaming and deleting
//     them: the runtime must never stand in the way of the updater or of another start. The one
//     exception is a file the runtime is still making (UnpublishedFile), which nobody else uses.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors.h"
#include "misc_path.h"

namespace upkit {

// ---- Operating-system error codes ----

// The kind of one of this platform's error codes (Windows: a system error code or an HRESULT;
// the native port: an errno value).
IoErrorKind IoErrorKindFromOsCode(int32_t code);

// The system's message for the code, without trailing line breaks or blanks; never empty.
std::string SystemErrorMessage(int32_t code);

// ---- Files ----

// A file read by offset: never mapped, never read whole.
class RandomAccessFile {
public:
    virtual ~RandomAccessFile() = default;
    virtual IoResult<uint64_t> Size() = 0;
    // Reads up to length bytes at offset; fewer only at the end of the file.
    virtual IoResult<size_t> ReadAt(uint64_t offset, void* buffer, size_t length) = 0;
};

// A file opened for appending: every write lands at the end of the file as it is then, whoever
// else has appended meanwhile.
class AppendFile {
public:
    struct WriteOutcome {
        enum Status { Written, Interrupted, Failed } status;
        size_t count;  // bytes written when Written
    };
    enum class RenameOutcome {
        Renamed,         // this file was moved to the new name
        NotTheOpenFile,  // the path holds another file, or none: nothing was renamed
        Failed,          // this file is at the path but could not be moved
    };

    virtual ~AppendFile() = default;
    // The file's size now, other processes' appends included; nothing when it cannot be told.
    virtual std::optional<uint64_t> Size() = 0;
    virtual WriteOutcome Write(std::string_view bytes) = 0;
    // Renames the file at `from` to `to`, replacing a file of that name, but only when the file
    // at `from` is this one; this handle stays with the renamed file.
    virtual RenameOutcome RenameIfAt(const Path& from, const Path& to) = 0;
};

// A file this process has just made and filled, still open and not yet under its real name. It is
// open without sharing deletion, so while it stays open no other process can delete or rename it:
// a start that tidies up abandoned copies leaves it alone. Closing it unpublished deletes it.
class UnpublishedFile {
public:
    virtual ~UnpublishedFile() = default;
    // Has the system write everything it holds of the file to the disk: once this succeeds, a
    // power cut cannot leave the file with its size but without its data.
    virtual IoResult<Unit> Flush() = 0;
    // Gives the file its name through the open handle, never replacing: a taken name fails with
    // AlreadyExists and nothing changes.
    virtual IoResult<Unit> Publish(const Path& to) = 0;
};

// Turns that the writers of one file take across processes, so that appends which are not atomic
// across processes cannot overwrite each other. The wait is bounded.
class WriterTurns {
public:
    virtual ~WriterTurns() = default;
    // False: the turn could not be had in time (or there are no turns); go ahead alone, and give
    // nothing back.
    virtual bool Take() = 0;
    virtual void Give() = 0;
};

// One entry of a directory listing.
struct DirectoryEntry {
    std::u16string name;
    bool isDirectory = false;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // Whether the entry's attributes can be read, links followed; a file and a directory both
    // count. Any failure answers false.
    virtual bool Exists(const Path& path) = 0;
    // Whether the path names a directory (links followed). Any failure answers false.
    virtual bool IsDirectory(const Path& path) = 0;
    // Creates the file for writing, shared, or opens and empties an existing one, deleted as soon
    // as it is closed, and closes it at once: whether a new file can be made there. Nothing is
    // written and nothing stays behind, however the process ends.
    virtual IoResult<Unit> ProbeNewFile(const Path& file) = 0;
    // Creates one directory. Fails with NotFound when its parent is missing and AlreadyExists
    // when the name is taken (by a directory or anything else).
    virtual IoResult<Unit> CreateOneDirectory(const Path& dir) = 0;
    // Creates `to` as a new file (a taken name fails with AlreadyExists) with normal attributes,
    // whatever `from` carries (a read-only source gives a copy that is not), and copies the bytes
    // of `from` into it. On failure nothing is left at `to`.
    virtual IoResult<std::unique_ptr<UnpublishedFile>> CopyToNewFile(const Path& from,
                                                                     const Path& to) = 0;
    // Deletes a file. A read-only one is refused, as the system refuses it.
    virtual IoResult<Unit> RemoveFile(const Path& file) = 0;
    // Deletes a file, read-only or not. One that another process holds open without sharing
    // deletion is left exactly as it was, attributes included, and the refusal comes back.
    virtual IoResult<Unit> RemoveFileEvenReadOnly(const Path& file) = 0;
    // The directory's entries as the system lists them ("." and ".." may be among them). The
    // directory's text is a plain path: nothing in it is taken as a pattern.
    virtual IoResult<std::vector<DirectoryEntry>> List(const Path& dir) = 0;
    virtual IoResult<uint64_t> FileSize(const Path& file) = 0;
    // Opens a file for reading, shared for reading, writing and deletion.
    virtual IoResult<std::unique_ptr<RandomAccessFile>> OpenForReading(const Path& file) = 0;
    // Opens a file for appending with read access, created when missing and never truncated,
    // shared for reading, writing and deletion.
    virtual IoResult<std::unique_ptr<AppendFile>> OpenForAppending(const Path& file) = 0;
    // The turns of the writers of this file in every process.
    virtual std::unique_ptr<WriterTurns> TurnsFor(const Path& file) = 0;

    // The per-user local application data folder (the known folder FOLDERID_LocalAppData).
    virtual IoResult<Path> LocalAppDataDir() = 0;
    // The user's temporary directory as the system reports it (on Windows with a trailing
    // separator); empty when the system reports none.
    virtual Path TempDir() = 0;
    // The full path of the running executable.
    virtual IoResult<Path> CurrentExePath() = 0;
};

// The running system's file system, for the life of the process.
FileSystem& SystemFileSystem();

// ---- The process ----

// The process's whole command line, program name included; empty when there is none.
std::u16string ProcessCommandLine();

// The value of an environment variable; nothing when it is absent.
std::optional<std::u16string> ReadEnvVar(const char16_t* name);

void RemoveEnvVar(const char16_t* name);

// The environment as the system hands it out: "name=value" entries each ended by a NUL, then an
// empty one.
std::u16string EnvironmentBlock();

uint32_t CurrentProcessId();

// The current thread's name, or nothing when it has none.
std::optional<std::string> CurrentThreadName();

// The local time's offset from UTC right now in seconds, from the system's time-zone conversion.
std::optional<int64_t> LocalUtcOffsetSeconds();

// Blocks the calling thread for at least the duration; zero only yields the time slice.
void SleepFor(std::chrono::nanoseconds duration);

// Ends the process at once with the exit code; nothing after this runs.
[[noreturn]] void EndProcess(uint32_t exitCode);

// The exit code of a process ended by an internal fault: the one the C runtime's abort gives.
inline constexpr uint32_t kFaultExitCode = 3;

// Ends the process at once after an internal fault, with kFaultExitCode. Unlike abort, it shows
// nothing: no runtime library message box, no error-reporting dialog; the runtime never puts a
// window in front of the player.
[[noreturn]] void EndProcessAfterFault();

// What the system tells of a hardware exception (an access violation, a stack overflow, ...): its
// code, where the faulting instruction lies (the file name of the module that holds it and its
// offset from the module's base, or, in no module, its address as the offset), and the name of
// the thread it happened on (nothing for a thread without one). For a C++ exception of
// Microsoft's runtime the module is the one that threw and the offset that of the thrown type's
// description in it: the throw site is not known.
struct HardwareFault {
    uint32_t code = 0;
    std::optional<std::string> module;
    uint64_t offset = 0;
    std::optional<std::string> threadName;
};

// Deals with one hardware fault and ends the process; never returns.
using HardwareFaultHandler = void (*)(const HardwareFault& fault);

// For as long as it lives (one run of the runtime's start-up), a hardware exception that nothing
// handles, on any thread of the process, goes to the handler instead of the system's error
// reporting and its dialog; a stack overflow goes to it first, before anything else may touch the
// exhausted stack, unless a debugger is attached. A C++ exception of libgcc that nothing catches
// is left to the C++ runtime, which ends in std::terminate.
//
// The handler runs on a thread of its own with a whole stack, made when the scope begins and not
// waited for, so that nothing at fault time needs the loader lock (a fault inside a DllMain or a
// LoadLibrary holds it); the faulting thread only hands the fault over and waits, and should the
// handler never end the process, the faulting thread does after a few seconds. A fault while one
// is being dealt with ends the process at once.
//
// The scope may begin several times in a process, and while the loader lock is held. When what
// it needs cannot be made, it installs nothing. Destroying it puts back the unhandled-exception
// filter it found, unless another was installed meanwhile, which stays, so a fault after it (in
// the engine) is the engine's; it tells its thread to end, without waiting for it. While another
// thread's fault is being dealt with, destroying it waits for that to end the process.
//
// Fail-fast exits (__fastfail, heap corruption, a failed stack cookie check) bypass every handler:
// the system's error reporting takes them.
class HardwareFaultScope {
public:
    explicit HardwareFaultScope(HardwareFaultHandler handler);
    ~HardwareFaultScope();
    HardwareFaultScope(const HardwareFaultScope&) = delete;
    HardwareFaultScope& operator=(const HardwareFaultScope&) = delete;

private:
    // What the scope installed and what it puts back; each platform says what that is.
    struct Installed;
    std::unique_ptr<Installed> installed_;
};

// The creation flags of StartProcess: no console window (CREATE_NO_WINDOW), a Unicode
// environment block (CREATE_UNICODE_ENVIRONMENT).
inline constexpr uint32_t kStartProcessFlags = 0x08000000u | 0x00000400u;

// Starts a program and lets it run on its own: no window settings, no inherited handles, no
// console window, nothing of it kept open here. `commandLine` is the whole line with its final
// NUL; `environment` a Unicode block (or nothing: the program inherits this one's); `workingDir`
// NUL-terminated (or nothing: this process's). A refusal comes back as the system's code.
IoResult<Unit> StartProcess(std::u16string commandLine,
                            const std::optional<std::u16string>& environment,
                            const std::optional<std::u16string>& workingDir);

// ---- The shell ----

// Registers the NUL-terminated identity as the process's explicit application user model
// identity; the outcome is not reported.
void SetProcessAppUserModelId(const std::u16string& terminatedIdentity);

// The process's explicit identity as the system reports it back; nothing when it has none or
// cannot tell.
std::optional<std::u16string> ProcessAppUserModelId();

}  // namespace upkit
