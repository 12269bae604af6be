// Log throughput: 100 000 records through the file logger against raw WriteFile calls of the
// same lines on a handle opened the same way, measured in the same run. Prints the throughput
// ratio (goal: at least 0.8) and the write calls per line (goal: 1). A second logger run with a
// size limit it never reaches shows how much of the difference is the rotations' renames, and a
// last measurement times such a rename by itself: a freshly written 1 MiB log moved over an
// existing ".old" against the same move when there is nothing to replace. On Linux file systems
// with delayed allocation (ext4, under Wine) a rename that replaces a file first starts writing
// the renamed file's data out, which a plain rename does not; that is where the rotations' time
// goes there.
//
// Usage: log_throughput_win_bench [FOLDER]   (default: the temporary folder)
// Prints "summary|measure|value|goal|verdict" lines for scripts/bench at the end. Exit code 0
// when both goals are met, 1 otherwise.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "logging_file.h"

namespace {

using upkit::Level;
using upkit::Path;

constexpr int kRecords = 100000;
constexpr int kRounds = 5;

// What the logger asked of the platform's backend in one run.
struct Calls {
    long long writes = 0;
    long long renames = 0;
    double renameSeconds = 0;  // the renames to ".old"
    double reopenSeconds = 0;  // closing, creating the parent folders and opening
};

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

template <class F>
void Timed(double& total, F&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    total += Seconds(std::chrono::steady_clock::now() - start);
}

// The system's open log file, its writes counted and its renames timed.
class CountingFile final : public upkit::AppendFile {
public:
    CountingFile(std::unique_ptr<upkit::AppendFile> inner, Calls* calls)
        : inner_(std::move(inner)), calls_(calls) {}
    ~CountingFile() override {
        Timed(calls_->reopenSeconds, [&] { inner_.reset(); });
    }
    std::optional<uint64_t> Size() override {
        std::optional<uint64_t> size;
        Timed(calls_->reopenSeconds, [&] { size = inner_->Size(); });
        return size;
    }
    WriteOutcome Write(std::string_view bytes) override {
        ++calls_->writes;
        return inner_->Write(bytes);
    }
    RenameOutcome RenameIfAt(const Path& from, const Path& to) override {
        ++calls_->renames;
        RenameOutcome outcome = RenameOutcome::Failed;
        Timed(calls_->renameSeconds, [&] { outcome = inner_->RenameIfAt(from, to); });
        return outcome;
    }

private:
    std::unique_ptr<upkit::AppendFile> inner_;
    Calls* calls_;
};

// The system's file system, with the logger's calls on its file counted and timed: closing,
// creating the parent folders and opening count as reopening.
class CountingFileSystem final : public upkit::FileSystem {
public:
    explicit CountingFileSystem(Calls* calls) : inner_(upkit::SystemFileSystem()), calls_(calls) {}
    bool Exists(const Path& path) override { return inner_.Exists(path); }
    bool IsDirectory(const Path& path) override { return inner_.IsDirectory(path); }
    upkit::IoResult<upkit::Unit> ProbeNewFile(const Path& file) override {
        return inner_.ProbeNewFile(file);
    }
    upkit::IoResult<upkit::Unit> CreateOneDirectory(const Path& dir) override {
        upkit::IoResult<upkit::Unit> made = upkit::Unit{};
        Timed(calls_->reopenSeconds, [&] { made = inner_.CreateOneDirectory(dir); });
        return made;
    }
    upkit::IoResult<std::unique_ptr<upkit::UnpublishedFile>> CopyToNewFile(
        const Path& from, const Path& to) override {
        return inner_.CopyToNewFile(from, to);
    }
    upkit::IoResult<upkit::Unit> RemoveFile(const Path& file) override {
        return inner_.RemoveFile(file);
    }
    upkit::IoResult<upkit::Unit> RemoveFileEvenReadOnly(const Path& file) override {
        return inner_.RemoveFileEvenReadOnly(file);
    }
    upkit::IoResult<std::vector<upkit::DirectoryEntry>> List(const Path& dir) override {
        return inner_.List(dir);
    }
    upkit::IoResult<uint64_t> FileSize(const Path& file) override { return inner_.FileSize(file); }
    upkit::IoResult<std::unique_ptr<upkit::RandomAccessFile>> OpenForReading(
        const Path& file) override {
        return inner_.OpenForReading(file);
    }
    upkit::IoResult<std::unique_ptr<upkit::AppendFile>> OpenForAppending(
        const Path& file) override {
        upkit::IoResult<std::unique_ptr<upkit::AppendFile>> opened =
            upkit::IoError::FromKind(upkit::IoErrorKind::Other);
        Timed(calls_->reopenSeconds, [&] { opened = inner_.OpenForAppending(file); });
        if (!opened) return opened;
        return std::unique_ptr<upkit::AppendFile>(
            new CountingFile(std::move(opened.value()), calls_));
    }
    std::unique_ptr<upkit::WriterTurns> TurnsFor(const Path& file) override {
        return inner_.TurnsFor(file);
    }
    upkit::IoResult<Path> LocalAppDataDir() override { return inner_.LocalAppDataDir(); }
    Path TempDir() override { return inner_.TempDir(); }
    upkit::IoResult<Path> CurrentExePath() override { return inner_.CurrentExePath(); }

private:
    upkit::FileSystem& inner_;
    Calls* calls_;
};

Path ToPath(const std::wstring& path) {
    return Path(std::u16string(path.begin(), path.end()));
}

double RunLogger(const std::wstring& path, const std::vector<std::string>& messages, Calls* calls,
                 uint64_t maxSize = upkit::RotatingLogFile::kMaxSize) {
    CountingFileSystem fs(calls);  // declared first: outlives the logger below
    auto file = std::make_unique<upkit::RotatingLogFile>(ToPath(path), fs, maxSize);
    file->SetUp();
    upkit::FileLogger logger(std::move(file), upkit::LinePrefix(GetCurrentProcessId()), 0);
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& message : messages) logger.Log(Level::Info, "upkit::bench", message);
    return Seconds(std::chrono::steady_clock::now() - start);
}

double RunRaw(const std::wstring& path, const std::vector<std::string>& lines) {
    const HANDLE handle = CreateFileW(path.c_str(), FILE_APPEND_DATA | GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %ls\n", path.c_str());
        std::exit(1);
    }
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& line : lines) {
        DWORD written = 0;
        WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    const double seconds = Seconds(std::chrono::steady_clock::now() - start);
    CloseHandle(handle);
    return seconds;
}

void Remove(const std::wstring& path) {
    DeleteFileW(path.c_str());
    DeleteFileW((path + L".old").c_str());
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The rotation's rename by itself, the median of 15: a log of 1 MiB just written line by line,
// then moved to its ".old" name, with an earlier ".old" there to replace (first) or without one.
std::pair<double, double> TimeRotationRenames(const std::wstring& path,
                                              const std::vector<std::string>& lines) {
    const auto fill = [&] {
        const HANDLE handle = CreateFileW(path.c_str(), FILE_APPEND_DATA | GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        uint64_t size = 0;
        for (size_t i = 0; size <= upkit::RotatingLogFile::kMaxSize; ++i) {
            const std::string& line = lines[i % lines.size()];
            DWORD written = 0;
            WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            size += written;
        }
        CloseHandle(handle);
    };
    const std::wstring old = path + L".old";
    std::vector<double> replacing;
    std::vector<double> plain;
    for (int i = 0; i < 15; ++i) {
        fill();
        auto start = std::chrono::steady_clock::now();
        MoveFileExW(path.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING);
        replacing.push_back(Seconds(std::chrono::steady_clock::now() - start));
        fill();
        DeleteFileW(old.c_str());
        start = std::chrono::steady_clock::now();
        MoveFileExW(path.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING);
        plain.push_back(Seconds(std::chrono::steady_clock::now() - start));
    }
    Remove(path);
    return {Median(replacing), Median(plain)};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // The files go to the temporary folder, or to the folder given (to compare file systems).
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    std::wstring parent = argc > 1 ? std::wstring(argv[1]) + L"\\" : std::wstring(temp);
    const std::wstring dir = parent + L"upkit-log-bench-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(dir.c_str(), nullptr);
    const std::wstring loggerPath = dir + L"\\logger.log";
    const std::wstring rawPath = dir + L"\\raw.log";

    std::vector<std::string> messages;
    std::vector<std::string> lines;
    const std::string prefix = upkit::LinePrefix(GetCurrentProcessId());
    const int64_t now = upkit::UtcNowSeconds();
    for (int i = 0; i < kRecords; ++i) {
        messages.push_back(
            "Found C:\\Users\\player\\AppData\\Local\\ZeltOy2\\packages\\ZeltOy2-1." +
            std::to_string(i) + ".0-full.nupkg: '1." + std::to_string(i) + ".0'");
        std::string line;
        upkit::AppendLogLine(line, prefix, now, 0, Level::Info, messages.back());
        lines.push_back(std::move(line));
    }

    double bestLogger = 1e9;
    double bestUnrotated = 1e9;
    double bestRaw = 1e9;
    Calls best;  // those of the fastest rotating run
    for (int round = 0; round < kRounds; ++round) {
        Remove(rawPath);
        bestRaw = std::min(bestRaw, RunRaw(rawPath, lines));
        Remove(loggerPath);
        Calls calls;
        const double seconds = RunLogger(loggerPath, messages, &calls);
        if (seconds < bestLogger) {
            bestLogger = seconds;
            best = calls;
        }
        Remove(loggerPath);
        Calls unrotated;
        bestUnrotated =
            std::min(bestUnrotated, RunLogger(loggerPath, messages, &unrotated, uint64_t{1} << 40));
    }
    const long long writes = best.writes;
    const long long renames = best.renames;
    Remove(rawPath);
    Remove(loggerPath);
    const auto [replacingRename, plainRename] = TimeRotationRenames(loggerPath, lines);
    RemoveDirectoryW(dir.c_str());

    std::printf("log throughput, %d records, best of %d rounds\n", kRecords, kRounds);
    std::printf("  %-28s %10.1f ms  %12.0f lines/s\n", "raw WriteFile", bestRaw * 1e3,
                kRecords / bestRaw);
    std::printf("  %-28s %10.1f ms  %12.0f lines/s\n", "file logger", bestLogger * 1e3,
                kRecords / bestLogger);
    std::printf("  %-28s %10.1f ms  %12.0f lines/s\n", "file logger, no rotation",
                bestUnrotated * 1e3, kRecords / bestUnrotated);
    std::printf("  throughput ratio logger/raw  %10.2f   (goal >= 0.80)\n", bestRaw / bestLogger);
    std::printf("  same without rotation        %10.2f\n", bestRaw / bestUnrotated);
    std::printf("  write calls per line         %10.2f   (goal 1)\n",
                static_cast<double>(writes) / kRecords);
    std::printf("  rotations per run            %10lld\n", renames);
    if (renames > 0) {
        std::printf(
            "  per rotation: the logger's extra time %.3f ms, of which the rename %.3f ms, "
            "closing and reopening %.3f ms\n",
            (bestLogger - bestUnrotated) * 1e3 / renames, best.renameSeconds * 1e3 / renames,
            best.reopenSeconds * 1e3 / renames);
    }
    std::printf("  rename of a new 1 MiB log to .old, replacing one   %7.3f ms\n",
                replacingRename * 1e3);
    std::printf("  the same rename with no .old to replace            %7.3f ms\n",
                plainRename * 1e3);

    const double ratio = bestRaw / bestLogger;
    const double callsPerLine = static_cast<double>(writes) / kRecords;
    char text[96];
    std::snprintf(text, sizeof text, "%.2f", ratio);
    std::printf("summary|log throughput logger/raw (best of %d)|%s|>= 0.80|%s\n", kRounds, text,
                ratio >= 0.8 ? "met" : "MISSED");
    std::snprintf(text, sizeof text, "%.2f", bestRaw / bestUnrotated);
    std::printf("summary|log throughput logger/raw, no rotation|%s|(reported)|-\n", text);
    std::snprintf(text, sizeof text, "%.2f ms; %.2f ms", replacingRename * 1e3, plainRename * 1e3);
    std::printf("summary|log rotation rename, replacing .old; nothing to replace|%s|(reported)|-\n",
                text);
    std::snprintf(text, sizeof text, "%.2f", callsPerLine);
    std::printf("summary|log write calls per line|%s|1|%s\n", text,
                callsPerLine == 1.0 ? "met" : "MISSED");
    return ratio >= 0.8 && callsPerLine == 1.0 ? 0 : 1;
}
