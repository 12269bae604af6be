// Writing the benchmarks' package archives to disk with their zero runs left as holes, so that
// packages of gigabytes cost neither disk space nor time to make.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
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

inline uint64_t FileSize(const std::wstring& file) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

}  // namespace zelt::bench
