// Splitting a Windows command line into arguments and building one back from arguments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace upkit {

// Splits a whole process command line: the program name (to the first blank outside double quotes;
// quotes toggle, backslashes are plain) is skipped with the blanks after it, the rest is split by
// the C runtime's rules for wide command lines.
std::vector<std::u16string> SplitCommandLine(std::u16string_view commandLine);

// The arguments after the program name of a whole command line, each as text (an unpaired surrogate
// becomes U+FFFD): what the start keeps of its own command line and hands on to a restart.
std::vector<std::string> ArgumentsFromCommandLine(std::u16string_view commandLine);

// Splits only the argument part (no program name) by the same rules.
std::vector<std::u16string> SplitArguments(std::u16string_view arguments);

// Appends one argument quoted for the C runtime's splitter: quoted when empty or holding a blank or
// a tab; n backslashes before a double quote become 2n + 1 and the quote; a trailing run of
// backslashes is doubled when quoted. The caller rejects NUL characters first.
void AppendQuotedArgument(std::u16string& out, std::u16string_view argument);

}  // namespace upkit
