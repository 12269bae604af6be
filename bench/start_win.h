// Laying out installations and starting launchers in them, for the benchmarks that time real
// starts: the fixture engine (ZELT_FIXTURE_TIMING=1) records at UnityMain2's entry the time since
// the process was created and the peak working set, in the "key=value" report it writes.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../tests/runtime/zip_writer.h"
#include "misc_path.h"
#include "os/os.h"
#include "sparse_file.h"

namespace zelt::bench {

inline constexpr uint64_t kMiB = uint64_t{1} << 20;

// What the fixture engine returns in every timed start: a value no start-up path of a launcher or
// of the runtime produces by itself, so an exit code equal to it is the engine's result.
inline constexpr DWORD kEngineResult = 0x5A17;

inline std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

// The folder of the running benchmark, where the programs it places into installations lie.
inline std::wstring BinDir() {
    wchar_t path[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir = path;
    return dir.substr(0, dir.find_last_of(L'\\'));
}

inline bool Copy(const std::wstring& from, const std::wstring& to) {
    if (CopyFileW(from.c_str(), to.c_str(), FALSE)) return true;
    std::fprintf(stderr, "cannot copy %ls to %ls\n", from.c_str(), to.c_str());
    return false;
}

inline bool WriteText(const std::wstring& path, const std::string& text) {
    return WritePieces(path, {zipw::Piece{text, 0}});
}

inline std::optional<std::string> ReadText(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(h, buffer, sizeof buffer, &read, nullptr) && read > 0)
        text.append(buffer, read);
    CloseHandle(h);
    return text;
}

// The text's lines, split at line feeds.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < text.size();) {
        const size_t end = std::min(text.find('\n', pos), text.size());
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

// The values of "key=" lines, in order.
inline std::vector<std::string> Values(const std::string& record, const std::string& key) {
    std::vector<std::string> out;
    for (const std::string& line : Lines(record)) {
        if (line.compare(0, key.size() + 1, key + "=") == 0)
            out.push_back(line.substr(key.size() + 1));
    }
    return out;
}

inline double Min(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

inline double Max(const std::vector<double>& v) {
    return *std::max_element(v.begin(), v.end());
}

// The value at the fraction q (0 to 1) of the sorted values, interpolated between neighbours, so
// that the quartiles of a few rounds still move with every sample.
inline double Quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    const double at = q * double(v.size() - 1);
    const size_t below = size_t(at);
    if (below + 1 >= v.size()) return v.back();
    return v[below] + (at - double(below)) * (v[below + 1] - v[below]);
}

inline double Median(std::vector<double> v) {
    return Quantile(std::move(v), 0.5);
}

// Paired samples: in each round one start of each side, so load from elsewhere on the machine
// that lasts a while weighs on both sides of a pair alike. The verdict is the median of the
// differences; the minimum and the quartiles show how far the rounds spread.
struct Paired {
    std::vector<double> differences;  // one a round: this side's sample less the baseline's
    double median = 0, min = 0, q1 = 0, q3 = 0, max = 0;
};

// The differences of the samples taken in the same rounds; both must have one sample a round.
inline Paired PairedDifferences(const std::vector<double>& samples,
                                const std::vector<double>& baseline) {
    Paired p;
    for (size_t r = 0; r < samples.size() && r < baseline.size(); ++r) {
        p.differences.push_back(samples[r] - baseline[r]);
    }
    if (p.differences.empty()) return p;
    p.median = Quantile(p.differences, 0.5);
    p.min = Min(p.differences);
    p.q1 = Quantile(p.differences, 0.25);
    p.q3 = Quantile(p.differences, 0.75);
    p.max = Max(p.differences);
    return p;
}

// "median M, min N, IQR Q1..Q3 UNIT" with the given number of decimals.
inline std::string PairedText(const Paired& p, int decimals, const char* unit) {
    char text[160];
    std::snprintf(text, sizeof text, "median %.*f, min %.*f, IQR %.*f..%.*f %s", decimals, p.median,
                  decimals, p.min, decimals, p.q1, decimals, p.q3, unit);
    return text;
}

// A measure with a goal has the verdict "met" or "MISSED"; one that is only reported, "-".
inline void Summary(const std::string& measure, const std::string& value, const std::string& goal,
                    const char* verdict) {
    std::printf("summary|%s|%s|%s|%s\n", measure.c_str(), value.c_str(), goal.c_str(), verdict);
}

// The "*-full.nupkg" files in a folder.
inline int CountPackages(const std::wstring& folder) {
    int count = 0;
    WIN32_FIND_DATAW data;
    const std::wstring pattern = folder + L"\\*-full.nupkg";
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do ++count;
    while (FindNextFileW(find, &data));
    FindClose(find);
    return count;
}

// A fresh folder under the temporary folder, named after the benchmark and this process.
inline std::wstring MakeScratchDir(const std::wstring& name) {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring dir = temp + name + L"-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

// What every start inherits: the launcher runs without its start-up box, the fixture engine
// records its timing and returns kEngineResult, and none of the runtime's markers comes from this
// process's own start.
inline void SetStartEnvironment() {
    SetEnvironmentVariableW(L"ZELT_BASLATICI_KUTUSUZ", L"1");
    SetEnvironmentVariableW(L"ZELT_FIXTURE_TIMING", L"1");
    SetEnvironmentVariableW(L"ZELT_FIXTURE_RESULT", std::to_wstring(kEngineResult).c_str());
    SetEnvironmentVariableW(L"UPKIT_FIRSTRUN", nullptr);
    SetEnvironmentVariableW(L"UPKIT_RESTART", nullptr);
    SetEnvironmentVariableW(L"UPKIT_DEBUG", nullptr);
}

// An installation without packages: ROOT\Update.exe (the fixture updater), ROOT\current with
// ZeltOy2.exe, the fixture engine as UnityPlayer.dll, the manifest sq.version and the named
// programs from beside the benchmark, and an empty ROOT\packages.
inline bool LayOutInstallation(const std::wstring& root, const std::wstring& bin,
                               const std::string& manifest,
                               std::initializer_list<const wchar_t*> programs = {}) {
    const std::wstring current = root + L"\\current";
    const std::wstring packages = root + L"\\packages";
    if (!CreateDirectoryW(root.c_str(), nullptr) || !CreateDirectoryW(current.c_str(), nullptr) ||
        !CreateDirectoryW(packages.c_str(), nullptr)) {
        std::fprintf(stderr, "cannot create %ls\n", root.c_str());
        return false;
    }
    bool ok = Copy(bin + L"\\fixture_updater.exe", root + L"\\Update.exe") &&
              Copy(bin + L"\\ZeltOy2.exe", current + L"\\ZeltOy2.exe") &&
              Copy(bin + L"\\fixture_engine.dll", current + L"\\UnityPlayer.dll") &&
              WriteText(current + L"\\sq.version", manifest);
    for (const wchar_t* program : programs) {
        ok = ok && Copy(bin + L"\\" + program, current + L"\\" + program);
    }
    return ok;
}

struct Ended {
    DWORD exitCode = 0;
    DWORD pid = 0;
};

// Starts the program in the folder (it inherits this process's environment) and waits for it; its
// exit code, or nothing when it could not run or did not end in time.
inline std::optional<Ended> Run(const std::wstring& exe, const std::wstring& dir,
                                DWORD timeoutMs = 120000) {
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
    std::optional<Ended> ended;
    if (WaitForSingleObject(info.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        if (GetExitCodeProcess(info.hProcess, &exitCode)) ended = Ended{exitCode, info.dwProcessId};
    } else {
        TerminateProcess(info.hProcess, 1);
        std::fprintf(stderr, "%ls did not end\n", exe.c_str());
    }
    CloseHandle(info.hProcess);
    return ended;
}

// What the engine recorded at its entry.
struct EngineTiming {
    double ms = 0;       // since the process was created
    double peakMiB = 0;  // peak working set
    DWORD pid = 0;
};

// One start of a launcher in a "current" folder, which must end with the given exit code after
// the engine wrote its timing.
inline std::optional<EngineTiming> TimedStart(const std::wstring& current, const wchar_t* launcher,
                                              DWORD expectedExitCode = kEngineResult,
                                              DWORD timeoutMs = 120000) {
    const std::wstring report = current + L"\\engine-report.txt";
    DeleteFileW(report.c_str());
    SetEnvironmentVariableW(L"ZELT_FIXTURE_REPORT", report.c_str());
    const std::optional<Ended> ended = Run(current + L"\\" + launcher, current, timeoutMs);
    const std::optional<std::string> record = ReadText(report);
    if (!ended || ended->exitCode != expectedExitCode || !record) {
        std::fprintf(stderr, "%ls in %ls: %s0x%08lx (expected 0x%08lx), %s\n", launcher,
                     current.c_str(), ended ? "exit code " : "no exit code, ",
                     ended ? ended->exitCode : 0, expectedExitCode,
                     record ? "record written" : "no record");
        return std::nullopt;
    }
    const std::vector<std::string> time = Values(*record, "startToEntry100ns");
    const std::vector<std::string> peak = Values(*record, "peakWorkingSet");
    if (time.size() != 1 || peak.size() != 1) {
        std::fprintf(stderr, "the engine record lacks its timing\n");
        return std::nullopt;
    }
    return EngineTiming{std::atof(time[0].c_str()) / 1e4, std::atof(peak[0].c_str()) / double(kMiB),
                        ended->pid};
}

// The folder of the runtime's logs; empty when the system has none.
inline std::wstring LogFolder() {
    const upkit::IoResult<upkit::Path> dir = upkit::SystemFileSystem().LocalAppDataDir();
    if (!dir.ok()) return L"";
    const std::u16string& units = dir.value().Units();
    return std::wstring(units.begin(), units.end()) + L"\\upkit";
}

// The runtime log of the installations of a package id, and the one of a start that could not
// open its installation.
inline std::wstring LogFile(const std::string& id) {
    return LogFolder() + L"\\upkit_" + Widen(id) + L".log";
}
inline std::wstring PlainLogFile() {
    return LogFolder() + L"\\upkit.log";
}

// The messages of the process's lines of the level ("[lib-cpp:PID] [hh:mm:ss] [LEVEL] message").
inline std::vector<std::string> Messages(const std::string& log, DWORD pid,
                                         const std::string& level) {
    const std::string front = "[lib-cpp:" + std::to_string(pid) + "] [";
    const std::string tag = "] [" + level + "] ";
    std::vector<std::string> out;
    for (const std::string& line : Lines(log)) {
        const size_t at = line.find(tag);
        if (line.starts_with(front) && at != std::string::npos) {
            out.push_back(line.substr(at + tag.size()));
        }
    }
    return out;
}

// What a start added to a log that was LENGTH bytes long before it. The log is shared by every
// start and left in place, as a player's is: a start that had to create it would do more than one
// that appends. A start that rotated the log wrote its first lines to ".old", after those there.
inline std::string LogSince(const std::wstring& file, uint64_t length) {
    const std::string now = ReadText(file).value_or("");
    if (now.size() >= length) return now.substr(length);
    const std::string old = ReadText(file + L".old").value_or("");
    return (old.size() >= length ? old.substr(length) : std::string()) + now;
}

// The first of the "Found" lines that a start in an installation logs that the messages lack:
// the installation's updater ("Found Update.exe ..."), then "Found VERSION: 'PATH'" for each of
// the packages; nothing when all are there. A runtime that did not find the installation or its
// packages skips the work whose cost is measured, and would post better figures.
inline std::optional<std::string> MissingFoundLine(const std::vector<std::string>& messages,
                                                   const std::vector<std::wstring>& packages,
                                                   const std::string& version) {
    constexpr std::string_view kUpdater = "Found Update.exe ";
    if (std::none_of(messages.begin(), messages.end(),
                     [&](const std::string& m) { return m.starts_with(kUpdater); })) {
        return std::string(kUpdater) + "...";
    }
    for (const std::wstring& file : packages) {
        const upkit::Path path(std::u16string(file.begin(), file.end()));
        const std::string want = "Found " + version + ": '" + upkit::PathDebug(path) + "'";
        if (std::find(messages.begin(), messages.end(), want) == messages.end()) return want;
    }
    return std::nullopt;
}

// The 1, 5 and 15 minute load averages of the machine (Linux's, through Wine's drive Z:).
inline std::string LoadAverage() {
    const std::string text = ReadText(L"Z:\\proc\\loadavg").value_or("");
    size_t end = 0;
    for (int field = 0; field < 3 && end != std::string::npos; ++field) {
        end = text.find(' ', end + (field ? 1 : 0));
    }
    return end == std::string::npos || end == 0 ? "unknown" : text.substr(0, end);
}

}  // namespace zelt::bench
