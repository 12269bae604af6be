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
#include "os/os.h"

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

// A log file that is moved to its name with ".old" appended once it grows past maxSize. Not
// thread-safe: the file logger serialises whole lines. Nothing is ever reported: a line that
// cannot be written is lost, and a failed open or rotation is tried again with the next line.
// Other processes may share the file: each open takes the file's real size, and a rotation moves
// only the file open here; when another process has rotated first, the path is opened again
// instead, so the older lines in ".old" are never replaced by a newer file.
class RotatingLogFile {
public:
    static constexpr uint64_t kMaxSize = 1048576;

    // The file system must outlive the log file.
    RotatingLogFile(Path filePath, FileSystem& fs, uint64_t maxSize = kMaxSize);

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
    void CreateParentDirs();
    void Open();
    void Rotate();
    void WriteWhole(std::string_view bytes);

    Path filePath_;
    FileSystem& fs_;
    std::unique_ptr<AppendFile> file_;  // set while open
    // The turns of every process that writes this file: one line, and the rotation it may
    // cause, at a time.
    std::unique_ptr<WriterTurns> turns_;
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
    void LogFault(Level level, std::string_view target, std::string_view message,
                  std::chrono::milliseconds lockWait) override;

    static constexpr Level kLevel = Level::Info;

private:
    // Writes the record's line; the caller holds mutex_.
    void WriteRecord(Level level, std::string_view message);

    std::timed_mutex mutex_;
    std::unique_ptr<RotatingLogFile> file_;
    std::string prefix_;
    int64_t offsetSeconds_;
    Clock clock_;
    std::string line_;  // reused so that a record costs no allocation once lines stop growing
};

}  // namespace upkit
