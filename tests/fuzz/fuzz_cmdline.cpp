// Command lines: the updater's command line, built from any arguments, splits back into exactly
// those arguments, and an argument holding a NUL is refused instead of being cut short.
//
// Input: one byte of options, then UTF-16LE units (an odd last byte is dropped). The units are cut
// at every NUL unit into pieces, so two NULs in a row make an empty piece. The first three pieces
// are the installation root, the packages directory and the package's file name; the rest are the
// restart arguments handed on to the game. Options: bit 0 silent, bit 1 no restart, bits 2-3 the
// wait target (none, this process, a given process id from the remaining bits).
#include <algorithm>
#include <cstdint>
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

// Builds the whole line as the updater start does and splits it the way the updater's C runtime
// will; anything but the same arguments is a finding.
void RoundTrip(const upkit::Path& program, const Args& args) {
    upkit::Result<std::u16string> line = upkit::BuildCommandLine(program, args);
    if (!line.ok()) std::abort();
    std::u16string& text = line.value();
    // The buffer ends in the NUL the system reads up to; the split sees what comes before it.
    if (text.empty() || text.back() != u'\0') std::abort();
    text.pop_back();
    if (text.find(u'\0') != std::u16string::npos) std::abort();
    if (upkit::SplitCommandLine(text) != args) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t options = data[0];
    Args pieces = Pieces(data + 1, size - 1);
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
    RoundTrip(config.updaterPath, args);
    // The pieces after the first as the whole argument list, so that any text also comes first
    // or alone, and the list can be empty.
    RoundTrip(config.updaterPath, Args(pieces.begin() + 1, pieces.end()));

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
