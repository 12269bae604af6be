// A disk described by a test, in memory, for any part of the runtime that takes a FileSystem:
// the locator, discovery, package deletion, the package reader and the log file. It holds what
// the test puts on it, fails where the test says, and notes what was done to it, so conditions a
// real disk cannot produce on demand (a failing copy, a file that vanishes between two looks, a
// manifest that cannot be read) are one line of a test. Builds natively and for Windows.
//
// Paths are compared as their display text, exactly: "C:\App" and "C:/App" are two paths, as the
// runtime's own path rules expect of a disk it does not normalise for.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "os/os.h"

namespace zelt::test {

class FakeFileSystem final : public upkit::FileSystem {
public:
    using Path = upkit::Path;
    using IoError = upkit::IoError;
    template <class T>
    using IoResult = upkit::IoResult<T>;
    using Unit = upkit::Unit;

    // ---- What is on the disk ----

    // A file with the content; its parent directories are made too.
    void AddFile(const std::string& path, std::string content = {});
    // Gives a file the read-only attribute, or takes it away. A read-only file is refused by
    // RemoveFile, as Windows' DeleteFileW refuses it.
    void SetReadOnly(const std::string& path, bool readOnly = true);
    bool IsReadOnly(const std::string& path) const;
    // A directory and its parents.
    void AddDirectory(const std::string& path);
    void Remove(const std::string& path);
    bool Has(const std::string& path) const;
    bool HasDirectory(const std::string& path) const;
    // The file's content; empty when there is none.
    std::string Content(const std::string& path) const;
    // Every path on the disk, in order.
    std::vector<std::string> Paths() const;

    // ---- How it behaves ----

    // Directories in which new files can be made (the probe succeeds); elsewhere the probe fails
    // with probeError.
    std::set<std::string> writableDirs;
    IoError probeError = IoError::FromKind(upkit::IoErrorKind::PermissionDenied);
    // The answers for the places; a missing one fails with NotFound.
    std::optional<std::string> localAppData;
    std::string tempDir = "C:\\Temp\\";
    IoResult<Path> exePath = IoError::FromKind(upkit::IoErrorKind::NotFound);
    // An operation on one of these paths fails with the error: opening for reading or appending,
    // listing, copying (from or to), flushing, renaming (from or to), deleting, sizing, creating.
    std::map<std::string, IoError> failing;
    // Files another program holds open without sharing deletion: deleting them fails with
    // PermissionDenied, even clearing the read-only attribute first, reading them works.
    std::set<std::string> undeletable;
    // Every directory creation, copy, flush or publication fails with the error.
    std::optional<IoError> createError;
    std::optional<IoError> copyError;
    std::optional<IoError> flushError;
    std::optional<IoError> renameError;
    // A file another process creates while a copy is made, as a racing start would publish its
    // own copy of the updater.
    std::optional<std::string> appearsDuringCopy;
    // Runs before each operation with its name ("exists", "open", "write", ...) and the path (for
    // a write, the one the file was opened by): a test may change the disk there, as another
    // process would between two looks, or act as the writing thread would at that moment.
    std::function<void(const std::string& operation, const std::string& path)> before;
    // Outcomes of the next writes to an appended file, used first, in order; then every write
    // succeeds whole.
    std::deque<upkit::AppendFile::WriteOutcome> scriptedWrites;

    // ---- What was done ----

    // "create D", "copy A -> new B", "flush B", "publish B -> C", "discard B" (an unpublished
    // copy closed), "delete F", "delete read-only F" (RemoveFileEvenReadOnly), "read F",
    // "append F", "write N", "rename open F -> G": changes to the disk and the opening of files,
    // in order.
    std::vector<std::string> actions;
    // The directories probed for new files, in order.
    std::vector<std::string> probes;

    // ---- FileSystem ----

    bool Exists(const Path& path) override;
    bool IsDirectory(const Path& path) override;
    IoResult<Unit> ProbeNewFile(const Path& file) override;
    IoResult<Unit> CreateOneDirectory(const Path& dir) override;
    IoResult<std::unique_ptr<upkit::UnpublishedFile>> CopyToNewFile(const Path& from,
                                                                    const Path& to) override;
    IoResult<Unit> RemoveFile(const Path& file) override;
    IoResult<Unit> RemoveFileEvenReadOnly(const Path& file) override;
    IoResult<std::vector<upkit::DirectoryEntry>> List(const Path& dir) override;
    IoResult<uint64_t> FileSize(const Path& file) override;
    IoResult<std::unique_ptr<upkit::RandomAccessFile>> OpenForReading(const Path& file) override;
    IoResult<std::unique_ptr<upkit::AppendFile>> OpenForAppending(const Path& file) override;
    std::unique_ptr<upkit::WriterTurns> TurnsFor(const Path& file) override;
    IoResult<Path> LocalAppDataDir() override;
    Path TempDir() override;
    IoResult<Path> CurrentExePath() override;

private:
    friend class FakeAppendFile;
    friend class FakeUnpublishedFile;
    struct Node {
        bool directory = false;
        std::shared_ptr<std::string> data;  // a file's content, shared with the handles open on it
        bool readOnly = false;
    };

    void Before(const std::string& operation, const std::string& path);
    std::optional<IoError> Failing(const std::string& path) const;
    void AddParents(const std::string& path);
    IoResult<Unit> Delete(const std::string& path, bool evenReadOnly);

    std::map<std::string, Node> nodes_;
    // Copies this disk is still making: open without delete sharing, as the system's are.
    std::set<std::string> making_;
};

}  // namespace zelt::test
