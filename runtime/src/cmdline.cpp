#include "cmdline.h"

#include "text.h"

namespace upkit {

namespace {

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

}  // namespace

std::vector<std::u16string> SplitCommandLine(std::u16string_view commandLine) {
    if (commandLine.empty()) return {};
    // The program name follows simpler rules than the arguments: quotes only toggle, and a
    // backslash is an ordinary character, since it is usually a path.
    size_t i = 0;
    bool quoted = false;
    for (; i < commandLine.size(); ++i) {
        const char16_t c = commandLine[i];
        if (c == u'"') {
            quoted = !quoted;
        } else if (IsBlank(c) && !quoted) {
            break;
        }
    }
    while (i < commandLine.size() && IsBlank(commandLine[i])) ++i;
    return SplitArguments(commandLine.substr(i));
}

std::vector<std::u16string> SplitArguments(std::u16string_view arguments) {
    std::vector<std::u16string> out;
    const size_t n = arguments.size();
    size_t i = 0;
    for (;;) {
        while (i < n && IsBlank(arguments[i])) ++i;
        if (i >= n) break;
        // Any non-blank character starts an argument, so a lone pair of quotes (or a quote left
        // open at the end) still yields one, possibly empty.
        std::u16string current;
        bool quoted = false;
        while (i < n) {
            const char16_t c = arguments[i];
            if (c == u'\\') {
                size_t run = 0;
                while (i < n && arguments[i] == u'\\') {
                    ++run;
                    ++i;
                }
                if (i < n && arguments[i] == u'"') {
                    current.append(run / 2, u'\\');
                    if (run % 2 == 1) {
                        current.push_back(u'"');
                        ++i;
                    }
                    // With an even run the quote is handled as an ordinary quote next.
                } else {
                    current.append(run, u'\\');
                }
            } else if (c == u'"') {
                if (quoted && i + 1 < n && arguments[i + 1] == u'"') {
                    current.push_back(u'"');
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else if (IsBlank(c) && !quoted) {
                break;
            } else {
                current.push_back(c);
                ++i;
            }
        }
        out.push_back(std::move(current));
    }
    return out;
}

void AppendQuotedArgument(std::u16string& out, std::u16string_view argument) {
    const bool quote =
        argument.empty() || argument.find_first_of(u" \t") != std::u16string_view::npos;
    if (quote) out.push_back(u'"');
    size_t backslashes = 0;
    for (const char16_t c : argument) {
        if (c == u'\\') {
            ++backslashes;
        } else {
            if (c == u'"') out.append(backslashes + 1, u'\\');
            backslashes = 0;
        }
        out.push_back(c);
    }
    if (quote) {
        out.append(backslashes, u'\\');
        out.push_back(u'"');
    }
}

std::vector<std::string> ArgumentsFromCommandLine(std::u16string_view commandLine) {
    std::vector<std::string> args;
    for (const std::u16string& arg : SplitCommandLine(commandLine)) {
        args.push_back(Utf16ToUtf8Lossy(arg));
    }
    return args;
}

}  // namespace upkit
