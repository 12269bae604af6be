#include "kit_core.h"

#include <expat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <utility>

namespace zelt::kit {

namespace {

// ---- UTF-8 ----

struct Decoded {
    char32_t codePoint;
    size_t length;
};

// The code point at the start of the bytes, or U+FFFD and one byte for a byte that starts no
// valid sequence (overlong forms, surrogates and values past U+10FFFF included).
Decoded DecodeOne(std::string_view bytes) {
    const auto lead = static_cast<unsigned char>(bytes[0]);
    if (lead < 0x80) return {lead, 1};
    size_t length = 0;
    char32_t value = 0;
    char32_t smallest = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, smallest = 0x10000;
    } else {
        return {0xFFFD, 1};
    }
    if (bytes.size() < length) return {0xFFFD, 1};
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(bytes[i]);
        if ((next & 0xC0) != 0x80) return {0xFFFD, 1};
        value = (value << 6) | (next & 0x3F);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return {0xFFFD, 1};
    }
    return {value, length};
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool XmlCanHold(char32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Code points, which is what a console or an editor lines up.
size_t DisplayWidth(std::string_view utf8) {
    return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> Split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    for (;;) {
        const size_t at = text.find(separator);
        parts.emplace_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

std::vector<std::string> Words(std::string_view text) {
    std::vector<std::string> words;
    for (const std::string& part : Split(text, ' ')) {
        std::string_view word = Trim(part);
        if (!word.empty()) words.emplace_back(word);
    }
    return words;
}

}  // namespace

// ---- Text ----

std::string ValidUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const Decoded d = DecodeOne(bytes);
        AppendUtf8(out, d.codePoint);
        bytes.remove_prefix(d.length);
    }
    return out;
}

bool LooksLikeUtf8(std::string_view bytes) {
    bool valid = true;
    while (!bytes.empty()) {
        const Decoded d = DecodeOne(bytes);
        if (d.length > 1) return true;
        valid = valid && (d.codePoint != 0xFFFD || bytes.substr(0, 3) == "\xEF\xBF\xBD");
        bytes.remove_prefix(d.length);
    }
    return valid;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::vector<std::string> LastLines(std::string_view text, size_t count) {
    std::vector<std::string> lines = SplitLines(text);
    if (lines.size() > count) lines.erase(lines.begin(), lines.end() - count);
    return lines;
}

std::string XmlEscape(std::string_view utf8, bool attribute) {
    std::string out;
    out.reserve(utf8.size());
    while (!utf8.empty()) {
        const Decoded d = DecodeOne(utf8);
        utf8.remove_prefix(d.length);
        const char32_t c = d.codePoint;
        if (!XmlCanHold(c)) continue;
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            // Also keeps "]]>" out of character data.
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += attribute ? "&quot;" : "\"";
                break;
            // A parser turns a raw carriage return into a line feed, and raw line ends and tabs in
            // an attribute into spaces.
            case '\r':
                out += "&#13;";
                break;
            case '\n':
                out += attribute ? "&#10;" : "\n";
                break;
            case '\t':
                out += attribute ? "&#9;" : "\t";
                break;
            default:
                AppendUtf8(out, c);
        }
    }
    return out;
}

std::string FormatTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        if (widths.size() < row.size()) widths.resize(row.size(), 0);
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], DisplayWidth(row[i]));
        }
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line.append(widths[i] - DisplayWidth(row[i]) + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

// ---- gtest ----

std::vector<TestId> ParseTestList(std::string_view listing) {
    std::vector<TestId> tests;
    std::optional<std::string> suite;
    for (std::string line : SplitLines(listing)) {
        const size_t comment = line.find("  #");
        if (comment != std::string::npos) line.erase(comment);
        const bool indented = line.rfind("  ", 0) == 0;
        const std::string_view text = Trim(line);
        if (text.empty()) continue;
        if (indented) {
            if (suite) tests.push_back({*suite, std::string(text)});
        } else if (text.back() == '.' && text.find(' ') == std::string_view::npos) {
            suite = std::string(text.substr(0, text.size() - 1));
        } else {
            // Whatever else the program printed first: no test belongs to it.
            suite.reset();
        }
    }
    return tests;
}

bool MatchesWildcard(std::string_view pattern, std::string_view name) {
    size_t p = 0;
    size_t n = 0;
    size_t starAt = std::string_view::npos;
    size_t starName = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p, ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starAt = p++;
            starName = n;
        } else if (starAt != std::string_view::npos) {
            // Let the last '*' take one more character and try again from there.
            p = starAt + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

TestFilter::TestFilter(std::string_view filter) {
    const size_t dash = filter.find('-');
    for (const std::string& pattern : Split(filter.substr(0, dash), ':')) {
        if (!pattern.empty()) positive_.push_back(pattern);
    }
    if (positive_.empty()) positive_.push_back("*");
    if (dash == std::string_view::npos) return;
    for (const std::string& pattern : Split(filter.substr(dash + 1), ':')) {
        if (!pattern.empty()) negative_.push_back(pattern);
    }
}

bool TestFilter::Selects(std::string_view fullName) const {
    const auto matches = [&](const std::string& pattern) {
        return MatchesWildcard(pattern, fullName);
    };
    return std::any_of(positive_.begin(), positive_.end(), matches) &&
           std::none_of(negative_.begin(), negative_.end(), matches);
}

bool IsDisabled(const TestId& test) {
    const auto disabled = [](std::string_view part) {
        return MatchesWildcard("DISABLED_*", part) || MatchesWildcard("*/DISABLED_*", part);
    };
    return disabled(test.suite) || disabled(test.name);
}

namespace {

struct XmlState {
    const TestId* test = nullptr;
    XmlResult result;
    bool inOurs = false;  // inside the <testcase> of the test asked about
    enum class Part { kNone, kFailure, kSkipped } part = Part::kNone;
    std::string partMessage;
    std::string partText;
};

// The attributes gtest itself writes on a <testcase>; any other is a property the test recorded.
bool IsGtestAttribute(std::string_view name) {
    for (const char* own : {"name", "status", "result", "time", "timestamp", "classname", "file",
                            "line", "value_param", "type_param"}) {
        if (name == own) return true;
    }
    return false;
}

std::string_view Attribute(const XML_Char** attributes, std::string_view name) {
    for (size_t i = 0; attributes[i] != nullptr; i += 2) {
        if (name == attributes[i]) return attributes[i + 1];
    }
    return {};
}

void XMLCALL OnStart(void* data, const XML_Char* element, const XML_Char** attributes) {
    auto& state = *static_cast<XmlState*>(data);
    const std::string_view name = element;
    if (name == "testcase") {
        state.inOurs = Attribute(attributes, "classname") == state.test->suite &&
                       Attribute(attributes, "name") == state.test->name;
        // A test the run did not reach ("notrun") has no result.
        if (state.inOurs && Attribute(attributes, "status") != "notrun") {
            state.result.found = true;
            if (Attribute(attributes, "result") == "skipped") {
                state.result.outcome = Outcome::kSkipped;
            }
            for (size_t i = 0; attributes[i] != nullptr; i += 2) {
                if (!IsGtestAttribute(attributes[i])) {
                    state.result.properties.push_back(std::string(attributes[i]) + ": " +
                                                      attributes[i + 1]);
                }
            }
        }
    } else if (name == "failure" || name == "skipped") {
        state.part = name == "failure" ? XmlState::Part::kFailure : XmlState::Part::kSkipped;
        state.partMessage = Attribute(attributes, "message");
        state.partText.clear();
    }
}

void XMLCALL OnEnd(void* data, const XML_Char* element) {
    auto& state = *static_cast<XmlState*>(data);
    const std::string_view name = element;
    if (name == "testcase") state.inOurs = false;
    if (state.part == XmlState::Part::kFailure && name == "failure") {
        // The element's text is the whole message; the attribute only its summary.
        state.result.failures.push_back(state.partText.empty() ? state.partMessage
                                                               : state.partText);
    } else if (state.part == XmlState::Part::kSkipped && name == "skipped" && state.inOurs) {
        // gtest writes "file:line", a line end, then the reason given to GTEST_SKIP.
        const size_t end = state.partMessage.find('\n');
        state.result.outcome = Outcome::kSkipped;
        state.result.skipLocation = state.partMessage.substr(0, end);
        state.result.skipReason =
            end == std::string::npos ? "" : std::string(Trim(state.partMessage.substr(end + 1)));
    }
    if (name == "failure" || name == "skipped") state.part = XmlState::Part::kNone;
}

void XMLCALL OnText(void* data, const XML_Char* text, int length) {
    auto& state = *static_cast<XmlState*>(data);
    if (state.part != XmlState::Part::kNone) state.partText.append(text, length);
}

}  // namespace

std::optional<XmlResult> ParseGtestXml(std::string_view xml, const TestId& test) {
    XmlState state;
    state.test = &test;
    XML_Parser parser = XML_ParserCreate("UTF-8");
    if (parser == nullptr) return std::nullopt;
    XML_SetUserData(parser, &state);
    XML_SetElementHandler(parser, OnStart, OnEnd);
    XML_SetCharacterDataHandler(parser, OnText);
    const bool parsed =
        XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(parser);
    if (!parsed) return std::nullopt;
    if (!state.result.failures.empty()) state.result.outcome = Outcome::kFailed;
    return state.result;
}

// ---- Judging a run ----

std::string ExitCodeText(uint32_t code) {
    static const std::map<uint32_t, const char*> kNames = {
        {0x80000003, "breakpoint"},
        {0xC0000005, "access violation"},
        {0xC0000006, "in-page error"},
        {0xC000001D, "illegal instruction"},
        {0xC0000094, "integer division by zero"},
        {0xC0000096, "privileged instruction"},
        {0xC00000FD, "stack overflow"},
        {0xC0000135, "a DLL it needs was not found"},
        {0xC0000139, "an entry point it needs was not found"},
        {0xC000013A, "ended by Ctrl+C"},
        {0xC0000142, "a DLL failed to initialise"},
        {0xC0000374, "heap corruption"},
        {0xC0000409, "fail-fast exception or stack buffer overrun"},
        {0xC0000417, "invalid parameter passed to the C runtime"},
    };
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    const auto name = kNames.find(code);
    if (name == kNames.end()) return text;
    return std::string(text) + " (" + name->second + ")";
}

bool IsExceptionCode(uint32_t code) {
    return (code & 0xC0000000u) == 0xC0000000u || code == 0x80000003u || code == 0x80000004u;
}

namespace {

std::string WithTail(std::string details, const std::string& tail) {
    if (!details.empty() && details.back() != '\n') details += '\n';
    if (tail.empty()) return details + "It printed nothing.\n";
    return details + "Last lines of its output:\n" + tail + (tail.back() == '\n' ? "" : "\n");
}

// "file:line: first line of the message", and how many more failures there were.
std::string FailureSummary(const std::vector<std::string>& failures) {
    const std::vector<std::string> lines = SplitLines(failures.front());
    std::string summary = lines.empty() ? std::string("(no message)") : lines.front();
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = Trim(lines[i]);
        if (line.empty()) continue;
        summary += ": " + std::string(line);
        break;
    }
    if (failures.size() > 1) {
        summary += " (and " + std::to_string(failures.size() - 1) + " more failure" +
                   (failures.size() > 2 ? "s)" : ")");
    }
    return summary;
}

void Fail(TestReport& report, FailureKind kind, std::string reason, std::string details,
          const std::string& tail) {
    report.outcome = Outcome::kFailed;
    report.kind = kind;
    report.reason = std::move(reason);
    report.details = WithTail(std::move(details), tail);
}

}  // namespace

TestReport Judge(const std::string& program, const TestId& test, const RunFacts& facts) {
    TestReport report;
    report.program = program;
    report.test = test;
    if (facts.timedOut) {
        std::string reason = "hung: still running after the time limit of " +
                             std::to_string(facts.timeoutSeconds) +
                             " s; its whole process tree was ended";
        Fail(report, FailureKind::kHung, reason, reason, facts.outputTail);
        return report;
    }
    const std::string code = ExitCodeText(facts.exitCode);
    const FailureKind badEnd =
        IsExceptionCode(facts.exitCode) ? FailureKind::kCrash : FailureKind::kFailure;
    std::optional<XmlResult> xml;
    if (facts.xml) xml = ParseGtestXml(*facts.xml, test);
    if (!xml || !xml->found) {
        std::string reason = "ended with exit code " + code + " without a result";
        std::string details = reason;
        if (facts.xml && !xml) details += " (its XML report is not well-formed)";
        Fail(report, badEnd, reason, details, facts.outputTail);
        return report;
    }
    if (xml->outcome == Outcome::kFailed) {
        std::string details;
        for (const std::string& failure : xml->failures) details += failure + "\n\n";
        if (facts.exitCode != 1) details += "Its exit code was " + code + ".\n";
        Fail(report, badEnd == FailureKind::kCrash ? badEnd : FailureKind::kFailure,
             FailureSummary(xml->failures), details, facts.outputTail);
        return report;
    }
    const char* said = xml->outcome == Outcome::kSkipped ? "skipped" : "passed";
    if (facts.exitCode != 0) {
        std::string reason =
            "ended with exit code " + code + ", which disagrees with its result (" + said + ")";
        Fail(report, badEnd, reason, reason, facts.outputTail);
        return report;
    }
    report.outcome = xml->outcome;
    report.notes = xml->properties;
    if (report.outcome == Outcome::kSkipped) {
        report.reason = !xml->skipReason.empty()
                            ? xml->skipReason
                            : "no reason given (skipped at " + xml->skipLocation + ")";
    }
    return report;
}

namespace {

struct SuiteGroup {
    std::string name;
    std::vector<const TestReport*> reports;
    size_t failures = 0;
    size_t skipped = 0;
    double seconds = 0;
};

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

std::string Counts(size_t tests, size_t failures, size_t skipped, double seconds) {
    return " tests=\"" + std::to_string(tests) + "\" failures=\"" + std::to_string(failures) +
           "\" errors=\"0\" skipped=\"" + std::to_string(skipped) + "\" time=\"" +
           Seconds(seconds) + "\"";
}

std::string JunitCase(const TestReport& r) {
    std::string out = "    <testcase classname=\"" + XmlEscape(r.test.suite, true) + "\" name=\"" +
                      XmlEscape(r.test.name, true) + "\" time=\"" + Seconds(r.seconds) + "\"";
    if (r.outcome == Outcome::kPassed) return out + "/>\n";
    out += ">\n";
    if (r.outcome == Outcome::kSkipped) {
        out += "      <skipped message=\"" + XmlEscape(r.reason, true) + "\"/>\n";
    } else {
        const char* type = r.kind == FailureKind::kHung    ? "hung"
                           : r.kind == FailureKind::kCrash ? "crash"
                                                           : "failure";
        out += "      <failure message=\"" + XmlEscape(r.reason, true) + "\" type=\"" + type +
               "\">" + XmlEscape(r.details, false) + "</failure>\n";
    }
    return out + "    </testcase>\n";
}

}  // namespace

std::string JunitXml(const std::vector<TestReport>& reports) {
    std::vector<SuiteGroup> groups;
    for (const TestReport& r : reports) {
        const std::string name = r.program + ": " + r.test.suite;
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [&](const SuiteGroup& g) { return g.name == name; });
        if (group == groups.end()) {
            group = groups.insert(groups.end(), SuiteGroup());
            group->name = name;
        }
        group->reports.push_back(&r);
        group->failures += r.outcome == Outcome::kFailed;
        group->skipped += r.outcome == Outcome::kSkipped;
        group->seconds += r.seconds;
    }
    size_t failures = 0;
    size_t skipped = 0;
    double seconds = 0;
    std::string body;
    for (const SuiteGroup& g : groups) {
        failures += g.failures, skipped += g.skipped, seconds += g.seconds;
        body += "  <testsuite name=\"" + XmlEscape(g.name, true) + "\"" +
                Counts(g.reports.size(), g.failures, g.skipped, g.seconds) + ">\n";
        for (const TestReport* r : g.reports) body += JunitCase(*r);
        body += "  </testsuite>\n";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"ZeltOy2 test kit\"" +
           Counts(reports.size(), failures, skipped, seconds) + ">\n" + body + "</testsuites>\n";
}

// ---- The kit ----

std::string WindowsName(unsigned major, unsigned minor, unsigned build) {
    if (major == 10 && minor == 0) return build >= 22000 ? "Windows 11" : "Windows 10";
    if (major == 6 && minor == 3) return "Windows 8.1";
    if (major == 6 && minor == 2) return "Windows 8";
    if (major == 6 && minor == 1) return "Windows 7";
    return "Windows " + std::to_string(major) + "." + std::to_string(minor);
}

KitInfo ParseKitInfo(std::string_view text) {
    KitInfo info;
    for (const std::string& line : SplitLines(text)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key(Trim(std::string_view(line).substr(0, colon)));
        const std::string value(Trim(std::string_view(line).substr(colon + 1)));
        if (key == "commit") info.commit = value;
        if (key == "version") info.version = value;
        if (key == "signed") info.isSigned = value;
        if (key == "programs") info.programs = Words(value);
        if (key == "self-check") info.selfCheck = value;
        if (key == "benchmarks") info.benchmarks = Words(value);
    }
    return info;
}

std::optional<SummaryRow> ParseSummaryLine(std::string_view line) {
    constexpr std::string_view kPrefix = "summary|";
    if (line.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
    line.remove_prefix(kPrefix.size());
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::vector<std::string> fields = Split(line, '|');
    if (fields.size() != 4) return std::nullopt;
    return SummaryRow{fields[0], fields[1], fields[2], fields[3]};
}

}  // namespace zelt::kit
