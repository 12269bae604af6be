// Package archives on libzip: the archive's directory, the manifest entry's search and read.
#include "bundle.h"

#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "bundle_end_records.h"
#include "logging.h"
#include "misc.h"
#include "text.h"

namespace upkit {

namespace {
std::atomic<uint64_t> g_bytesRead{0};
}  // namespace

// A libzip source over a RandomAccessFile: seeks and reads only. It keeps the operating-system
// error of the file's last failed call, so that error can be reported as it was rather than
// through libzip's errno-based texts.
class BundleSource {
public:
    explicit BundleSource(std::unique_ptr<RandomAccessFile> file) : file_(std::move(file)) {
        zip_error_init(&error_);
    }
    ~BundleSource() { zip_error_fini(&error_); }
    BundleSource(const BundleSource&) = delete;
    BundleSource& operator=(const BundleSource&) = delete;

    // The operating-system error of the file's last failed call since the last reset. libzip's
    // layers above a source turn its read errors into other codes ("Premature end of file"), so
    // this is how the error that really happened is found again.
    // The error of the source's last failed read, or null when there was none since the reset.
    const IoError* LastError() const { return lastError_ ? &*lastError_ : nullptr; }
    void ResetLastError() { lastError_.reset(); }

    // Bytes already read from the file at the offset: a read that falls within them is served
    // from memory, so the end-record window checked before opening is read from the file once.
    void KeepReadAhead(uint64_t offset, std::string bytes) {
        readAheadOffset_ = offset;
        readAhead_ = std::move(bytes);
    }
    void DropReadAhead() { std::string().swap(readAhead_); }

    static Result<PackageBundle> OpenArchive(zip_source_t* source, BundleSource* ours);

    static zip_int64_t Callback(void* userdata, void* data, zip_uint64_t length,
                                zip_source_cmd_t command) {
        return static_cast<BundleSource*>(userdata)->Handle(data, length, command);
    }

private:
    zip_int64_t Handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
        switch (command) {
            case ZIP_SOURCE_OPEN:
                position_ = 0;
                return 0;
            case ZIP_SOURCE_READ: {
                const auto size = KnownSize();
                if (!size) return -1;
                if (position_ >= *size || length == 0) return 0;
                const uint64_t wanted =
                    std::min<uint64_t>({length, *size - position_, uint64_t{1} << 30});
                if (ServeReadAhead(data, wanted)) return static_cast<zip_int64_t>(wanted);
                auto read = file_->ReadAt(position_, data, static_cast<size_t>(wanted));
                if (!read.ok()) return Failed(std::move(read.error()));
                position_ += read.value();
                g_bytesRead.fetch_add(read.value(), std::memory_order_relaxed);
                return static_cast<zip_int64_t>(read.value());
            }
            case ZIP_SOURCE_CLOSE:
                return 0;
            case ZIP_SOURCE_STAT: {
                auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &error_);
                if (st == nullptr) return -1;
                const auto size = KnownSize();
                if (!size) return -1;
                zip_stat_init(st);
                st->size = *size;
                st->valid = ZIP_STAT_SIZE;
                return sizeof(*st);
            }
            case ZIP_SOURCE_ERROR:
                return zip_error_to_data(&error_, data, length);
            case ZIP_SOURCE_FREE:
                delete this;
                return 0;
            case ZIP_SOURCE_SEEK: {
                const auto size = KnownSize();
                if (!size) return -1;
                const zip_int64_t target =
                    zip_source_seek_compute_offset(position_, *size, data, length, &error_);
                if (target < 0) return -1;
                position_ = static_cast<uint64_t>(target);
                return 0;
            }
            case ZIP_SOURCE_TELL:
                return static_cast<zip_int64_t>(position_);
            case ZIP_SOURCE_ACCEPT_EMPTY:
                // A zero-length file is no archive (libzip would take it for an empty one).
                return 0;
            case ZIP_SOURCE_SUPPORTS:
                return zip_source_make_command_bitmap(
                    ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                    ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                    ZIP_SOURCE_SUPPORTS, ZIP_SOURCE_ACCEPT_EMPTY, -1);
            default:
                zip_error_set(&error_, ZIP_ER_OPNOTSUPP, 0);
                return -1;
        }
    }

    bool ServeReadAhead(void* data, uint64_t wanted) {
        if (readAhead_.empty() || position_ < readAheadOffset_ ||
            position_ - readAheadOffset_ + wanted > readAhead_.size()) {
            return false;
        }
        std::memcpy(data, readAhead_.data() + (position_ - readAheadOffset_),
                    static_cast<size_t>(wanted));
        position_ += wanted;
        return true;
    }

    std::optional<uint64_t> KnownSize() {
        if (size_) return size_;
        auto size = file_->Size();
        if (!size.ok()) {
            Failed(std::move(size.error()));
            return std::nullopt;
        }
        if (size.value() > static_cast<uint64_t>(ZIP_INT64_MAX)) {
            zip_error_set(&error_, ZIP_ER_SEEK, EOVERFLOW);
            return std::nullopt;
        }
        size_ = size.value();
        return size_;
    }

    zip_int64_t Failed(IoError error) {
        zip_error_set(&error_, ZIP_ER_READ, error.IsOs() ? error.OsCode() : 0);
        lastError_ = std::move(error);
        return -1;
    }

    std::unique_ptr<RandomAccessFile> file_;
    std::optional<uint64_t> size_;
    uint64_t position_ = 0;
    zip_error_t error_;
    std::optional<IoError> lastError_;
    uint64_t readAheadOffset_ = 0;
    std::string readAhead_;
};

namespace {

class BytesFile final : public RandomAccessFile {
public:
    explicit BytesFile(std::string bytes) : bytes_(std::move(bytes)) {}
    IoResult<uint64_t> Size() override { return uint64_t{bytes_.size()}; }
    IoResult<size_t> ReadAt(uint64_t offset, void* buffer, size_t length) override {
        if (offset >= bytes_.size()) return size_t{0};
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, bytes_.size() - offset));
        std::memcpy(buffer, bytes_.data() + offset, n);
        return n;
    }

private:
    std::string bytes_;
};

// libzip's text for an error code alone, without the system part it would append.
std::string ZipCodeText(int zipCode) {
    zip_error_t error;
    zip_error_init_with_code(&error, zipCode);
    const bool withSystemPart = zip_error_system_type(&error) != ZIP_ET_NONE;
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    if (withSystemPart) {
        const size_t colon = text.find(": ");
        if (colon != std::string::npos) text.resize(colon);
    }
    return text;
}

// Whether the file under one of our sources failed during the operation that ended in the error.
const IoError* OurReadError(zip_error_t* error, const BundleSource* source) {
    const int code = zip_error_code_zip(error);
    const bool readError = code == ZIP_ER_READ || code == ZIP_ER_SEEK || code == ZIP_ER_EOF ||
                           code == ZIP_ER_INCONS || code == ZIP_ER_NOZIP;
    return readError && source != nullptr ? source->LastError() : nullptr;
}

// A libzip error as the runtime's ZipError. When the error came from the file of one of our own
// sources, the system part is that file's error as the operating system describes it.
ZipError ToZipError(zip_error_t* error, const BundleSource* source) {
    ZipError result;
    result.zipCode = zip_error_code_zip(error);
    result.systemCode = zip_error_code_system(error);
    if (const IoError* ours = OurReadError(error, source)) {
        result.message = ZipCodeText(result.zipCode) + ": " + ours->Display();
    } else {
        result.message = zip_error_strerror(error);
    }
    return result;
}

RuntimeError InvalidData(std::string text) {
    return RuntimeError::Io(IoError::WithMessage(IoErrorKind::InvalidData, std::move(text)));
}

// A failure while reading an entry's data is an I/O error.
RuntimeError EntryReadError(zip_error_t* error, const BundleSource* source) {
    const int code = zip_error_code_zip(error);
    if (code == ZIP_ER_CRC) return InvalidData("Invalid checksum");
    if (const IoError* ours = OurReadError(error, source)) return RuntimeError::Io(*ours);
    const char* text = zip_error_strerror(error);
    switch (code) {
        case ZIP_ER_READ:
        case ZIP_ER_SEEK:
        case ZIP_ER_TELL:
            return RuntimeError::Io(IoError::WithMessage(IoErrorKind::Other, text));
        case ZIP_ER_MEMORY:
            return RuntimeError::Io(IoError::WithMessage(IoErrorKind::OutOfMemory, text));
        default:
            // Corrupt or incomplete compressed data, sizes that do not add up, and the like.
            return InvalidData(text);
    }
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

struct EntryCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
// An open archive entry, closed on every path.
using Entry = std::unique_ptr<zip_file_t, EntryCloser>;

// The source's size, when it tells one.
std::optional<uint64_t> SourceSize(zip_source_t* source) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_source_stat(source, &st) != 0 || (st.valid & ZIP_STAT_SIZE) == 0) return std::nullopt;
    return st.size;
}

// Exactly `length` bytes of an open source from `offset`; nothing when they cannot be read.
std::optional<std::string> ReadExactly(zip_source_t* source, uint64_t offset, size_t length) {
    std::string bytes(length, '\0');
    if (zip_source_seek(source, static_cast<zip_int64_t>(offset), SEEK_SET) < 0)
        return std::nullopt;
    const zip_int64_t n = zip_source_read(source, bytes.data(), length);
    if (n < 0 || static_cast<uint64_t>(n) != length) return std::nullopt;
    return bytes;
}

// The error for a window that could not be read, as libzip would report its own read of it.
ZipError WindowReadError(zip_source_t* source, const BundleSource* ours) {
    zip_error_t* error = zip_source_error(source);
    if (zip_error_code_zip(error) == ZIP_ER_OK) zip_error_set(error, ZIP_ER_EOF, 0);
    return ToZipError(error, ours);
}

// Refuses an archive whose end-record candidates claim more directory entries than any package
// has, before libzip reserves room for them all. Our own source keeps the window it read, so
// libzip's read of the same bytes costs no second trip to the file.
std::optional<ZipError> CheckEndRecords(zip_source_t* source, uint64_t size, BundleSource* ours) {
    if (zip_source_open(source) < 0) return ToZipError(zip_source_error(source), ours);
    const uint64_t length = std::min(size, kEndRecordWindow);
    const uint64_t offset = size - length;
    std::optional<std::string> window = ReadExactly(source, offset, static_cast<size_t>(length));
    std::optional<ZipError> refused;
    if (!window) {
        refused = WindowReadError(source, ours);
    } else {
        const auto readRecord = [source](uint64_t at) { return ReadExactly(source, at, 56); };
        if (ClaimedDirectoryEntries(*window, offset, readRecord, kMaxClaimedEntries) >
            kMaxClaimedEntries) {
            refused = ZipError{ZIP_ER_INCONS, 0,
                               "End records claim more than " + std::to_string(kMaxClaimedEntries) +
                                   " entries in all"};
        } else if (ours != nullptr) {
            ours->KeepReadAhead(offset, std::move(*window));
        }
    }
    zip_source_close(source);
    return refused;
}

uint64_t Little(std::string_view bytes, size_t at, size_t width) {
    uint64_t value = 0;
    for (size_t i = width; i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Where the central directory of `entries` entries starts, from the archive's end: the last end
// record (through its ZIP64 locator when there is one) that claims as many entries.
std::optional<uint64_t> CentralDirectoryStart(zip_source_t* source, uint64_t entries) {
    const std::optional<uint64_t> size = SourceSize(source);
    if (!size || *size < 22) return std::nullopt;
    const uint64_t length = std::min(*size, kEndRecordWindow);
    const std::optional<std::string> tail =
        ReadExactly(source, *size - length, static_cast<size_t>(length));
    if (!tail) return std::nullopt;
    for (size_t at = tail->size() - 22 + 1; at-- > 0;) {
        if (tail->compare(at, 4, "PK\5\6") != 0) continue;
        if (at >= 20 && tail->compare(at - 20, 4, "PK\6\7") == 0) {
            const std::optional<std::string> record =
                ReadExactly(source, Little(*tail, at - 20 + 8, 8), 56);
            if (record && record->compare(0, 4, "PK\6\6") == 0 &&
                Little(*record, 32, 8) == entries) {
                return Little(*record, 48, 8);
            }
        } else if (Little(*tail, at + 10, 2) == entries) {
            return Little(*tail, at + 16, 4);
        }
    }
    return std::nullopt;
}

// The compression method in the local header of an entry, found through the central directory;
// nothing when the header cannot be found or read, or is not a local header. libzip reads an
// entry's local header only when the entry has data, so an empty entry is checked here.
std::optional<uint16_t> LocalHeaderMethod(zip_source_t* source, uint64_t entries, uint64_t index) {
    const std::optional<uint64_t> start = CentralDirectoryStart(source, entries);
    if (!start) return std::nullopt;
    uint64_t at = *start;
    for (uint64_t k = 0;; ++k) {
        const std::optional<std::string> header = ReadExactly(source, at, 46);
        if (!header || header->compare(0, 4, "PK\1\2") != 0) return std::nullopt;
        const uint64_t nameLength = Little(*header, 28, 2);
        const uint64_t extraLength = Little(*header, 30, 2);
        if (k < index) {
            at += 46 + nameLength + extraLength + Little(*header, 32, 2);
            continue;
        }
        uint64_t offset = Little(*header, 42, 4);
        if (offset == 0xFFFFFFFFu) {
            // The ZIP64 extra field holds the sizes that overflowed, then the offset.
            const std::optional<std::string> extra =
                ReadExactly(source, at + 46 + nameLength, static_cast<size_t>(extraLength));
            if (!extra) return std::nullopt;
            std::optional<uint64_t> found;
            for (size_t e = 0; e + 4 <= extra->size() && !found;) {
                const uint64_t id = Little(*extra, e, 2);
                const size_t fieldLength = static_cast<size_t>(Little(*extra, e + 2, 2));
                size_t field = e + 4;
                if (id == 0x0001) {
                    if (Little(*header, 24, 4) == 0xFFFFFFFFu) field += 8;
                    if (Little(*header, 20, 4) == 0xFFFFFFFFu) field += 8;
                    if (field + 8 <= e + 4 + fieldLength && field + 8 <= extra->size()) {
                        found = Little(*extra, field, 8);
                    }
                }
                e += 4 + fieldLength;
            }
            if (!found) return std::nullopt;
            offset = *found;
        }
        const std::optional<std::string> local = ReadExactly(source, offset, 30);
        if (!local || local->compare(0, 4, "PK\3\4") != 0) return std::nullopt;
        return static_cast<uint16_t>(Little(*local, 8, 2));
    }
}

// Whether a manifest candidate can be opened. libzip serves an entry of compressed size zero from
// memory before it reads the local header or checks the method; such a candidate is checked here
// as libzip checks every other one, so a damaged empty candidate is passed over like any other
// entry that cannot be opened.
bool CandidateOpens(zip_t* archive, zip_source_t* raw, zip_uint64_t index) {
    zip_stat_t st;
    zip_stat_init(&st);
    const bool empty = zip_stat_index(archive, index, 0, &st) == 0 &&
                       (st.valid & ZIP_STAT_COMP_SIZE) != 0 && st.comp_size == 0;
    if (empty && raw != nullptr) {
        const std::optional<uint16_t> method =
            LocalHeaderMethod(raw, static_cast<uint64_t>(zip_get_num_entries(archive, 0)), index);
        if (!method || (*method != ZIP_CM_STORE && *method != ZIP_CM_DEFLATE)) return false;
    }
    return Entry{zip_fopen_index(archive, index, 0)} != nullptr;
}

}  // namespace

std::unique_ptr<RandomAccessFile> MemoryFile(std::string bytes) {
    return std::make_unique<BytesFile>(std::move(bytes));
}

PackageBundle::PackageBundle(PackageBundle&& other) noexcept
    : archive_(std::exchange(other.archive_, nullptr)),
      raw_(std::exchange(other.raw_, nullptr)),
      source_(std::exchange(other.source_, nullptr)) {}

PackageBundle& PackageBundle::operator=(PackageBundle&& other) noexcept {
    if (this != &other) {
        if (archive_ != nullptr) zip_discard(archive_);
        archive_ = std::exchange(other.archive_, nullptr);
        raw_ = std::exchange(other.raw_, nullptr);
        source_ = std::exchange(other.source_, nullptr);
    }
    return *this;
}

PackageBundle::~PackageBundle() {
    if (archive_ != nullptr) zip_discard(archive_);
}

// Opens the archive on the source, which the bundle takes over (freed here when opening fails).
Result<PackageBundle> BundleSource::OpenArchive(zip_source_t* source, BundleSource* ours) {
    zip_error_t error;
    zip_error_init(&error);
    zip_t* archive = nullptr;
    const std::optional<uint64_t> size = SourceSize(source);
    if (size && *size == 0) {
        // An empty file is no archive, whatever source it comes through.
        zip_error_set(&error, ZIP_ER_NOZIP, 0);
    } else if (std::optional<ZipError> refused =
                   size ? CheckEndRecords(source, *size, ours) : std::nullopt) {
        zip_error_fini(&error);
        zip_source_free(source);
        return RuntimeError::Zip(std::move(*refused));
    } else {
        archive = zip_open_from_source(source, ZIP_RDONLY, &error);
    }
    if (ours != nullptr) ours->DropReadAhead();
    if (archive != nullptr) {
        zip_error_fini(&error);
        return PackageBundle(archive, source, ours);
    }
    ZipError converted = ToZipError(&error, ours);
    zip_error_fini(&error);
    zip_source_free(source);
    return RuntimeError::Zip(std::move(converted));
}

Result<PackageBundle> OpenBundle(zip_source_t* source) {
    if (source == nullptr) {
        return RuntimeError::Zip(ZipError{ZIP_ER_INVAL, 0, ZipCodeText(ZIP_ER_INVAL)});
    }
    return BundleSource::OpenArchive(source, nullptr);
}

Result<PackageBundle> OpenBundle(std::unique_ptr<RandomAccessFile> file) {
    auto* ours = new BundleSource(std::move(file));
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_function_create(&BundleSource::Callback, ours, &error);
    if (source == nullptr) {
        delete ours;
        ZipError converted = ToZipError(&error, nullptr);
        zip_error_fini(&error);
        return RuntimeError::Zip(std::move(converted));
    }
    zip_error_fini(&error);
    return BundleSource::OpenArchive(source, ours);
}

Result<PackageManifest> ReadBundleManifest(PackageBundle& bundle) {
    zip_t* archive = bundle.archive_;
    BundleSource* ours = bundle.source_;
    if (ours != nullptr) ours->ResetLastError();
    if (archive == nullptr) {
        return RuntimeError::Zip(ZipError{ZIP_ER_INVAL, 0, ZipCodeText(ZIP_ER_INVAL)});
    }

    // The manifest is the first entry in directory order that can be opened and whose name ends
    // in ".nuspec" (bytes, case-sensitive). Names are decoded as UTF-8 when the entry is flagged
    // so or carries a Unicode path field, as code page 437 otherwise: libzip's strict mode (its
    // default would also take an unflagged name that happens to be valid UTF-8 as UTF-8). Since
    // an entry's name does not depend on opening it, only candidates are opened, so only their
    // local headers are read.
    std::optional<zip_uint64_t> found;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count && !found; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        const char* name = zip_get_name(archive, index, ZIP_FL_ENC_STRICT);
        if (name == nullptr || !EndsWith(name, ".nuspec")) continue;
        if (CandidateOpens(archive, bundle.raw_, index)) found = index;
    }
    zip_error_clear(archive);
    if (!found) return RuntimeError::InvalidPackage("No .nuspec manifest found");

    if (ours != nullptr) ours->ResetLastError();
    Entry entry{zip_fopen_index(archive, *found, 0)};
    if (!entry) {
        ZipError converted = ToZipError(zip_get_error(archive), ours);
        zip_error_clear(archive);
        return RuntimeError::Zip(std::move(converted));
    }

    zip_stat_t st;
    zip_stat_init(&st);
    const bool declared =
        zip_stat_index(archive, *found, 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE) != 0;
    if (declared && st.size > kMaxManifestEntrySize) {
        return InvalidData("manifest entry too large");
    }
    // An entry without data is read from nothing: libzip checks neither its size nor its CRC-32,
    // so an entry that claims either holds data that is not there.
    if (declared && (st.valid & ZIP_STAT_COMP_SIZE) != 0 && st.comp_size == 0 &&
        (st.size != 0 || ((st.valid & ZIP_STAT_CRC) != 0 && st.crc != 0))) {
        return InvalidData("Invalid checksum");
    }

    // Read to the end, which makes libzip check the CRC-32, but never more than one byte past the
    // limit: whatever sizes the entry claims, decompression stops there.
    std::string text;
    text.reserve(declared ? static_cast<size_t>(st.size) : 0);
    char buffer[64 * 1024];
    for (;;) {
        const uint64_t room = kMaxManifestEntrySize + 1 - text.size();
        const zip_int64_t n =
            zip_fread(entry.get(), buffer, std::min<uint64_t>(sizeof(buffer), room));
        if (n < 0) return EntryReadError(zip_file_get_error(entry.get()), ours);
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > kMaxManifestEntrySize) return InvalidData("manifest entry too large");
    }
    entry.reset();

    if (!IsValidUtf8(text)) return InvalidData("stream did not contain valid UTF-8");
    return ReadManifestFromText(text);
}

Result<PackageBundle> LoadBundleFromFile(const Path& path) {
    return LoadBundleFromFile(SystemFileSystem(), path);
}

Result<PackageBundle> LoadBundleFromFile(FileSystem& fs, const Path& path) {
    UPKIT_DEBUG("upkit::bundle", "Loading bundle from file '" + PathDebug(path) + "'...");
    auto opened = RetryFileOperation([&] { return fs.OpenForReading(path); });
    if (!opened.ok()) return RuntimeError::Io(std::move(opened.error()));
    // Reading the archive's directory is not retried: a damaged archive stays damaged.
    return OpenBundle(std::move(opened.value()));
}

uint64_t BundleBytesRead() {
    return g_bytesRead.load(std::memory_order_relaxed);
}

}  // namespace upkit
