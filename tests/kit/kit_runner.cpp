#include "kit_runner.h"

#include <algorithm>
#include <cstdio>

#include "kit_system.h"

namespace zelt::kit {

namespace {

constexpr const char* kUnzipFirst =
    "Extract the whole ZeltOy2-tests.zip into a folder (in Explorer: right-click the zip, "
    "Extract All...), then start run-tests.exe in that folder.";

// The benchmarks time many starts of the game each: an hour is their own budget, not a test's.
constexpr unsigned kBenchTimeoutSeconds = 3600;
constexpr size_t kTailLines = 40;
constexpr size_t kTailBytes = 64 * 1024;

std::string Fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Indented(const std::string& text, const char* indent) {
    std::string out;
    for (const std::string& line : SplitLines(text)) out += indent + line + "\n";
    return out;
}

std::string Join(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (const std::string& part : parts) out += (out.empty() ? "" : separator) + part;
    return out;
}

std::string LocalTimeText() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond);
    return text;
}

bool IsAscii(std::wstring_view text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; });
}

// A test program with a narrow main() gets its arguments in the ANSI code page: a folder whose
// name does not fit it reaches the program in its short form, where the volume keeps one.
std::wstring NarrowSafeFolder(const std::wstring& folder) {
    if (IsAscii(folder)) return folder;
    std::wstring shortForm(MAX_PATH, L'\0');
    const DWORD n = GetShortPathNameW(folder.c_str(), shortForm.data(), MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return folder;
    shortForm.resize(n);
    return IsAscii(shortForm) ? shortForm : folder;
}

bool IsEmptyFile(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
           data.nFileSizeHigh == 0 && data.nFileSizeLow == 0;
}

std::string OutputTail(const std::wstring& path) {
    const std::string text = OutputText(ReadFileBytes(path, kTailBytes).value_or(""));
    std::string tail;
    for (const std::string& line : LastLines(text, kTailLines)) tail += line + "\n";
    return tail;
}

std::string CountsLine(const std::vector<TestReport>& reports) {
    size_t passed = 0;
    size_t failed = 0;
    size_t skipped = 0;
    for (const TestReport& r : reports) {
        passed += r.outcome == Outcome::kPassed;
        failed += r.outcome == Outcome::kFailed;
        skipped += r.outcome == Outcome::kSkipped;
    }
    return std::to_string(passed) + " passed, " + std::to_string(failed) + " failed, " +
           std::to_string(skipped) + " skipped";
}

const char* ResultWord(const TestReport& r) {
    if (r.outcome == Outcome::kPassed) return "passed";
    if (r.outcome == Outcome::kSkipped) return "skipped";
    return r.kind == FailureKind::kHung ? "HUNG" : "FAILED";
}

std::string NotStartedText(const ChildEnd& end) {
    return "could not be started: " + end.startWhat + " failed (" + ErrorText(end.startError) + ")";
}

}  // namespace

Runner::Runner(Console& console, const Options& options, HANDLE stop, HANDLE cleanedUp)
    : console_(console), options_(options), stop_(stop), cleanedUp_(cleanedUp) {}

int Runner::Run() {
    startedAt_ = LocalTimeText();
    if (!LocateKit()) return 2;
    Say("ZeltOy2 test kit, version " + info_.version + ", commit " + info_.commit);
    ChooseReportPath();
    if (!MakePrivateFolder()) return 2;
    bool ran = false;
    if (SaveUserState()) {
        const std::vector<Planned> plan = ListTests();
        if (plan.empty() && reports_.empty()) {
            Say("No test matches --filter " + options_.filter + ".");
        } else {
            ran = true;
            Say("Running " + std::to_string(plan.size()) + (plan.size() == 1 ? " test" : " tests") +
                ", one at a time, each with a time limit of " +
                std::to_string(options_.timeoutSeconds) + " s.");
            for (size_t i = 0; i < plan.size() && !stopped_; ++i) {
                RunTest(plan[i], i + 1, plan.size());
                if (stopped_) notRun_ = plan.size() - i - 1;
            }
            if (options_.bench && !stopped_) RunBenchmarks();
        }
    }
    CleanUp();
    if (!ran) {
        SetEvent(cleanedUp_);
        return 2;
    }
    const bool written = WriteOutputs();
    SetEvent(cleanedUp_);
    const bool failed = std::any_of(reports_.begin(), reports_.end(), [](const TestReport& r) {
        return r.outcome == Outcome::kFailed;
    });
    return failed || stopped_ || !written ? 1 : 0;
}

// ---- Before the tests ----

// The programs named for this run that the folder lacks, with kit-info.txt read from it.
std::vector<std::string> Runner::MissingPrograms(const std::wstring& folder) {
    binDir_ = folder;
    const auto text = ReadFileBytes(JoinPath(binDir_, L"kit-info.txt"));
    kitInfoFound_ = text.has_value();
    info_ = text ? ParseKitInfo(*text) : KitInfo{};
    const std::vector<std::string> programs =
        options_.selfCheck ? std::vector<std::string>{info_.selfCheck} : info_.programs;
    if (programs.empty()) return {"the test programs kit-info.txt should name"};
    std::vector<std::string> missing;
    for (const std::string& program : programs) {
        if (!IsFile(JoinPath(binDir_, Widen(program)))) missing.push_back(program);
    }
    return missing;
}

bool Runner::LocateKit() {
    exeDir_ = ExeDir();
    const std::wstring bin =
        options_.bin.empty() ? JoinPath(exeDir_, L"bin") : FullPath(options_.bin);
    // In a build folder the runner lies beside the programs it runs, with no bin\ of its own.
    if (options_.bin.empty() && !IsDirectory(bin) && MissingPrograms(exeDir_).empty()) {
        return true;
    }
    const std::vector<std::string> missing = MissingPrograms(bin);
    if (missing.empty()) return true;
    const std::string where = Narrow(bin);
    if (!options_.bin.empty()) {
        Say("The folder given with --bin, " + where + ", does not hold " + Join(missing, ", ") +
            ".");
        return false;
    }
    Say("The test kit cannot run from here: " +
        (IsDirectory(bin) ? where + " does not hold " + Join(missing, ", ") + "."
                          : "there is no folder " + where + "."));
    Say(kUnzipFirst);
    return false;
}

void Runner::ChooseReportPath() {
    reportPath_ =
        options_.report.empty() ? JoinPath(exeDir_, L"report.txt") : FullPath(options_.report);
    // Found out now rather than after an hour of tests.
    OwnedHandle probe(CreateFileW(reportPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (probe.Valid()) return;
    const DWORD error = GetLastError();
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring fallback = JoinPath(temp, L"ZeltOy2-tests-report.txt");
    Say("Cannot write the report to " + Narrow(reportPath_) + " (" + ErrorText(error) +
        "): it goes to " + Narrow(fallback) + " instead.");
    reportPath_ = fallback;
}

bool Runner::MakePrivateFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring base = FullPath(std::wstring(temp, length));
    DWORD error = length == 0 ? GetLastError() : 0;
    for (unsigned i = 0; length != 0 && i < 100 && privateDir_.empty(); ++i) {
        std::wstring name = L"zelt-kit-" + std::to_wstring(GetCurrentProcessId());
        if (i > 0) name += L"-" + std::to_wstring(i);
        const std::wstring path = JoinPath(base, name);
        if (CreateDirectoryW(path.c_str(), nullptr)) privateDir_ = path;
        error = GetLastError();
        if (privateDir_.empty() && error != ERROR_ALREADY_EXISTS) break;
    }
    tempDir_ = JoinPath(privateDir_, L"tmp");
    outDir_ = JoinPath(privateDir_, L"out");
    if (privateDir_.empty() || !CreateDirectoryW(tempDir_.c_str(), nullptr) ||
        !CreateDirectoryW(outDir_.c_str(), nullptr)) {
        if (!privateDir_.empty()) error = GetLastError();
        Say("Cannot make a temporary folder for the run under " + Narrow(base) + " (" +
            ErrorText(error) + ").");
        if (!privateDir_.empty()) RemoveTree(privateDir_);
        privateDir_.clear();
        return false;
    }
    const auto one = [](bool on) { return on ? std::optional<std::wstring>(L"1") : std::nullopt; };
    environment_ =
        BuildEnvironmentBlock({{L"ZELT_BASLATICI_KUTUSUZ", L"1"},
                               {L"ZELT_NO_WINE_SKIPS", one(options_.noWineSkips)},
                               {L"ZELT_ALLOW_SYSTEM_CHANGES", one(options_.allowSystemChanges)},
                               {L"TEMP", tempDir_},
                               {L"TMP", tempDir_}});
    return true;
}

bool Runner::SaveUserState() {
    localAppData_ = KnownFolder(kFolderLocalAppData);
    if (localAppData_.empty()) {
        cleanupLines_.push_back(
            "The user's local application data folder is unknown: its log folder was neither "
            "saved nor put back.");
        return true;
    }
    localWatch_.Before(localAppData_);
    const std::wstring saved = JoinPath(privateDir_, L"saved-logs");
    std::string problem = "cannot make " + Narrow(saved);
    if (!CreateDirectoryW(saved.c_str(), nullptr) ||
        !logKeeper_.Save(JoinPath(localAppData_, L"upkit"), saved, problem)) {
        Say("Before the tests the shared log folder must be saved, to be put back afterwards, "
            "but " +
            problem + ". Close the games that use it and start run-tests.exe again.");
        return false;
    }
    userStateSaved_ = true;
    return true;
}

std::vector<Runner::Planned> Runner::ListTests() {
    const std::vector<std::string> programs =
        options_.selfCheck ? std::vector<std::string>{info_.selfCheck} : info_.programs;
    const TestFilter filter(options_.filter);
    std::vector<Planned> plan;
    for (const std::string& program : programs) {
        std::vector<Planned> listed;
        if (stopped_ || !ListProgram(JoinPath(binDir_, Widen(program)), listed)) continue;
        for (Planned& planned : listed) {
            if (filter.Selects(planned.test.Full())) plan.push_back(std::move(planned));
        }
    }
    return plan;
}

bool Runner::ListProgram(const std::wstring& program, std::vector<Planned>& listed) {
    const std::string name = Narrow(FileNameOf(program));
    Launch launch;
    launch.program = program;
    launch.commandLine = QuoteArgument(program) + L" --gtest_list_tests";
    launch.workingDir = binDir_;
    launch.outputFile = JoinPath(outDir_, L"list-" + FileNameOf(program) + L".txt");
    launch.timeoutMs = options_.timeoutSeconds * 1000;
    TestReport report;
    const ChildEnd end = RunOnce(launch, name + " --gtest_list_tests", report.notes);
    const std::string output = OutputText(ReadFileBytes(launch.outputFile).value_or(""));
    const std::vector<TestId> tests = ParseTestList(output);
    if (end.how == ChildEnd::How::kExited && end.exitCode == 0 && !tests.empty()) {
        for (const TestId& test : tests) listed.push_back({program, test});
        for (const std::string& note : report.notes) {
            Say("    " + note);
            listingNotes_.push_back(name + " --gtest_list_tests: " + note);
        }
        return true;
    }
    report.program = name;
    report.test = {"(test list)", "--gtest_list_tests"};
    report.outcome = Outcome::kFailed;
    report.kind = IsExceptionCode(end.exitCode) ? FailureKind::kCrash : FailureKind::kFailure;
    report.seconds = end.seconds;
    switch (end.how) {
        case ChildEnd::How::kNotStarted:
            report.reason = NotStartedText(end);
            break;
        case ChildEnd::How::kStopped:
            report.reason = "stopped by the user", stopped_ = true;
            break;
        case ChildEnd::How::kTimedOut:
            report.kind = FailureKind::kHung;
            report.reason = "hung while listing its tests (time limit " +
                            std::to_string(options_.timeoutSeconds) + " s)";
            break;
        case ChildEnd::How::kExited:
            report.reason = end.exitCode != 0 ? "listing its tests ended with exit code " +
                                                    ExitCodeText(end.exitCode)
                                              : "listed no tests";
    }
    report.details =
        report.reason + "\nLast lines of its output:\n" + OutputTail(launch.outputFile);
    AddReport(std::move(report), 0, 0);
    return false;
}

// ---- Runs ----

ChildEnd Runner::RunOnce(Launch launch, const std::string& label, std::vector<std::string>& notes) {
    launch.environment = &environment_;
    launch.stopEvent = stop_;
    ChildEnd end;
    for (int attempt = 0; attempt < 2; ++attempt) {
        end = RunChild(launch);
        if (end.startRetried) {
            notes.push_back("ran again: starting " + label +
                            " failed with error 1359 (Wine now and then fails to start a program)");
        }
        // Wine now and then fails to start a program: it ends at once with an error code,
        // before the program printed anything at all. That run, and only it, gets one more try.
        if (!wine_ || end.how != ChildEnd::How::kExited || end.exitCode == 0 ||
            !IsEmptyFile(launch.outputFile) || attempt == 1) {
            break;
        }
        notes.push_back("ran again: " + label + " ended with code " + ExitCodeText(end.exitCode) +
                        " before printing anything (Wine now and then fails to start a program)");
    }
    if (end.how != ChildEnd::How::kNotStarted && end.leftProcesses > 0) {
        notes.push_back(std::to_string(end.leftProcesses) +
                        " of its processes still ran when it ended; they were ended");
    }
    if (!end.treeEnded) notes.push_back("some of its processes would not end");
    return end;
}

void Runner::RunTest(const Planned& planned, size_t index, size_t total) {
    const std::string program = Narrow(FileNameOf(planned.program));
    if (IsDisabled(planned.test)) {
        TestReport report;
        report.program = program;
        report.test = planned.test;
        report.outcome = Outcome::kSkipped;
        report.reason = "disabled in its source (DISABLED_ in its name), so not run";
        AddReport(std::move(report), index, total);
        return;
    }
    const std::wstring stem = std::to_wstring(index);
    const std::wstring xml = JoinPath(outDir_, stem + L".xml");
    Launch launch;
    launch.program = planned.program;
    launch.commandLine =
        QuoteArgument(planned.program) + L" " +
        QuoteArgument(L"--gtest_filter=" + Widen(planned.test.Full())) + L" " +
        QuoteArgument(L"--gtest_output=xml:" + JoinPath(NarrowSafeFolder(outDir_), stem + L".xml"));
    launch.workingDir = binDir_;
    launch.outputFile = JoinPath(outDir_, stem + L".txt");
    launch.timeoutMs = options_.timeoutSeconds * 1000;
    DeleteFileW(xml.c_str());
    std::vector<std::string> notes;
    const ChildEnd end = RunOnce(launch, program + " " + planned.test.Full(), notes);
    // Ctrl+C also reaches the test, which may end before the runner hears of it.
    stopped_ = end.how == ChildEnd::How::kStopped || WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0;
    TestReport report;
    if (end.how == ChildEnd::How::kNotStarted) {
        report.program = program;
        report.test = planned.test;
        report.outcome = Outcome::kFailed;
        report.kind = FailureKind::kFailure;
        report.reason = NotStartedText(end);
        report.details = report.reason + "\n";
    } else {
        RunFacts facts;
        facts.timedOut = end.how != ChildEnd::How::kExited;
        facts.timeoutSeconds = options_.timeoutSeconds;
        facts.exitCode = end.exitCode;
        facts.xml = ReadFileBytes(xml);
        facts.outputTail = OutputTail(launch.outputFile);
        report = Judge(program, planned.test, facts);
    }
    if (stopped_ && report.outcome == Outcome::kFailed) {
        report.kind = FailureKind::kFailure;
        report.reason = "stopped by the user";
        report.details = report.reason + "\n" + report.details;
    }
    report.seconds = end.seconds;
    // What the runner did first (a second try), then what the test itself recorded.
    notes.insert(notes.end(), report.notes.begin(), report.notes.end());
    report.notes = std::move(notes);
    AddReport(std::move(report), index, total);
}

void Runner::AddReport(TestReport report, size_t index, size_t total) {
    std::string line;
    if (total > 0) {
        const std::string all = std::to_string(total);
        std::string at = std::to_string(index);
        at.insert(0, all.size() - at.size(), ' ');
        line = "[" + at + "/" + all + "] ";
    }
    line += report.program + " " + report.test.Full() + ": " + ResultWord(report) + " (" +
            Fixed(report.seconds, 1) + " s)";
    if (report.outcome != Outcome::kPassed && report.kind != FailureKind::kHung) {
        line += ": " + report.reason;
    }
    Say(line);
    for (const std::string& note : report.notes) Say("    " + note);
    reports_.push_back(std::move(report));
}

// ---- Benchmarks ----

void Runner::RunBenchmarks() {
    Say("");
    Say("Benchmarks, each with a time limit of " + std::to_string(kBenchTimeoutSeconds) +
        " s: " + Join(info_.benchmarks, ", "));
    for (size_t i = 0; i < info_.benchmarks.size() && !stopped_; ++i) {
        RunBenchmark(info_.benchmarks[i], i + 1);
    }
}

void Runner::RunBenchmark(const std::string& name, size_t index) {
    const std::string head = "[bench " + std::to_string(index) + "/" +
                             std::to_string(info_.benchmarks.size()) + "] " + name + ": ";
    const std::wstring program = JoinPath(binDir_, Widen(name));
    if (!IsFile(program)) {
        benchText_ += "---- " + name + ": missing from " + Narrow(binDir_) + "\n\n";
        Say(head + "missing");
        return;
    }
    Launch launch;
    launch.program = program;
    launch.commandLine = QuoteArgument(program);
    launch.workingDir = binDir_;
    launch.outputFile = JoinPath(outDir_, L"bench-" + Widen(name) + L".txt");
    launch.timeoutMs = kBenchTimeoutSeconds * 1000;
    std::vector<std::string> notes;
    const ChildEnd end = RunOnce(launch, name, notes);
    std::string verdict;
    switch (end.how) {
        case ChildEnd::How::kNotStarted:
            verdict = NotStartedText(end);
            break;
        case ChildEnd::How::kStopped:
            verdict = "stopped by the user", stopped_ = true;
            break;
        case ChildEnd::How::kTimedOut:
            verdict = "did not end within the time limit; ended";
            break;
        case ChildEnd::How::kExited:
            verdict = end.exitCode == 0   ? "met its goals"
                      : end.exitCode == 1 ? "missed a goal"
                      : end.exitCode == 2 ? "could not run (its output says why)"
                                          : "ended with exit code " + ExitCodeText(end.exitCode);
    }
    verdict += " (" + Fixed(end.seconds, 1) + " s)";
    std::vector<std::vector<std::string>> rows = {{"measure", "value", "goal", "verdict"}};
    std::string printed;
    const std::string output = OutputText(ReadFileBytes(launch.outputFile).value_or(""));
    for (const std::string& line : SplitLines(output)) {
        if (auto row = ParseSummaryLine(line)) {
            rows.push_back({row->measure, row->value, row->goal, row->verdict});
        } else {
            printed += line + "\n";
        }
    }
    const std::string table = rows.size() > 1 ? FormatTable(rows) : "";
    benchText_ += "---- " + name + ": " + verdict + "\n";
    for (const std::string& note : notes) benchText_ += "  " + note + "\n";
    benchText_ += Indented(printed, "  ");
    if (!table.empty()) benchText_ += "\n  Summary:\n" + Indented(table, "  ");
    benchText_ += "\n";
    Say(head + verdict);
    for (const std::string& note : notes) Say("    " + note);
    if (!table.empty()) console_.Write(Indented(table, "    "));
}

// ---- After the tests ----

void Runner::CleanUp() {
    if (userStateSaved_) {
        for (std::string& line : logKeeper_.Restore()) cleanupLines_.push_back(std::move(line));
        const LocalAppDataWatch::Changes changes = localWatch_.After();
        for (const std::string& path : changes.removed) {
            cleanupLines_.push_back("removed " + path + ", a per-user installation the tests made");
        }
        for (const std::string& path : changes.leftBehind) {
            cleanupLines_.push_back("left behind: " + path +
                                    " (new during the run; another program may have made it)");
        }
        cleanupLines_.insert(cleanupLines_.end(), changes.problems.begin(), changes.problems.end());
    }
    if (privateDir_.empty()) return;
    if (userStateSaved_ && !logKeeper_.AllPutBack()) {
        cleanupLines_.push_back("kept the run's temporary folder " + Narrow(privateDir_) +
                                ": it holds the only copies of the log files that could not be "
                                "put back");
        return;
    }
    std::vector<std::wstring> stuck;
    if (RemoveTree(privateDir_, &stuck)) {
        cleanupLines_.push_back("removed the run's temporary folder " + Narrow(privateDir_));
        return;
    }
    cleanupLines_.push_back("could not remove all of the run's temporary folder " +
                            Narrow(privateDir_) + "; still in use:");
    for (const std::wstring& path : stuck) cleanupLines_.push_back("  " + Narrow(path));
}

std::string Runner::FailureDetails() const {
    std::string out;
    for (const TestReport& r : reports_) {
        if (r.outcome != Outcome::kFailed) continue;
        const char* kind = r.kind == FailureKind::kHung    ? "HUNG"
                           : r.kind == FailureKind::kCrash ? "FAILED (crashed)"
                                                           : "FAILED";
        out += (out.empty() ? "---- " : "\n---- ") + r.program + " " + r.test.Full() + ": " + kind +
               "\n";
        out += Indented(r.details, "  ");
        for (const std::string& note : r.notes) out += "  " + note + "\n";
    }
    return out;
}

std::string Runner::ReportText() const {
    std::string text = "ZeltOy2 test kit report\n";
    for (const std::string& line : DescribeSystem(exeDir_)) text += line + "\n";
    const std::wstring launcher = JoinPath(binDir_, L"ZeltOy2.exe");
    const auto sha = Sha256Hex(launcher);
    text +=
        "ZeltOy2.exe SHA-256: " + (sha ? *sha : "cannot be read (" + Narrow(launcher) + ")") + "\n";
    text += "Kit: commit " + info_.commit + ", version " + info_.version + ", signed " +
            info_.isSigned + (kitInfoFound_ ? "" : " (no kit-info.txt: a build folder)") + "\n";
    text += "Options: " + (options_.given.empty() ? "none (the defaults)" : options_.given) + "\n";
    text += "Settings: time limit " + std::to_string(options_.timeoutSeconds) +
            " s per test, filter " + options_.filter +
            (options_.selfCheck ? ", the self-check program's tests" : "") + "\n";
    text += "Test programs: " + Narrow(binDir_) + "\n";
    text += "Started: " + startedAt_ + ", finished " + LocalTimeText() + " (local time)\n";
    std::vector<std::vector<std::string>> rows = {{"result", "program", "test", "time", "reason"}};
    for (const TestReport& r : reports_) {
        rows.push_back({ResultWord(r), r.program, r.test.Full(), Fixed(r.seconds, 2) + " s",
                        r.outcome == Outcome::kPassed ? "" : r.reason});
    }
    text += "\nResults\n" + FormatTable(rows);
    if (stopped_) {
        text += "The run was stopped by the user; " + std::to_string(notRun_) +
                " selected test(s) did not run.\n";
    }
    const std::string failures = FailureDetails();
    if (!failures.empty()) text += "\nFailures\n" + failures;
    std::string notes = Join(listingNotes_, "\n") + (listingNotes_.empty() ? "" : "\n");
    for (const TestReport& r : reports_) {
        for (const std::string& note : r.notes) {
            notes += r.program + " " + r.test.Full() + ": " + note + "\n";
        }
    }
    if (!notes.empty()) text += "\nNotes\n" + notes;
    text += "\nClean-up\n" + Join(cleanupLines_, "\n") + "\n";
    if (options_.bench) text += "\nBenchmarks (they never change the exit code)\n" + benchText_;
    return text + "\n" + CountsLine(reports_) + "\n";
}

bool Runner::WriteOutputs() {
    std::string report;
    for (const std::string& line : SplitLines(ReportText())) report += line + "\r\n";
    bool written = true;
    if (const DWORD error = WriteFileBytes(reportPath_, report); error != 0) {
        Say("Cannot write the report to " + Narrow(reportPath_) + " (" + ErrorText(error) + ").");
        written = false;
    }
    std::wstring junit;
    if (!options_.junit.empty()) {
        junit = FullPath(options_.junit);
        if (const DWORD error = WriteFileBytes(junit, JunitXml(reports_)); error != 0) {
            Say("Cannot write the JUnit file " + Narrow(junit) + " (" + ErrorText(error) + ").");
            written = false;
            junit.clear();
        }
    }
    const std::string failures = FailureDetails();
    if (!failures.empty()) console_.Write("\nFailures\n" + failures);
    for (const std::string& line : cleanupLines_) {
        if (line.rfind("could not", 0) == 0 || line.rfind("left behind", 0) == 0) Say(line);
    }
    if (written) Say("Report: " + Narrow(reportPath_));
    if (!junit.empty()) Say("JUnit: " + Narrow(junit));
    Say(CountsLine(reports_));
    return written;
}

}  // namespace zelt::kit
