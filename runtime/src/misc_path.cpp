#include "misc_path.h"

#include <vector>

#include "text.h"

namespace upkit {

namespace {

bool IsSep(char16_t c) {
    return c == u'\\' || c == u'/';
}
bool IsAsciiLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}
bool HasDrive(std::u16string_view p) {
    return p.size() >= 2 && IsAsciiLetter(p[0]) && p[1] == u':';
}

size_t SkipNonSep(std::u16string_view p, size_t i) {
    while (i < p.size() && !IsSep(p[i])) ++i;
    return i;
}

// How a path begins: its prefix (drive, UNC share, \\?\ or \\.\ form), whether it is rooted, and
// where the component part starts.
struct PathHead {
    size_t prefixEnd = 0;  // units [0, prefixEnd) are the prefix
    size_t bodyStart = 0;  // first unit after the prefix and the separators that follow it
    bool rooted = false;   // a root separator follows the prefix, or the prefix implies one
    bool relative = true;  // neither prefix nor root
    std::u16string key;    // the prefix as compared: drive letter upper-cased, separators as "\"
};

PathHead ParseHead(std::u16string_view p) {
    PathHead h;
    bool impliedRoot = false;
    if (p.size() >= 2 && IsSep(p[0]) && IsSep(p[1])) {
        if (p.size() >= 4 && p.substr(0, 4) == u"\\\\?\\") {
            // Verbatim: \\?\UNC\server\share, \\?\C:, or \\?\<name>.
            const std::u16string_view rest = p.substr(4);
            if (rest.size() >= 4 && rest.substr(0, 4) == u"UNC\\") {
                const size_t server = SkipNonSep(p, 8);
                h.prefixEnd = server < p.size() ? SkipNonSep(p, server + 1) : server;
                impliedRoot = true;
            } else if (HasDrive(rest)) {
                h.prefixEnd = 6;
            } else {
                h.prefixEnd = SkipNonSep(p, 4);
                impliedRoot = true;
            }
            h.key = std::u16string(p.substr(0, h.prefixEnd));
        } else if (p.size() >= 3 && p[2] == u'.' && (p.size() == 3 || IsSep(p[3]))) {
            // Device namespace: \\.\<device>.
            h.prefixEnd = p.size() == 3 ? 3 : SkipNonSep(p, 4);
            impliedRoot = true;
        } else {
            // UNC: \\server\share.
            const size_t server = SkipNonSep(p, 2);
            h.prefixEnd = server < p.size() ? SkipNonSep(p, server + 1) : server;
            impliedRoot = true;
        }
        if (h.key.empty()) {
            h.key = std::u16string(p.substr(0, h.prefixEnd));
            for (char16_t& c : h.key) {
                if (c == u'/') c = u'\\';
            }
        }
    } else if (HasDrive(p)) {
        h.prefixEnd = 2;
        h.key = std::u16string(p.substr(0, 2));
        if (h.key[0] >= u'a' && h.key[0] <= u'z') h.key[0] = char16_t(h.key[0] - u'a' + u'A');
    }
    h.bodyStart = h.prefixEnd;
    while (h.bodyStart < p.size() && IsSep(p[h.bodyStart])) ++h.bodyStart;
    h.rooted = impliedRoot || h.bodyStart > h.prefixEnd;
    h.relative = h.prefixEnd == 0 && !h.rooted;
    return h;
}

// The last component that counts, as [start, end) in p; trailing separators and "." components
// are passed over, except a "." that begins a relative path. Empty when the path has none.
struct LastComponent {
    size_t start = 0, end = 0;
    bool found = false;
};

LastComponent FindLast(std::u16string_view p, const PathHead& h) {
    LastComponent last;
    size_t end = p.size();
    while (end > h.bodyStart) {
        while (end > h.bodyStart && IsSep(p[end - 1])) --end;
        if (end == h.bodyStart) break;
        size_t start = end;
        while (start > h.bodyStart && !IsSep(p[start - 1])) --start;
        const std::u16string_view name = p.substr(start, end - start);
        if (name == u"." && !(h.relative && start == 0)) {
            end = start;
            continue;
        }
        last.start = start;
        last.end = end;
        last.found = true;
        break;
    }
    return last;
}

std::vector<std::u16string_view> Components(std::u16string_view p, const PathHead& h) {
    std::vector<std::u16string_view> out;
    size_t i = h.bodyStart;
    while (i < p.size()) {
        const size_t end = SkipNonSep(p, i);
        const std::u16string_view name = p.substr(i, end - i);
        if (!name.empty() && name != u".") out.push_back(name);
        i = end + 1;
    }
    return out;
}

bool IsAbsoluteComponent(std::u16string_view component) {
    return (!component.empty() && IsSep(component[0])) || HasDrive(component);
}

}  // namespace

Path Path::FromUtf8(std::string_view text) {
    return Path(Wtf8ToUtf16(text));
}

Path JoinPath(const Path& base, std::u16string_view component) {
    const std::u16string& b = base.Units();
    if (b.empty() || IsAbsoluteComponent(component)) return Path(std::u16string(component));
    std::u16string out = b;
    if (!IsSep(out.back())) out.push_back(u'\\');
    out.append(component);
    return Path(std::move(out));
}

Path JoinPath(const Path& base, std::string_view component) {
    return JoinPath(base, std::u16string_view(Wtf8ToUtf16(component)));
}

std::optional<Path> ParentDir(const Path& path) {
    const std::u16string_view p = path.Units();
    const PathHead h = ParseHead(p);
    const LastComponent last = FindLast(p, h);
    if (!last.found) return std::nullopt;
    size_t end = last.start;
    while (end > h.bodyStart && IsSep(p[end - 1])) --end;
    if (end <= h.bodyStart) {
        // Only the prefix and the root remain: keep the prefix and one root separator.
        end = h.prefixEnd;
        if (h.bodyStart > h.prefixEnd) ++end;
    }
    return Path(std::u16string(p.substr(0, end)));
}

std::optional<std::u16string> FileName(const Path& path) {
    const std::u16string_view p = path.Units();
    const PathHead h = ParseHead(p);
    const LastComponent last = FindLast(p, h);
    if (!last.found) return std::nullopt;
    const std::u16string_view name = p.substr(last.start, last.end - last.start);
    if (name == u"." || name == u"..") return std::nullopt;
    return std::u16string(name);
}

bool PathEquals(const Path& a, const Path& b) {
    const std::u16string_view pa = a.Units(), pb = b.Units();
    const PathHead ha = ParseHead(pa), hb = ParseHead(pb);
    if (ha.key != hb.key || ha.rooted != hb.rooted) return false;
    return Components(pa, ha) == Components(pb, hb);
}

std::u16string LongPathForm(std::u16string_view p) {
    constexpr size_t kLongFrom = 248;
    if (p.size() < kLongFrom) return std::u16string(p);
    const bool verbatimOrDevice = p.size() >= 4 && IsSep(p[0]) && IsSep(p[1]) &&
                                  (p[2] == u'?' || p[2] == u'.') && IsSep(p[3]);
    if (verbatimOrDevice) return std::u16string(p);

    std::u16string out;
    size_t rest = 0;
    const bool unc = !HasDrive(p);
    if (!unc && p.size() > 2 && IsSep(p[2])) {
        out = u"\\\\?\\";
        out.append(p.substr(0, 2));
        rest = 3;
    } else if (IsSep(p[0]) && IsSep(p[1])) {
        // \\server\share: both names are needed, and ".." never climbs above the share.
        const size_t serverEnd = SkipNonSep(p, 2);
        if (serverEnd == 2 || serverEnd >= p.size()) return std::u16string(p);
        const size_t shareEnd = SkipNonSep(p, serverEnd + 1);
        if (shareEnd == serverEnd + 1) return std::u16string(p);
        out = u"\\\\?\\UNC\\";
        out.append(p.substr(2, serverEnd - 2));
        out.push_back(u'\\');
        out.append(p.substr(serverEnd + 1, shareEnd - serverEnd - 1));
        rest = shareEnd;
    } else {
        return std::u16string(p);
    }

    std::vector<std::u16string> names;
    for (size_t i = rest; i < p.size();) {
        const size_t end = SkipNonSep(p, i);
        const std::u16string_view name = p.substr(i, end - i);
        if (name == u"..") {
            if (!names.empty()) names.pop_back();
        } else if (!name.empty() && name != u".") {
            std::u16string kept(name);
            // A name that ends in one dot loses it.
            if (kept.size() >= 2 && kept.back() == u'.' && kept[kept.size() - 2] != u'.') {
                kept.pop_back();
            }
            names.push_back(std::move(kept));
        }
        i = end + 1;
    }
    const bool endsInSeparator = IsSep(p.back());
    if (!endsInSeparator && !names.empty()) {
        // The last name loses its trailing dots and blanks, unless a separator follows it.
        std::u16string& last = names.back();
        while (!last.empty() && (last.back() == u'.' || last.back() == u' ')) last.pop_back();
        if (last.empty()) names.pop_back();
    }
    for (const std::u16string& name : names) {
        out.push_back(u'\\');
        out += name;
    }
    // A drive's root keeps its separator; a share's root has one only when it was given one.
    if ((names.empty() && !unc) || endsInSeparator) out.push_back(u'\\');
    return out;
}

std::string PathDisplay(const Path& path) {
    return Utf16ToUtf8Lossy(path.Units());
}

std::string PathDebug(const Path& path) {
    return QuoteUtf16(path.Units());
}

}  // namespace upkit
