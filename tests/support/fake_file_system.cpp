#include "fake_file_system.h"

#include <algorithm>
#include <cstring>

namespace zelt::test {

namespace {

using upkit::IoErrorKind;

std::string Key(const upkit::Path& path) {
    return upkit::PathDisplay(path);
}

std::optional<std::string> ParentKey(const std::string& path) {
    const std::optional<upkit::Path> parent = upkit::ParentDir(upkit::Path::FromUtf8(path));
    if (!parent || parent->Empty()) return std::nullopt;
    return Key(*parent);
}

upkit::IoError Error(IoErrorKind kind) {
    return upkit::IoError::FromKind(kind);
}

class SharedBytesFile final : public upkit::RandomAccessFile {
public:
    explicit SharedBytesFile(std::shared_ptr<std::string> data) : data_(std::move(data)) {}
    upkit::IoResult<uint64_t> Size() override { return uint64_t{data_->size()}; }
    upkit::IoResult<size_t> ReadAt(uint64_t offset, void* buffer, size_t length) override {
        if (offset >= data_->size()) return size_t{0};
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, data_->size() - offset));
        std::memcpy(buffer, data_->data() + offset, n);
        return n;
    }

private:
    std::shared_ptr<std::string> data_;
};

class NoTurns final : public upkit::WriterTurns {
public:
    bool Take() override { return false; }
    void Give() override {}
};

}  // namespace

// A file open for appending: its bytes are shared with the disk's node, whatever name the node
// has by now, as a real handle follows its file through renames.
class FakeAppendFile final : public upkit::AppendFile {
public:
    FakeAppendFile(FakeFileSystem& fs, std::string openedAs, std::shared_ptr<std::string> data)
        : fs_(fs), openedAs_(std::move(openedAs)), data_(std::move(data)) {}

    std::optional<uint64_t> Size() override { return data_->size(); }

    WriteOutcome Write(std::string_view bytes) override {
        fs_.Before("write", openedAs_);
        fs_.actions.push_back("write " + std::to_string(bytes.size()));
        WriteOutcome outcome{WriteOutcome::Written, bytes.size()};
        if (!fs_.scriptedWrites.empty()) {
            outcome = fs_.scriptedWrites.front();
            fs_.scriptedWrites.pop_front();
        }
        if (outcome.status == WriteOutcome::Written) data_->append(bytes.substr(0, outcome.count));
        return outcome;
    }

    RenameOutcome RenameIfAt(const upkit::Path& from, const upkit::Path& to) override {
        const std::string source = Key(from);
        const std::string target = Key(to);
        fs_.Before("rename open", source);
        fs_.actions.push_back("rename open " + source + " -> " + target);
        auto it = fs_.nodes_.find(source);
        if (it == fs_.nodes_.end() || it->second.data != data_) {
            return RenameOutcome::NotTheOpenFile;
        }
        if (fs_.renameError || fs_.Failing(source) || fs_.Failing(target)) {
            return RenameOutcome::Failed;
        }
        fs_.nodes_[target] = it->second;
        fs_.nodes_.erase(source);
        return RenameOutcome::Renamed;
    }

private:
    FakeFileSystem& fs_;
    std::string openedAs_;  // the path it was opened by
    std::shared_ptr<std::string> data_;
};

// A copy being made: its node is at the name it was made under until it is published, and it
// cannot be deleted by anyone while it is open.
class FakeUnpublishedFile final : public upkit::UnpublishedFile {
public:
    FakeUnpublishedFile(FakeFileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {
        fs_.making_.insert(path_);
    }
    ~FakeUnpublishedFile() override {
        fs_.making_.erase(path_);
        if (published_) return;
        fs_.actions.push_back("discard " + path_);
        fs_.nodes_.erase(path_);
    }
    FakeUnpublishedFile(const FakeUnpublishedFile&) = delete;
    FakeUnpublishedFile& operator=(const FakeUnpublishedFile&) = delete;

    upkit::IoResult<upkit::Unit> Flush() override {
        fs_.Before("flush", path_);
        fs_.actions.push_back("flush " + path_);
        if (fs_.flushError) return *fs_.flushError;
        if (std::optional<upkit::IoError> error = fs_.Failing(path_)) return *error;
        return upkit::Unit{};
    }

    upkit::IoResult<upkit::Unit> Publish(const upkit::Path& to) override {
        const std::string target = Key(to);
        fs_.Before("publish", path_);
        fs_.actions.push_back("publish " + path_ + " -> " + target);
        if (fs_.renameError) return *fs_.renameError;
        if (std::optional<upkit::IoError> error = fs_.Failing(target)) return *error;
        if (fs_.Has(target)) return Error(IoErrorKind::AlreadyExists);
        fs_.nodes_[target] = fs_.nodes_[path_];
        fs_.nodes_.erase(path_);
        fs_.making_.erase(path_);
        path_ = target;
        published_ = true;
        return upkit::Unit{};
    }

private:
    FakeFileSystem& fs_;
    std::string path_;
    bool published_ = false;
};

void FakeFileSystem::SetReadOnly(const std::string& path, bool readOnly) {
    auto it = nodes_.find(path);
    if (it != nodes_.end()) it->second.readOnly = readOnly;
}

bool FakeFileSystem::IsReadOnly(const std::string& path) const {
    auto it = nodes_.find(path);
    return it != nodes_.end() && it->second.readOnly;
}

void FakeFileSystem::AddParents(const std::string& path) {
    for (std::optional<std::string> parent = ParentKey(path); parent; parent = ParentKey(*parent)) {
        if (nodes_.count(*parent)) break;
        nodes_[*parent] = Node{true, nullptr};
    }
}

void FakeFileSystem::AddFile(const std::string& path, std::string content) {
    AddParents(path);
    nodes_[path] = Node{false, std::make_shared<std::string>(std::move(content))};
}

void FakeFileSystem::AddDirectory(const std::string& path) {
    AddParents(path);
    nodes_[path] = Node{true, nullptr};
}

void FakeFileSystem::Remove(const std::string& path) {
    nodes_.erase(path);
}

bool FakeFileSystem::Has(const std::string& path) const {
    return nodes_.count(path) != 0;
}

bool FakeFileSystem::HasDirectory(const std::string& path) const {
    auto it = nodes_.find(path);
    return it != nodes_.end() && it->second.directory;
}

std::string FakeFileSystem::Content(const std::string& path) const {
    auto it = nodes_.find(path);
    return it != nodes_.end() && it->second.data ? *it->second.data : std::string();
}

std::vector<std::string> FakeFileSystem::Paths() const {
    std::vector<std::string> paths;
    for (const auto& [path, node] : nodes_) paths.push_back(path);
    return paths;
}

void FakeFileSystem::Before(const std::string& operation, const std::string& path) {
    if (before) before(operation, path);
}

std::optional<upkit::IoError> FakeFileSystem::Failing(const std::string& path) const {
    auto it = failing.find(path);
    if (it == failing.end()) return std::nullopt;
    return it->second;
}

bool FakeFileSystem::Exists(const Path& path) {
    Before("exists", Key(path));
    return Has(Key(path));
}

bool FakeFileSystem::IsDirectory(const Path& path) {
    Before("is directory", Key(path));
    return HasDirectory(Key(path));
}

upkit::IoResult<upkit::Unit> FakeFileSystem::ProbeNewFile(const Path& file) {
    const std::string dir = ParentKey(Key(file)).value_or("");
    Before("probe", dir);
    probes.push_back(dir);
    if (!writableDirs.count(dir)) return probeError;
    return Unit{};
}

upkit::IoResult<upkit::Unit> FakeFileSystem::CreateOneDirectory(const Path& dir) {
    const std::string path = Key(dir);
    Before("create", path);
    if (createError) return *createError;
    if (std::optional<IoError> error = Failing(path)) return *error;
    if (Has(path)) return Error(IoErrorKind::AlreadyExists);
    const std::optional<std::string> parent = ParentKey(path);
    if (parent && !HasDirectory(*parent)) return Error(IoErrorKind::NotFound);
    actions.push_back("create " + path);
    nodes_[path] = Node{true, nullptr};
    return Unit{};
}

upkit::IoResult<std::unique_ptr<upkit::UnpublishedFile>> FakeFileSystem::CopyToNewFile(
    const Path& from, const Path& to) {
    const std::string source = Key(from);
    const std::string target = Key(to);
    Before("copy", source);
    actions.push_back("copy " + source + " -> new " + target);
    if (appearsDuringCopy) AddFile(*appearsDuringCopy, "copied by another start");
    if (copyError) return *copyError;
    if (std::optional<IoError> error = Failing(source)) return *error;
    auto it = nodes_.find(source);
    if (it == nodes_.end() || it->second.directory) return Error(IoErrorKind::NotFound);
    if (Has(target)) return Error(IoErrorKind::AlreadyExists);
    if (std::optional<IoError> error = Failing(target)) return *error;
    const std::optional<std::string> parent = ParentKey(target);
    if (parent && !HasDirectory(*parent)) return Error(IoErrorKind::NotFound);
    // Made new with normal attributes, whatever the source carries.
    AddFile(target, *it->second.data);
    return std::unique_ptr<upkit::UnpublishedFile>(new FakeUnpublishedFile(*this, target));
}

upkit::IoResult<upkit::Unit> FakeFileSystem::RemoveFile(const Path& file) {
    return Delete(Key(file), /*evenReadOnly=*/false);
}

upkit::IoResult<upkit::Unit> FakeFileSystem::RemoveFileEvenReadOnly(const Path& file) {
    return Delete(Key(file), /*evenReadOnly=*/true);
}

upkit::IoResult<upkit::Unit> FakeFileSystem::Delete(const std::string& path, bool evenReadOnly) {
    Before("delete", path);
    actions.push_back((evenReadOnly ? "delete read-only " : "delete ") + path);
    if (std::optional<IoError> error = Failing(path)) return *error;
    if (undeletable.count(path) || making_.count(path)) return Error(IoErrorKind::PermissionDenied);
    auto it = nodes_.find(path);
    if (it == nodes_.end()) return Error(IoErrorKind::NotFound);
    if (it->second.directory || (it->second.readOnly && !evenReadOnly)) {
        return Error(IoErrorKind::PermissionDenied);
    }
    nodes_.erase(it);
    return Unit{};
}

upkit::IoResult<std::vector<upkit::DirectoryEntry>> FakeFileSystem::List(const Path& dir) {
    const std::string path = Key(dir);
    Before("list", path);
    if (std::optional<IoError> error = Failing(path)) return *error;
    if (!HasDirectory(path)) return Error(IoErrorKind::NotFound);
    std::vector<upkit::DirectoryEntry> entries;
    for (const auto& [name, node] : nodes_) {
        const upkit::Path entry = upkit::Path::FromUtf8(name);
        if (ParentKey(name) != path) continue;
        entries.push_back({upkit::FileName(entry).value_or(u""), node.directory});
    }
    return entries;
}

upkit::IoResult<uint64_t> FakeFileSystem::FileSize(const Path& file) {
    const std::string path = Key(file);
    Before("size", path);
    if (std::optional<IoError> error = Failing(path)) return *error;
    auto it = nodes_.find(path);
    if (it == nodes_.end()) return Error(IoErrorKind::NotFound);
    return uint64_t{it->second.data ? it->second.data->size() : 0};
}

upkit::IoResult<std::unique_ptr<upkit::RandomAccessFile>> FakeFileSystem::OpenForReading(
    const Path& file) {
    const std::string path = Key(file);
    Before("open", path);
    actions.push_back("read " + path);
    if (std::optional<IoError> error = Failing(path)) return *error;
    auto it = nodes_.find(path);
    if (it == nodes_.end()) return Error(IoErrorKind::NotFound);
    if (it->second.directory) return Error(IoErrorKind::PermissionDenied);
    return std::unique_ptr<upkit::RandomAccessFile>(new SharedBytesFile(it->second.data));
}

upkit::IoResult<std::unique_ptr<upkit::AppendFile>> FakeFileSystem::OpenForAppending(
    const Path& file) {
    const std::string path = Key(file);
    Before("append", path);
    actions.push_back("append " + path);
    if (std::optional<IoError> error = Failing(path)) return *error;
    auto it = nodes_.find(path);
    if (it == nodes_.end()) {
        const std::optional<std::string> parent = ParentKey(path);
        if (parent && !HasDirectory(*parent)) return Error(IoErrorKind::NotFound);
        AddFile(path);
        it = nodes_.find(path);
    }
    if (it->second.directory) return Error(IoErrorKind::PermissionDenied);
    return std::unique_ptr<upkit::AppendFile>(new FakeAppendFile(*this, path, it->second.data));
}

std::unique_ptr<upkit::WriterTurns> FakeFileSystem::TurnsFor(const Path&) {
    return std::make_unique<NoTurns>();
}

upkit::IoResult<upkit::Path> FakeFileSystem::LocalAppDataDir() {
    if (!localAppData) return Error(IoErrorKind::NotFound);
    return upkit::Path::FromUtf8(*localAppData);
}

upkit::Path FakeFileSystem::TempDir() {
    return upkit::Path::FromUtf8(tempDir);
}

upkit::IoResult<upkit::Path> FakeFileSystem::CurrentExePath() {
    return exePath;
}

}  // namespace zelt::test
