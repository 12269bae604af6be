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

upkit::IoResult<upkit::Unit> FakeFileSystem::CopyFileReplacing(const Path& from, const Path& to) {
    const std::string source = Key(from);
    const std::string target = Key(to);
    Before("copy", source);
    actions.push_back("copy " + source + " -> " + target);
    if (appearsDuringCopy) AddFile(*appearsDuringCopy, "copied by another start");
    if (copyError) return *copyError;
    if (std::optional<IoError> error = Failing(source)) return *error;
    if (std::optional<IoError> error = Failing(target)) return *error;
    auto it = nodes_.find(source);
    if (it == nodes_.end() || it->second.directory) return Error(IoErrorKind::NotFound);
    AddFile(target, *it->second.data);
    return Unit{};
}

upkit::IoResult<upkit::Unit> FakeFileSystem::FlushFile(const Path& file) {
    const std::string path = Key(file);
    Before("flush", path);
    actions.push_back("flush " + path);
    if (flushError) return *flushError;
    if (std::optional<IoError> error = Failing(path)) return *error;
    auto it = nodes_.find(path);
    if (it == nodes_.end() || it->second.directory) return Error(IoErrorKind::NotFound);
    return Unit{};
}

upkit::IoResult<upkit::Unit> FakeFileSystem::RemoveFile(const Path& file) {
    const std::string path = Key(file);
    Before("delete", path);
    actions.push_back("delete " + path);
    if (std::optional<IoError> error = Failing(path)) return *error;
    if (undeletable.count(path)) return Error(IoErrorKind::PermissionDenied);
    auto it = nodes_.find(path);
    if (it == nodes_.end()) return Error(IoErrorKind::NotFound);
    if (it->second.directory) return Error(IoErrorKind::PermissionDenied);
    nodes_.erase(it);
    return Unit{};
}

upkit::IoResult<upkit::Unit> FakeFileSystem::Rename(const Path& from, const Path& to,
                                                    bool replace) {
    const std::string source = Key(from);
    const std::string target = Key(to);
    Before("rename", source);
    actions.push_back("rename " + source + " -> " + target);
    if (renameError) return *renameError;
    if (std::optional<IoError> error = Failing(source)) return *error;
    if (std::optional<IoError> error = Failing(target)) return *error;
    auto it = nodes_.find(source);
    if (it == nodes_.end()) return Error(IoErrorKind::NotFound);
    if (!replace && Has(target)) return Error(IoErrorKind::AlreadyExists);
    const Node node = it->second;
    nodes_.erase(it);
    nodes_[target] = node;
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
