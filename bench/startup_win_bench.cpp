// Start-up cost of ZeltOy2.exe over two baseline launchers, all started from the same "current"
// folder of an installation, and the cost of upkit_app_run timed in-process by a host program
// placed in the same folder (app_run_host.exe, 7 runs of 101 calls each: the first call of a
// process, which sets up the log, is reported apart from the later ones).
//
// The baselines (bare_launcher.cpp) carry ZeltOy2.exe's manifest and hand over to the engine
// through the same function with the same window hook, so the time added over them is the update
// runtime's alone. bare_launcher.exe does nothing else; the verdict is on it.
// bare_launcher_shell.exe also loads shell32 and ole32 first, as a real engine library does; the
// time added over it is what a real game would pay for the runtime.
//
// Four installations, each with every package at the installed version (so that none is deleted
// and every start does the same work): 5 and 100 packages, as sparse files of 256 MiB and of
// 2 GiB. Each package holds a zero-filled stored entry first (left as a hole), then the manifest
// entry and the archive's directory at its end.
//
// Measured by the fixture engine at UnityMain2's entry: the time since the process was created
// (GetProcessTimes) and the peak working set (GetProcessMemoryInfo). In each round every
// installation sees one start of each launcher, ZeltOy2.exe first in one round and last in the
// next, and the figures are the differences within each round: load from elsewhere on the machine
// that lasts a while weighs on both sides of a pair. The verdicts are on the median of those
// differences, printed with their minimum and interquartile range; the per-package cost is
// derived from the paired medians of 5 and 100 packages.
//
// Every start of ZeltOy2.exe must leave in the runtime log the "Found" lines of the installation's
// updater and of every package: a runtime that did not find them skips the work measured here and
// would post better figures, so a start without them ends the benchmark (exit code 2).
//
// Usage: startup_win_bench [RUNS]   (default 40 rounds)
// Prints the tables, then "summary|measure|value|goal|verdict" lines for scripts/bench. Exit code
// 0 when every goal is met, 1 when one is missed, 2 when the benchmark could not run.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
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

constexpr char kId[] = "Zelt.ZeltOy2.Bench";
constexpr char kVersion[] = "1.0.0";

constexpr int kHostRuns = 7;
constexpr int kHostCalls = 100;

constexpr double kAddedGoalMs = 5.0;
constexpr double kPerPackageGoalMs = 0.3;
constexpr double kPeakGoalMiB = 4.0;

// The launchers started in every round; ZeltOy2.exe is compared with each of the others.
enum Launcher { kZelt, kBare, kBareShell, kLaunchers };
constexpr const wchar_t* kLauncherFiles[kLaunchers] = {L"ZeltOy2.exe", L"bare_launcher.exe",
                                                       L"bare_launcher_shell.exe"};

struct Install {
    int packages;
    uint64_t packageSize;
    std::wstring root;
    std::wstring current{};
    std::vector<std::wstring> packageFiles{};
    std::vector<double> ms[kLaunchers]{};  // one a round
    std::vector<double> peakMiB[kLaunchers]{};
    std::vector<double> firstCallMs{};   // one a host run
    std::vector<double> laterCallsMs{};  // the median of each host run's later calls

    std::string Label() const {
        return std::to_string(packages) + " x " +
               (packageSize >= (uint64_t{1} << 30) ? std::to_string(packageSize >> 30) + " GiB"
                                                   : std::to_string(packageSize >> 20) + " MiB");
    }
    // ZeltOy2.exe's time less a baseline's, round by round.
    Paired Added(Launcher baseline) const { return PairedDifferences(ms[kZelt], ms[baseline]); }
    Paired PeakAdded() const { return PairedDifferences(peakMiB[kZelt], peakMiB[kBare]); }
};

bool LayOut(Install& install, const std::wstring& bin) {
    install.current = install.root + L"\\current";
    bool ok = zb::LayOutInstallation(
        install.root, bin, zw::ManifestXml(kId, kVersion, "ZeltOy2.exe"),
        {L"bare_launcher.exe", L"bare_launcher_shell.exe", L"app_run_host.exe"});
    for (int i = 0; ok && i < install.packages; ++i) {
        char name[96];
        std::snprintf(name, sizeof name, "\\%s-%s-%03d-full.nupkg", kId, kVersion, i);
        const std::wstring file = install.root + L"\\packages" + zb::Widen(name);
        ok = zb::WriteSizedPackage(file, kId, kVersion, install.packageSize) &&
             zb::FileSize(file) == install.packageSize;
        if (!ok) std::fprintf(stderr, "cannot write %ls\n", file.c_str());
        install.packageFiles.push_back(file);
    }
    return ok;
}

// One start of a launcher, checked; its start-to-entry time and peak working set are added when
// counted.
bool Start(Install& install, Launcher launcher, bool counted) {
    const std::wstring log = zb::LogFile(kId);
    const uint64_t logBefore = zb::FileSize(log);
    const std::optional<zb::EngineTiming> timing =
        zb::TimedStart(install.current, kLauncherFiles[launcher]);
    if (!timing) return false;
    if (launcher == kZelt) {
        const std::vector<std::string> messages =
            zb::Messages(zb::LogSince(log, logBefore), timing->pid, "INFO");
        if (const std::optional<std::string> missing =
                zb::MissingFoundLine(messages, install.packageFiles, kVersion)) {
            std::fprintf(stderr,
                         "ZeltOy2.exe in %ls: the runtime log lacks \"%s\"; a runtime that did not "
                         "find the installation or its packages would post better figures\n",
                         install.current.c_str(), missing->c_str());
            return false;
        }
    }
    if (counted) {
        install.ms[launcher].push_back(timing->ms);
        install.peakMiB[launcher].push_back(timing->peakMiB);
    }
    return true;
}

// One round in an installation: a start of each launcher, ZeltOy2.exe first in even rounds and
// last in odd ones, so that every launcher goes before each other one as often as after it.
bool Round(Install& install, int round, bool counted) {
    const Launcher forward[kLaunchers] = {kZelt, kBare, kBareShell};
    for (int k = 0; k < kLaunchers; ++k) {
        const Launcher launcher = forward[round % 2 == 0 ? k : kLaunchers - 1 - k];
        if (!Start(install, launcher, counted)) return false;
    }
    return true;
}

// One run of the host program: its first call, and the median of its later calls.
bool TimeAppRun(Install& install) {
    const std::wstring out = install.current + L"\\app-run.txt";
    DeleteFileW(out.c_str());
    SetEnvironmentVariableW(L"ZELT_BENCH_OUT", out.c_str());
    const std::optional<zb::Ended> ended =
        zb::Run(install.current + L"\\app_run_host.exe", install.current);
    const std::optional<std::string> record = zb::ReadText(out);
    const std::vector<std::string> first =
        record ? zb::Values(*record, "first") : std::vector<std::string>{};
    const std::vector<std::string> later =
        record ? zb::Values(*record, "call") : std::vector<std::string>{};
    if (!ended || ended->exitCode != 0 || first.size() != 1 || later.empty()) {
        std::fprintf(stderr, "app_run_host in %ls failed\n", install.root.c_str());
        return false;
    }
    install.firstCallMs.push_back(std::atof(first[0].c_str()) / 1e3);
    std::vector<double> calls;
    for (const std::string& value : later) calls.push_back(std::atof(value.c_str()) / 1e3);
    install.laterCallsMs.push_back(Median(calls));
    return true;
}

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", ms);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 40;
    const std::wstring bin = zb::BinDir();
    const std::wstring base = zb::MakeScratchDir(L"zelt-startup-bench");

    std::vector<Install> installs = {
        {5, 256 * kMiB, base + L"\\p5-256m"},
        {100, 256 * kMiB, base + L"\\p100-256m"},
        {5, uint64_t{2} << 30, base + L"\\p5-2g"},
        {100, uint64_t{2} << 30, base + L"\\p100-2g"},
    };

    zb::SetStartEnvironment();
    SetEnvironmentVariableW(L"ZELT_BENCH_CALLS", std::to_wstring(kHostCalls).c_str());

    uint64_t packageBytes = 0;
    for (const Install& install : installs) packageBytes += install.packages * install.packageSize;
    bool ok = !zb::LogFolder().empty() && zb::RoomForPackages(base, packageBytes);
    for (Install& install : installs) ok = ok && LayOut(install, bin);
    const std::string loadBefore = zb::LoadAverage();
    // A first round in each installation creates the log file and fills the caches; it is not
    // counted.
    for (int r = -1; ok && r < runs; ++r) {
        for (Install& install : installs) ok = ok && Round(install, r + 1, r >= 0);
    }
    // Only a process's first call is a first call, so the host runs a few times in each
    // installation; the installations take turns, in the opposite order every other run.
    for (int r = 0; ok && r < kHostRuns; ++r) {
        for (size_t k = 0; ok && k < installs.size(); ++k) {
            ok = TimeAppRun(installs[r % 2 == 0 ? k : installs.size() - 1 - k]);
        }
    }
    const std::string loadAfter = zb::LoadAverage();
    for (const Install& install : installs) {
        if (ok && zb::CountPackages(install.root + L"\\packages") != install.packages) {
            std::fprintf(stderr, "packages were deleted in %ls\n", install.root.c_str());
            ok = false;
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(base), ignored);
    if (!ok) return 2;

    std::printf(
        "Start-up: process creation to UnityMain2 entry, %d rounds (a start of each launcher per "
        "installation in each round)\nload average (1, 5, 15 min): %s before, %s after\n\n",
        runs, loadBefore.c_str(), loadAfter.c_str());
    std::printf("%-14s %20s %20s %20s\n", "installation", "ZeltOy2 median / min",
                "bare median / min", "bare+shell med / min");
    for (const Install& i : installs) {
        std::printf("%-14s", i.Label().c_str());
        for (int l = 0; l < kLaunchers; ++l) {
            std::printf(" %8.2f / %6.2f ms", Median(i.ms[l]), Min(i.ms[l]));
        }
        std::printf("\n");
    }
    std::printf("\nAdded by ZeltOy2.exe, paired within each round (ms): median / min / IQR\n\n");
    std::printf("%-14s %34s %34s\n", "installation", "over bare", "over bare+shell32/ole32");
    for (const Install& i : installs) {
        std::printf("%-14s", i.Label().c_str());
        for (Launcher baseline : {kBare, kBareShell}) {
            const Paired p = i.Added(baseline);
            std::printf(" %8.2f / %6.2f / %6.2f..%6.2f", p.median, p.min, p.q1, p.q3);
        }
        std::printf("\n");
    }
    std::printf(
        "\nupkit_app_run in-process (host program in the installation, %d runs of %d calls)"
        "\n\n",
        kHostRuns, kHostCalls + 1);
    std::printf("%-14s %24s %24s\n", "installation", "first call median / min",
                "later calls median / min");
    for (const Install& i : installs) {
        std::printf("%-14s %12.2f / %6.2f ms %12.2f / %6.2f ms\n", i.Label().c_str(),
                    Median(i.firstCallMs), Min(i.firstCallMs), Median(i.laterCallsMs),
                    Min(i.laterCallsMs));
    }
    std::printf("\nPeak working set at UnityMain2 entry (medians; added: paired with bare)\n\n");
    std::printf("%-14s %12s %12s %26s\n", "installation", "ZeltOy2", "bare",
                "added median / min / max");
    for (const Install& i : installs) {
        const Paired p = i.PeakAdded();
        std::printf("%-14s %8.2f MiB %8.2f MiB %8.2f / %5.2f / %5.2f MiB\n", i.Label().c_str(),
                    Median(i.peakMiB[kZelt]), Median(i.peakMiB[kBare]), p.median, p.min, p.max);
    }
    std::printf("\n");

    const Install& p5 = installs[0];
    const Install& p100 = installs[1];
    const Install& g5 = installs[2];
    const Install& g100 = installs[3];
    bool allMet = true;
    const auto goal = [&](const std::string& measure, const std::string& value,
                          const std::string& target, bool met) {
        zb::Summary(measure, value, target, met ? "met" : "MISSED");
        allMet = allMet && met;
    };

    const Paired added = p5.Added(kBare);
    goal("start-up added, 5 x 256 MiB (paired)", zb::PairedText(added, 2, "ms"), "median <= 5 ms",
         added.median <= kAddedGoalMs);
    zb::Summary("start-up added over bare+shell32/ole32, 5 x 256 MiB (paired)",
                zb::PairedText(p5.Added(kBareShell), 2, "ms"), "(reported)", "-");
    const double perPackage = (p100.Added(kBare).median - added.median) / 95;
    const double perPackageMin = (p100.Added(kBare).min - added.min) / 95;
    goal("start-up per extra package, 256 MiB (from paired medians; from minima)",
         Ms(perPackage) + "; " + Ms(perPackageMin), "<= 0.3 ms", perPackage <= kPerPackageGoalMs);
    // A figure moves by some tenths of a millisecond from run to run; a growth is called one when
    // it exceeds both 10 % and half a millisecond.
    for (const auto& [small, large] : {std::pair{&p5, &g5}, std::pair{&p100, &g100}}) {
        const double smallMedian = small->Added(kBare).median;
        const double growth = large->Added(kBare).median - smallMedian;
        goal("start-up growth " + small->Label() + " -> 2 GiB (paired medians)", Ms(growth),
             "no growth (noise: 10 % or 0.5 ms)", growth <= std::max(0.5, 0.1 * smallMedian));
    }
    // The host runs take turns in the installations too, so each run's later calls pair with the
    // same run's in another installation.
    const Paired steadyGrowth = PairedDifferences(g100.laterCallsMs, p100.laterCallsMs);
    const double steadySmall = Median(p100.laterCallsMs);
    goal("upkit_app_run later calls 100 x 256 MiB -> 2 GiB (paired)",
         Ms(steadySmall) + " + " + zb::PairedText(steadyGrowth, 2, "ms"), "median within 10 %",
         steadyGrowth.median <= 0.1 * steadySmall);
    zb::Summary("upkit_app_run per extra package, 256 MiB (later calls, paired median)",
                Ms(PairedDifferences(p100.laterCallsMs, p5.laterCallsMs).median / 95), "(reported)",
                "-");
    for (const Install* i : {&p5, &p100}) {
        zb::Summary("upkit_app_run " + i->Label() + ", first call; later calls (median; min)",
                    Ms(Median(i->firstCallMs)) + "; " + Ms(Median(i->laterCallsMs)) + " (" +
                        Ms(Min(i->firstCallMs)) + "; " + Ms(Min(i->laterCallsMs)) + ")",
                    "(reported)", "-");
    }
    double worstPeak = 0;
    for (const Install& i : installs) worstPeak = std::max(worstPeak, i.PeakAdded().median);
    char peak[32];
    std::snprintf(peak, sizeof peak, "%.2f MiB", worstPeak);
    goal("peak working set added (paired median, largest of the four)", peak, "<= 4 MiB",
         worstPeak <= kPeakGoalMiB);
    zb::Summary("start-up, load average before; after", loadBefore + "; " + loadAfter, "(reported)",
                "-");
    return allMet ? 0 : 1;
}
