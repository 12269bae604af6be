// run-tests.exe as a CI server or a QA person meets it: run on the self-check program, whose tests
// fail, skip, hang and crash on purpose; refusing what it cannot run; and putting the shared log
// folder back after real tests wrote it. The JUnit file is read back with an XML parser, and the
// process the hanging test started is looked up afterwards.
#include <windows.h>

#include <expat.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "zelt_test.h"

namespace zelt::test {
namespace {

constexpr DWORD kRunnerTimeoutMs = 240000;

struct RunnerRun {
    std::optional<DWORD> code;
    std::string console;
};

RunnerRun RunRunner(const std::wstring& runner, const std::wstring& arguments,
                    const std::wstring& consoleFile, const EnvChanges& env = {}) {
    ProcessSpec invocation;
    invocation.application = runner;
    invocation.commandLine = QuoteArgument(runner) + L" " + arguments;
    invocation.outputFile = consoleFile;
    invocation.timeoutMs = kRunnerTimeoutMs;
    invocation.env = env;
    RunnerRun run;
    run.code = RunProcess(invocation);
    run.console = TryReadFile(consoleFile).value_or("");
    return run;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// Each test case of a JUnit file: "passed", "skipped: <message>" or "<type>: <message>".
std::map<std::string, std::string> JunitCases(const std::string& xml, bool& wellFormed) {
    struct State {
        std::map<std::string, std::string> cases;
        std::string current;
    } state;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &state);
    XML_SetStartElementHandler(
        parser, [](void* data, const XML_Char* name, const XML_Char** attributes) {
            auto& s = *static_cast<State*>(data);
            std::map<std::string, std::string> a;
            for (size_t i = 0; attributes[i] != nullptr; i += 2)
                a[attributes[i]] = attributes[i + 1];
            const std::string element = name;
            if (element == "testcase")
                s.cases[s.current = a["classname"] + "." + a["name"]] = "passed";
            if (element == "skipped") s.cases[s.current] = "skipped: " + a["message"];
            if (element == "failure") s.cases[s.current] = a["type"] + ": " + a["message"];
        });
    wellFormed =
        XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return state.cases;
}

bool ProcessGone(DWORD id) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (process == nullptr) return true;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

TEST(KitRunner, SelfCheckReportsEachWayATestEnds) {
    TempDir dir(L"kit");
    const std::wstring junit = dir / L"junit.xml";
    const std::wstring report = dir / L"report.txt";
    const std::wstring childId = dir / L"child-id.txt";
    const RunnerRun run =
        RunRunner(BinPath(L"run-tests.exe"),
                  L"--self-check --timeout 10 --no-pause --bin " + QuoteArgument(ExeDir()) +
                      L" --report " + QuoteArgument(report) + L" --junit " + QuoteArgument(junit),
                  dir / L"console.txt", {{L"ZELT_KIT_SELFCHECK_CHILD_ID_FILE", childId}});
    ASSERT_TRUE(run.code);
    EXPECT_EQ(*run.code, 1u) << run.console;

    bool wellFormed = false;
    const auto cases = JunitCases(TryReadFile(junit).value_or(""), wellFormed);
    EXPECT_TRUE(wellFormed);
    const std::map<std::string, std::string> expected = {
        {"KitSelfCheck.PassesOnPurpose", "passed"},
        {"KitSelfCheck.SkipsOnPurpose",
         "skipped: skipped on purpose: the runner must report this reason"},
        {"KitSelfCheck.HangsOnPurpose",
         "hung: hung: still running after the time limit of 10 s; its whole process tree was "
         "ended"},
        {"KitSelfCheck.CrashesOnPurpose",
         "crash: ended with exit code 0xC0000005 (access violation) without a result"},
    };
    for (const auto& [name, outcome] : expected) {
        EXPECT_EQ(cases.count(name) ? cases.at(name) : "(missing)", outcome) << name;
    }
    ASSERT_TRUE(cases.count("KitSelfCheck.FailsOnPurpose"));
    EXPECT_EQ(cases.at("KitSelfCheck.FailsOnPurpose").rfind("failure: ", 0), 0u);

    const std::vector<std::string> console = Lines(run.console);
    ASSERT_FALSE(console.empty());
    EXPECT_EQ(console.back(), "1 passed, 3 failed, 1 skipped");

    // The hanging test's child went with it.
    const auto id = TryReadFile(childId);
    ASSERT_TRUE(id) << "the hanging test wrote no child process id";
    EXPECT_TRUE(ProcessGone(static_cast<DWORD>(std::stoul(*id)))) << "child " << *id;

    // Every failure message, as the test wrote it, and the reason of the skip.
    const std::string text = TryReadFile(report).value_or("");
    for (const char* part : {"failed on purpose: the runner must report this message",
                             "failed on purpose a second time, with Turkish letters: çğıöşü İ",
                             "skipped on purpose: the runner must report this reason",
                             "crashing on purpose: writing through a null pointer"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    }
}

TEST(KitRunner, ReportNamesTheSystemFirst) {
    TempDir dir(L"kit");
    const std::wstring report = dir / L"report.txt";
    const RunnerRun run =
        RunRunner(BinPath(L"run-tests.exe"),
                  L"--self-check --filter KitSelfCheck.PassesOnPurpose --no-pause --bin " +
                      QuoteArgument(ExeDir()) + L" --report " + QuoteArgument(report),
                  dir / L"console.txt");
    ASSERT_TRUE(run.code);
    EXPECT_EQ(*run.code, 0u) << run.console;
    const std::vector<std::string> lines = Lines(TryReadFile(report).value_or(""));
    const std::vector<std::string> labels = {
        "ZeltOy2 test kit report",
        "Windows: Windows ",
        "Wine: ",
        "Processor: ",
        "User rights: ",
        "Long paths: ",
        "File system: ",
        "ZeltOy2.exe SHA-256: ",
        "Kit: commit unknown",
        "Options: --self-check --filter KitSelfCheck.PassesOnPurpose --no-pause --bin "};
    ASSERT_GE(lines.size(), labels.size());
    for (size_t i = 0; i < labels.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(labels[i], 0), 0u) << lines[i];
    }
    // The build number the kernel reports, as the registry also records it.
    wchar_t build[16] = {};
    DWORD size = sizeof build;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                           L"CurrentBuildNumber", RRF_RT_REG_SZ, nullptr, build, &size),
              ERROR_SUCCESS);
    EXPECT_NE(lines[1].find("." + Narrow(build)), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2].rfind(RunningOnWine() ? "Wine: yes, version " : "Wine: no", 0), 0u);
    EXPECT_EQ(lines.back(), "1 passed, 0 failed, 0 skipped");
}

TEST(KitRunner, RefusesWhatItCannotRun) {
    TempDir dir(L"kit");
    // The runner alone, as Explorer extracts it from a zip that was opened but not unzipped.
    const std::wstring lone = dir / L"lone\\run-tests.exe";
    ASSERT_TRUE(CopyFileTo(BinPath(L"run-tests.exe"), lone));
    ASSERT_TRUE(MakeDirs(dir / L"empty"));
    const std::wstring bin = QuoteArgument(ExeDir());
    const struct {
        std::wstring runner;
        std::wstring arguments;
        DWORD code;
        std::string says;
    } cases[] = {
        {lone, L"--no-pause", 2,
         "Extract the whole ZeltOy2-tests.zip into a folder (in Explorer: right-click the zip, "
         "Extract All...), then start run-tests.exe in that folder."},
        {BinPath(L"run-tests.exe"), L"--no-pause --bogus", 2, "Unknown option: --bogus"},
        {BinPath(L"run-tests.exe"), L"--no-pause --timeout 0", 2,
         "--timeout takes a whole number of seconds"},
        {BinPath(L"run-tests.exe"), L"--no-pause --timeout", 2, "--timeout needs a value"},
        {BinPath(L"run-tests.exe"), L"--no-pause --bin " + QuoteArgument(dir / L"empty"), 2,
         "does not hold runtime_tests.exe, launcher_tests.exe"},
        {BinPath(L"run-tests.exe"), L"--no-pause --self-check --filter No.Such --bin " + bin, 2,
         "No test matches --filter No.Such"},
        {BinPath(L"run-tests.exe"), L"--help", 0, "Usage: run-tests.exe [options]"},
    };
    for (const auto& c : cases) {
        const RunnerRun run = RunRunner(c.runner, c.arguments, dir / L"console.txt");
        ASSERT_TRUE(run.code) << Narrow(c.arguments);
        EXPECT_EQ(*run.code, c.code) << Narrow(c.arguments) << "\n" << run.console;
        EXPECT_NE(run.console.find(c.says), std::string::npos) << Narrow(c.arguments) << "\n"
                                                               << run.console;
    }
}

}  // namespace
}  // namespace zelt::test
