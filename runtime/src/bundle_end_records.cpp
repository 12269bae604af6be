// Counting what the archive reader's end-record search would reserve. Every rule here follows the
// reader's own order of checks (libzip 1.7.3, zip_open.c): a candidate it turns away before
// reserving costs nothing and is not counted; one it reserves for counts in full, whatever
// happens to it afterwards.
#include "bundle_end_records.h"

#include <cstring>

namespace upkit {

namespace {

constexpr size_t kEndRecordSize = 22;
constexpr size_t kLocatorSize = 20;
constexpr size_t kZip64RecordSize = 56;
constexpr uint64_t kDirectoryEntrySize = 46;
constexpr uint64_t kLargestOffset = 0x7FFFFFFFFFFFFFFFu;

constexpr char kEndMagic[] = "PK\5\6";
constexpr char kLocatorMagic[] = "PK\6\7";
constexpr char kZip64Magic[] = "PK\6\6";

uint64_t Little(std::string_view bytes, size_t at, size_t width) {
    uint64_t value = 0;
    for (size_t i = width; i-- > 0;) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

bool HasMagic(std::string_view bytes, size_t at, const char* magic) {
    return std::memcmp(bytes.data() + at, magic, 4) == 0;
}

// A classic end record at `at` in the tail (`position` in the file).
std::optional<uint64_t> ClassicClaim(std::string_view tail, size_t at, uint64_t position) {
    if (Little(tail, at + 4, 4) != 0) return std::nullopt;  // another disk
    const uint64_t onThisDisk = Little(tail, at + 8, 2);
    const uint64_t total = Little(tail, at + 10, 2);
    if (onThisDisk != total) return std::nullopt;
    const uint64_t size = Little(tail, at + 12, 4);
    const uint64_t offset = Little(tail, at + 16, 4);
    if (offset + size > position) return std::nullopt;  // the directory would run past the record
    return total;
}

// A candidate whose ZIP64 locator starts at `locator` in the tail.
std::optional<uint64_t> Zip64Claim(std::string_view tail, size_t locator, uint64_t tailOffset,
                                   const Zip64RecordReader& readZip64Record) {
    // The reader takes the locator's 32-bit disk number as two 16-bit halves.
    uint64_t disks = Little(tail, locator + 4, 2);
    uint64_t recordDisk = Little(tail, locator + 6, 2);
    const uint64_t recordOffset = Little(tail, locator + 8, 8);
    if (recordOffset > kLargestOffset) return std::nullopt;
    if (recordOffset + kZip64RecordSize > tailOffset + locator) return std::nullopt;

    std::string_view record;
    std::optional<std::string> read;
    if (recordOffset >= tailOffset && recordOffset + kZip64RecordSize <= tailOffset + tail.size()) {
        record = tail.substr(static_cast<size_t>(recordOffset - tailOffset), kZip64RecordSize);
    } else {
        read = readZip64Record(recordOffset);
        if (!read || read->size() != kZip64RecordSize) return std::nullopt;
        record = *read;
    }
    if (!HasMagic(record, 0, kZip64Magic)) return std::nullopt;
    if (disks == 0xFFFF) disks = Little(record, 16, 4);
    if (recordDisk == 0xFFFF) recordDisk = Little(record, 20, 4);
    if (disks != 0 || recordDisk != 0) return std::nullopt;
    const uint64_t onThisDisk = Little(record, 24, 8);
    const uint64_t total = Little(record, 32, 8);
    if (onThisDisk != total) return std::nullopt;
    const uint64_t size = Little(record, 40, 8);
    const uint64_t offset = Little(record, 48, 8);
    if (offset > kLargestOffset || offset + size < offset) return std::nullopt;
    // The reader adds the tail's offset to the record's own, which is already a file offset; the
    // bound is looser than meant, and it is the one that decides.
    if (offset + size > tailOffset + recordOffset) return std::nullopt;
    if (total > size / kDirectoryEntrySize) return std::nullopt;
    return total;
}

}  // namespace

uint64_t ClaimedDirectoryEntries(std::string_view tail, uint64_t tailOffset,
                                 const Zip64RecordReader& readZip64Record, uint64_t stopAbove) {
    if (tail.size() < kEndRecordSize) return 0;
    // A full window leaves room for a locator in front of its first candidate.
    const size_t first = tail.size() >= kEndRecordWindow ? kLocatorSize : 0;
    uint64_t claimed = 0;
    for (size_t at = first; at + kEndRecordSize <= tail.size(); ++at) {
        if (!HasMagic(tail, at, kEndMagic)) continue;
        const bool zip64 = at >= kLocatorSize && HasMagic(tail, at - kLocatorSize, kLocatorMagic);
        const std::optional<uint64_t> claim =
            zip64 ? Zip64Claim(tail, at - kLocatorSize, tailOffset, readZip64Record)
                  : ClassicClaim(tail, at, tailOffset + at);
        if (!claim) continue;
        claimed += *claim <= stopAbove ? *claim : stopAbove + 1;
        if (claimed > stopAbove) return claimed;
    }
    return claimed;
}

}  // namespace upkit
