#include "cmdline.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "text.h"

namespace upkit {
namespace {

using Args = std::vector<std::u16string>;

std::string Show(const Args& args) {
    std::string out = "[";
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0) out += ", ";
        out += QuoteUtf16(args[i]);
    }
    return out + "]";
}

// "program" followed by each argument quoted and separated by one blank.
std::u16string BuildCommandLine(std::u16string_view program, const Args& args) {
    std::u16string line = u"\"";
    line.append(program);
    line += u"\"";
    for (const auto& arg : args) {
        line += u' ';
        AppendQuotedArgument(line, arg);
    }
    return line;
}

TEST(SplitArgumentsTest, Table) {
    struct Case {
        std::u16string line;
        Args args;
    };
    const Case cases[] = {
        {u"", {}},
        {u" \t ", {}},
        {u"a b  c", {u"a", u"b", u"c"}},
        {u"  a\t\tb  ", {u"a", u"b"}},
        {u"a\nb", {u"a\nb"}},
        {u"\"a b\" c", {u"a b", u"c"}},
        {u"\"a\tb\"", {u"a\tb"}},
        {u"a\"b c\"d", {u"ab cd"}},
        // Pairs of quotes give arguments even when empty; so does a quote left open at the end.
        {u"\"\"", {u""}},
        {u"a \"\" b", {u"a", u"", u"b"}},
        {u"\"\" \"\"", {u"", u""}},
        {u"\"", {u""}},
        {u"a \"", {u"a", u""}},
        {u"a \"b c", {u"a", u"b c"}},
        // Two quotes inside quotes give one literal quote and quoting goes on.
        {u"\"a\"\"b\"", {u"a\"b"}},
        {u"\"a\"\"b c\"", {u"a\"b c"}},
        {u"\"a\"\"\"", {u"a\""}},
        {u"\"\"\"\"", {u"\""}},
        {u"a\"\"b", {u"ab"}},
        {u"\"\"\"a b\"", {u"\"a b"}},
        // Backslashes are literal unless a run of them precedes a quote.
        {u"a\\b", {u"a\\b"}},
        {u"a\\\\b\\", {u"a\\\\b\\"}},
        {u"\\\\server\\share", {u"\\\\server\\share"}},
        {u"a\\\"b", {u"a\"b"}},
        {u"a\\\\\"b c\"", {u"a\\b c"}},
        {u"a\\\\\\\"b", {u"a\\\"b"}},
        {u"a\\\\\\\\\"b\"", {u"a\\\\b"}},
        {u"\"a\\\\\" b", {u"a\\", u"b"}},
        {u"\"C:\\x y\\\\\"", {u"C:\\x y\\"}},
        {u"\"a\\\"b\"", {u"a\"b"}},
        {u"\\\"", {u"\""}},
        {u"\\", {u"\\"}},
        {u"\u011F\u00FC \U0001F600", {u"\u011F\u00FC", u"\U0001F600"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SplitArguments(c.line), c.args)
            << QuoteUtf16(c.line) << " gave " << Show(SplitArguments(c.line));
    }
}

TEST(SplitCommandLineTest, SkipsTheProgramName) {
    struct Case {
        std::u16string line;
        Args args;
    };
    const Case cases[] = {
        {u"", {}},
        {u"prog", {}},
        {u"prog   ", {}},
        {u"\"prog name\"", {}},
        {u"prog a b", {u"a", u"b"}},
        {u"prog\t\ta", {u"a"}},
        {u"\"C:\\My Games\\Zelt\\ZeltOy2.exe\" --upkit-install 1.2.0",
         {u"--upkit-install", u"1.2.0"}},
        {u"C:\\Games\\ZeltOy2.exe \"x y\"", {u"x y"}},
        // In the program name a backslash does not escape the quote after it.
        {u"\"C:\\dir\\\"prog a", {u"a"}},
        {u"\"C:\\dir\\\" a", {u"a"}},
        {u"pr\"o g\"x a", {u"a"}},
        // A leading blank ends an empty program name.
        {u" a b", {u"a", u"b"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SplitCommandLine(c.line), c.args)
            << QuoteUtf16(c.line) << " gave " << Show(SplitCommandLine(c.line));
    }
}

TEST(AppendQuotedArgumentTest, Table) {
    struct Case {
        std::u16string arg;
        std::u16string written;
    };
    const Case cases[] = {
        {u"apply", u"apply"},
        {u"", u"\"\""},
        {u"-slot 2", u"\"-slot 2\""},
        {u"a\tb", u"\"a\tb\""},
        {u"C:\\My Games\\App", u"\"C:\\My Games\\App\""},
        {u"C:\\App\\packages\\App-2.0.0-full.nupkg", u"C:\\App\\packages\\App-2.0.0-full.nupkg"},
        {u"a\"b", u"a\\\"b"},
        {u"\"", u"\\\""},
        {u"C:\\x y\\", u"\"C:\\x y\\\\\""},
        {u"a\\\\\"b", u"a\\\\\\\\\\\"b"},
        {u"x\\", u"x\\"},
        {u"\\\\server\\share\\", u"\\\\server\\share\\"},
        {u"say \"hi\\\" now\\\\", u"\"say \\\"hi\\\\\\\" now\\\\\\\\\""},
        {u"a\nb", u"a\nb"},
    };
    for (const Case& c : cases) {
        std::u16string out = u"prefix ";
        AppendQuotedArgument(out, c.arg);
        EXPECT_EQ(out, u"prefix " + c.written) << QuoteUtf16(c.arg);
    }
}

TEST(AppendQuotedArgumentTest, UpdaterCommandLine) {
    const Args args = {u"apply",     u"--package",    u"C:\\App\\packages\\App-2.0.0-full.nupkg",
                       u"--waitPid", u"4242",         u"--root",
                       u"C:\\App",   u"--packageDir", u"C:\\App\\packages",
                       u"--",        u"-windowed",    u"-slot 2"};
    const std::u16string line = BuildCommandLine(u"C:\\App\\Update.exe", args);
    EXPECT_EQ(line,
              u"\"C:\\App\\Update.exe\" apply --package C:\\App\\packages\\App-2.0.0-full.nupkg "
              u"--waitPid 4242 --root C:\\App --packageDir C:\\App\\packages -- -windowed "
              u"\"-slot 2\"");
    EXPECT_EQ(SplitCommandLine(line), args);

    const Args spaced = {u"--root", u"C:\\My Games\\App", u"--", u""};
    const std::u16string spacedLine = BuildCommandLine(u"C:\\My Games\\App\\Update.exe", spaced);
    EXPECT_EQ(spacedLine,
              u"\"C:\\My Games\\App\\Update.exe\" --root \"C:\\My Games\\App\" -- \"\"");
    EXPECT_EQ(SplitCommandLine(spacedLine), spaced);
}

// Quoting then splitting gives back any argument list without NUL characters.
TEST(CommandLineRoundTrip, RandomArgumentLists) {
    const std::u16string pieces[] = {
        u"a",
        u"Z",
        u"0",
        u"-",
        u" ",
        u"\t",
        u"  ",
        u"\"",
        u"\"\"",
        u"\\",
        u"\\\\",
        u"\\\\\\",
        u"\\\"",
        u"=",
        u"\n",
        u"\u011F",
        u"\u4E2D",
        u"\U0001F600",
        std::u16string(1, 0xD800),
    };
    const std::u16string programs[] = {u"prog", u"C:\\My Games\\Zelt\\ZeltOy2.exe", u"C:\\dir\\"};
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<size_t> pieceOf(0, std::size(pieces) - 1);
    std::uniform_int_distribution<int> argCount(0, 6);
    std::uniform_int_distribution<int> pieceCount(0, 8);
    for (int round = 0; round < 4000; ++round) {
        Args args(static_cast<size_t>(argCount(rng)));
        for (auto& arg : args) {
            for (int n = pieceCount(rng); n > 0; --n) arg += pieces[pieceOf(rng)];
        }
        const std::u16string line = BuildCommandLine(programs[round % std::size(programs)], args);
        ASSERT_EQ(SplitCommandLine(line), args)
            << "round " << round << ": " << Show(args) << " as " << QuoteUtf16(line);
    }
}

}  // namespace
}  // namespace upkit
