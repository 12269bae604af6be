// The runtime log file: the line layout, the size-limited file with one ".old" predecessor, and
// the logger that writes Info and more severe records into it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "logging.h"
#include "misc_path.h"

namespace upkit {

// "[lib-cpp:4321] ": the start of every line, built once per process.
std::string LinePrefix(uint32_t processId);

// The local time's offset from UTC in whole seconds as the platform's time-zone conversion gave
// it; zero (UTC) when there was none or it is 26 hours or more in either direction, which no real
// time zone is.
int64_t SaneLocalOffset(std::optional<int64_t> offsetSeconds);

// Appends one whole line: prefix, "[HH:MM:SS] " of the UTC time shifted by the offset, "[LEVEL] ",
// the message and a single LF.
void AppendLogLine(std::string& out, std::string_view prefix, int64_t utcSeconds,
                   int64_t offsetSeconds, Level level, std::string_view message);

// Seconds since 1970-01-01 UTC.
int64_t UtcNowSeconds();

// The operating-system side of the log file. One instance holds at most one open handle.
//
// Several processes of one installation share the log and each rotates it when it finds it too
// large, so a rotation must only ever move the file this process has open: after another process
// has rotated, the handle here points at the ".old" file and the path holds the other's new file.
class LogFileBackend {
public:
    struct WriteOutcome {
        enum Status { Written, Interrupted, Failed } status;
        size_t count;  // bytes written when Written
    };
    enum class RenameOutcome {
        Renamed,         // the open file was moved to the new name
        NotTheOpenFile,  // the path holds another file, or none: nothing was renamed
        Failed,          // the open file is at the path but could not be moved
    };

    virtual ~LogFileBackend() = default;
    // Makes the writers of all processes that share the file take turns, for one line and the
    // rotation it may cause: appends that are not atomic across processes (Wine finds the end of
    // the file first and writes there after) would otherwise overwrite each other's lines. The
    // wait is bounded; false means this line goes ahead alone, and then nothing is to be unlocked.
    virtual bool LockWriters(const Path& file) = 0;
    virtual void UnlockWriters() = 0;
    // Creates the file's missing parent directories; failures are ignored.
    virtual void CreateParentDirs(const Path& file) = 0;
    // Opens the file for appending (created when missing, never truncated, shared for reading,
    // writing and deletion). On success the new handle replaces any held one.
    virtual bool Open(const Path& file) = 0;
    virtual void Close() = 0;
    // The size of the open file as the system has it now (other processes' lines included), or
    // nothing when it cannot be told or no file is open.
    virtual std::optional<uint64_t> OpenFileSize() = 0;
    virtual WriteOutcome Write(std::string_view bytes) = 0;
    // Renames the file at `from` to `to`, replacing an existing file of that name, but only when
    // the file at `from` is the one open here; the open handle stays with the renamed file.
    virtual RenameOutcome RenameOpenFile(const Path& from, const Path& to) = 0;
};

// The platform's backend (Win32 on Windows, POSIX in the native build).
std::unique_ptr<LogFileBackend> MakePlatformLogFileBackend();

// A log file that is moved to its name with ".old" appended once it grows past maxSize. Not
// thread-safe: the file logger serialises whole lines. Nothing is ever reported: a line that
// cannot be written is lost, and a failed open or rotation is tried again with the next line.
// Other processes may share the file: each open takes the file's real size, and a rotation moves
// only the file open here; when another process has rotated first, the path is opened again
// instead, so the older lines in ".old" are never replaced by a newer file.
class RotatingLogFile {
public:
    static constexpr uint64_t kMaxSize = 1048576;

    RotatingLogFile(Path filePath, std::unique_ptr<LogFileBackend> backend,
                    uint64_t maxSize = kMaxSize);

    // Creates the parent directories, opens the file, and rotates it when it is already too large.
    void SetUp();

    // Writes one whole line; the size check follows the line, so a line is never split between
    // the old file and the new one.
    void WriteLine(std::string_view bytes);

    bool IsOpen() const { return isOpen_; }
    uint64_t FileSize() const { return fileSize_; }
    const Path& FilePath() const { return filePath_; }
    Path OldFilePath() const;

private:
    void Open();
    void Rotate();
    void WriteWhole(std::string_view bytes);

    Path filePath_;
    std::unique_ptr<LogFileBackend> backend_;
    uint64_t maxSize_;
    uint64_t fileSize_ = 0;
    bool isOpen_ = false;
};

// Writes Info and more severe records to a RotatingLogFile, one line each, formatting only the
// records it writes.
class FileLogger : public Logger {
public:
    using Clock = int64_t (*)();

    FileLogger(std::unique_ptr<RotatingLogFile> file, std::string prefix, int64_t offsetSeconds,
               Clock clock = &UtcNowSeconds);

    void Log(Level level, std::string_view target, std::string_view message) override;

    static constexpr Level kLevel = Level::Info;

private:
    std::mutex mutex_;
    std::unique_ptr<RotatingLogFile> file_;
    std::string prefix_;
    int64_t offsetSeconds_;
    Clock clock_;
    std::string line_;  // reused so that a record costs no allocation once lines stop growing
};

}  // namespace upkit
