// Package archives (".nupkg" ZIP files): opening one as a bundle and reading its manifest entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "errors.h"
#include "manifest.h"
#include "misc_path.h"
#include "os/os.h"

struct zip;
struct zip_source;

namespace upkit {

class BundleSource;

// The largest manifest entry that is read; a larger one (declared or found while decompressing)
// is refused, so a deflate bomb in the packages directory cannot exhaust memory.
inline constexpr uint64_t kMaxManifestEntrySize = uint64_t{16} * 1024 * 1024;

// A RandomAccessFile over bytes held in memory.
std::unique_ptr<RandomAccessFile> MemoryFile(std::string bytes);

// An opened package archive: the end records and the central directory have been read. It owns
// the archive reader, which owns the file; discarding the bundle closes the file.
class PackageBundle {
public:
    PackageBundle(PackageBundle&& other) noexcept;
    PackageBundle& operator=(PackageBundle&& other) noexcept;
    PackageBundle(const PackageBundle&) = delete;
    PackageBundle& operator=(const PackageBundle&) = delete;
    ~PackageBundle();

private:
    friend class BundleSource;
    friend Result<PackageManifest> ReadBundleManifest(PackageBundle& bundle);
    PackageBundle(zip* archive, zip_source* raw, BundleSource* source)
        : archive_(archive), raw_(raw), source_(source) {}

    zip* archive_ = nullptr;
    // The source the archive reads (owned by the archive), for the few bytes read past libzip.
    zip_source* raw_ = nullptr;
    // The archive's source when it is one of ours (owned by the archive), for the operating-system
    // errors of its file.
    BundleSource* source_ = nullptr;
};

// Reads the archive's directory from a libzip source. The bundle takes the source over, also
// when opening fails. A zero-length source is not an archive. Fails with Zip.
Result<PackageBundle> OpenBundle(zip_source* source);

// The same over a RandomAccessFile. Fails with Zip (read errors included).
Result<PackageBundle> OpenBundle(std::unique_ptr<RandomAccessFile> file);

// Opens a package file (read access; others may read, write and delete it meanwhile), retrying
// a failed open as file operations are retried, then reads its directory once. Fails with Io
// when the file cannot be opened, with Zip when it is not a readable archive.
Result<PackageBundle> LoadBundleFromFile(const Path& path);
Result<PackageBundle> LoadBundleFromFile(FileSystem& fs, const Path& path);

// Finds the first entry in directory order whose name ends in ".nuspec" and reads it as the
// manifest. Fails with InvalidPackage ("No .nuspec manifest found"), Zip (the entry cannot be
// opened), Io (read errors, corrupt data, "Invalid checksum", "manifest entry too large",
// "stream did not contain valid UTF-8") or whatever ReadManifestFromText returns. Each call
// reads the archive anew; a failure leaves the bundle usable.
Result<PackageManifest> ReadBundleManifest(PackageBundle& bundle);

// Bytes read from package files through RandomAccessFile sources since the process started: a
// statistic for measurements.
uint64_t BundleBytesRead();

}  // namespace upkit
