// The two builds of ZeltOy2.exe side by side: the clang + lld build (the release's, beside this
// benchmark) and the GCC + GNU ld build (named on the command line), started from the same
// "current" folder of one installation with five packages of 256 MiB, once each in every round,
// the clang build first in one round and last in the next. The figures are paired within each
// round: the clang build's start-to-entry time and peak working set less the GCC build's. The
// image sizes are printed beside them.
//
// Every start of either build must leave the runtime's "Found" lines in the log (a runtime that
// found nothing would post better figures); a start without them ends the benchmark (exit code 2).
//
// Usage: compilers_win_bench GCC_ZELTOY2_EXE [RUNS]   (default 40 rounds)
// Prints the tables, then "summary|..." lines for scripts/bench (reported figures, no goals).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "../tests/runtime/zip_writer.h"
#include "sparse_file.h"
#include "start_win.h"

namespace {

namespace zw = zelt::zipw;
namespace zb = zelt::bench;
using zb::kMiB;
using zb::Median;
using zb::Min;
using zb::Paired;
using zb::PairedDifferences;

constexpr char kId[] = "Zelt.ZeltOy2.CompilersBench";
constexpr char kVersion[] = "1.0.0";
constexpr int kPackages = 5;

enum Build { kClang, kGcc, kBuilds };
constexpr const wchar_t* kFiles[kBuilds] = {L"ZeltOy2.exe", L"ZeltOy2-gcc.exe"};
constexpr const char* kNames[kBuilds] = {"clang + lld", "GCC + GNU ld"};

struct Samples {
    std::vector<double> ms;
    std::vector<double> peakMiB;
};

bool Start(const std::wstring& current, const std::vector<std::wstring>& packages, Build build,
           Samples* counted) {
    const std::wstring log = zb::LogFile(kId);
    const uint64_t logBefore = zb::FileSize(log);
    const std::optional<zb::EngineTiming> timing = zb::TimedStart(current, kFiles[build]);
    if (!timing) return false;
    const std::vector<std::string> messages =
        zb::Messages(zb::LogSince(log, logBefore), timing->pid, "INFO");
    if (const std::optional<std::string> missing =
            zb::MissingFoundLine(messages, packages, kVersion)) {
        std::fprintf(stderr, "%ls: the runtime log lacks \"%s\"\n", kFiles[build],
                     missing->c_str());
        return false;
    }
    if (counted != nullptr) {
        counted->ms.push_back(timing->ms);
        counted->peakMiB.push_back(timing->peakMiB);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: compilers_win_bench GCC_ZELTOY2_EXE [RUNS]\n");
        return 2;
    }
    const std::wstring gccExe = zb::Widen(argv[1]);
    const int runs = argc > 2 ? std::max(3, std::atoi(argv[2])) : 40;
    const std::wstring bin = zb::BinDir();
    const std::wstring root = zb::MakeScratchDir(L"zelt-compilers-bench");
    const std::wstring current = root + L"\\app\\current";

    zb::SetStartEnvironment();
    bool ok = !zb::LogFolder().empty() &&
              zb::LayOutInstallation(root + L"\\app", bin,
                                     zw::ManifestXml(kId, kVersion, "ZeltOy2.exe")) &&
              zb::Copy(gccExe, current + L"\\" + kFiles[kGcc]);
    std::vector<std::wstring> packages;
    for (int i = 0; ok && i < kPackages; ++i) {
        char name[96];
        std::snprintf(name, sizeof name, "\\%s-%s-%03d-full.nupkg", kId, kVersion, i);
        packages.push_back(root + L"\\app\\packages" + zb::Widen(name));
        ok = zb::WriteSizedPackage(packages.back(), kId, kVersion, 256 * kMiB);
    }
    const uint64_t sizes[kBuilds] = {zb::FileSize(current + L"\\" + kFiles[kClang]),
                                     zb::FileSize(current + L"\\" + kFiles[kGcc])};

    Samples samples[kBuilds];
    const std::string loadBefore = zb::LoadAverage();
    // The first round fills the caches and is not counted.
    for (int r = -1; ok && r < runs; ++r) {
        const Build first = r % 2 == 0 ? kClang : kGcc;
        for (Build build : {first, first == kClang ? kGcc : kClang}) {
            ok = ok && Start(current, packages, build, r >= 0 ? &samples[build] : nullptr);
        }
    }
    const std::string loadAfter = zb::LoadAverage();
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(root), ignored);
    if (!ok) return 2;

    std::printf(
        "The two builds of ZeltOy2.exe: process creation to UnityMain2 entry, %d rounds, one "
        "installation with %d packages of 256 MiB\nload average (1, 5, 15 min): %s before, %s "
        "after\n\n",
        runs, kPackages, loadBefore.c_str(), loadAfter.c_str());
    std::printf("%-14s %14s %22s %22s\n", "build", "image", "start median / min",
                "peak set median / min");
    for (int b = 0; b < kBuilds; ++b) {
        std::printf("%-14s %10llu B %10.2f / %6.2f ms %10.2f / %6.2f MiB\n", kNames[b],
                    static_cast<unsigned long long>(sizes[b]), Median(samples[b].ms),
                    Min(samples[b].ms), Median(samples[b].peakMiB), Min(samples[b].peakMiB));
    }
    const Paired time = PairedDifferences(samples[kClang].ms, samples[kGcc].ms);
    const Paired peak = PairedDifferences(samples[kClang].peakMiB, samples[kGcc].peakMiB);
    std::printf("\nclang build less GCC build, paired within each round: start %s, peak set %s\n\n",
                zb::PairedText(time, 2, "ms").c_str(), zb::PairedText(peak, 2, "MiB").c_str());

    zb::Summary("start-up, clang build less GCC build (paired)", zb::PairedText(time, 2, "ms"),
                "(reported)", "-");
    zb::Summary("peak working set, clang build less GCC build (paired)",
                zb::PairedText(peak, 2, "MiB"), "(reported)", "-");
    zb::Summary("image size, clang build; GCC build",
                std::to_string(sizes[kClang]) + " B; " + std::to_string(sizes[kGcc]) + " B",
                "(reported)", "-");
    return 0;
}
