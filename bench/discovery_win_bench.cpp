// Local package discovery over 100 packages of 64 KiB against 100 packages of 2 GiB (sparse
// files): the time per package and the bytes read per package must not depend on the package's
// size, since only the archive's directory and the manifest entry are ever read.
//
// Usage: discovery_win_bench [ROUNDS]   (default 10)
// The sets take turns; the fastest round of each set is compared (on a busy machine the slower
// rounds measure the other work going on, not discovery), the median is shown beside it.
// Exit code 0 when the sparse packages stay within 10 % of the small ones' time per package and
// read exactly as many bytes, 1 otherwise. Prints "summary|measure|value|goal|verdict" lines for
// scripts/bench at the end.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "../tests/runtime/zip_writer.h"
#include "bundle.h"
#include "locator_packages.h"
#include "misc_path.h"
#include "sparse_file.h"
#include "text.h"

namespace {

constexpr int kPackages = 100;

struct Set {
    const char* label;
    std::wstring dir;
    uint64_t fileSize = 0;
    std::vector<double> msPerPackage{};
    std::vector<uint64_t> bytesPerPackage{};
};

// Lays out 100 packages whose payload entry holds the given number of bytes (zeros for the large
// ones, left as holes).
bool LayOut(Set& set, uint64_t payload) {
    CreateDirectoryW(set.dir.c_str(), nullptr);
    for (int i = 0; i < kPackages; ++i) {
        const std::string version = "1.0." + std::to_string(i);
        std::vector<zelt::zipw::Entry> entries = {
            {.name = "Zelt.ZeltOy2.nuspec",
             .data = zelt::zipw::ManifestXml("Zelt.ZeltOy2", version, "ZeltOy2.exe"),
             .method = zelt::zipw::Method::Deflated},
        };
        zelt::zipw::Entry data{.name = "lib/app/ZeltOy2_Data/data.unity3d"};
        if (payload > (1u << 20)) {
            data.zeros = payload;
        } else {
            data.data.assign(payload, '\0');
            for (size_t k = 0; k < data.data.size(); ++k) data.data[k] = static_cast<char>(k * 7);
        }
        entries.push_back(std::move(data));
        const std::wstring file = set.dir + L"\\Zelt.ZeltOy2-" +
                                  std::wstring(version.begin(), version.end()) + L"-full.nupkg";
        if (!zelt::bench::WritePieces(file, zelt::zipw::Pieces(entries))) {
            std::fprintf(stderr, "cannot write %ls\n", file.c_str());
            return false;
        }
        set.fileSize = zelt::bench::FileSize(file);
    }
    return true;
}

// One discovery over the set; false when not every package was found.
bool Round(Set& set) {
    const upkit::Path dir(std::u16string(set.dir.begin(), set.dir.end()));
    const uint64_t before = upkit::BundleBytesRead();
    const auto start = std::chrono::steady_clock::now();
    const auto packages = upkit::FindLocalPackages(dir);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const uint64_t read = upkit::BundleBytesRead() - before;
    if (packages.size() != kPackages) {
        std::fprintf(stderr, "%s: found %zu packages, expected %d\n", set.label, packages.size(),
                     kPackages);
        return false;
    }
    set.msPerPackage.push_back(std::chrono::duration<double, std::milli>(elapsed).count() /
                               kPackages);
    set.bytesPerPackage.push_back(read / kPackages);
    return true;
}

template <class T>
T Median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Fastest(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

std::string Size(uint64_t bytes) {
    char text[64];
    if (bytes >= (uint64_t{1} << 30)) {
        std::snprintf(text, sizeof(text), "%.2f GiB", bytes / double(uint64_t{1} << 30));
    } else {
        std::snprintf(text, sizeof(text), "%.1f KiB", bytes / 1024.0);
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring root =
        std::wstring(temp) + L"discovery-bench-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(root.c_str(), nullptr);

    Set small{"64 KiB", root + L"\\small"};
    Set sparse{"2 GiB sparse", root + L"\\sparse"};
    bool ok = LayOut(small, 64 * 1024) && LayOut(sparse, uint64_t{2} << 30);
    // A first pass over each set warms the caches and is not counted.
    if (ok) ok = Round(small) && Round(sparse);
    small.msPerPackage.clear();
    small.bytesPerPackage.clear();
    sparse.msPerPackage.clear();
    sparse.bytesPerPackage.clear();
    // The sets take turns going first, so that neither profits from what the other left cached.
    for (int r = 0; ok && r < rounds; ++r) {
        ok = r % 2 == 0 ? Round(small) && Round(sparse) : Round(sparse) && Round(small);
    }

    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(root), ignored);
    if (!ok) return 1;

    const double smallMs = Fastest(small.msPerPackage);
    const double sparseMs = Fastest(sparse.msPerPackage);
    const uint64_t smallBytes = Median(small.bytesPerPackage);
    const uint64_t sparseBytes = Median(sparse.bytesPerPackage);
    std::printf("Local package discovery, %d packages per run, %d runs per set\n\n", kPackages,
                rounds);
    std::printf("%-14s %12s %22s %22s %14s\n", "packages", "file size", "time/package fastest",
                "time/package median", "bytes/package");
    for (const Set* set : {&small, &sparse}) {
        std::printf("%-14s %12s %19.3f ms %19.3f ms %14llu\n", set->label,
                    Size(set->fileSize).c_str(), Fastest(set->msPerPackage),
                    Median(set->msPerPackage),
                    static_cast<unsigned long long>(Median(set->bytesPerPackage)));
    }
    const double timeRatio = sparseMs / smallMs;
    const bool timeOk = timeRatio <= 1.10 && timeRatio >= 0.90;
    const bool bytesOk = smallBytes == sparseBytes &&
                         *std::max_element(small.bytesPerPackage.begin(),
                                           small.bytesPerPackage.end()) == smallBytes &&
                         *std::max_element(sparse.bytesPerPackage.begin(),
                                           sparse.bytesPerPackage.end()) == sparseBytes;
    std::printf("\n%-26s %7.3f   (goal: within 10 %%)  %s\n", "time ratio 2 GiB / 64 KiB",
                timeRatio, timeOk ? "met" : "MISSED");
    std::printf("%-26s %7.3f   (goal: equal)         %s\n", "bytes read ratio",
                double(sparseBytes) / double(smallBytes), bytesOk ? "met" : "MISSED");
    std::printf(
        "summary|discovery time/package, 64 KiB -> 2 GiB sparse (fastest)|%.3f ms -> %.3f "
        "ms (x %.3f)|within 10 %%|%s\n",
        smallMs, sparseMs, timeRatio, timeOk ? "met" : "MISSED");
    std::printf("summary|discovery bytes read/package, 64 KiB; 2 GiB sparse|%llu; %llu|equal|%s\n",
                static_cast<unsigned long long>(smallBytes),
                static_cast<unsigned long long>(sparseBytes), bytesOk ? "met" : "MISSED");
    return timeOk && bytesOk ? 0 : 1;
}
