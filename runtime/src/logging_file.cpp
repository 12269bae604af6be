#include "logging_file.h"

#include "misc.h"

#include <chrono>

namespace upkit {

namespace {

constexpr int64_t kSecondsPerDay = int64_t{24} * 60 * 60;
constexpr int64_t kOffsetBound = int64_t{26} * 60 * 60;

void AppendTwoDigits(std::string& out, int64_t value) {
    out.push_back(static_cast<char>('0' + value / 10));
    out.push_back(static_cast<char>('0' + value % 10));
}

}  // namespace

std::string LinePrefix(uint32_t processId) {
    return "[lib-cpp:" + std::to_string(processId) + "] ";
}

int64_t SaneLocalOffset(std::optional<int64_t> offsetSeconds) {
    if (!offsetSeconds || *offsetSeconds >= kOffsetBound || *offsetSeconds <= -kOffsetBound) {
        return 0;
    }
    return *offsetSeconds;
}

void AppendLogLine(std::string& out, std::string_view prefix, int64_t utcSeconds,
                   int64_t offsetSeconds, Level level, std::string_view message) {
    int64_t secondOfDay = (utcSeconds + offsetSeconds) % kSecondsPerDay;
    if (secondOfDay < 0) secondOfDay += kSecondsPerDay;
    out += prefix;
    out.push_back('[');
    AppendTwoDigits(out, secondOfDay / 3600);
    out.push_back(':');
    AppendTwoDigits(out, secondOfDay / 60 % 60);
    out.push_back(':');
    AppendTwoDigits(out, secondOfDay % 60);
    out += "] [";
    out += LevelUpperName(level);
    out += "] ";
    out += message;
    out.push_back('\n');
}

int64_t UtcNowSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

RotatingLogFile::RotatingLogFile(Path filePath, FileSystem& fs, uint64_t maxSize)
    : filePath_(std::move(filePath)), fs_(fs), turns_(fs.TurnsFor(filePath_)), maxSize_(maxSize) {}

Path RotatingLogFile::OldFilePath() const {
    return Path(filePath_.Units() + u".old");
}

void RotatingLogFile::SetUp() {
    const bool turn = turns_->Take();
    // Opened first and judged by the open file's own size: the file at the path may change
    // between a look at the path and the open.
    Open();
    if (isOpen_ && fileSize_ > maxSize_) Rotate();
    if (turn) turns_->Give();
}

void RotatingLogFile::CreateParentDirs() {
    if (std::optional<Path> parent = ParentDir(filePath_)) (void)CreateDirAll(fs_, *parent);
}

void RotatingLogFile::Open() {
    CreateParentDirs();
    IoResult<std::unique_ptr<AppendFile>> opened = fs_.OpenForAppending(filePath_);
    if (!opened) return;
    file_ = std::move(opened.value());
    isOpen_ = true;
    // Other processes' lines count too: the size is the file's, not what this process wrote.
    fileSize_ = file_->Size().value_or(0);
}

void RotatingLogFile::Rotate() {
    CreateParentDirs();
    // The file open here goes to ".old" only if it is still the one at the path. Otherwise
    // another process rotated first: this handle already points at ".old", and the path holds
    // that process's new file, which is opened as it is.
    if (file_->RenameIfAt(filePath_, OldFilePath()) == AppendFile::RenameOutcome::Failed) {
        return;  // the file keeps growing; tried again after the next line
    }
    file_.reset();
    isOpen_ = false;
    fileSize_ = 0;
    Open();
}

void RotatingLogFile::WriteLine(std::string_view bytes) {
    const bool turn = turns_->Take();
    WriteWhole(bytes);
    if (turn) turns_->Give();
}

void RotatingLogFile::WriteWhole(std::string_view bytes) {
    while (!bytes.empty()) {
        if (!isOpen_) {
            Open();
            if (!isOpen_) return;
        }
        const AppendFile::WriteOutcome outcome = file_->Write(bytes);
        if (outcome.status == AppendFile::WriteOutcome::Interrupted) continue;
        if (outcome.status == AppendFile::WriteOutcome::Failed || outcome.count == 0) break;
        const size_t count = outcome.count < bytes.size() ? outcome.count : bytes.size();
        fileSize_ += count;
        bytes.remove_prefix(count);
    }
    if (fileSize_ > maxSize_) Rotate();
}

FileLogger::FileLogger(std::unique_ptr<RotatingLogFile> file, std::string prefix,
                       int64_t offsetSeconds, Clock clock)
    : file_(std::move(file)),
      prefix_(std::move(prefix)),
      offsetSeconds_(offsetSeconds),
      clock_(clock) {}

void FileLogger::Log(Level level, std::string_view target, std::string_view message) {
    if (level == Level::Off || static_cast<uint8_t>(level) > static_cast<uint8_t>(kLevel)) return;
    std::lock_guard lock(mutex_);
    WriteRecord(level, message);
}

void FileLogger::LogFault(Level level, std::string_view target, std::string_view message,
                          std::chrono::milliseconds lockWait) {
    if (level == Level::Off || static_cast<uint8_t>(level) > static_cast<uint8_t>(kLevel)) return;
    std::unique_lock lock(mutex_, std::defer_lock);
    if (!TakeLockWithin(lock, lockWait)) return;
    WriteRecord(level, message);
}

void FileLogger::WriteRecord(Level level, std::string_view message) {
    line_.clear();
    AppendLogLine(line_, prefix_, clock_(), offsetSeconds_, level, message);
    file_->WriteLine(line_);
}

}  // namespace upkit
