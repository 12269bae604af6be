// Command lines: the updater's command line, built from any arguments, splits back into exactly
// those arguments; the game's own command line, whatever its quoting, splits into arguments that
// survive being handed on to the updater as restart arguments; and an argument holding a NUL is
// refused instead of being cut short.
//
// Input: one byte of options, then UTF-16LE units (an odd last byte is dropped). The units are cut
// at every NUL unit into pieces, so two NULs in a row make an empty piece. The first three pieces
// are the installation root, the packages directory and the package's file name; the rest are the
// restart arguments handed on to the game. Options: bit 0 silent, bit 1 no restart, bits 2-3 the
// wait target (none, this process, a given process id from the remaining bits).
//
// The same units, with every NUL unit read as a blank, are also the game's own command line as the
// system hands it over (it cannot hold a NUL): a program name, then arguments written any way at
// all, quotes left open, doubled or after backslash runs included. The start splits that line,
// turns the arguments into UTF-8 text and passes them as restart arguments; the updater must split
// its line back into the same arguments, each unpaired surrogate being U+FFFD by then.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cmdline.h"
#include "errors.h"
#include "misc_path.h"
#include "process_plan.h"
#include "text.h"

namespace {

using Args = std::vector<std::u16string>;

std::vector<std::u16string> Pieces(const uint8_t* data, size_t size) {
    std::vector<std::u16string> pieces(1);
    for (size_t i = 0; i + 1 < size; i += 2) {
        const char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (unit == u'\0') {
            pieces.emplace_back();
        } else {
            pieces.back().push_back(unit);
        }
    }
    return pieces;
}

[[noreturn]] void Fail(const char* what, const Args& args) {
    std::fprintf(stderr, "fuzz_cmdline: %s:", what);
    for (const std::u16string& arg : args) {
        std::fprintf(stderr, " %s", upkit::QuoteUtf16(arg).c_str());
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

// Builds the whole line as the updater start does and splits it the way the updater's C runtime
// will; anything but the same arguments is a finding.
void RoundTrip(const char* what, const upkit::Path& program, const Args& args) {
    upkit::Result<std::u16string> line = upkit::BuildCommandLine(program, args);
    if (!line.ok()) std::abort();
    std::u16string& text = line.value();
    // The buffer ends in the NUL the system reads up to; the split sees what comes before it.
    if (text.empty() || text.back() != u'\0') std::abort();
    text.pop_back();
    if (text.find(u'\0') != std::u16string::npos) std::abort();
    if (upkit::SplitCommandLine(text) != args) Fail(what, args);
}

bool IsHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// What an argument of the game is once it has been UTF-8 text: every unit the same, except that a
// surrogate without its partner next to it is U+FFFD.
std::u16string ThroughUtf8(std::u16string_view arg) {
    std::u16string out(arg);
    for (size_t i = 0; i < arg.size(); ++i) {
        const bool paired =
            (IsHighSurrogate(arg[i]) && i + 1 < arg.size() && IsLowSurrogate(arg[i + 1])) ||
            (IsLowSurrogate(arg[i]) && i > 0 && IsHighSurrogate(arg[i - 1]));
        if ((IsHighSurrogate(arg[i]) || IsLowSurrogate(arg[i])) && !paired) out[i] = u'\uFFFD';
    }
    return out;
}

// The game's own command line, split as the start splits it, handed on as the start hands on its
// arguments when it applies a pending package, and split again as the updater's C runtime will.
void CheckGameCommandLine(const upkit::LocatorConfig& config, const upkit::Path& package,
                          std::u16string_view line) {
    const Args game = upkit::SplitCommandLine(line);
    // Built into a line of their own, the arguments come back unchanged, unpaired surrogates too.
    RoundTrip("the game's arguments came back changed", config.updaterPath, game);

    // The start keeps its arguments as UTF-8 text and passes them on as they are; it is not
    // silent, restarts the game and has the updater wait for it.
    const std::vector<std::string> restartText = upkit::ArgumentsFromCommandLine(line);
    const Args args = upkit::BuildUpdaterArguments(
        config, package, false, upkit::WaitTarget::CurrentProcess(), 4242, true, restartText);
    RoundTrip("the updater's arguments with the game's came back changed", config.updaterPath,
              args);
    if (game.empty()) return;
    if (args.size() < game.size() + 1 || args[args.size() - game.size() - 1] != u"--") {
        Fail("the restart arguments are not last after \"--\"", args);
    }
    for (size_t i = 0; i < game.size(); ++i) {
        if (args[args.size() - game.size() + i] != ThroughUtf8(game[i])) {
            Fail("a restart argument is not the game's",
                 {game[i], args[args.size() - game.size() + i]});
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t options = data[0];
    Args pieces = Pieces(data + 1, size - 1);
    std::u16string gameLine;
    for (const std::u16string& piece : pieces) {
        if (&piece != &pieces.front()) gameLine.push_back(u' ');
        gameLine += piece;
    }
    while (pieces.size() < 3) pieces.emplace_back();

    upkit::LocatorConfig config;
    config.rootDir = upkit::Path(pieces[0]);
    config.packagesDir = upkit::Path(pieces[1]);
    // A file name cannot hold a double quote, and the program part of the line is written
    // unescaped between quotes; the updater's path is the root's with its quotes left out.
    std::u16string updater;
    for (const char16_t c : pieces[0]) {
        if (c != u'"') updater.push_back(c);
    }
    config.updaterPath = upkit::JoinPath(upkit::Path(updater), std::u16string_view(u"Update.exe"));
    const upkit::Path package = upkit::JoinPath(config.packagesDir, std::u16string_view(pieces[2]));

    // Restart arguments travel as WTF-8 text, so unpaired surrogates must survive that too.
    const Args restart(pieces.begin() + 3, pieces.end());
    std::vector<std::string> restartText;
    for (const std::u16string& arg : restart) restartText.push_back(upkit::Utf16ToWtf8(arg));

    upkit::WaitTarget wait = upkit::WaitTarget::NoWait();
    if ((options >> 2 & 3) == 1) wait = upkit::WaitTarget::CurrentProcess();
    if ((options >> 2 & 3) >= 2) wait = upkit::WaitTarget::ProcessId(options >> 4);
    const Args args = upkit::BuildUpdaterArguments(config, package, (options & 1) != 0, wait, 4242,
                                                   (options & 2) == 0, restartText);

    // The restart arguments come last, after "--", unchanged.
    if (!restart.empty()) {
        if (args.size() < restart.size() + 1) std::abort();
        const size_t first = args.size() - restart.size();
        if (args[first - 1] != u"--" ||
            !std::equal(restart.begin(), restart.end(), args.begin() + static_cast<long>(first))) {
            std::abort();
        }
    }
    RoundTrip("the updater's arguments came back changed", config.updaterPath, args);
    // The pieces after the first as the whole argument list, so that any text also comes first
    // or alone, and the list can be empty.
    RoundTrip("the arguments came back changed", config.updaterPath,
              Args(pieces.begin() + 1, pieces.end()));

    CheckGameCommandLine(config, package, gameLine);

    // A NUL anywhere in an argument fails the whole line with the invalid-input error.
    Args withNul = pieces;
    std::u16string& victim = withNul[options % withNul.size()];
    victim.insert(victim.begin() + static_cast<long>(victim.size() / 2), u'\0');
    upkit::Result<std::u16string> refused = upkit::BuildCommandLine(config.updaterPath, withNul);
    if (refused.ok() || refused.error().GetKind() != upkit::RuntimeError::Kind::Io ||
        refused.error().AsIo() == nullptr ||
        refused.error().AsIo()->Kind() != upkit::IoErrorKind::InvalidInput) {
        std::abort();
    }
    return 0;
}
