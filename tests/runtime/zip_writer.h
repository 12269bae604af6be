// A small ZIP writer for making package archives in tests, benchmarks and fuzz seeds. It writes
// exactly what it is told, damage included: wrong checksums, sizes that lie, encryption flags
// without encryption, unknown compression methods, lost local headers, ZIP64 end records.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zelt::zipw {

inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagUtf8 = 0x0800;

enum class Method : uint16_t { Stored = 0, Deflated = 8 };

struct Entry {
    std::string name{};  // raw bytes as stored in the headers
    std::string data{};  // uncompressed content
    // Instead of data: this many zero bytes, left out of Pieces() as a hole (stored entries only).
    uint64_t zeros = 0;
    Method method = Method::Stored;
    uint16_t flags = 0;
    std::optional<uint16_t> methodCode{};    // written instead of the method's code
    std::optional<uint32_t> crc{};           // written instead of the true CRC-32
    std::optional<uint64_t> declaredSize{};  // written instead of the true uncompressed size
    std::string extra{};                     // extra fields, in both headers
    bool localHeaderPastEnd = false;         // the directory points past the end of the file
};

struct Options {
    bool zip64 = false;  // ZIP64 end record and locator, with the classic record saturated
    std::string comment{};
};

// A stretch of the archive: bytes, or a run of zero bytes that need not be written.
struct Piece {
    std::string bytes;
    uint64_t zeros = 0;
};

namespace detail {

inline void Put16(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
inline void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
inline void Put64(std::string& out, uint64_t v) {
    Put32(out, static_cast<uint32_t>(v));
    Put32(out, static_cast<uint32_t>(v >> 32));
}

inline uint32_t Crc(std::string_view data) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// CRC-32 of n zero bytes, from the CRCs of runs of 2^k zeros. Each combined piece stays at or
// below 2^30 bytes, since zlib's length type may be 32 bits wide.
inline uint32_t CrcOfZeros(uint64_t n) {
    constexpr int kTop = 30;
    uLong powers[kTop + 1];
    powers[0] = crc32(0, reinterpret_cast<const Bytef*>("\0"), 1);
    for (int k = 1; k <= kTop; ++k) {
        powers[k] = crc32_combine(powers[k - 1], powers[k - 1], z_off_t{1} << (k - 1));
    }
    uLong result = 0;
    for (; n >= (uint64_t{1} << kTop); n -= uint64_t{1} << kTop) {
        result = crc32_combine(result, powers[kTop], z_off_t{1} << kTop);
    }
    for (int k = kTop - 1; k >= 0; --k) {
        if (n & (uint64_t{1} << k)) result = crc32_combine(result, powers[k], z_off_t{1} << k);
    }
    return static_cast<uint32_t>(result);
}

}  // namespace detail

// Raw Deflate (no zlib header), as ZIP stores it.
inline std::string Deflate(std::string_view data, int level = 9) {
    z_stream z = {};
    if (deflateInit2(&z, level, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(z.total_out);
    return out;
}

// The Info-ZIP Unicode path extra field: the UTF-8 name, tied to the raw name by its CRC-32.
inline std::string UnicodePathExtra(std::string_view rawName, std::string_view utf8Name) {
    std::string field;
    detail::Put16(field, 0x7075);
    detail::Put16(field, static_cast<uint32_t>(5 + utf8Name.size()));
    field.push_back(1);
    detail::Put32(field, detail::Crc(rawName));
    field.append(utf8Name);
    return field;
}

// A ZIP64 end record: the entry count and the directory's size and offset.
inline std::string Zip64EndRecord(uint64_t entries, uint64_t directorySize,
                                  uint64_t directoryOffset) {
    using namespace detail;
    std::string record;
    Put32(record, 0x06064b50);
    Put64(record, 44);
    Put16(record, 45);
    Put16(record, 45);
    Put32(record, 0);
    Put32(record, 0);
    Put64(record, entries);
    Put64(record, entries);
    Put64(record, directorySize);
    Put64(record, directoryOffset);
    return record;
}

// The ZIP64 locator that points at the ZIP64 end record, on disk `disk` (0xFFFFFFFF: both 16-bit
// halves say "see the ZIP64 record").
inline std::string Zip64Locator(uint64_t recordOffset, uint32_t disk = 0) {
    using namespace detail;
    std::string locator;
    Put32(locator, 0x07064b50);
    Put32(locator, disk);
    Put64(locator, recordOffset);
    Put32(locator, 1);
    return locator;
}

// The archive as pieces: zero-filled entries become holes.
inline std::vector<Piece> Pieces(const std::vector<Entry>& entries, const Options& options = {}) {
    using namespace detail;
    std::vector<Piece> pieces;
    std::string current;
    uint64_t offset = 0;
    std::string central;
    for (const Entry& e : entries) {
        const bool deflated = e.method == Method::Deflated;
        if (e.zeros != 0 && deflated) throw std::logic_error("zero-filled entries are stored");
        const std::string stored = deflated ? Deflate(e.data) : std::string();
        const std::string_view payload = deflated ? std::string_view(stored) : e.data;
        const uint64_t size = e.zeros != 0 ? e.zeros : e.data.size();
        const uint64_t compSize = e.zeros != 0 ? e.zeros : payload.size();
        const uint32_t crc = e.crc ? *e.crc : (e.zeros != 0 ? CrcOfZeros(e.zeros) : Crc(e.data));
        const uint64_t declared = e.declaredSize ? *e.declaredSize : size;
        const uint16_t method = e.methodCode ? *e.methodCode : static_cast<uint16_t>(e.method);
        if (declared > 0xFFFFFFFEu || compSize > 0xFFFFFFFEu) {
            throw std::logic_error("entries of 4 GiB and more are not supported");
        }

        const uint64_t headerOffset = offset;
        std::string local;
        Put32(local, 0x04034b50u);
        Put16(local, 20);
        Put16(local, e.flags);
        Put16(local, method);
        Put16(local, 0);     // time
        Put16(local, 0x21);  // date: 1980-01-01
        Put32(local, crc);
        Put32(local, static_cast<uint32_t>(compSize));
        Put32(local, static_cast<uint32_t>(declared));
        Put16(local, static_cast<uint32_t>(e.name.size()));
        Put16(local, static_cast<uint32_t>(e.extra.size()));
        local += e.name;
        local += e.extra;
        current += local;
        offset += local.size();
        if (e.zeros != 0) {
            pieces.push_back(Piece{std::move(current), 0});
            current.clear();
            pieces.push_back(Piece{std::string(), e.zeros});
        } else {
            current.append(payload);
        }
        offset += compSize;

        Put32(central, 0x02014b50);
        Put16(central, 20);
        Put16(central, 20);
        Put16(central, e.flags);
        Put16(central, method);
        Put16(central, 0);
        Put16(central, 0x21);
        Put32(central, crc);
        Put32(central, static_cast<uint32_t>(compSize));
        Put32(central, static_cast<uint32_t>(declared));
        Put16(central, static_cast<uint32_t>(e.name.size()));
        Put16(central, static_cast<uint32_t>(e.extra.size()));
        Put16(central, 0);  // comment
        Put16(central, 0);  // disk
        Put16(central, 0);  // internal attributes
        Put32(central, 0);  // external attributes
        Put32(central, e.localHeaderPastEnd ? 0x7FFFFFF0u : static_cast<uint32_t>(headerOffset));
        central += e.name;
        central += e.extra;
    }

    const uint64_t centralOffset = offset;
    std::string tail = central;
    const uint64_t count = entries.size();
    if (options.zip64) {
        const uint64_t recordOffset = centralOffset + central.size();
        tail += Zip64EndRecord(count, central.size(), centralOffset);
        tail += Zip64Locator(recordOffset);
    }
    Put32(tail, 0x06054b50);
    Put16(tail, 0);
    Put16(tail, 0);
    Put16(tail, options.zip64 ? 0xFFFF : static_cast<uint32_t>(count));
    Put16(tail, options.zip64 ? 0xFFFF : static_cast<uint32_t>(count));
    Put32(tail, options.zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(central.size()));
    Put32(tail, options.zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(centralOffset));
    Put16(tail, static_cast<uint32_t>(options.comment.size()));
    tail += options.comment;
    current += tail;
    pieces.push_back(Piece{std::move(current), 0});
    return pieces;
}

// The whole archive in memory.
inline std::string Build(const std::vector<Entry>& entries, const Options& options = {}) {
    std::string out;
    for (const Piece& p : Pieces(entries, options)) {
        out += p.bytes;
        out.append(p.zeros, '\0');
    }
    return out;
}

// A classic end record: entry counts, the directory's size and offset, the disk number, and the
// entries on this disk when they differ from the total.
inline std::string ClassicEndRecord(uint16_t entries, uint32_t directorySize,
                                    uint32_t directoryOffset, uint16_t disk = 0,
                                    std::optional<uint16_t> entriesOnDisk = std::nullopt) {
    using namespace detail;
    std::string record;
    Put32(record, 0x06054b50);
    Put16(record, disk);
    Put16(record, 0);
    Put16(record, entriesOnDisk.value_or(entries));
    Put16(record, entries);
    Put32(record, directorySize);
    Put32(record, directoryOffset);
    Put16(record, 0);  // comment
    return record;
}

// A damaged archive end: `candidates` end records back to back, each with a ZIP64 locator before
// it that points at one ZIP64 end record claiming `entries` directory entries of the smallest
// size (46 bytes) from offset 0, where the file holds nothing but zeros. The end is meant for the
// last bytes of a file of `fileSize` bytes; the rest of the file is a hole. An archive reader that
// reserves room for every claimed entry before it reads one pays for each candidate in full.
inline std::string Zip64EndRecordFlood(uint64_t fileSize, int candidates, uint64_t entries,
                                       uint32_t locatorDisk = 0) {
    constexpr uint64_t kRecordSize = 56;
    constexpr uint64_t kCandidateSize = 20 + 22;
    const uint64_t recordOffset = fileSize - kRecordSize - kCandidateSize * candidates;
    std::string tail = Zip64EndRecord(entries, entries * 46, 0);
    for (int i = 0; i < candidates; ++i) {
        tail += Zip64Locator(recordOffset, locatorDisk);
        tail += ClassicEndRecord(0xFFFF, 0xFFFFFFFFu, 0xFFFFFFFFu);
    }
    return tail;
}

// `candidates` classic end records back to back, each claiming `entries` entries in a directory
// of entries * 46 bytes at offset 0 (over a hole in a file large enough to hold it).
inline std::string ClassicEndRecordFlood(int candidates, uint16_t entries) {
    std::string tail;
    for (int i = 0; i < candidates; ++i) {
        tail += ClassicEndRecord(entries, uint32_t{entries} * 46, 0);
    }
    return tail;
}

// A manifest document with the usual layout.
inline std::string ManifestXml(std::string_view id, std::string_view version,
                               std::string_view mainExe = "App.exe") {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package><metadata>";
    xml += "<id>" + std::string(id) + "</id>";
    xml += "<version>" + std::string(version) + "</version>";
    if (!mainExe.empty()) xml += "<mainExe>" + std::string(mainExe) + "</mainExe>";
    xml += "</metadata></package>\n";
    return xml;
}

// A package with the manifest entry first and some payload after it.
inline std::string Package(std::string_view id, std::string_view version,
                           std::string_view mainExe = "App.exe") {
    return Build({Entry{.name = std::string(id) + ".nuspec",
                        .data = ManifestXml(id, version, mainExe),
                        .method = Method::Deflated},
                  Entry{.name = "lib/app/App.exe", .data = std::string(300, 'x')}});
}

}  // namespace zelt::zipw
