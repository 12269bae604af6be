// Writing the benchmarks' package archives to disk with their zero runs left as holes, so that
// packages of gigabytes cost neither disk space nor time to make.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../tests/runtime/zip_writer.h"

namespace zelt::bench {

inline bool WritePieces(const std::wstring& file, const std::vector<zipw::Piece>& pieces) {
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    // On NTFS the zero runs stay unallocated only in a sparse file; elsewhere (and under Wine on
    // a Linux file system) skipping over them is enough.
    DWORD ignored = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    bool ok = true;
    for (const auto& piece : pieces) {
        if (!piece.bytes.empty()) {
            DWORD written = 0;
            ok = ok &&
                 WriteFile(h, piece.bytes.data(), static_cast<DWORD>(piece.bytes.size()), &written,
                           nullptr) &&
                 written == piece.bytes.size();
        }
        if (piece.zeros != 0) {
            LARGE_INTEGER skip;
            skip.QuadPart = static_cast<LONGLONG>(piece.zeros);
            ok = ok && SetFilePointerEx(h, skip, nullptr, FILE_CURRENT);
        }
    }
    ok = ok && SetEndOfFile(h);
    CloseHandle(h);
    return ok;
}

// A package of the given size: a zero-filled stored entry that makes up the size (left as a
// hole), then the manifest and the archive's directory.
inline bool WriteSizedPackage(const std::wstring& file, const std::string& id,
                              const std::string& version, uint64_t size) {
    const zipw::Entry manifest{.name = id + ".nuspec",
                               .data = zipw::ManifestXml(id, version, "ZeltOy2.exe"),
                               .method = zipw::Method::Deflated};
    zipw::Entry filler{.name = "lib/app/ZeltOy2_Data/data.unity3d", .zeros = 1};
    const uint64_t overhead = zipw::Build({filler, manifest}).size() - 1;
    filler.zeros = size - overhead;
    return WritePieces(file, zipw::Pieces({filler, manifest}));
}

inline uint64_t FreeBytes(const std::wstring& dir) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(dir.c_str(), &available, nullptr, nullptr)) return 0;
    return available.QuadPart;
}

// Whether packages of `bytes` in all fit in the folder. Their zero runs are written as holes,
// which a file system that keeps holes (NTFS's sparse files; under Wine, the Linux file system
// below) stores for nothing and one without (FAT32, exFAT) as real zeros. The volume's flags do
// not tell reliably (Wine reports NTFS without sparse files), so a probe file with a 256 MiB hole
// does, by the free space it takes; without holes, the free space must hold the packages whole.
// Prints what it found; false when they do not fit.
inline bool RoomForPackages(const std::wstring& dir, uint64_t bytes) {
    constexpr uint64_t kProbe = uint64_t{256} << 20;
    const std::wstring probe = dir + L"\\hole-probe.bin";
    const uint64_t before = FreeBytes(dir);
    const bool written = WritePieces(probe, {{"", kProbe}, {"end", 0}});
    const uint64_t after = FreeBytes(dir);
    DeleteFileW(probe.c_str());
    const bool holesAreFree = written && before >= after && before - after < kProbe / 16;
    if (holesAreFree) {
        std::printf("scratch folder: holes take no room; packages of %.1f GiB fit\n",
                    static_cast<double>(bytes) / (1 << 30));
        return true;
    }
    const bool fit = after > bytes + (uint64_t{1} << 30);
    std::printf(
        "scratch folder: its file system stores holes as zeros, so the packages take "
        "%.1f GiB; %.1f GiB are free%s\n",
        static_cast<double>(bytes) / (1 << 30), static_cast<double>(after) / (1 << 30),
        fit ? "" : ": not enough, the benchmark cannot run here");
    return fit;
}

inline uint64_t FileSize(const std::wstring& file) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

}  // namespace zelt::bench
