// The operating-system seam on POSIX: a port that exists so that the runtime's logic runs, and is
// tested, natively (under AddressSanitizer, with its own file system underneath). It is not a
// product: where a POSIX system has nothing like the Windows service (a known folder, a shell
// identity, starting the updater), it says so with an error or keeps a value in memory.
//
// The rules are those of the Windows implementation: paths pass through SystemPathText, files are
// never locked against other processes, descriptors are closed on every path, and a failure is the
// IoError of errno, read with this platform's own table.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>
#include <utility>

#include "misc.h"
#include "os/os.h"
#include "text.h"

extern char** environ;

namespace upkit {

namespace {

IoError LastError() {
    return IoError::FromOsCode(errno);
}

// The path as the system takes it: WTF-8 bytes.
IoResult<std::string> Native(const Path& path) {
    IoResult<std::u16string> text = SystemPathText(path);
    if (!text) return text.take_error();
    return Utf16ToWtf8(text.value());
}

// A descriptor closed when it goes away.
class OwnedFd {
public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    ~OwnedFd() {
        if (fd_ >= 0) close(fd_);
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

IoResult<std::unique_ptr<OwnedFd>> OpenFd(const Path& path, int flags) {
    IoResult<std::string> native = Native(path);
    if (!native) return native.take_error();
    const int fd = open(native->c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return LastError();
    return std::make_unique<OwnedFd>(fd);
}

// A copy being made; removed unless it was published. POSIX has no sharing modes, so nothing
// keeps another process from removing it meanwhile.
class NewFileCopy final : public UnpublishedFile {
public:
    NewFileCopy(std::unique_ptr<OwnedFd> fd, std::string path)
        : fd_(std::move(fd)), path_(std::move(path)) {}
    ~NewFileCopy() override {
        if (!published_) unlink(path_.c_str());
    }
    NewFileCopy(const NewFileCopy&) = delete;
    NewFileCopy& operator=(const NewFileCopy&) = delete;

    int Fd() const { return fd_->Get(); }

    IoResult<Unit> Flush() override {
        if (fsync(fd_->Get()) != 0) return LastError();
        return Unit{};
    }

    IoResult<Unit> Publish(const Path& to) override {
        IoResult<std::string> target = Native(to);
        if (!target) return target.take_error();
        if (renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target->c_str(), RENAME_NOREPLACE) != 0) {
            return LastError();
        }
        published_ = true;
        return Unit{};
    }

private:
    std::unique_ptr<OwnedFd> fd_;
    std::string path_;
    bool published_ = false;
};

class DescriptorFile final : public RandomAccessFile {
public:
    explicit DescriptorFile(std::unique_ptr<OwnedFd> fd) : fd_(std::move(fd)) {}

    IoResult<uint64_t> Size() override {
        struct stat info;
        if (fstat(fd_->Get(), &info) != 0) return LastError();
        return static_cast<uint64_t>(info.st_size);
    }

    IoResult<size_t> ReadAt(uint64_t offset, void* buffer, size_t length) override {
        for (;;) {
            const ssize_t n = pread(fd_->Get(), buffer, length, static_cast<off_t>(offset));
            if (n >= 0) return static_cast<size_t>(n);
            if (errno != EINTR) return LastError();
        }
    }

private:
    std::unique_ptr<OwnedFd> fd_;
};

// O_APPEND: each write is one atomic append, so the writers of several processes need no turns.
class DescriptorAppendFile final : public AppendFile {
public:
    explicit DescriptorAppendFile(std::unique_ptr<OwnedFd> fd) : fd_(std::move(fd)) {}

    std::optional<uint64_t> Size() override {
        struct stat info;
        if (fstat(fd_->Get(), &info) != 0) return std::nullopt;
        return static_cast<uint64_t>(info.st_size);
    }

    WriteOutcome Write(std::string_view bytes) override {
        const ssize_t n = write(fd_->Get(), bytes.data(), bytes.size());
        if (n < 0) return {errno == EINTR ? WriteOutcome::Interrupted : WriteOutcome::Failed, 0};
        return {WriteOutcome::Written, static_cast<size_t>(n)};
    }

    // POSIX has no rename through a descriptor: the file at the path is compared with the open
    // one right before it is renamed by name, which leaves a short window that the Windows
    // implementation does not have.
    RenameOutcome RenameIfAt(const Path& from, const Path& to) override {
        IoResult<std::string> source = Native(from);
        IoResult<std::string> target = Native(to);
        struct stat open;
        struct stat atPath;
        if (!source || !target || fstat(fd_->Get(), &open) != 0) return RenameOutcome::Failed;
        if (stat(source->c_str(), &atPath) != 0) {
            return errno == ENOENT ? RenameOutcome::NotTheOpenFile : RenameOutcome::Failed;
        }
        if (open.st_dev != atPath.st_dev || open.st_ino != atPath.st_ino) {
            return RenameOutcome::NotTheOpenFile;
        }
        return rename(source->c_str(), target->c_str()) == 0 ? RenameOutcome::Renamed
                                                             : RenameOutcome::Failed;
    }

private:
    std::unique_ptr<OwnedFd> fd_;
};

class NoTurns final : public WriterTurns {
public:
    bool Take() override { return false; }
    void Give() override {}
};

class PosixFileSystem final : public FileSystem {
public:
    bool Exists(const Path& path) override {
        IoResult<std::string> native = Native(path);
        struct stat info;
        return native && stat(native->c_str(), &info) == 0;
    }

    bool IsDirectory(const Path& path) override {
        IoResult<std::string> native = Native(path);
        struct stat info;
        return native && stat(native->c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    }

    IoResult<Unit> ProbeNewFile(const Path& file) override {
        IoResult<std::string> native = Native(file);
        if (!native) return native.take_error();
        IoResult<std::unique_ptr<OwnedFd>> fd = OpenFd(file, O_WRONLY | O_CREAT | O_TRUNC);
        if (!fd) return fd.take_error();
        // No delete-on-close here: the name goes right away, while the file is still open.
        unlink(native->c_str());
        return Unit{};
    }

    IoResult<Unit> CreateOneDirectory(const Path& dir) override {
        IoResult<std::string> native = Native(dir);
        if (!native) return native.take_error();
        if (mkdir(native->c_str(), 0755) != 0) return LastError();
        return Unit{};
    }

    IoResult<std::unique_ptr<UnpublishedFile>> CopyToNewFile(const Path& from,
                                                             const Path& to) override {
        IoResult<std::unique_ptr<OwnedFd>> source = OpenFd(from, O_RDONLY);
        if (!source) return source.take_error();
        IoResult<std::string> target = Native(to);
        if (!target) return target.take_error();
        IoResult<std::unique_ptr<OwnedFd>> made = OpenFd(to, O_WRONLY | O_CREAT | O_EXCL);
        if (!made) return made.take_error();
        auto copy = std::make_unique<NewFileCopy>(std::move(made.value()), std::move(*target));
        char buffer[65536];
        for (;;) {
            const ssize_t got = read(source.value()->Get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return LastError();  // the unpublished copy removes itself
            if (got == 0) break;
            for (ssize_t done = 0; done < got;) {
                const ssize_t put =
                    write(copy->Fd(), buffer + done, static_cast<size_t>(got - done));
                if (put < 0 && errno == EINTR) continue;
                if (put < 0) return LastError();
                done += put;
            }
        }
        return std::unique_ptr<UnpublishedFile>(std::move(copy));
    }

    IoResult<Unit> RemoveFile(const Path& file) override {
        IoResult<std::string> native = Native(file);
        if (!native) return native.take_error();
        // A file without write permission stands for Windows' read-only attribute.
        struct stat info;
        if (stat(native->c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
            return IoError::FromOsCode(EACCES);
        }
        if (unlink(native->c_str()) != 0) return LastError();
        return Unit{};
    }

    IoResult<Unit> RemoveFileEvenReadOnly(const Path& file) override {
        IoResult<std::string> native = Native(file);
        if (!native) return native.take_error();
        if (unlink(native->c_str()) != 0) return LastError();
        return Unit{};
    }

    IoResult<std::vector<DirectoryEntry>> List(const Path& dir) override {
        IoResult<std::string> native = Native(dir);
        if (!native) return native.take_error();
        const std::string base = native->empty() ? std::string(".") : *native;
        DIR* stream = opendir(base.c_str());
        if (stream == nullptr) return LastError();
        std::vector<DirectoryEntry> entries;
        while (const dirent* entry = readdir(stream)) {
            struct stat info;
            const std::string full = base + "/" + entry->d_name;
            const bool isDirectory = stat(full.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
            entries.push_back(DirectoryEntry{Wtf8ToUtf16(entry->d_name), isDirectory});
        }
        closedir(stream);
        return entries;
    }

    IoResult<uint64_t> FileSize(const Path& file) override {
        IoResult<std::string> native = Native(file);
        if (!native) return native.take_error();
        struct stat info;
        if (stat(native->c_str(), &info) != 0) return LastError();
        return static_cast<uint64_t>(info.st_size);
    }

    IoResult<std::unique_ptr<RandomAccessFile>> OpenForReading(const Path& file) override {
        IoResult<std::unique_ptr<OwnedFd>> fd = OpenFd(file, O_RDONLY);
        if (!fd) return fd.take_error();
        return std::unique_ptr<RandomAccessFile>(new DescriptorFile(std::move(fd.value())));
    }

    IoResult<std::unique_ptr<AppendFile>> OpenForAppending(const Path& file) override {
        IoResult<std::unique_ptr<OwnedFd>> fd = OpenFd(file, O_RDWR | O_APPEND | O_CREAT);
        if (!fd) return fd.take_error();
        return std::unique_ptr<AppendFile>(new DescriptorAppendFile(std::move(fd.value())));
    }

    std::unique_ptr<WriterTurns> TurnsFor(const Path&) override {
        return std::make_unique<NoTurns>();
    }

    IoResult<Path> LocalAppDataDir() override {
        return IoError::WithMessage(IoErrorKind::Unsupported,
                                    "no local application data folder on this platform");
    }

    Path TempDir() override {
        std::error_code error;
        std::string dir = std::filesystem::temp_directory_path(error).string();
        if (error) return Path();
        if (dir.empty() || dir.back() != '/') dir += '/';
        return Path::FromUtf8(dir);
    }

    IoResult<Path> CurrentExePath() override {
        std::error_code error;
        const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
        if (error) return IoError::FromOsCode(error.value());
        return Path::FromUtf8(exe.string());
    }
};

std::optional<std::u16string> g_identity;

}  // namespace

// ---- Operating-system error codes: errno values ----

IoErrorKind IoErrorKindFromOsCode(int32_t code) {
    switch (code) {
        case ENOENT:
        case ENOTDIR:
            return IoErrorKind::NotFound;
        case EACCES:
        case EPERM:
            return IoErrorKind::PermissionDenied;
        case EEXIST:
            return IoErrorKind::AlreadyExists;
        case EINVAL:
        case ENAMETOOLONG:
            return IoErrorKind::InvalidInput;
        case EINTR:
            return IoErrorKind::Interrupted;
        case ENOMEM:
            return IoErrorKind::OutOfMemory;
        case ENOSYS:
        case EOPNOTSUPP:
            return IoErrorKind::Unsupported;
        default:
            return IoErrorKind::Uncategorized;
    }
}

std::string SystemErrorMessage(int32_t code) {
    char buffer[256];
    // The GNU strerror_r: the text may be a static string rather than the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text != nullptr && *text != '\0' ? text : "Unknown error " + std::to_string(code);
}

// ---- Files ----

FileSystem& SystemFileSystem() {
    static PosixFileSystem* system = new PosixFileSystem();
    return *system;
}

// ---- The process ----

std::u16string ProcessCommandLine() {
    // POSIX keeps no command line as one text; the port shows a program without arguments.
    return u"program";
}

std::optional<std::u16string> ReadEnvVar(const char16_t* name) {
    const char* value = std::getenv(Utf16ToUtf8Lossy(name).c_str());
    if (value == nullptr) return std::nullopt;
    return Wtf8ToUtf16(value);
}

void RemoveEnvVar(const char16_t* name) {
    unsetenv(Utf16ToUtf8Lossy(name).c_str());
}

std::u16string EnvironmentBlock() {
    std::u16string block;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        block += Wtf8ToUtf16(*entry);
        block.push_back(u'\0');
    }
    block.push_back(u'\0');
    return block;
}

uint32_t CurrentProcessId() {
    return static_cast<uint32_t>(getpid());
}

std::optional<std::string> CurrentThreadName() {
    // Threads of this port carry no names of the runtime's concern.
    return std::nullopt;
}

std::optional<int64_t> LocalUtcOffsetSeconds() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return std::nullopt;
    return static_cast<int64_t>(local.tm_gmtoff);
}

void SleepFor(std::chrono::nanoseconds duration) {
    if (duration <= std::chrono::nanoseconds::zero()) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(duration);
}

void EndProcess(uint32_t exitCode) {
    std::_Exit(static_cast<int>(exitCode));
}

// The native port runs only in tests, under the sanitizers, which catch and report hardware
// faults themselves: the scope changes nothing.
struct HardwareFaultScope::Installed {};

HardwareFaultScope::HardwareFaultScope(HardwareFaultHandler) {}

HardwareFaultScope::~HardwareFaultScope() = default;

void EndProcessAfterFault() {
    std::_Exit(static_cast<int>(kFaultExitCode));
}

IoResult<Unit> StartProcess(std::u16string, const std::optional<std::u16string>&,
                            const std::optional<std::u16string>&) {
    return IoError::WithMessage(IoErrorKind::Unsupported,
                                "starting the updater is not supported in the native build");
}

// ---- The shell ----

void SetProcessAppUserModelId(const std::u16string& terminatedIdentity) {
    g_identity = std::u16string(terminatedIdentity.c_str());
}

std::optional<std::u16string> ProcessAppUserModelId() {
    return g_identity;
}

}  // namespace upkit
