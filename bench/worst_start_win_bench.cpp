// Worst-case starts: ZeltOy2.exe started in installations that are hostile in one way each,
// against the same installation left clean. Every installation is laid out the same way (version
// 1.0.0, three packages of 256 MiB at that version, so no start deletes or applies anything) and
// then made hostile by one of:
//
//   - a package whose end holds 300 ZIP64 end-record candidates, each claiming a directory of
//     millions of entries over a hole;
//   - a package whose end is nothing but classic end records claiming 65,535 entries each;
//   - 1, and 20, packages held open without sharing by another process;
//   - the installed sq.version held open without sharing;
//   - 2,000 more packages (small ones at the installed version);
//   - an installed sq.version of the largest size read;
//   - a package whose manifest entry is of the largest size read;
//   - a package whose manifest entry inflates past that size while declaring a small one;
//   - a package whose manifest is nested millions of elements deep.
//
// Measured by the fixture engine at UnityMain2's entry: the time since the process was created
// and the peak working set. In each round every installation starts once, in an order shuffled
// anew each round, and each hostile start is paired with the clean start of the same round, so
// that load from elsewhere on the machine that lasts a while weighs on both sides of a pair. Per
// installation: the median of the paired extra times, which the verdict is on, with their minimum
// and interquartile range, and the median and the maximum of the paired peak working sets added.
// Each start must show that the runtime did its work: the engine ran and its result is the exit
// code, the runtime log holds the "Found" lines of the installation's updater and of every clean
// package (or, where the installed manifest cannot be read, the failure to open the
// installation), and no package is gone afterwards. The machine's load average is printed beside
// the figures.
//
// Usage: worst_start_win_bench [ROUNDS]   (default 5; one uncounted round comes first)
// Prints the tables, then "summary|measure|value|goal|verdict" lines for scripts/bench. Exit code
// 0 when every installation meets its goals, 1 when one misses them, 2 when the benchmark could
// not run.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../tests/runtime/zip_writer.h"
#include "bundle.h"
#include "locator.h"
#include "sparse_file.h"
#include "start_win.h"

namespace {

namespace zw = zelt::zipw;
namespace zb = zelt::bench;
using zb::kMiB;

constexpr char kId[] = "Zelt.ZeltOy2.WorstStart";
constexpr char kVersion[] = "1.0.0";
constexpr char kMainExe[] = "ZeltOy2.exe";

constexpr int kCleanPackages = 3;
constexpr uint64_t kCleanPackageSize = 256 * kMiB;
// The slowest hostile starts of the runtime without its guards take close to a minute.
constexpr DWORD kStartTimeoutMs = 10 * 60 * 1000;

constexpr double kExtraGoalS = 2.5;
constexpr double kPeakGoalMiB = 64;

// The ZIP reader searches the last 65,578 bytes of an archive for end records (room for the
// longest comment, the record and a ZIP64 locator before it), from the 21st of them on when the
// archive is at least that long (a candidate there still has room for a locator).
constexpr size_t kEndSearch = 65536 + 22 + 20;
constexpr size_t kLocatorRoom = 20;
constexpr size_t kDirectoryEntry = 46;  // the smallest central directory entry

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

bool WriteChecked(const std::wstring& file, const std::vector<zw::Piece>& pieces, uint64_t size) {
    if (zb::WritePieces(file, pieces) && zb::FileSize(file) == size) return true;
    std::fprintf(stderr, "cannot write %ls\n", file.c_str());
    return false;
}

// A package file of 256 MiB that is a hole but for 300 end-record candidates spread over the part
// of its end that the ZIP reader searches. Each candidate is a classic end record with a ZIP64
// locator right before it, which points at a ZIP64 end record right before the locator. That
// record claims a directory from the file's start up to the record itself, with as many entries
// as such a span can hold; the disk numbers are 0 and both entry counts agree. The reader takes
// every candidate for consistent and sets up 32 bytes for each claimed entry (some 178 MiB)
// before it reads the first entry, finds zeros and goes on to the next candidate.
bool WriteZip64Amplification(const std::wstring& file) {
    constexpr uint64_t kSize = 256 * kMiB;
    constexpr size_t kCandidates = 300;
    constexpr size_t kStride = (kEndSearch - kLocatorRoom) / kCandidates;
    const uint64_t tailStart = kSize - kEndSearch;
    std::string tail(kEndSearch, '\0');
    for (size_t k = 0; k < kCandidates; ++k) {
        const size_t at = kEndSearch - (kCandidates - k) * kStride;
        const uint64_t record = tailStart + at;
        const uint64_t entries = record / kDirectoryEntry;
        const std::string candidate = zw::Zip64EndRecord(entries, record, 0) +
                                      zw::Zip64Locator(record) +
                                      zw::ClassicEndRecord(0xFFFF, 0xFFFFFFFFu, 0xFFFFFFFFu);
        tail.replace(at, candidate.size(), candidate);
    }
    // No field may spell a signature by chance: exactly the candidates are found.
    if (Occurrences(tail, "PK\5\6") != kCandidates || Occurrences(tail, "PK\6\7") != kCandidates ||
        Occurrences(tail, "PK\6\6") != kCandidates) {
        std::fprintf(stderr, "the ZIP64 candidates are miscounted\n");
        return false;
    }
    return WriteChecked(file, {{"", tailStart}, {std::move(tail), 0}}, kSize);
}

// A file of 4 MiB whose searched end is filled with classic end records (2,979 of them), each
// claiming 65,535 entries on disk 0 in a directory at the file's start: the reader sets up 2 MiB
// for each record's entries before it finds none there.
bool WriteClassicAmplification(const std::wstring& file) {
    constexpr uint64_t kSize = 4 * kMiB;
    const std::string tail = zw::ClassicEndRecordFlood((kEndSearch - kLocatorRoom) / 22, 0xFFFF);
    return WriteChecked(file, {{"", kSize - tail.size()}, {std::move(tail), 0}}, kSize);
}

// A valid manifest of exactly the given size: the usual elements and release notes that fill it.
std::string ManifestOfSize(size_t size) {
    const std::string usual = zw::ManifestXml(kId, kVersion, kMainExe);
    const size_t end = usual.find("</metadata>");
    const std::string before = usual.substr(0, end) + "<releaseNotes>";
    const std::string after = "</releaseNotes>" + usual.substr(end);
    constexpr std::string_view kLine = "Zelt Oy: fixes and improvements in every corner.\n";
    std::string notes;
    while (notes.size() < size - before.size() - after.size()) notes += kLine;
    notes.resize(size - before.size() - after.size());
    return before + notes + after;
}

// A package of the manifest entry alone, as the entry is given.
bool WriteManifestPackage(const std::wstring& file, zw::Entry manifest) {
    manifest.name = std::string(kId) + ".nuspec";
    manifest.method = zw::Method::Deflated;
    const std::string bytes = zw::Build({manifest});
    return WriteChecked(file, {{bytes, 0}}, bytes.size());
}

// Small packages at the installed version, which no start deletes.
bool WriteSmallPackages(const std::wstring& folder, const std::string& front, int count,
                        std::vector<std::wstring>* written = nullptr) {
    const std::string bytes = zw::Package(kId, kVersion, kMainExe);
    for (int i = 0; i < count; ++i) {
        char name[96];
        std::snprintf(name, sizeof name, "\\%s-%s-%s-%04d-full.nupkg", kId, kVersion, front.c_str(),
                      i);
        const std::wstring file = folder + zb::Widen(name);
        if (!WriteChecked(file, {{bytes, 0}}, bytes.size())) return false;
        if (written) written->push_back(file);
    }
    return true;
}

struct Install {
    std::string label;
    std::wstring root{};
    std::wstring current{};
    std::wstring packages{};
    std::vector<std::wstring> cleanPackages{};  // each start logs a "Found" line for each
    std::vector<std::wstring> held{};           // held open without sharing during each start
    bool located = true;                        // whether the installation can be opened
    int packageCount = 0;                       // "*-full.nupkg" files, before and after a start
    std::vector<double> seconds{};              // one a round
    std::vector<double> peakMiB{};

    std::wstring Hostile() const {
        return packages + L"\\" + zb::Widen(kId) + L"-hostile-full.nupkg";
    }
};

struct HostileKind {
    const char* label;
    std::function<bool(Install&)> make;
};

const std::vector<HostileKind> kKinds = {
    {"ZIP64 end-record amplification",
     [](Install& i) { return WriteZip64Amplification(i.Hostile()); }},
    {"classic end-record amplification",
     [](Install& i) { return WriteClassicAmplification(i.Hostile()); }},
    {"1 package held open",
     [](Install& i) { return WriteSmallPackages(i.packages, "held", 1, &i.held); }},
    {"20 packages held open",
     [](Install& i) { return WriteSmallPackages(i.packages, "held", 20, &i.held); }},
    {"sq.version held open",
     [](Install& i) {
         i.held.push_back(i.current + L"\\sq.version");
         i.located = false;
         return true;
     }},
    {"2,000 packages", [](Install& i) { return WriteSmallPackages(i.packages, "more", 2000); }},
    {"16 MiB sq.version",
     [](Install& i) {
         return zb::WriteText(i.current + L"\\sq.version",
                              ManifestOfSize(upkit::kMaxManifestBytes));
     }},
    {"16 MiB package manifest",
     [](Install& i) {
         return WriteManifestPackage(i.Hostile(),
                                     {.data = ManifestOfSize(upkit::kMaxManifestEntrySize)});
     }},
    {"manifest Deflate bomb",
     [](Install& i) {
         // Declaring a small size, so that only the inflated bytes themselves can stop the read.
         return WriteManifestPackage(i.Hostile(),
                                     {.data = std::string(64 * kMiB, ' '), .declaredSize = 1000});
     }},
    {"manifest nested millions deep",
     [](Install& i) {
         std::string xml;
         while (xml.size() + 3 <= upkit::kMaxManifestEntrySize) xml += "<a>";
         return WriteManifestPackage(i.Hostile(), {.data = std::move(xml)});
     }},
};

// The clean installation: the three packages and nothing else.
bool LayOut(Install& install, const std::wstring& bin) {
    install.current = install.root + L"\\current";
    install.packages = install.root + L"\\packages";
    if (!zb::LayOutInstallation(install.root, bin, zw::ManifestXml(kId, kVersion, kMainExe))) {
        return false;
    }
    for (int i = 0; i < kCleanPackages; ++i) {
        char name[96];
        std::snprintf(name, sizeof name, "\\%s-%s-%03d-full.nupkg", kId, kVersion, i);
        const std::wstring file = install.packages + zb::Widen(name);
        if (!zb::WriteSizedPackage(file, kId, kVersion, kCleanPackageSize) ||
            zb::FileSize(file) != kCleanPackageSize) {
            std::fprintf(stderr, "cannot write %ls\n", file.c_str());
            return false;
        }
        install.cleanPackages.push_back(file);
    }
    return true;
}

// The runtime log of this installation.
std::wstring LogFile() {
    return zb::LogFile(kId);
}

void RemoveLogs() {
    for (const std::wstring& file : {LogFile(), LogFile() + L".old", zb::PlainLogFile()}) {
        DeleteFileW(file.c_str());
    }
}

// Whether the start's log shows the runtime's work: every clean package found, or, when the
// installation cannot be opened, that failure.
bool RuntimeDidItsWork(const Install& install, DWORD pid) {
    if (!install.located) {
        const std::string log = zb::ReadText(zb::PlainLogFile()).value_or("");
        for (const std::string& message : zb::Messages(log, pid, "ERROR")) {
            if (message.starts_with("UpkitApp: Error loading manager/locator: ")) return true;
        }
        std::fprintf(stderr, "%s: no failure to open the installation in the log\n",
                     install.label.c_str());
        return false;
    }
    const std::vector<std::string> found =
        zb::Messages(zb::ReadText(LogFile()).value_or(""), pid, "INFO");
    if (const std::optional<std::string> missing =
            zb::MissingFoundLine(found, install.cleanPackages, kVersion)) {
        std::fprintf(stderr, "%s: the log lacks \"%s\"\n", install.label.c_str(), missing->c_str());
        return false;
    }
    return true;
}

// Files held open without sharing, as another program may hold them, until this goes away.
class Holds {
public:
    ~Holds() {
        for (HANDLE h : handles_) CloseHandle(h);
    }
    bool Hold(const std::wstring& file) {
        HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "cannot hold %ls (error %lu)\n", file.c_str(), GetLastError());
            return false;
        }
        handles_.push_back(h);
        return true;
    }

private:
    std::vector<HANDLE> handles_;
};

// One start in the installation, checked; its figures are added when counted.
bool Start(Install& install, bool counted) {
    RemoveLogs();
    std::optional<zb::EngineTiming> timing;
    {
        Holds holds;
        for (const std::wstring& file : install.held) {
            if (!holds.Hold(file)) return false;
        }
        timing =
            zb::TimedStart(install.current, L"ZeltOy2.exe", zb::kEngineResult, kStartTimeoutMs);
    }
    if (!timing || !RuntimeDidItsWork(install, timing->pid)) return false;
    const int left = zb::CountPackages(install.packages);
    if (left != install.packageCount) {
        std::fprintf(stderr, "%s: %d packages left of %d\n", install.label.c_str(), left,
                     install.packageCount);
        return false;
    }
    if (counted) {
        install.seconds.push_back(timing->ms / 1e3);
        install.peakMiB.push_back(timing->peakMiB);
    }
    return true;
}

// The summary value of an installation: its paired extra time and peak working set added.
std::string Figures(const zb::Paired& time, const zb::Paired& peak) {
    char text[64];
    std::snprintf(text, sizeof text, "; peak added median %.2f, max %.2f MiB", peak.median,
                  peak.max);
    return "time " + zb::PairedText(time, 3, "s") + text;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::wstring bin = zb::BinDir();
    const std::wstring base = zb::MakeScratchDir(L"zelt-worst-start");
    zb::SetStartEnvironment();

    // installs[0] is the clean one; installs[k] is made hostile by kKinds[k - 1].
    std::vector<Install> installs;
    installs.push_back({"clean", base + L"\\clean"});
    for (size_t k = 0; k < kKinds.size(); ++k) {
        installs.push_back({kKinds[k].label, base + L"\\h" + std::to_wstring(k + 1)});
    }
    // Every installation holds the clean packages; the hostile ones add less than one more set.
    const uint64_t packageBytes = (installs.size() + 1) * kCleanPackages * kCleanPackageSize;
    bool ok = !zb::LogFolder().empty() && zb::RoomForPackages(base, packageBytes);
    for (size_t k = 0; ok && k < installs.size(); ++k) {
        Install& install = installs[k];
        ok = LayOut(install, bin) && (k == 0 || kKinds[k - 1].make(install));
        install.packageCount = zb::CountPackages(install.packages);
        if (!ok) std::fprintf(stderr, "cannot lay out: %s\n", install.label.c_str());
    }

    const std::string loadBefore = zb::LoadAverage();
    // A first round is not counted: it fills the caches and shows that every installation
    // starts as expected before the long rounds.
    for (int r = 0; ok && r <= rounds; ++r) {
        std::vector<size_t> order(installs.size());
        std::iota(order.begin(), order.end(), 0);
        std::mt19937 shuffle(static_cast<unsigned>(r) + 1);
        std::shuffle(order.begin(), order.end(), shuffle);
        for (size_t k : order) ok = ok && Start(installs[k], r > 0);
    }
    const std::string loadAfter = zb::LoadAverage();

    RemoveLogs();
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(base), ignored);
    if (!ok) return 2;

    const Install& clean = installs[0];
    std::printf(
        "Worst-case starts: process creation to UnityMain2 entry, %d round%s (each installation "
        "once a round, shuffled), each hostile start paired with the round's clean start\n",
        rounds, rounds == 1 ? "" : "s");
    std::printf("load average (1, 5, 15 min): %s before, %s after\n\n", loadBefore.c_str(),
                loadAfter.c_str());
    std::printf(
        "clean installation (%d packages of %d MiB): %.3f s min, %.3f s median; peak "
        "working set %.2f MiB median\n\n",
        kCleanPackages, static_cast<int>(kCleanPackageSize / kMiB), zb::Min(clean.seconds),
        zb::Median(clean.seconds), zb::Median(clean.peakMiB));
    std::printf("%-34s %39s %26s  %s\n", "hostile installation",
                "extra time (paired) median / min / IQR", "peak added median / max", "verdict");

    bool allMet = true;
    struct Line {
        std::string measure, value;
        bool met;
    };
    std::vector<Line> summaries;
    for (size_t k = 1; k < installs.size(); ++k) {
        const Install& install = installs[k];
        const zb::Paired extra = zb::PairedDifferences(install.seconds, clean.seconds);
        const zb::Paired added = zb::PairedDifferences(install.peakMiB, clean.peakMiB);
        const bool met = extra.median <= kExtraGoalS && added.max < kPeakGoalMiB;
        allMet = allMet && met;
        std::printf("%-34s %8.3f / %7.3f / %7.3f..%7.3f s %11.2f / %8.2f MiB  %s\n",
                    install.label.c_str(), extra.median, extra.min, extra.q1, extra.q3,
                    added.median, added.max, met ? "met" : "MISSED");
        summaries.push_back({"worst start, " + install.label, Figures(extra, added), met});
    }
    std::printf("\n");
    for (const Line& line : summaries) {
        zb::Summary(line.measure, line.value, "time median <= 2.5 s; peak added max < 64 MiB",
                    line.met ? "met" : "MISSED");
    }
    zb::Summary("worst start, load average before; after", loadBefore + "; " + loadAfter,
                "(reported)", "-");
    return allMet ? 0 : 1;
}
