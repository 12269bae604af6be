// Writes the seeds that are binary, so made rather than kept in the repository:
//   BUNDLE_DIR   small packages covering the shapes the reader must handle (stored and Deflate
//                entries, ZIP64 end records, folders, several candidates, encryption flags, bad
//                checksums, other encodings);
//   CMDLINE_DIR  argument lists for the command-line target (an options byte, then UTF-16LE
//                pieces separated by NUL units): quotes, backslash runs, blanks, tabs, empty
//                arguments, non-ASCII text and unpaired surrogates; and whole game command lines
//                (one piece) written the ways the builder never writes them: quotes doubled or
//                left open, odd and even backslash runs before quotes, quotes in the program
//                name, leading blanks.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zip_writer.h"

namespace zw = zelt::zipw;

namespace {

bool WriteAll(const std::filesystem::path& dir,
              const std::vector<std::pair<std::string, std::string>>& seeds, const char* suffix) {
    std::filesystem::create_directories(dir);
    for (const auto& [name, bytes] : seeds) {
        std::ofstream file(dir / (name + suffix), std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!file) {
            std::fprintf(stderr, "cannot write %s\n", name.c_str());
            return false;
        }
    }
    return true;
}

void AppendUtf16Le(std::string& out, std::u16string_view units) {
    for (const char16_t unit : units) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
    }
}

// An options byte, then the pieces as UTF-16LE, each ended by a NUL unit.
std::string ArgumentList(uint8_t options, const std::vector<std::u16string>& pieces) {
    std::string out(1, static_cast<char>(options));
    for (const std::u16string& piece : pieces) {
        AppendUtf16Le(out, piece);
        out.append(2, '\0');
    }
    return out;
}

// A game command line alone: without a NUL unit the target reads it, unchanged, as the game's line
// (and as the installation root).
std::string GameLine(std::u16string_view line) {
    std::string out(1, '\0');
    AppendUtf16Le(out, line);
    return out;
}

bool WriteCommandLineSeeds(const std::filesystem::path& dir) {
    const std::u16string root = u"C:\\Users\\Oyuncu\\AppData\\Local\\ZeltOy2";
    const std::u16string packages = root + u"\\packages";
    const std::u16string file = u"ZeltOy2-1.2.0-full.nupkg";
    const std::vector<std::pair<std::string, std::string>> seeds = {
        {"plain", ArgumentList(0x04, {root, packages, file, u"-screen-fullscreen", u"0"})},
        {"blanks", ArgumentList(0x00, {u"C:\\My Games\\Zelt", u"C:\\My Games\\Zelt\\packages", file,
                                       u"-slot 2", u"a\tb", u" ", u"\t"})},
        {"empty", ArgumentList(0x01, {root, packages, file, u"", u"x", u""})},
        {"quotes", ArgumentList(0x08, {root, packages, file, u"a\"b", u"\"", u"\"\"", u"\"a b\""})},
        {"backslashes", ArgumentList(0x1A, {u"C:\\x y\\", u"\\\\server\\share\\", file, u"a\\\\\"b",
                                            u"\\", u"\\\\\\", u"C:\\x y\\", u"\\\"", u"a\\ \\\\"})},
        {"non-ascii",
         ArgumentList(0x02, {u"C:\\Oyunlar\\Zelt Oyunları", packages, u"Ölçü-1.0.0-full.nupkg",
                             u"-dil=türkçe", u"\U0001F3AE", u"日本語"})},
        {"surrogates",
         ArgumentList(0x05, {root, packages, file, std::u16string(1, char16_t(0xD800)),
                             std::u16string(1, char16_t(0xDFFF)) + u"x",
                             std::u16string{char16_t(0xDC00), char16_t(0xD800)}})},
        {"hook-words", ArgumentList(0x00, {root, packages, file, u"--upkit-install", u"1.0.0",
                                           u"--", u"apply", u"--waitPid"})},
        {"no-restart-arguments", ArgumentList(0x03, {root, packages, file})},
        {"nothing", std::string(1, '\0')},
        {"game-quoted",
         GameLine(u"\"C:\\Program Files\\Zelt\\ZeltOy2.exe\" -screen-width 1920 -logFile "
                  u"\"C:\\Users\\Oyuncu\\log dir\\\\\" -x")},
        {"game-backslash-runs",
         GameLine(u"Zelt.exe a\\\\\\\"b c\\\\\"d e\" f\\\\\\\\\\\"g \"h\\\\\" \\\" i\\j\\")},
        {"game-doubled-quotes",
         GameLine(u"Zelt.exe \"a\"\"b\" \"\"\"\" \"\" \"x\"\" y\" a\"b\"c\"")},
        {"game-open-quotes", GameLine(u"Zelt.exe -name \"Oyuncu Bir")},
        {"game-open-program", GameLine(u"\"C:\\My Games\\Zelt.exe -x y")},
        {"game-program-quotes", GameLine(u"C:\\\"My Games\"\\Zelt.exe -x a\\\"b")},
        {"game-blanks", GameLine(u"\t  Zelt.exe\t\t-a\t \"\" \t")},
        {"game-surrogates",
         GameLine(u"Zelt.exe " + std::u16string(1, char16_t(0xD800)) + u" a" +
                  std::u16string{char16_t(0xDC00), char16_t(0xD800), char16_t(0xDC00)} +
                  u"b \"\U0001F3AE x\"")},
    };
    return WriteAll(dir, seeds, ".bin");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s BUNDLE_DIR [CMDLINE_DIR]\n", argv[0]);
        return 2;
    }
    const std::filesystem::path out = argv[1];
    const std::string xml = zw::ManifestXml("App", "1.2.3-beta.1");
    const zw::Entry manifest{.name = "App.nuspec", .data = xml};
    const zw::Entry deflated{.name = "App.nuspec", .data = xml, .method = zw::Method::Deflated};
    const zw::Entry payload{.name = "lib/App.exe", .data = "MZ payload"};
    std::string utf16;
    for (char c : xml) utf16 += std::string{c, '\0'};

    const std::vector<std::pair<std::string, std::string>> seeds = {
        {"stored", zw::Build({payload, manifest})},
        {"deflated", zw::Build({deflated, payload})},
        {"zip64", zw::Build({manifest}, {.zip64 = true})},
        {"folder", zw::Build({zw::Entry{.name = "a/b/App.nuspec", .data = xml}})},
        {"two", zw::Build({zw::Entry{.name = "A.NUSPEC", .data = xml}, manifest,
                           zw::Entry{.name = "b.nuspec", .data = zw::ManifestXml("B", "2.0.0")}})},
        {"encrypted",
         zw::Build(
             {zw::Entry{.name = "a.nuspec", .data = xml, .flags = zw::kFlagEncrypted}, deflated})},
        {"badcrc", zw::Build({zw::Entry{.name = "App.nuspec", .data = xml, .crc = 1}})},
        {"utf16", zw::Build({zw::Entry{.name = "App.nuspec", .data = "\xFF\xFE" + utf16}})},
        {"cp437", zw::Build({zw::Entry{.name = "Uygulama\x80.nuspec", .data = xml}})},
        {"upath", zw::Build({zw::Entry{
                      .name = "manifest.bin",
                      .data = xml,
                      .extra = zw::UnicodePathExtra("manifest.bin", "Uygulama\xC3\x87.nuspec")}})},
        {"empty-archive", zw::Build({})},
        {"not-a-zip", "This is not an archive.\n"},
    };
    if (!WriteAll(out, seeds, ".zip")) return 1;
    if (argc == 3 && !WriteCommandLineSeeds(argv[2])) return 1;
    return 0;
}
