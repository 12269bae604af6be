// Starting the real ZeltOy2.exe in hostile installations, and what every such start must show:
// the engine ran with the four values the process was given, its result is the exit code, the
// runtime's log names each failure it met, and nothing reached the fault path.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "../runtime/zip_writer.h"
#include "misc.h"
#include "zelt_test.h"

namespace zelt::test::hostile {

// What the fixture engine returns unless a case says otherwise: a value no start-up path of the
// launcher or the runtime produces by itself.
inline constexpr DWORD kResult = 0x5A17;
// Every start asks for this show command, so the engine's fourth value is checkable.
inline constexpr WORD kShow = SW_SHOWMINNOACTIVE;

enum class Lv { Error, Warn, Info };

inline const char* LevelName(Lv level) {
    switch (level) {
        case Lv::Error:
            return "ERROR";
        case Lv::Warn:
            return "WARN";
        case Lv::Info:
            return "INFO";
    }
    return "?";
}

struct LogLine {
    Lv level{};
    std::string message{};
};

// A log line a case expects: the message with "*" standing for any run of characters, and how
// often it must occur (kSome: at least once; 0: never).
inline constexpr int kSome = -1;
struct Want {
    Lv level{};
    std::string text{};
    int times = 1;
};

// Whether the text matches the pattern, where "*" matches any run of characters.
inline bool Matches(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

// The quoted form the runtime writes paths and texts in: between double quotes, with backslash,
// double quote, tab, carriage return and line feed escaped.
inline std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}
// The same for a path as the system gives it: an unpaired surrogate appears as "\u{d800}".
inline std::string Quoted(const std::wstring& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned c = static_cast<unsigned>(text[i]);
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        size_t units = 1;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            units = 2;
        } else if (high || low) {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u{%x}", c);
            out += escaped;
            continue;
        }
        const std::string piece = Quoted(Narrow(text.substr(i, units)));
        out += piece.substr(1, piece.size() - 2);
        i += units - 1;
    }
    return out + "\"";
}

inline std::wstring WideOf(const upkit::Path& path) {
    return std::wstring(path.Units().begin(), path.Units().end());
}

// The per-user folder, as the shell reports it independently of the runtime.
inline std::wstring LocalAppData() {
    return LocalAppDataFolder();
}

// The runtime log of an installation with the given manifest id, and the one of a start that
// found no installation.
inline std::wstring LogFileFor(std::string_view id) {
    return JoinPath(JoinPath(LocalAppData(), L"upkit"), L"upkit_" + Widen(id) + L".log");
}
inline std::wstring PlainLogFile() {
    return JoinPath(JoinPath(LocalAppData(), L"upkit"), L"upkit.log");
}

// Removes a log file and its ".old" now and when it goes away, so every case reads only its own
// lines and leaves nothing behind.
class LogFiles {
public:
    explicit LogFiles(std::wstring path) : path_(std::move(path)) { Clear(); }
    ~LogFiles() { Clear(); }
    LogFiles(const LogFiles&) = delete;
    LogFiles& operator=(const LogFiles&) = delete;
    const std::wstring& path() const { return path_; }

private:
    void Clear() const {
        RemoveTree(path_);
        RemoveTree(path_ + L".old");
    }
    std::wstring path_;
};

// The lines the process with the given id wrote into the log file.
inline std::vector<LogLine> ReadLog(const std::wstring& path, DWORD pid) {
    static const std::regex kLine(R"(\[lib-cpp:(\d+)\] \[\d\d:\d\d:\d\d\] \[(ERROR|WARN|INFO)\] )");
    std::vector<LogLine> lines;
    const std::string text = TryReadFile(path).value_or("");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        std::smatch m;
        if (!std::regex_search(line, m, kLine, std::regex_constants::match_continuous)) continue;
        if (m[1].str() != std::to_string(pid)) continue;
        const std::string level = m[2].str();
        lines.push_back({level == "ERROR"  ? Lv::Error
                         : level == "WARN" ? Lv::Warn
                                           : Lv::Info,
                         line.substr(static_cast<size_t>(m.length(0)))});
    }
    return lines;
}

// Writes a file made of bytes and holes: the holes are left unwritten (sparse where the file
// system allows), so files of gigabytes cost nothing.
struct Chunk {
    std::string bytes{};
    uint64_t zeros = 0;
};
inline bool WriteSparseFile(const std::wstring& path, const std::vector<Chunk>& chunks) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot create " << Narrow(path) << " (error " << GetLastError() << ")";
        return false;
    }
    DWORD ignored = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    bool ok = true;
    for (const Chunk& chunk : chunks) {
        if (!chunk.bytes.empty()) {
            DWORD written = 0;
            ok = ok &&
                 ::WriteFile(file, chunk.bytes.data(), static_cast<DWORD>(chunk.bytes.size()),
                             &written, nullptr) &&
                 written == chunk.bytes.size();
        }
        LARGE_INTEGER skip;
        skip.QuadPart = static_cast<LONGLONG>(chunk.zeros);
        ok = ok && SetFilePointerEx(file, skip, nullptr, FILE_CURRENT);
    }
    ok = ok && SetEndOfFile(file);
    CloseHandle(file);
    EXPECT_TRUE(ok) << "writing " << Narrow(path);
    return ok;
}

// One start of the game.
struct Launch {
    std::wstring exe{};
    std::wstring arguments{};                   // what follows the program name
    std::optional<std::wstring> commandLine{};  // a whole command line instead
    EnvChanges env{};                           // applied after the test's own settings
    DWORD result = kResult;                     // what the fixture engine returns
    std::wstring log{};                         // the runtime log file this start writes
    // Runs while the game runs (the start is only waited for afterwards).
    std::function<void(const Process&)> whileRunning{};
    DWORD timeoutMs = 120000;
};

struct Outcome {
    std::optional<DWORD> exitCode{};
    std::optional<Record> report{};  // none when the engine never ran
    std::vector<LogLine> log{};
    DWORD pid = 0;

    std::string LogText() const {
        std::string text{};
        for (const LogLine& line : log) {
            text += std::string("  [") + LevelName(line.level) + "] " + line.message + "\n";
        }
        return text;
    }
};

inline Outcome Start(const Launch& launch) {
    TempDir scratch(L"hrun");
    const std::wstring report = scratch / L"engine-report.txt";
    ProcessSpec invocation;
    invocation.application = launch.exe;
    invocation.commandLine = launch.commandLine
                                 ? *launch.commandLine
                                 : QuoteArgument(launch.exe) +
                                       (launch.arguments.empty() ? L"" : L" " + launch.arguments);
    invocation.workingDir = scratch.path();
    invocation.showWindow = kShow;
    invocation.timeoutMs = launch.timeoutMs;
    invocation.env = {
        {L"ZELT_BASLATICI_KUTUSUZ", L"1"},
        {L"ZELT_FIXTURE_REPORT", report},
        {L"ZELT_FIXTURE_RESULT", std::to_wstring(static_cast<int32_t>(launch.result))},
        {L"UPKIT_DEBUG", std::nullopt},
        {L"UPKIT_FIRSTRUN", std::nullopt},
        {L"UPKIT_RESTART", std::nullopt}};
    invocation.env.insert(invocation.env.end(), launch.env.begin(), launch.env.end());

    Outcome outcome;
    Process process;
    if (!process.Start(invocation)) return outcome;
    outcome.pid = process.Id();
    if (launch.whileRunning) launch.whileRunning(process);
    outcome.exitCode = process.Wait(invocation.timeoutMs);
    if (PathExists(report)) outcome.report = Record::Load(report);
    if (!launch.log.empty()) outcome.log = ReadLog(launch.log, outcome.pid);
    return outcome;
}

// The engine ran once with exactly these arguments (after the program name and the blanks that
// follow it), the show command asked for, the executable's own module and no previous instance,
// and its result became the exit code.
inline void ExpectEngineStarted(const Outcome& outcome, std::wstring_view arguments,
                                DWORD result = kResult) {
    EXPECT_EQ(outcome.exitCode, std::optional<DWORD>(result));
    ASSERT_TRUE(outcome.report.has_value()) << "the engine did not run";
    const Record& report = *outcome.report;
    const size_t first = arguments.find_first_not_of(L" \t");
    const std::wstring_view tail =
        first == std::wstring_view::npos ? std::wstring_view() : arguments.substr(first);
    EXPECT_EQ(report.Get("commandLineNull"), "0");
    EXPECT_EQ(report.Get("commandLineHex"), HexUnits(tail))
        << "received: " << report.Get("commandLine");
    EXPECT_EQ(report.Get("show"), std::to_string(kShow));
    EXPECT_EQ(report.Get("instanceIsExe"), "1");
    EXPECT_EQ(report.Get("previous"), "0");
}

// Each wanted line occurs as often as wanted; every Error and Warn line is one the case expects,
// so any failure the runtime logs is one whose text the case has checked; and no line is a
// fault record.
inline void ExpectLog(const Outcome& outcome, const std::vector<Want>& wants) {
    for (const Want& want : wants) {
        int count = 0;
        for (const LogLine& line : outcome.log) {
            count += line.level == want.level && Matches(want.text, line.message);
        }
        if (want.times == kSome) {
            EXPECT_GE(count, 1) << "no " << LevelName(want.level) << " line " << want.text
                                << "\nlog:\n"
                                << outcome.LogText();
        } else {
            EXPECT_EQ(count, want.times)
                << LevelName(want.level) << " line " << want.text << "\nlog:\n"
                << outcome.LogText();
        }
    }
    for (const LogLine& line : outcome.log) {
        EXPECT_EQ(line.message.find("panicked at"), std::string::npos)
            << "fault record: " << line.message;
        if (line.level == Lv::Info) continue;
        const bool expected = std::any_of(wants.begin(), wants.end(), [&](const Want& want) {
            return want.level == line.level && want.times != 0 && Matches(want.text, line.message);
        });
        EXPECT_TRUE(expected) << "unexpected " << LevelName(line.level)
                              << " line: " << line.message;
    }
}

// A name usable in test names, ids and file names: letters and digits, the rest as "_".
inline std::string Slug(std::string_view text) {
    std::string out;
    for (char c : text) {
        const bool keep =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (keep) {
            out += c;
        } else if (!out.empty() && out.back() != '_') {
            out += '_';
        }
    }
    while (!out.empty() && out.back() == '_') out.pop_back();
    return out;
}

// A manifest id no other case or test uses, so each case reads its own log file.
inline std::string CaseId(std::string_view family, std::string_view name) {
    return "Hostile." + std::string(family) + "." + Slug(name) + "." +
           std::to_string(GetCurrentProcessId());
}

// The retry warnings of one operation that failed four times with the same error.
inline std::vector<Want> RetryWarnings(const std::string& error) {
    return {{Lv::Warn, "Retrying operation in 333ms... (error was: " + error + ")"},
            {Lv::Warn, "Retrying operation in 666ms... (error was: " + error + ")"},
            {Lv::Warn, "Retrying operation in 1000ms... (error was: " + error + ")"}};
}

// The line of a start whose retry budget was already spent when an operation failed with the
// error: that operation and every later one are not retried.
inline Want BudgetSpent(const std::string& error) {
    return {Lv::Warn,
            "Retry budget of 1999ms for this start is spent; failing file operations are no longer "
            "retried (error was: " +
                error + ")"};
}

inline std::vector<Want> operator+(std::vector<Want> a, const std::vector<Want>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The file name of the package of a version, after the given name in front of it.
inline std::wstring PackageName(std::string_view version, std::wstring_view front = L"App") {
    return std::wstring(front) + L"-" + Widen(version) + L"-full.nupkg";
}

// An installation of version 1.0.0 under a fresh folder, with the case's own manifest id.
struct Site {
    TempDir dir{L"hst"};
    std::string id{};
    Installation install{};

    Site(std::string manifestId, std::string_view manifest, std::wstring_view rootName = L"ZeltOy2")
        : id(std::move(manifestId)), install(LayOutInstallation(dir / rootName, manifest)) {}
    // With the root's name chosen knowing the fresh folder it goes into.
    Site(std::string manifestId, std::string_view manifest,
         const std::function<std::wstring(const std::wstring& folder)>& rootName)
        : id(std::move(manifestId)),
          install(LayOutInstallation(dir / rootName(dir.path()), manifest)) {}
    explicit Site(std::string manifestId) : Site(manifestId, ManifestXml(manifestId, "1.0.0")) {}

    void AddPackages(const std::wstring& folder, const std::vector<std::string>& versions,
                     std::wstring_view front = L"App") const {
        for (const std::string& v : versions) {
            EXPECT_TRUE(
                WriteFile(JoinPath(folder, PackageName(v, front)), zipw::Package("App", v)));
        }
    }
    std::vector<std::wstring> Packages() const { return ListDir(install.packagesDir); }
};

inline std::vector<std::wstring> Names(std::vector<std::wstring> names) {
    std::sort(names.begin(), names.end());
    return names;
}

// The lines of a start that found the installation, listed the packages 0.9.0 and 1.0.0 in the
// given folder and removed the outdated one.
inline std::vector<Want> Tidied(const std::string& identity, const std::wstring& packagesDir,
                                std::wstring_view front = L"App") {
    const std::wstring old = JoinPath(packagesDir, PackageName("0.9.0", front));
    const std::wstring kept = JoinPath(packagesDir, PackageName("1.0.0", front));
    return {{Lv::Info, "Setting current process explicit AppUserModelID to '" + identity + "'"},
            {Lv::Info, "Searching for local packages in: " + Quoted(packagesDir)},
            {Lv::Info, "Found 0.9.0: '" + Quoted(old) + "'"},
            {Lv::Info, "Found 1.0.0: '" + Quoted(kept) + "'"},
            {Lv::Info, "Removing old package: " + Quoted(old)}};
}

}  // namespace zelt::test::hostile
