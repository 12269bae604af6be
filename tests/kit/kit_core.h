// The parts of run-tests.exe that need no system calls: reading gtest's listing, filter and XML
// report, judging one run of one test, writing the merged JUnit file, and reading kit-info.txt and
// the benchmarks' summary lines. Text is UTF-8 throughout; the Windows side converts at its edges.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelt::kit {

// ---- Text ----

// The bytes with every invalid UTF-8 sequence replaced by U+FFFD.
std::string ValidUtf8(std::string_view bytes);
// Whether bytes of unknown encoding are best read as UTF-8: they are valid UTF-8, or hold at least
// one valid multi-byte sequence (a stray invalid byte then stays one character, not the whole text
// read in another code page).
bool LooksLikeUtf8(std::string_view bytes);
// The lines of a text, without their line ends ("\n" or "\r\n"); no empty last line.
std::vector<std::string> SplitLines(std::string_view text);
// At most the last `count` lines of a text.
std::vector<std::string> LastLines(std::string_view text, size_t count);
// Escaped for XML 1.0 character data, or for an attribute value in double quotes (line ends and
// tabs then written as references, so that they survive). Characters XML 1.0 cannot hold at all
// (most control characters, U+FFFE and U+FFFF) are dropped; invalid UTF-8 becomes U+FFFD.
std::string XmlEscape(std::string_view utf8, bool attribute);
// Rows as aligned columns, two spaces apart; the last column is not padded.
std::string FormatTable(const std::vector<std::vector<std::string>>& rows);

// ---- gtest ----

struct TestId {
    std::string suite;
    std::string name;
    std::string Full() const { return suite + "." + name; }
};

// The tests of a `--gtest_list_tests` listing, in its order: "Suite." lines, each followed by its
// indented test names. Comments after "  #" (type and value parameters) and lines that are neither
// (the "Running main()" banner) are ignored.
std::vector<TestId> ParseTestList(std::string_view listing);

// gtest's wildcard match on a whole name: '*' matches any run of characters, '?' any one.
bool MatchesWildcard(std::string_view pattern, std::string_view name);

// gtest's filter: ':'-separated patterns that select, then optionally '-' and ':'-separated
// patterns that exclude. No selecting pattern selects everything.
class TestFilter {
public:
    explicit TestFilter(std::string_view filter);
    bool Selects(std::string_view fullName) const;

private:
    std::vector<std::string> positive_;
    std::vector<std::string> negative_;
};

// Whether gtest takes the test for a disabled one, which it lists but never runs.
bool IsDisabled(const TestId& test);

enum class Outcome { kPassed, kFailed, kSkipped };

// What gtest's XML report says of one test.
struct XmlResult {
    bool found = false;  // the report has a <testcase> for the test
    Outcome outcome = Outcome::kPassed;
    // Every failure in the report (the test's own, and those gtest records outside any test),
    // each with its location first.
    std::vector<std::string> failures;
    std::string skipReason;  // without gtest's location line
    std::string skipLocation;
    // What the test recorded with RecordProperty, as "key: value" (gtest writes each as an
    // attribute of the <testcase>): a local-time test's zone offset, a "weak" mark.
    std::vector<std::string> properties;
};
// Nothing when the text is not a well-formed XML document.
std::optional<XmlResult> ParseGtestXml(std::string_view xml, const TestId& test);

// ---- Judging a run ----

enum class FailureKind { kNone, kFailure, kHung, kCrash };

// What the runner saw of one run of one test's program.
struct RunFacts {
    bool timedOut = false;
    unsigned timeoutSeconds = 0;
    uint32_t exitCode = 0;
    std::optional<std::string> xml;  // the XML report's text, when the file exists
    std::string outputTail;          // the last lines of its standard output and error
};

struct TestReport {
    std::string program;  // the executable's file name
    TestId test;
    Outcome outcome = Outcome::kPassed;
    FailureKind kind = FailureKind::kNone;
    double seconds = 0;
    std::string reason;              // a skip's reason, or a failure's summary on one line
    std::string details;             // a failure's messages and the tail of its output
    std::vector<std::string> notes;  // what else the runner did (a second try) or the test said
};

TestReport Judge(const std::string& program, const TestId& test, const RunFacts& facts);

// An exit code as "0xC0000005 (access violation)": eight hex digits, and the name of the well-known
// exception codes.
std::string ExitCodeText(uint32_t code);
// Whether the code is that of an exception that ended the process (an NTSTATUS error, or a
// breakpoint) rather than a value the program returned.
bool IsExceptionCode(uint32_t code);

// The merged JUnit XML file: one <testsuite> per program and gtest suite, in the order of the runs.
std::string JunitXml(const std::vector<TestReport>& reports);

// ---- The kit ----

// The name of the Windows release with the kernel's version numbers: "Windows 11" for 10.0 from
// build 22000 on, "Windows 10" below it, and the older releases by their names.
std::string WindowsName(unsigned major, unsigned minor, unsigned build);

// bin\kit-info.txt: "key: value" lines written by the release script.
struct KitInfo {
    std::string commit = "unknown";
    std::string version = "unknown";
    std::string isSigned = "unknown";
    std::vector<std::string> programs = {"runtime_tests.exe", "launcher_tests.exe"};
    std::string selfCheck = "kit_selfcheck_tests.exe";
    std::vector<std::string> benchmarks = {"startup_win_bench.exe", "worst_start_win_bench.exe"};
};
// Keys the text lacks keep their defaults.
KitInfo ParseKitInfo(std::string_view text);

// A benchmark's "summary|measure|value|goal|verdict" line.
struct SummaryRow {
    std::string measure;
    std::string value;
    std::string goal;
    std::string verdict;
};
std::optional<SummaryRow> ParseSummaryLine(std::string_view line);

}  // namespace zelt::kit
