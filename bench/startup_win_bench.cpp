// Start-up cost of ZeltOy2.exe over a bare launcher (bare_launcher.exe: load the engine beside
// it, call it, nothing else), both started from the same "current" folder of an installation, and
// the cost of upkit_app_run timed in-process by a host program placed in the same folder
// (app_run_host.exe, run 5 times with 101 calls each: the first call of a process, which sets up
// the log, is reported apart from the later ones).
//
// Four installations, each with every package at the installed version (so that none is deleted
// and every start does the same work): 5 and 100 packages, as sparse files of 256 MiB and of
// 2 GiB. Each package holds a zero-filled stored entry first (left as a hole), then the manifest
// entry and the archive's directory at its end.
//
// Measured by the fixture engine at UnityMain2's entry: the time since the process was created
// (GetProcessTimes) and the peak working set (GetProcessMemoryInfo). The two launchers take turns
// and the installations take turns, so that load from elsewhere on the machine spreads over all
// of them alike; the minimum is the figure least disturbed by that load, the median is shown
// beside it.
//
// Usage: startup_win_bench [RUNS]   (default 40 starts of each launcher per installation)
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

namespace {

namespace zw = zelt::zipw;

constexpr char kId[] = "Zelt.ZeltOy2.Bench";
constexpr char kVersion[] = "1.0.0";
constexpr uint64_t kMiB = uint64_t{1} << 20;

constexpr int kHostRuns = 5;
constexpr int kHostCalls = 100;

constexpr double kAddedGoalMs = 5.0;
constexpr double kPerPackageGoalMs = 0.3;
constexpr double kPeakGoalMiB = 4.0;

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::wstring BinDir() {
    wchar_t path[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir = path;
    return dir.substr(0, dir.find_last_of(L'\\'));
}

bool Copy(const std::wstring& from, const std::wstring& to) {
    if (CopyFileW(from.c_str(), to.c_str(), FALSE)) return true;
    std::fprintf(stderr, "cannot copy %ls to %ls\n", from.c_str(), to.c_str());
    return false;
}

bool WriteText(const std::wstring& path, const std::string& text) {
    return zelt::bench::WritePieces(path, {zw::Piece{text, 0}});
}

std::optional<std::string> ReadText(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(h, buffer, sizeof buffer, &read, nullptr) && read > 0)
        text.append(buffer, read);
    CloseHandle(h);
    return text;
}

// The values of "key=" lines, in order.
std::vector<std::string> Values(const std::string& record, const std::string& key) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < record.size()) {
        size_t end = record.find('\n', pos);
        if (end == std::string::npos) end = record.size();
        if (record.compare(pos, key.size() + 1, key + "=") == 0) {
            out.push_back(record.substr(pos + key.size() + 1, end - pos - key.size() - 1));
        }
        pos = end + 1;
    }
    return out;
}

double Min(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Install {
    int packages;
    uint64_t packageSize;
    std::wstring root;
    std::wstring current{};
    std::vector<double> zeltMs{};
    std::vector<double> bareMs{};
    std::vector<double> zeltPeakMiB{};
    std::vector<double> barePeakMiB{};
    std::vector<double> firstCallMs{};
    std::vector<double> laterCallsMs{};

    std::string Label() const {
        return std::to_string(packages) + " x " +
               (packageSize >= (uint64_t{1} << 30) ? std::to_string(packageSize >> 30) + " GiB"
                                                   : std::to_string(packageSize >> 20) + " MiB");
    }
    double AddedMin() const { return Min(zeltMs) - Min(bareMs); }
    double AddedMedian() const { return Median(zeltMs) - Median(bareMs); }
};

// One package: a zero-filled stored entry that makes up the size, then the manifest and the
// archive's directory.
bool WritePackage(const std::wstring& file, uint64_t size) {
    const zw::Entry manifest{.name = std::string(kId) + ".nuspec",
                             .data = zw::ManifestXml(kId, kVersion, "ZeltOy2.exe"),
                             .method = zw::Method::Deflated};
    zw::Entry filler{.name = "lib/app/ZeltOy2_Data/data.unity3d", .zeros = 1};
    const uint64_t overhead = zw::Build({filler, manifest}).size() - 1;
    filler.zeros = size - overhead;
    return zelt::bench::WritePieces(file, zw::Pieces({filler, manifest}));
}

bool LayOut(Install& install, const std::wstring& bin) {
    install.current = install.root + L"\\current";
    const std::wstring packages = install.root + L"\\packages";
    if (!CreateDirectoryW(install.root.c_str(), nullptr) ||
        !CreateDirectoryW(install.current.c_str(), nullptr) ||
        !CreateDirectoryW(packages.c_str(), nullptr)) {
        std::fprintf(stderr, "cannot create %ls\n", install.root.c_str());
        return false;
    }
    bool ok =
        Copy(bin + L"\\fixture_updater.exe", install.root + L"\\Update.exe") &&
        Copy(bin + L"\\ZeltOy2.exe", install.current + L"\\ZeltOy2.exe") &&
        Copy(bin + L"\\bare_launcher.exe", install.current + L"\\bare_launcher.exe") &&
        Copy(bin + L"\\app_run_host.exe", install.current + L"\\app_run_host.exe") &&
        Copy(bin + L"\\fixture_engine.dll", install.current + L"\\UnityPlayer.dll") &&
        WriteText(install.current + L"\\sq.version", zw::ManifestXml(kId, kVersion, "ZeltOy2.exe"));
    for (int i = 0; ok && i < install.packages; ++i) {
        char name[96];
        std::snprintf(name, sizeof name, "\\%s-%s-%03d-full.nupkg", kId, kVersion, i);
        const std::wstring file = packages + Widen(name);
        ok = WritePackage(file, install.packageSize) &&
             zelt::bench::FileSize(file) == install.packageSize;
        if (!ok) std::fprintf(stderr, "cannot write %ls\n", file.c_str());
    }
    return ok;
}

int CountPackages(const Install& install) {
    int count = 0;
    WIN32_FIND_DATAW data;
    const std::wstring pattern = install.root + L"\\packages\\*-full.nupkg";
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do ++count;
    while (FindNextFileW(find, &data));
    FindClose(find);
    return count;
}

// Starts the program in the folder (it inherits this process's environment) and waits for it; the
// exit code, or nothing when it could not run.
std::optional<DWORD> Run(const std::wstring& exe, const std::wstring& dir) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        dir.c_str(), &startup, &info)) {
        std::fprintf(stderr, "cannot start %ls (error %lu)\n", exe.c_str(), GetLastError());
        return std::nullopt;
    }
    CloseHandle(info.hThread);
    std::optional<DWORD> code;
    if (WaitForSingleObject(info.hProcess, 120000) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        if (GetExitCodeProcess(info.hProcess, &exitCode)) code = exitCode;
    } else {
        TerminateProcess(info.hProcess, 1);
        std::fprintf(stderr, "%ls did not end\n", exe.c_str());
    }
    CloseHandle(info.hProcess);
    return code;
}

// One start of a launcher; adds its start-to-entry time and peak working set.
bool Start(const Install& install, const wchar_t* launcher, std::vector<double>& ms,
           std::vector<double>& peakMiB) {
    const std::wstring report = install.current + L"\\engine-report.txt";
    DeleteFileW(report.c_str());
    SetEnvironmentVariableW(L"ZELT_FIXTURE_REPORT", report.c_str());
    const std::optional<DWORD> code = Run(install.current + L"\\" + launcher, install.current);
    const std::optional<std::string> record = ReadText(report);
    if (code != DWORD{0} || !record) {
        std::fprintf(stderr, "%ls in %ls: exit code %ld, %s\n", launcher, install.root.c_str(),
                     code ? static_cast<long>(*code) : -1L,
                     record ? "record written" : "no record");
        return false;
    }
    const std::vector<std::string> time = Values(*record, "startToEntry100ns");
    const std::vector<std::string> peak = Values(*record, "peakWorkingSet");
    if (time.size() != 1 || peak.size() != 1) {
        std::fprintf(stderr, "the engine record lacks its timing\n");
        return false;
    }
    ms.push_back(std::atof(time[0].c_str()) / 1e4);
    peakMiB.push_back(std::atof(peak[0].c_str()) / double(kMiB));
    return true;
}

// One run of the host program: its first call, and its later calls added to the others.
bool TimeAppRun(Install& install) {
    const std::wstring out = install.current + L"\\app-run.txt";
    DeleteFileW(out.c_str());
    SetEnvironmentVariableW(L"ZELT_BENCH_OUT", out.c_str());
    const std::optional<DWORD> code = Run(install.current + L"\\app_run_host.exe", install.current);
    const std::optional<std::string> record = ReadText(out);
    const std::vector<std::string> first =
        record ? Values(*record, "first") : std::vector<std::string>{};
    const std::vector<std::string> later =
        record ? Values(*record, "call") : std::vector<std::string>{};
    if (code != DWORD{0} || first.size() != 1 || later.empty()) {
        std::fprintf(stderr, "app_run_host in %ls failed\n", install.root.c_str());
        return false;
    }
    install.firstCallMs.push_back(std::atof(first[0].c_str()) / 1e3);
    for (const std::string& value : later) {
        install.laterCallsMs.push_back(std::atof(value.c_str()) / 1e3);
    }
    return true;
}

// A measure with a goal has the verdict "met" or "MISSED"; one that is only reported, "-".
void Summary(const std::string& measure, const std::string& value, const std::string& goal,
             const char* verdict) {
    std::printf("summary|%s|%s|%s|%s\n", measure.c_str(), value.c_str(), goal.c_str(), verdict);
}

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", ms);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 40;
    const std::wstring bin = BinDir();
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring base =
        std::wstring(temp) + L"zelt-startup-bench-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(base.c_str(), nullptr);

    std::vector<Install> installs = {
        {5, 256 * kMiB, base + L"\\p5-256m"},
        {100, 256 * kMiB, base + L"\\p100-256m"},
        {5, uint64_t{2} << 30, base + L"\\p5-2g"},
        {100, uint64_t{2} << 30, base + L"\\p100-2g"},
    };

    SetEnvironmentVariableW(L"ZELT_BASLATICI_KUTUSUZ", L"1");
    SetEnvironmentVariableW(L"ZELT_FIXTURE_TIMING", L"1");
    SetEnvironmentVariableW(L"ZELT_BENCH_CALLS", std::to_wstring(kHostCalls).c_str());
    SetEnvironmentVariableW(L"UPKIT_FIRSTRUN", nullptr);
    SetEnvironmentVariableW(L"UPKIT_RESTART", nullptr);
    SetEnvironmentVariableW(L"UPKIT_DEBUG", nullptr);

    bool ok = true;
    for (Install& install : installs) ok = ok && LayOut(install, bin);
    // A first start of each launcher in each installation creates the log file and fills the
    // caches; it is not counted.
    for (Install& install : installs) {
        std::vector<double> ignored[2];
        ok = ok && Start(install, L"ZeltOy2.exe", ignored[0], ignored[1]) &&
             Start(install, L"bare_launcher.exe", ignored[0], ignored[1]);
    }
    for (int r = 0; ok && r < runs; ++r) {
        for (Install& install : installs) {
            // Which launcher goes first alternates, so neither profits from the other.
            if (r % 2 == 0) {
                ok = ok && Start(install, L"ZeltOy2.exe", install.zeltMs, install.zeltPeakMiB) &&
                     Start(install, L"bare_launcher.exe", install.bareMs, install.barePeakMiB);
            } else {
                ok = ok &&
                     Start(install, L"bare_launcher.exe", install.bareMs, install.barePeakMiB) &&
                     Start(install, L"ZeltOy2.exe", install.zeltMs, install.zeltPeakMiB);
            }
        }
    }
    // Only a process's first call is a first call, so the host runs a few times in each.
    for (int r = 0; ok && r < kHostRuns; ++r) {
        for (Install& install : installs) ok = ok && TimeAppRun(install);
    }
    for (const Install& install : installs) {
        if (ok && CountPackages(install) != install.packages) {
            std::fprintf(stderr, "packages were deleted in %ls\n", install.root.c_str());
            ok = false;
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(base), ignored);
    if (!ok) return 2;

    std::printf(
        "Start-up: process creation to UnityMain2 entry, %d starts of each launcher per "
        "installation, interleaved\n\n",
        runs);
    std::printf("%-14s %21s %21s %21s\n", "installation", "ZeltOy2 min / median",
                "bare min / median", "added min / median");
    for (const Install& i : installs) {
        std::printf("%-14s %9.2f / %6.2f ms %9.2f / %6.2f ms %9.2f / %6.2f ms\n", i.Label().c_str(),
                    Min(i.zeltMs), Median(i.zeltMs), Min(i.bareMs), Median(i.bareMs), i.AddedMin(),
                    i.AddedMedian());
    }
    std::printf(
        "\nupkit_app_run in-process (host program in the installation, %d runs of %d calls)"
        "\n\n",
        kHostRuns, kHostCalls + 1);
    std::printf("%-14s %24s %24s\n", "installation", "first call min / median",
                "later calls min / median");
    for (const Install& i : installs) {
        std::printf("%-14s %12.2f / %6.2f ms %12.2f / %6.2f ms\n", i.Label().c_str(),
                    Min(i.firstCallMs), Median(i.firstCallMs), Min(i.laterCallsMs),
                    Median(i.laterCallsMs));
    }
    std::printf("\nPeak working set at UnityMain2 entry (median)\n\n");
    std::printf("%-14s %12s %12s %12s\n", "installation", "ZeltOy2", "bare", "added");
    for (const Install& i : installs) {
        std::printf("%-14s %8.2f MiB %8.2f MiB %8.2f MiB\n", i.Label().c_str(),
                    Median(i.zeltPeakMiB), Median(i.barePeakMiB),
                    Median(i.zeltPeakMiB) - Median(i.barePeakMiB));
    }
    std::printf("\n");

    const Install& p5 = installs[0];
    const Install& p100 = installs[1];
    const Install& g5 = installs[2];
    const Install& g100 = installs[3];
    bool allMet = true;
    const auto goal = [&](const std::string& measure, const std::string& value,
                          const std::string& target, bool met) {
        Summary(measure, value, target, met ? "met" : "MISSED");
        allMet = allMet && met;
    };

    goal("start-up added, 5 x 256 MiB (min; median)",
         Ms(p5.AddedMin()) + "; " + Ms(p5.AddedMedian()), "<= 5 ms", p5.AddedMin() <= kAddedGoalMs);
    const double perPackageMin = (p100.AddedMin() - p5.AddedMin()) / 95;
    const double perPackageMedian = (p100.AddedMedian() - p5.AddedMedian()) / 95;
    goal("start-up per extra package, 256 MiB (min; median)",
         Ms(perPackageMin) + "; " + Ms(perPackageMedian), "<= 0.3 ms",
         perPackageMin <= kPerPackageGoalMs);
    // The process-level figures move by a few tenths of a millisecond from run to run; a growth
    // is called one when it exceeds both 10 % and half a millisecond.
    for (const auto& [small, large] : {std::pair{&p5, &g5}, std::pair{&p100, &g100}}) {
        const double growth = large->AddedMin() - small->AddedMin();
        goal("start-up growth " + small->Label() + " -> 2 GiB (min)", Ms(growth),
             "no growth (noise: 10 % or 0.5 ms)", growth <= std::max(0.5, 0.1 * small->AddedMin()));
    }
    const double steadySmall = Min(p100.laterCallsMs);
    const double steadyLarge = Min(g100.laterCallsMs);
    goal("upkit_app_run later calls 100 x 256 MiB -> 2 GiB (min)",
         Ms(steadySmall) + " -> " + Ms(steadyLarge), "within 10 %",
         steadyLarge <= 1.1 * steadySmall);
    Summary("upkit_app_run per extra package, 256 MiB (later calls, min)",
            Ms((Min(p100.laterCallsMs) - Min(p5.laterCallsMs)) / 95), "(reported)", "-");
    for (const Install* i : {&p5, &p100}) {
        Summary("upkit_app_run " + i->Label() + ", first call; later calls (min)",
                Ms(Min(i->firstCallMs)) + "; " + Ms(Min(i->laterCallsMs)), "(reported)", "-");
    }
    double worstPeak = 0;
    for (const Install& i : installs) {
        worstPeak = std::max(worstPeak, Median(i.zeltPeakMiB) - Median(i.barePeakMiB));
    }
    char peak[32];
    std::snprintf(peak, sizeof peak, "%.2f MiB", worstPeak);
    goal("peak working set added (largest of the four)", peak, "<= 4 MiB",
         worstPeak <= kPeakGoalMiB);
    return allMet ? 0 : 1;
}
