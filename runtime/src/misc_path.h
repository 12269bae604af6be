// Windows path texts and the operations on them that need no file system.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace upkit {

// An owned Windows path, stored as UTF-16 code units exactly as built: unpaired surrogates are kept
// and nothing is ever normalised, made absolute or case-folded.
class Path {
public:
    Path() = default;
    explicit Path(std::u16string units) : units_(std::move(units)) {}
    // From WTF-8 (or UTF-8) text.
    static Path FromUtf8(std::string_view text);

    const std::u16string& Units() const { return units_; }
    bool Empty() const { return units_.empty(); }
    bool operator==(const Path& other) const = default;

private:
    std::u16string units_;
};

// The platform's path-append rule: a "\" goes between the two unless base is empty or already ends
// in "\" or "/"; an absolute component (drive or root) replaces base.
Path JoinPath(const Path& base, std::u16string_view component);
Path JoinPath(const Path& base, std::string_view component);

// The path without its last component; nothing when it has no last component that is a name (an
// empty path, a drive or a root alone). The parent of a single relative name is the empty path.
std::optional<Path> ParentDir(const Path& path);

// The last component that is a name; nothing when there is none.
std::optional<std::u16string> FileName(const Path& path);

// Equality of the component sequences: "\" and "/" both separate, repeated separators and "."
// do not count, ".." stays, names compare exactly, a drive letter compares upper-cased.
bool PathEquals(const Path& a, const Path& b);

// An absolute path long enough to meet the system's path length limits (248 units and more; a
// folder cannot be created from 248 on) in the form that is exempt from them: normalised as the
// system does it ("/" as "\", repeated separators, "." and ".." resolved, a final name's
// trailing dots and blanks trimmed), then "\\?\C:\..." or "\\?\UNC\server\share\...".
// Paths already in "\\?\" or "\\.\" form, shorter paths and relative ones come back as they
// are, as do paths that only look absolute ("C:name", "\name").
//
//   C:\Games\<250 units>\..\a\.\b  ->  \\?\C:\Games\a\b
//   \\server\share\<250 units>      ->  \\?\UNC\server\share\<250 units>
std::u16string LongPathForm(std::u16string_view path);

// Plain UTF-8; an unpaired surrogate becomes U+FFFD.
std::string PathDisplay(const Path& path);

// Between double quotes with the escapes of the quoted form; unpaired surrogates as \u{d800}.
std::string PathDebug(const Path& path);

}  // namespace upkit
