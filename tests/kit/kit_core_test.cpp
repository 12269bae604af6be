// The runner's parts, each on text of the form the real thing has: gtest's listing, filter and
// XML report as gtest writes them, and the runner's JUnit output read back by an XML parser.
#include <windows.h>

#include <expat.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "kit_cleanup.h"
#include "kit_core.h"
#include "kit_win.h"
#include "zelt_test.h"

namespace zelt::kit {
namespace {

// ---- Text ----

TEST(KitText, LinesAndTheirEnds) {
    EXPECT_EQ(SplitLines("a\r\nb\n\nc"), (std::vector<std::string>{"a", "b", "", "c"}));
    EXPECT_EQ(SplitLines("a\n"), (std::vector<std::string>{"a"}));
    EXPECT_EQ(SplitLines(""), std::vector<std::string>{});
    EXPECT_EQ(LastLines("1\n2\n3\n4\n", 2), (std::vector<std::string>{"3", "4"}));
    EXPECT_EQ(LastLines("1\n2\n", 5), (std::vector<std::string>{"1", "2"}));
}

TEST(KitText, InvalidUtf8BecomesTheReplacementCharacter) {
    const struct {
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"plain", "plain"},
        {"\xC3\xA7\xC4\x9F", "\xC3\xA7\xC4\x9F"},  // çğ stay
        {"a\xFF"
         "b",
         "a\xEF\xBF\xBD"
         "b"},                                                     // a byte no sequence starts with
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // an overlong '/'
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
        {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // cut short
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},                  // outside the BMP
    };
    for (const auto& c : cases) EXPECT_EQ(ValidUtf8(c.bytes), c.expected) << c.bytes;
}

TEST(KitText, OutputOfUnknownEncodingIsReadAsUtf8WhenItLooksLikeIt) {
    EXPECT_TRUE(LooksLikeUtf8("plain ASCII"));
    EXPECT_TRUE(LooksLikeUtf8(""));
    EXPECT_TRUE(
        LooksLikeUtf8("T\xC3\xBCrk\xC3\xA7"
                      "e"));
    EXPECT_TRUE(
        LooksLikeUtf8("T\xC3\xBCrk\xC3\xA7"
                      "e and one stray \xFF byte"));
    EXPECT_TRUE(LooksLikeUtf8("\xEF\xBF\xBD"));
    // "Türkçe" in Windows-1254: no valid multi-byte sequence at all.
    EXPECT_FALSE(
        LooksLikeUtf8("T\xFCrk\xE7"
                      "e"));
}

TEST(KitText, TablesLineUpByCharacterNotByte) {
    EXPECT_EQ(FormatTable({{"a", "bb", "c"}, {"ççç", "d", "e"}}),
              "a    bb  c\n"
              "ççç  d   e\n");
}

// What an XML parser makes of the text the runner escaped, as an attribute and as content.
struct Parsed {
    std::string attribute;
    std::string content;
    bool wellFormed = false;
};

Parsed ParseBack(const std::string& escaped, const std::string& escapedAttribute) {
    const std::string document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><e a=\"" +
                                 escapedAttribute + "\">" + escaped + "</e>";
    Parsed parsed;
    XML_Parser parser = XML_ParserCreate("UTF-8");
    XML_SetUserData(parser, &parsed);
    XML_SetElementHandler(
        parser,
        [](void* data, const XML_Char*, const XML_Char** attributes) {
            static_cast<Parsed*>(data)->attribute = attributes[1];
        },
        nullptr);
    XML_SetCharacterDataHandler(parser, [](void* data, const XML_Char* text, int length) {
        static_cast<Parsed*>(data)->content.append(text, length);
    });
    parsed.wellFormed = XML_Parse(parser, document.data(), static_cast<int>(document.size()),
                                  XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return parsed;
}

TEST(KitText, XmlEscapingKeepsWhatXmlCanHoldAndDropsTheRest) {
    const struct {
        std::string text;
        std::string expected;  // what a parser reads back
    } cases[] = {
        {"a & b < c > d \"e\" 'f'", "a & b < c > d \"e\" 'f'"},
        {"line\nnext\tcol\r", "line\nnext\tcol\r"},
        {"bell\x07 escape\x1B nul-free\x01", "bell escape nul-free"},
        {"not a character: \xEF\xBF\xBE\xEF\xBF\xBF.", "not a character: ."},
        {"invalid \xFF byte", "invalid \xEF\xBF\xBD byte"},
        {"]]> ends no section", "]]> ends no section"},
        {"Türkçe: çğıöşü İ", "Türkçe: çğıöşü İ"},
    };
    for (const auto& c : cases) {
        const Parsed parsed = ParseBack(XmlEscape(c.text, false), XmlEscape(c.text, true));
        ASSERT_TRUE(parsed.wellFormed) << c.text;
        EXPECT_EQ(parsed.attribute, c.expected) << c.text;
        EXPECT_EQ(parsed.content, c.expected) << c.text;
    }
}

// ---- gtest's listing and filter ----

TEST(KitGtest, ListingGivesEveryTestOfEverySuite) {
    const char* listing =
        "Running main() from /zeltoy2/src/googletest/src/gtest_main.cc\r\n"
        "Version.\r\n"
        "  ParsesThreeParts\r\n"
        "  RejectsEmpty\r\n"
        "Typed/0.  # TypeParam = int\r\n"
        "  Works\r\n"
        "Values/Paths.\r\n"
        "  Case/0  # GetParam() = \"C:\\\\a b\"\r\n"
        "  Case/1  # GetParam() = \"\"\r\n";
    const std::vector<TestId> tests = ParseTestList(listing);
    const std::vector<std::string> expected = {"Version.ParsesThreeParts", "Version.RejectsEmpty",
                                               "Typed/0.Works", "Values/Paths.Case/0",
                                               "Values/Paths.Case/1"};
    ASSERT_EQ(tests.size(), expected.size());
    for (size_t i = 0; i < tests.size(); ++i) EXPECT_EQ(tests[i].Full(), expected[i]);
    EXPECT_TRUE(ParseTestList("Running main() from gmock_main.cc\n  Stray\n").empty());
}

TEST(KitGtest, FilterFollowsGtestSyntax) {
    const struct {
        const char* filter;
        const char* name;
        bool selected;
    } cases[] = {
        {"*", "A.B", true},
        {"", "A.B", true},
        {"A.*", "A.B", true},
        {"A.*", "AB.C", false},
        {"A.B", "A.BC", false},
        {"A.?", "A.B", true},
        {"A.?", "A.BC", false},
        {"*.B", "Suite.B", true},
        {"*a*b", "xaab", true},
        {"*a*b", "xabx", false},
        {"A.*:C.*", "C.D", true},
        {"A.*:C.*", "B.D", false},
        {"-A.*", "A.B", false},
        {"-A.*", "C.D", true},
        {"*-A.B:C.*", "A.B", false},
        {"*-A.B:C.*", "C.X", false},
        {"*-A.B:C.*", "D.Y", true},
        {"Version*:Text*", "TextWin.Widens", true},
        {"Version*:Text*", "Versions.Order", true},
        {"Version*:Text*", "RuntimeLogHost.X", false},
        {"Values/*.Case/1", "Values/Paths.Case/1", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TestFilter(c.filter).Selects(c.name), c.selected)
            << "filter " << c.filter << ", test " << c.name;
    }
}

TEST(KitGtest, DisabledTestsAreKnownByName) {
    EXPECT_TRUE(IsDisabled({"DISABLED_Suite", "Test"}));
    EXPECT_TRUE(IsDisabled({"Suite", "DISABLED_Test"}));
    EXPECT_TRUE(IsDisabled({"Values/DISABLED_Suite", "Test"}));
    EXPECT_FALSE(IsDisabled({"Suite", "NotDISABLED_Test"}));
}

// ---- gtest's XML report ----

// A report as gtest 1.12 writes it for one test run with --gtest_filter.
std::string Report(const std::string& testcaseBody, const char* status = "run",
                   const char* result = "completed") {
    const std::string start =
        std::string("    <testcase name=\"Works\" file=\"/zeltoy2/src/t.cpp\" line=\"10\" ") +
        "status=\"" + status + "\" result=\"" + result +
        "\" time=\"0.001\" timestamp=\"2024-05-01T10:00:00.000\" classname=\"Suite\"";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<testsuites tests=\"1\" failures=\"0\" disabled=\"0\" errors=\"0\" time=\"0.01\" "
           "timestamp=\"2024-05-01T10:00:00.000\" name=\"AllTests\">\n"
           "  <testsuite name=\"Suite\" tests=\"1\" failures=\"0\" disabled=\"0\" skipped=\"0\" "
           "errors=\"0\" time=\"0.001\" timestamp=\"2024-05-01T10:00:00.000\">\n" +
           start + (testcaseBody.empty() ? " />\n" : ">\n" + testcaseBody + "    </testcase>\n") +
           "  </testsuite>\n</testsuites>\n";
}

const char* kTwoFailures =
    "      <failure message=\"/zeltoy2/src/t.cpp:12&#x0A;Expected equality of these values:&#x0A;"
    "  1 + 1&#x0A;    Which is: 2&#x0A;  3\" type=\"\"><![CDATA[/zeltoy2/src/t.cpp:12\n"
    "Expected equality of these values:\n  1 + 1\n    Which is: 2\n  3\n"
    "failed on purpose]]></failure>\n"
    "      <failure message=\"/zeltoy2/src/t.cpp:13&#x0A;Failed&#x0A;second: çğ\" type=\"\">"
    "<![CDATA[/zeltoy2/src/t.cpp:13\nFailed\nsecond: çğ]]></failure>\n";

const char* kSkip =
    "      <skipped message=\"/zeltoy2/src/t.cpp:20&#x0A;needs Windows: a reason\">"
    "<![CDATA[/zeltoy2/src/t.cpp:20\nneeds Windows: a reason]]></skipped>\n";

TEST(KitGtest, XmlReportGivesTheOutcomeAndEveryMessage) {
    const TestId test{"Suite", "Works"};
    auto passed = ParseGtestXml(Report(""), test);
    ASSERT_TRUE(passed);
    EXPECT_TRUE(passed->found);
    EXPECT_EQ(passed->outcome, Outcome::kPassed);
    EXPECT_TRUE(passed->properties.empty());

    // What the test recorded with RecordProperty, beside gtest's own attributes.
    std::string recorded = Report("");
    recorded.insert(recorded.find(" classname=\"Suite\""),
                    " localOffset=\"+5:30\" weak=\"a whole hour &amp; more\"");
    auto withProperties = ParseGtestXml(recorded, test);
    ASSERT_TRUE(withProperties);
    EXPECT_EQ(withProperties->properties,
              (std::vector<std::string>{"localOffset: +5:30", "weak: a whole hour & more"}));

    auto failed = ParseGtestXml(Report(kTwoFailures), test);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->outcome, Outcome::kFailed);
    ASSERT_EQ(failed->failures.size(), 2u);
    EXPECT_EQ(failed->failures[0],
              "/zeltoy2/src/t.cpp:12\nExpected equality of these values:\n  1 + 1\n"
              "    Which is: 2\n  3\nfailed on purpose");
    EXPECT_EQ(failed->failures[1], "/zeltoy2/src/t.cpp:13\nFailed\nsecond: çğ");

    auto skipped = ParseGtestXml(Report(kSkip, "run", "skipped"), test);
    ASSERT_TRUE(skipped);
    EXPECT_EQ(skipped->outcome, Outcome::kSkipped);
    EXPECT_EQ(skipped->skipReason, "needs Windows: a reason");
    EXPECT_EQ(skipped->skipLocation, "/zeltoy2/src/t.cpp:20");

    auto notRun = ParseGtestXml(Report("", "notrun", "suppressed"), test);
    ASSERT_TRUE(notRun);
    EXPECT_FALSE(notRun->found);

    auto other = ParseGtestXml(Report(""), TestId{"Suite", "Other"});
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->found);

    EXPECT_FALSE(ParseGtestXml(Report("").substr(0, 200), test));
    EXPECT_FALSE(ParseGtestXml("", test));
}

TEST(KitGtest, FailuresOutsideTheTestCountAgainstIt) {
    // gtest records a failure of a global set-up in a suite of its own.
    std::string xml = Report("");
    xml.insert(xml.find("</testsuites>"),
               "  <testsuite name=\"NonTestSuiteFailure\" tests=\"1\" failures=\"1\" "
               "disabled=\"0\" skipped=\"0\" errors=\"0\" time=\"0\" timestamp=\"x\">"
               "    <testcase name=\"\" status=\"run\" result=\"completed\" classname=\"\" "
               "time=\"0\" timestamp=\"x\">\n"
               "      <failure message=\"env.cpp:3&#x0A;set-up failed\" type=\"\">"
               "<![CDATA[env.cpp:3\nset-up failed]]></failure>\n    </testcase>\n"
               "  </testsuite>\n");
    auto result = ParseGtestXml(xml, TestId{"Suite", "Works"});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, Outcome::kFailed);
    EXPECT_EQ(result->failures, (std::vector<std::string>{"env.cpp:3\nset-up failed"}));
}

// ---- Judging a run ----

struct JudgeCase {
    const char* what;
    RunFacts facts;
    Outcome outcome;
    FailureKind kind;
    std::string reason;
};

std::vector<JudgeCase> JudgeCases() {
    return {
        {"passed", {false, 5, 0, Report(""), "ok\n"}, Outcome::kPassed, FailureKind::kNone, ""},
        {"skipped",
         {false, 5, 0, Report(kSkip, "run", "skipped"), ""},
         Outcome::kSkipped,
         FailureKind::kNone,
         "needs Windows: a reason"},
        {"failed",
         {false, 5, 1, Report(kTwoFailures), ""},
         Outcome::kFailed,
         FailureKind::kFailure,
         "/zeltoy2/src/t.cpp:12: Expected equality of these values: (and 1 more failure)"},
        {"hung",
         {true, 5, 0, std::nullopt, "waiting\n"},
         Outcome::kFailed,
         FailureKind::kHung,
         "hung: still running after the time limit of 5 s; its whole process tree was ended"},
        {"crashed",
         {false, 5, 0xC0000005, std::nullopt, "[ RUN ]\n"},
         Outcome::kFailed,
         FailureKind::kCrash,
         "ended with exit code 0xC0000005 (access violation) without a result"},
        {"exited without a report",
         {false, 5, 3, std::nullopt, ""},
         Outcome::kFailed,
         FailureKind::kFailure,
         "ended with exit code 0x00000003 without a result"},
        {"report of another test",
         {false, 5, 0, Report("").replace(Report("").find("\"Works\""), 7, "\"Other\""), ""},
         Outcome::kFailed,
         FailureKind::kFailure,
         "ended with exit code 0x00000000 without a result"},
        {"broken report",
         {false, 5, 0, std::string("<testsuites>"), ""},
         Outcome::kFailed,
         FailureKind::kFailure,
         "ended with exit code 0x00000000 without a result"},
        {"passed but exit code 1",
         {false, 5, 1, Report(""), ""},
         Outcome::kFailed,
         FailureKind::kFailure,
         "ended with exit code 0x00000001, which disagrees with its result (passed)"},
        {"skipped but crashed after",
         {false, 5, 0xC0000409, Report(kSkip, "run", "skipped"), ""},
         Outcome::kFailed,
         FailureKind::kCrash,
         "ended with exit code 0xC0000409 (fail-fast exception or stack buffer overrun), which "
         "disagrees with its result (skipped)"},
    };
}

TEST(KitJudge, EachWayARunEndsHasItsVerdict) {
    const TestId test{"Suite", "Works"};
    for (const JudgeCase& c : JudgeCases()) {
        const TestReport report = Judge("p.exe", test, c.facts);
        EXPECT_EQ(report.outcome, c.outcome) << c.what;
        EXPECT_EQ(report.kind, c.kind) << c.what;
        EXPECT_EQ(report.reason, c.reason) << c.what;
        if (c.outcome == Outcome::kFailed) {
            const std::string tail = c.facts.outputTail.empty()
                                         ? "It printed nothing.\n"
                                         : "Last lines of its output:\n" + c.facts.outputTail;
            EXPECT_NE(report.details.find(tail), std::string::npos) << c.what << report.details;
        }
    }
}

TEST(KitJudge, EveryFailureMessageReachesTheDetails) {
    const TestReport report =
        Judge("p.exe", {"Suite", "Works"}, {false, 5, 1, Report(kTwoFailures), ""});
    EXPECT_NE(report.details.find("failed on purpose"), std::string::npos) << report.details;
    EXPECT_NE(report.details.find("second: çğ"), std::string::npos) << report.details;
}

TEST(KitJudge, ExceptionCodesAreToldFromReturnedCodes) {
    const struct {
        uint32_t code;
        bool exception;
        const char* text;
    } cases[] = {
        {0, false, "0x00000000"},
        {1, false, "0x00000001"},
        {0x5A17, false, "0x00005A17"},
        {0x80000003, true, "0x80000003 (breakpoint)"},
        {0xC0000005, true, "0xC0000005 (access violation)"},
        {0xC00000FD, true, "0xC00000FD (stack overflow)"},
        {0xE06D7363, true, "0xE06D7363"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsExceptionCode(c.code), c.exception) << c.text;
        EXPECT_EQ(ExitCodeText(c.code), c.text);
    }
}

// ---- The JUnit file ----

// What a CI server reads from the JUnit file: each test case's outcome, and the counts.
struct JunitRead {
    std::map<std::string, std::string> cases;  // "Suite.Test" -> "passed", "skipped: m", "type: m"
    std::map<std::string, std::map<std::string, std::string>> suites;  // name -> attributes
    std::map<std::string, std::string> total;
    std::string current;
    std::string text;
    bool wellFormed = false;
};

void XMLCALL JunitStart(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto& read = *static_cast<JunitRead*>(data);
    std::map<std::string, std::string> a;
    for (size_t i = 0; attributes[i] != nullptr; i += 2) a[attributes[i]] = attributes[i + 1];
    const std::string element = name;
    if (element == "testsuites") read.total = a;
    if (element == "testsuite") read.suites[a["name"]] = a;
    if (element == "testcase") {
        read.current = a["classname"] + "." + a["name"];
        read.cases[read.current] = "passed";
    }
    if (element == "skipped") read.cases[read.current] = "skipped: " + a["message"];
    if (element == "failure") read.cases[read.current] = a["type"] + ": " + a["message"];
}

JunitRead ReadJunit(const std::string& xml) {
    JunitRead read;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &read);
    XML_SetElementHandler(parser, JunitStart, nullptr);
    XML_SetCharacterDataHandler(parser, [](void* data, const XML_Char* text, int length) {
        static_cast<JunitRead*>(data)->text.append(text, length);
    });
    read.wellFormed =
        XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return read;
}

TEST(KitJunit, OneSuitePerProgramAndSuiteWithItsCounts) {
    const std::vector<TestReport> reports = {
        {"a.exe", {"One", "Passes"}, Outcome::kPassed, FailureKind::kNone, 0.5, "", "", {}},
        {"a.exe",
         {"One", "Skips"},
         Outcome::kSkipped,
         FailureKind::kNone,
         0.25,
         "why \"not\"",
         "",
         {}},
        {"a.exe", {"Two", "Hangs"}, Outcome::kFailed, FailureKind::kHung, 5, "hung: limit", "", {}},
        {"b.exe",
         {"One", "Crashes"},
         Outcome::kFailed,
         FailureKind::kCrash,
         1,
         "0xC0000005",
         "output with \x01 control",
         {}},
        {"b.exe",
         {"One", "Fails"},
         Outcome::kFailed,
         FailureKind::kFailure,
         1,
         "a < b & c",
         "",
         {}},
    };
    const JunitRead read = ReadJunit(JunitXml(reports));
    ASSERT_TRUE(read.wellFormed);
    EXPECT_EQ(read.cases,
              (std::map<std::string, std::string>{{"One.Passes", "passed"},
                                                  {"One.Skips", "skipped: why \"not\""},
                                                  {"Two.Hangs", "hung: hung: limit"},
                                                  {"One.Crashes", "crash: 0xC0000005"},
                                                  {"One.Fails", "failure: a < b & c"}}));
    EXPECT_NE(read.text.find("output with  control"), std::string::npos);
    const struct {
        const char* suite;
        const char* tests;
        const char* failures;
        const char* skipped;
        const char* time;
    } suites[] = {{"a.exe: One", "2", "0", "1", "0.750"},
                  {"a.exe: Two", "1", "1", "0", "5.000"},
                  {"b.exe: One", "2", "2", "0", "2.000"}};
    ASSERT_EQ(read.suites.size(), std::size(suites));
    for (const auto& s : suites) {
        auto attributes = read.suites.at(s.suite);
        EXPECT_EQ(attributes["tests"], s.tests) << s.suite;
        EXPECT_EQ(attributes["failures"], s.failures) << s.suite;
        EXPECT_EQ(attributes["skipped"], s.skipped) << s.suite;
        EXPECT_EQ(attributes["time"], s.time) << s.suite;
    }
    auto total = read.total;
    EXPECT_EQ(total["tests"], "5");
    EXPECT_EQ(total["failures"], "3");
    EXPECT_EQ(total["skipped"], "1");
}

// ---- The kit ----

TEST(KitInfoFile, KeysTheFileHasAndDefaultsForTheRest) {
    const KitInfo full = ParseKitInfo(
        "commit: 0123456789abcdef0123456789abcdef01234567\r\n"
        "version: 1.2.3\r\n"
        "signed: yes\r\n"
        "programs: one_tests.exe  two_tests.exe\r\n"
        "self-check: check.exe\r\n"
        "benchmarks: b1.exe\r\n");
    EXPECT_EQ(full.commit, "0123456789abcdef0123456789abcdef01234567");
    EXPECT_EQ(full.version, "1.2.3");
    EXPECT_EQ(full.isSigned, "yes");
    EXPECT_EQ(full.programs, (std::vector<std::string>{"one_tests.exe", "two_tests.exe"}));
    EXPECT_EQ(full.selfCheck, "check.exe");
    EXPECT_EQ(full.benchmarks, (std::vector<std::string>{"b1.exe"}));

    const KitInfo partial = ParseKitInfo("version: 0.1.0\n");
    EXPECT_EQ(partial.version, "0.1.0");
    EXPECT_EQ(partial.commit, "unknown");
    EXPECT_EQ(partial.isSigned, "unknown");
    EXPECT_EQ(partial.programs,
              (std::vector<std::string>{"runtime_tests.exe", "launcher_tests.exe"}));
    EXPECT_EQ(partial.selfCheck, "kit_selfcheck_tests.exe");
    EXPECT_EQ(partial.benchmarks,
              (std::vector<std::string>{"startup_win_bench.exe", "worst_start_win_bench.exe"}));
}

TEST(KitInfoFile, WindowsIsNamedByItsBuildNotItsProductName) {
    const struct {
        unsigned major, minor, build;
        const char* name;
    } cases[] = {
        {10, 0, 22631, "Windows 11"}, {10, 0, 22000, "Windows 11"}, {10, 0, 21999, "Windows 10"},
        {10, 0, 19045, "Windows 10"}, {6, 3, 9600, "Windows 8.1"},  {6, 1, 7601, "Windows 7"},
    };
    for (const auto& c : cases) EXPECT_EQ(WindowsName(c.major, c.minor, c.build), c.name);
}

TEST(KitBench, SummaryLinesAndOnlyThem) {
    const auto row = ParseSummaryLine("summary|start, ms|12.5 ms|<= 20 ms|met\r");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->measure, "start, ms");
    EXPECT_EQ(row->value, "12.5 ms");
    EXPECT_EQ(row->goal, "<= 20 ms");
    EXPECT_EQ(row->verdict, "met");
    EXPECT_FALSE(ParseSummaryLine("summary|only|three|fields"));
    EXPECT_FALSE(ParseSummaryLine("summary|a|b|c|d|e"));
    EXPECT_FALSE(ParseSummaryLine(" summary|a|b|c|d"));
    EXPECT_FALSE(ParseSummaryLine("table | a | b"));
}

// ---- Leaving the PC as it was ----

TEST(KitCleanup, RuntimeFolderEntriesAreKnownByName) {
    const struct {
        const wchar_t* name;
        bool directory;
        bool runtime;
    } cases[] = {
        {L"packages", true, true},
        {L"Packages", true, true},
        {L"packages", false, false},
        {L"Update.exe", false, true},
        {L"update.EXE", false, true},
        {L"Update.exe", true, false},
        {L"Update.exe.42.partial", false, true},
        {L"Update.exe.4x2.partial", false, false},
        {L"Update.exe..partial", false, false},
        {L"Update.exe.42.partial.bak", false, false},
        {L"current", true, false},
        {L"sq.version", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsRuntimeFolderEntry(c.name, c.directory), c.runtime)
            << test::Narrow(c.name) << (c.directory ? " (folder)" : " (file)");
    }
}

}  // namespace
}  // namespace zelt::kit
