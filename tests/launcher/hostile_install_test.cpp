// ZeltOy2.exe started in installations a player's machine may really hold: damaged and hostile
// package files, installed manifests of every kind of wrong, missing and locked parts, log files
// that cannot be written or rotated, and a root that refuses new files with and without a usable
// local application data folder. Whatever the installation, the engine starts with the four values
// the process was given and its result is the exit code; the outdated packages that can be read
// are still removed, nothing else is touched, and each failure the runtime logs says what it was.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../runtime/zip_writer.h"
#include "hostile_game.h"

namespace zelt::test::hostile {
namespace {

namespace zw = zelt::zipw;

// The Error line of a start whose installation could not be opened, for the error's debug form.
Want LoadFailure(const std::string& debug) {
    return {Lv::Error, "UpkitApp: Error loading manager/locator: " + debug};
}
std::string NotInstalled(const std::string& message) {
    return "NotInstalled(" + Quoted(message) + ")";
}
std::string NotReadable(const std::wstring& manifest) {
    return NotInstalled("Manifest file does not exist or is not readable: " + Quoted(manifest));
}
std::string Invalid(const std::string& message) {
    return "InvalidPackage(" + Quoted(message) + ")";
}

// The debug forms of the errors the retried reads meet.
std::string OsError(int code) {
    return "Os { code: " + std::to_string(code) + ", kind: *, message: * }";
}
std::string DataError(const std::string& text) {
    return "Custom { kind: InvalidData, error: " + Quoted(text) + " }";
}

// ---- Package files ----

using Maker = std::function<void(const std::wstring& path)>;

Maker Bytes(std::string bytes) {
    return [bytes](const std::wstring& path) { EXPECT_TRUE(WriteFile(path, bytes)); };
}

// An archive of the entries the case makes, made only when the case runs (some are large).
Maker Archive(std::function<std::vector<zw::Entry>()> entries, zw::Options options = {}) {
    return [entries, options](const std::wstring& path) {
        EXPECT_TRUE(WriteFile(path, zw::Build(entries(), options)));
    };
}
zw::Entry Nuspec(std::string data, zw::Method method = zw::Method::Deflated) {
    return zw::Entry{.name = "App.nuspec", .data = std::move(data), .method = method};
}
zw::Entry Payload() {
    return zw::Entry{.name = "lib/app/App.exe", .data = std::string(300, 'x')};
}

// A manifest whose entities each expand tenfold into the next.
std::string EntityExpansionManifest() {
    std::string xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE package [\n  <!ENTITY lol \"lol\">\n";
    for (int i = 1; i <= 9; ++i) {
        xml += "  <!ENTITY lol" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) xml += "&lol" + (i > 1 ? std::to_string(i - 1) : "") + ";";
        xml += "\">\n";
    }
    return xml +
           "]>\n<package><metadata><id>&lol9;</id><version>0.8.0</version>"
           "<mainExe>App.exe</mainExe></metadata></package>\n";
}

std::string Utf16WithBom(std::string_view ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

struct PackageCase {
    const char* name{};
    Maker make{};
    // When the package is readable after all: its manifest's version (it is then an outdated
    // package like any other and removed).
    std::optional<std::string> version{};
    std::vector<Want> wants{};
    bool held = false;  // held open without sharing for the time of the start
};

const std::vector<PackageCase> kPackageCases = {
    {"not an archive", Bytes("PK\x03\x04 this is a text file, not a package\r\n")},
    {"zero bytes", Bytes("")},
    {"truncated to half",
     [](const std::wstring& path) {
         const std::string whole = zw::Package("App", "0.8.0");
         EXPECT_TRUE(WriteFile(path, whole.substr(0, whole.size() / 2)));
     }},
    {"end record cut short",
     [](const std::wstring& path) {
         const std::string whole = zw::Package("App", "0.8.0");
         EXPECT_TRUE(WriteFile(path, whole.substr(0, whole.size() - 3)));
     }},
    {"directory pointing past the end of the file", Archive([] {
         zw::Entry e = Nuspec(zw::ManifestXml("App", "0.8.0"));
         e.localHeaderPastEnd = true;
         return std::vector<zw::Entry>{e, Payload()};
     })},
    {"manifest checksum wrong", Archive([] {
         zw::Entry e = Nuspec(zw::ManifestXml("App", "0.8.0"));
         e.crc = 0x5A175A17u;
         return std::vector<zw::Entry>{e};
     })},
    {"manifest Deflate stream corrupt",
     [](const std::wstring& path) {
         const zw::Entry e = Nuspec(zw::ManifestXml("App", "0.8.0"));
         std::string bytes = zw::Build({e});
         // The compressed data follows the 30-byte local header and the name; all ones there make
         // a block of the reserved type.
         const size_t start = 30 + e.name.size();
         const size_t length = zw::Deflate(e.data).size();
         std::fill(bytes.begin() + start, bytes.begin() + start + length, '\xFF');
         EXPECT_TRUE(WriteFile(path, bytes));
     }},
    {"unknown compression method", Archive([] {
         zw::Entry e = Nuspec(zw::ManifestXml("App", "0.8.0"));
         e.methodCode = 99;
         return std::vector<zw::Entry>{e};
     })},
    {"manifest entry encrypted", Archive([] {
         zw::Entry e = Nuspec(zw::ManifestXml("App", "0.8.0"), zw::Method::Stored);
         e.flags = zw::kFlagEncrypted;
         return std::vector<zw::Entry>{e, Payload()};
     })},
    {"Deflate bomb with its size declared",
     Archive([] { return std::vector<zw::Entry>{Nuspec(std::string(64u << 20, ' '))}; })},
    {"Deflate bomb declaring a small size", Archive([] {
         zw::Entry e = Nuspec(std::string(64u << 20, ' '));
         e.declaredSize = 1000;
         return std::vector<zw::Entry>{e};
     })},
    {"manifest in UTF-16", Archive([] {
         return std::vector<zw::Entry>{Nuspec(Utf16WithBom(zw::ManifestXml("App", "0.8.0")))};
     })},
    {"manifest declaring entities",
     Archive([] { return std::vector<zw::Entry>{Nuspec(EntityExpansionManifest())}; }),
     std::nullopt,
     {{Lv::Error, "Error: entity declaration of 'lol' is not allowed at line 3, column *"}}},
    {"manifest referring to an external DTD's entity",
     Archive([] {
         return std::vector<zw::Entry>{
             Nuspec("<!DOCTYPE package SYSTEM \"http://zelt.invalid/nuspec.dtd\">\n"
                    "<package><metadata><id>&xxe;</id><version>0.8.0</version>"
                    "<mainExe>App.exe</mainExe></metadata></package>")};
     }),
     std::nullopt,
     {{Lv::Error, "Error: undefined entity 'xxe' at line 2, column *"}}},
    {"manifest without mainExe",
     Archive([] { return std::vector<zw::Entry>{Nuspec(zw::ManifestXml("App", "0.8.0", ""))}; })},
    {"manifest named in capitals only", Archive([] {
         zw::Entry e = Nuspec(zw::ManifestXml("App", "0.8.0"));
         e.name = "App.NUSPEC";
         return std::vector<zw::Entry>{e};
     })},
    {"a folder named like a package",
     [](const std::wstring& path) { EXPECT_TRUE(MakeDirs(JoinPath(path, L"lib"))); }},
    {"held open without sharing",
     Archive([] { return std::vector<zw::Entry>{Nuspec(zw::ManifestXml("App", "0.8.0"))}; }),
     std::nullopt, RetryWarnings(OsError(32)), true},
    {"manifest nested millions deep",
     Archive([] {
         std::string xml;
         while (xml.size() < (16u << 20) - 3) xml += "<a>";
         return std::vector<zw::Entry>{Nuspec(xml)};
     }),
     std::nullopt,
     {{Lv::Error, "Error: elements nested more than 1000 deep at line 1, column 3004"}}},
    {"ZIP64 end record claiming 5 million entries over a hole",
     [](const std::wstring& path) {
         // The record is consistent with the file's size: only the entries are missing.
         constexpr uint64_t kEntries = 5000000, kDirectory = kEntries * 46;
         const std::string tail = zw::Zip64EndRecord(kEntries, kDirectory, 0) +
                                  zw::Zip64Locator(kDirectory) +
                                  zw::ClassicEndRecord(0xFFFF, 0xFFFFFFFFu, 0xFFFFFFFFu);
         WriteSparseFile(path, {{"", kDirectory}, {tail, 0}});
     }},
    {"a few hundred ZIP64 end records, each claiming a directory over a hole",
     [](const std::wstring& path) {
         constexpr uint64_t kSize = uint64_t{256} << 20;
         const std::string end = zw::Zip64EndRecordFlood(kSize, 300, (kSize - (64 << 10)) / 46);
         WriteSparseFile(path, {{"", kSize - end.size()}, {end, 0}});
     }},
    {"classic end records filling the last 64 KiB",
     [](const std::wstring& path) {
         const std::string end = zw::ClassicEndRecordFlood(65578 / 22, 0xFFFF);
         WriteSparseFile(path, {{"", (uint64_t{4} << 20) - end.size()}, {end, 0}});
     }},
    // Readable after all, so listed, and removed as outdated.
    {"ZIP64 end records",
     Archive(
         [] {
             return std::vector<zw::Entry>{Nuspec(zw::ManifestXml("App", "0.8.0")), Payload()};
         },
         zw::Options{.zip64 = true}),
     "0.8.0"},
    {"ZIP64 package of 6 GiB, its directory past 4 GiB",
     [](const std::wstring& path) {
         std::vector<Chunk> chunks;
         for (zw::Piece& piece :
              zw::Pieces({Nuspec(zw::ManifestXml("App", "0.8.0")),
                          zw::Entry{.name = "data/one.bin", .zeros = uint64_t{3} << 30},
                          zw::Entry{.name = "data/two.bin", .zeros = uint64_t{3} << 30}},
                         zw::Options{.zip64 = true})) {
             chunks.push_back({std::move(piece.bytes), piece.zeros});
         }
         WriteSparseFile(path, chunks);
     },
     "0.8.0"},
    {"manifest cut off after mainExe",
     Archive([] {
         return std::vector<zw::Entry>{
             Nuspec("<package><metadata><id>App</id><version>0.8.0</version>"
                    "<mainExe>App.exe</mainExe>")};
     }),
     "0.8.0",
     {{Lv::Error, "Error: no element found at line 1, column *"}}},
};

void Check(const PackageCase& c) {
    const Site site(CaseId("Package", c.name));
    site.AddPackages(site.install.packagesDir, {"0.9.0", "1.0.0"});
    const std::wstring hostile = JoinPath(site.install.packagesDir, L"Hostile-full.nupkg");
    c.make(hostile);
    std::optional<Held> held;
    if (c.held) held.emplace(hostile, 0);

    const LogFiles log(LogFileFor(site.id));
    const Outcome run = Start({.exe = site.install.exe, .log = log.path()});
    held.reset();

    ExpectEngineStarted(run, L"");
    const bool removed = c.version.has_value();
    ExpectLog(run,
              Tidied("upkit." + site.id, site.install.packagesDir) +
                  std::vector<Want>{
                      {Lv::Info, "Found " + c.version.value_or("*") + ": '" + Quoted(hostile) + "'",
                       removed ? 1 : 0},
                      {Lv::Info, "Removing old package: " + Quoted(hostile), removed ? 1 : 0}} +
                  c.wants);
    std::vector<std::wstring> left = {L"App-1.0.0-full.nupkg"};
    if (!removed) left.push_back(L"Hostile-full.nupkg");
    EXPECT_EQ(site.Packages(), Names(left));
}

TEST(HostilePackages, GameStartsAndOnlyReadableOutdatedOnesAreRemoved) {
    for (const PackageCase& c : kPackageCases) {
        SCOPED_TRACE(c.name);
        Check(c);
    }
}

// ---- The installed manifest ----

struct ManifestCase {
    const char* name{};
    // Writes the manifest file of an installation with the given id.
    std::function<void(const std::wstring& path, const std::string& id)> make{};
    // Whether the installation is found (its log named after the id); otherwise the start logs
    // into "upkit.log" and leaves the packages alone.
    bool located{};
    std::function<std::vector<Want>(const std::wstring& manifest)> wants{};
    std::string identity = "upkit.{id}";  // the user model identity of a located installation
};

// A manifest document around the given elements.
std::string Document(const std::string& elements) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package><metadata>" + elements +
           "</metadata></package>\n";
}
std::string Element(const std::string& name, const std::string& text) {
    return "<" + name + ">" + text + "</" + name + ">";
}

std::function<void(const std::wstring&, const std::string&)> Text(
    std::function<std::string(const std::string& id)> text) {
    return [text](const std::wstring& path, const std::string& id) {
        EXPECT_TRUE(WriteFile(path, text(id)));
    };
}

std::function<std::vector<Want>(const std::wstring&)> Lines(std::vector<Want> wants) {
    return [wants](const std::wstring&) { return wants; };
}

// The log set-up's silent location has spent the start's retry budget on the manifest by the
// time the logged one reads it: that read is not retried.
std::vector<Want> UnreadableManifest(const std::wstring& manifest, const std::string& error) {
    return {BudgetSpent(error), LoadFailure(NotReadable(manifest))};
}

const std::vector<ManifestCase> kManifestCases = {
    {"UTF-16 with a byte-order mark",
     Text([](const std::string& id) { return Utf16WithBom(ManifestXml(id, "1.0.0")); }), false,
     [](const std::wstring& manifest) {
         return UnreadableManifest(manifest, DataError("stream did not contain valid UTF-8"));
     }},
    {"invalid UTF-8 in a text element", Text([](const std::string& id) {
         return Document(Element("id", id) + Element("version", "1.0.0") +
                         Element("title", "Zelt \xC3( Oyun") + Element("mainExe", "ZeltOy2.exe"));
     }),
     false,
     [](const std::wstring& manifest) {
         return UnreadableManifest(manifest, DataError("stream did not contain valid UTF-8"));
     }},
    {"2 GiB, a valid manifest followed by a hole",
     [](const std::wstring& path, const std::string& id) {
         WriteSparseFile(path, {{ManifestXml(id, "1.0.0"), (uint64_t{2} << 30)}});
     },
     false,
     [](const std::wstring& manifest) {
         return UnreadableManifest(manifest,
                                   DataError("manifest file is larger than 16777216 bytes"));
     }},
    {"empty", Text([](const std::string&) { return std::string(); }), false,
     Lines({{Lv::Error, "Error: no element found at line 1, column 1"},
            LoadFailure(Invalid("Missing required manifest property: id"))})},
    {"plain text", Text([](const std::string& id) { return id + " 1.0.0 ZeltOy2.exe\n"; }), false,
     Lines({{Lv::Error, "Error: syntax error at line 1, column 1"},
            LoadFailure(Invalid("Missing required manifest property: id"))})},
    {"entity declarations in its DTD",
     Text([](const std::string&) { return EntityExpansionManifest(); }), false,
     Lines({{Lv::Error, "Error: entity declaration of 'lol' is not allowed at line 3, column *"},
            LoadFailure(Invalid("Missing required manifest property: id"))})},
    {"an external entity", Text([](const std::string& id) {
         return "<!DOCTYPE package [<!ENTITY xxe SYSTEM \"file:///C:/windows/win.ini\">]>\n" +
                Document(Element("id", id + "&xxe;") + Element("version", "1.0.0") +
                         Element("mainExe", "ZeltOy2.exe"));
     }),
     false,
     Lines({{Lv::Error, "Error: entity declaration of 'xxe' is not allowed at line 1, column *"},
            LoadFailure(Invalid("Missing required manifest property: id"))})},
    {"a DTD without entities", Text([](const std::string& id) {
         const std::string manifest = ManifestXml(id, "1.0.0");
         const size_t body = manifest.find('\n') + 1;  // after the XML declaration
         return manifest.substr(0, body) + "<!DOCTYPE package [<!ELEMENT package ANY>]>\n" +
                manifest.substr(body);
     }),
     true, Lines({})},
    {"no id", Text([](const std::string&) {
         return Document(Element("version", "1.0.0") + Element("mainExe", "ZeltOy2.exe"));
     }),
     false, Lines({LoadFailure(Invalid("Missing required manifest property: id"))})},
    {"no version", Text([](const std::string& id) {
         return Document(Element("id", id) + Element("mainExe", "ZeltOy2.exe"));
     }),
     false, Lines({LoadFailure(Invalid("Missing required manifest property: version"))})},
    {"version 0.0.0", Text([](const std::string& id) {
         return Document(Element("id", id) + Element("version", "0.0.0") +
                         Element("mainExe", "ZeltOy2.exe"));
     }),
     false, Lines({LoadFailure(Invalid("Missing required manifest property: version"))})},
    {"no mainExe", Text([](const std::string& id) {
         return Document(Element("id", id) + Element("version", "1.0.0"));
     }),
     false, Lines({LoadFailure(Invalid("Missing required manifest property: mainExe"))})},
    {"a version of two parts", Text([](const std::string& id) {
         return Document(Element("id", id) + Element("version", "1.0") +
                         Element("mainExe", "ZeltOy2.exe"));
     }),
     false, Lines({LoadFailure("Semver(Error(\"*\"))")})},
    {"id repeated, the last one counts", Text([](const std::string& id) {
         return Document(Element("id", "Zelt.Other") + Element("version", "1.0.0") +
                         Element("mainExe", "ZeltOy2.exe") + Element("id", id));
     }),
     true, Lines({})},
    {"version repeated, the last one counts", Text([](const std::string& id) {
         return Document(Element("version", "0.1.0") + Element("id", id) +
                         Element("version", "1.0.0") + Element("mainExe", "ZeltOy2.exe"));
     }),
     true, Lines({})},
    {"identity given twice in its two spellings", Text([](const std::string& id) {
         return Document(Element("id", id) + Element("version", "1.0.0") +
                         Element("mainExe", "ZeltOy2.exe") +
                         Element("shortcutAumid", "Zelt.ZeltOy2.Eski") +
                         Element("shortcutAmuid", "Zelt.ZeltOy2.Yeni"));
     }),
     true, Lines({}), "Zelt.ZeltOy2.Yeni"},
    {"cut off after mainExe", Text([](const std::string& id) {
         return "<package><metadata>" + Element("id", id) + Element("version", "1.0.0") +
                Element("mainExe", "ZeltOy2.exe") + "\n<title>Zelt";
     }),
     true, Lines({{Lv::Error, "Error: no element found at line 2, column *"}})},
    {"a second root element",
     Text([](const std::string& id) { return ManifestXml(id, "1.0.0") + "<package/>\n"; }), true,
     Lines({{Lv::Error, "Error: junk after document element at line *"}})},
    {"nested millions deep after the required elements", Text([](const std::string& id) {
         std::string xml = "<package>" + Element("id", id) + Element("version", "1.0.0") +
                           Element("mainExe", "ZeltOy2.exe");
         while (xml.size() < (16u << 20) - 3) xml += "<a>";
         return xml;
     }),
     true, Lines({{Lv::Error, "Error: elements nested more than 1000 deep at line 1, column *"}})},
    {"byte-order mark and a declaration claiming UTF-16", Text([](const std::string& id) {
         return "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-16\"?>\n<package><metadata>" +
                Element("id", id) + Element("version", "1.0.0") +
                Element("mainExe", "ZeltOy2.exe") + "</metadata></package>";
     }),
     true, Lines({})},
};

void Check(const ManifestCase& c) {
    const Site site(CaseId("Manifest", c.name), "");
    c.make(site.install.manifest, site.id);
    site.AddPackages(site.install.packagesDir, {"0.9.0", "1.0.0"});

    const LogFiles log(c.located ? LogFileFor(site.id) : PlainLogFile());
    const Outcome run = Start({.exe = site.install.exe, .log = log.path()});

    ExpectEngineStarted(run, L"");
    std::vector<Want> wants = c.wants(site.install.manifest);
    if (c.located) {
        std::string identity = c.identity;
        if (const size_t at = identity.find("{id}"); at != std::string::npos) {
            identity.replace(at, 4, site.id);
        }
        wants = wants + Tidied(identity, site.install.packagesDir);
        EXPECT_EQ(site.Packages(), Names({L"App-1.0.0-full.nupkg"}));
    } else {
        wants.push_back({Lv::Info, "Setting current process explicit AppUserModelID to *", 0});
        EXPECT_EQ(site.Packages(), Names({L"App-0.9.0-full.nupkg", L"App-1.0.0-full.nupkg"}));
    }
    ExpectLog(run, wants);
}

TEST(HostileManifests, GameStartsWhateverTheInstalledManifestHolds) {
    for (const ManifestCase& c : kManifestCases) {
        SCOPED_TRACE(c.name);
        Check(c);
    }
}

// ---- Missing, locked and misshapen parts of the installation ----

// What a layout case prepares, beyond the standard installation (version 1.0.0, packages 0.9.0
// and 1.0.0), and what it expects.
struct Stage {
    Site site;
    std::wstring exe;
    std::wstring log;       // the log file the start writes; empty when it can write none
    std::wstring packages;  // the folder the packages are searched in
    bool located = true;    // the installation is found and opened
    EnvChanges env;
    std::vector<std::unique_ptr<Held>> held;
    std::function<void(const Process&)> whileRunning;
    std::vector<Want> wants;
    // The root's packages folder afterwards; by default only 1.0.0 when the packages were
    // tidied there, all as laid out otherwise.
    std::optional<std::vector<std::wstring>> rootLeft;
    std::vector<std::function<void()>> checks;  // run after the start
    std::vector<std::function<void()>> undo;    // run when the case ends, last first
    // Puts back what other tests share (the prefix's registry): run as soon as the start has
    // ended, before anything is checked, so no failed check can leave it changed.
    std::vector<std::function<void()>> restore;
    std::string skip;  // why the condition cannot be made here

    explicit Stage(std::string id)
        : site(std::move(id)),
          exe(site.install.exe),
          log(LogFileFor(site.id)),
          packages(site.install.packagesDir) {}
    ~Stage() {
        held.clear();
        Restore();
        for (auto it = undo.rbegin(); it != undo.rend(); ++it) (*it)();
    }
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

    const Installation& install() const { return site.install; }
    void Hold(const std::wstring& path, DWORD share, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
        held.push_back(std::make_unique<Held>(path, share, flags));
    }
    void Restore() {
        for (auto it = restore.rbegin(); it != restore.rend(); ++it) (*it)();
        restore.clear();
    }
    void NotLocated(const std::string& debug) {
        located = false;
        log = PlainLogFile();
        wants.push_back(LoadFailure(debug));
    }
};

// Moves the game's executable and engine into another folder of the installation.
void MoveGame(Stage& s, const std::wstring& folder) {
    const std::wstring exe = JoinPath(folder, kLauncherExe);
    EXPECT_TRUE(CopyFileTo(s.install().exe, exe));
    EXPECT_TRUE(CopyFileTo(s.install().engine, JoinPath(folder, L"UnityPlayer.dll")));
    s.exe = exe;
}

std::string ProbeFailure(const std::wstring& root) {
    return "Failed to open directory for writing " + Quoted(JoinPath(root, L".upkit_dir_test")) +
           ": * (os error 5)";
}

// The root refuses new files: a folder stands where the writability probe creates its file.
void RefuseNewFiles(Stage& s) {
    const std::wstring& root = s.install().root;
    EXPECT_TRUE(MakeDirs(JoinPath(root, L".upkit_dir_test")));
    s.wants.push_back({Lv::Warn, ProbeFailure(root), kSome});
    s.wants.push_back({Lv::Info, "Root directory '" + Narrow(root) + "' writable: false"});
}

// The per-user folder an installation with an unwritable root keeps its packages in.
std::wstring FallbackFolder(const std::string& id) {
    return JoinPath(LocalAppData(), Widen(id));
}

// Makes the local application data folder unavailable to the game alone. The user's shell-folder
// value is pointed at the variable LOCALAPPDATA, which every process has unless its environment
// was made without it; the game gets an environment without it, so the folder cannot be resolved
// for the game while everything else in the prefix goes on seeing the same folder as before. Its
// log then goes to the temporary folder, given to it here. Every test that reads the per-user
// folder holds the same lock as this one, the value is put back as soon as the start ends, and
// each test run under Wine begins by resetting it, should a run have been killed in between. A
// change of the user's registry, however brief, is made only where a run may change the system.
void WithoutLocalAppData(Stage& s) {
    constexpr const wchar_t* kKey =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    const std::wstring before = LocalAppData();
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot open the user's shell-folder key";
        s.skip = "the user's shell-folder key cannot be opened";
        return;
    }
    DWORD type = 0;
    std::vector<BYTE> saved(4096);
    DWORD size = static_cast<DWORD>(saved.size());
    const bool had = RegQueryValueExW(key, L"Local AppData", nullptr, &type, saved.data(), &size) ==
                     ERROR_SUCCESS;
    saved.resize(had ? size : 0);
    const std::wstring redirected = L"%LOCALAPPDATA%";
    EXPECT_EQ(RegSetValueExW(key, L"Local AppData", 0, REG_EXPAND_SZ,
                             reinterpret_cast<const BYTE*>(redirected.c_str()),
                             static_cast<DWORD>((redirected.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    RegCloseKey(key);
    s.restore.push_back([had, type, saved] {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE, &k) != ERROR_SUCCESS) return;
        if (had) {
            RegSetValueExW(k, L"Local AppData", 0, type, saved.data(),
                           static_cast<DWORD>(saved.size()));
        } else {
            RegDeleteValueW(k, L"Local AppData");
        }
        RegCloseKey(k);
    });
    // This process has the variable: it goes on seeing the same folder.
    EXPECT_EQ(LocalAppData(), before);

    const std::wstring temp = s.site.dir / L"temp";
    EXPECT_TRUE(MakeDirs(temp));
    s.env.push_back({L"LOCALAPPDATA", std::nullopt});
    s.env.push_back({L"TMP", temp});
    s.env.push_back({L"TEMP", temp});
    s.log = JoinPath(temp, L"upkit_" + Widen(s.site.id) + L".log");
}

struct LayoutCase {
    const char* name{};
    std::function<void(Stage&)> arrange{};
};

const std::vector<LayoutCase> kLayoutCases = {
    {"no Update.exe",
     [](Stage& s) {
         EXPECT_TRUE(DeleteFileW(s.install().updateExe.c_str()));
         s.NotLocated(NotInstalled("Could not auto-locate app manifest"));
     }},
    {"no current folder, the game beside Update.exe",
     [](Stage& s) {
         MoveGame(s, s.install().root);
         EXPECT_TRUE(RemoveTree(s.install().currentDir));
         s.NotLocated(NotInstalled("Manifest file does not exist in the expected path (" +
                                   Narrow(s.install().manifest) + ")"));
         s.wants.push_back(
             {Lv::Info, "Found Update.exe in parent directory: " + Narrow(s.install().root)});
     }},
    {"the game in a folder not named current",
     [](Stage& s) {
         MoveGame(s, JoinPath(s.install().root, L"bin"));
         s.NotLocated(NotInstalled("Could not auto-locate app manifest"));
     }},
    {"no sq.version",
     [](Stage& s) {
         EXPECT_TRUE(DeleteFileW(s.install().manifest.c_str()));
         s.NotLocated(NotInstalled("Manifest file does not exist in the expected path (" +
                                   Narrow(s.install().manifest) + ")"));
     }},
    {"sq.version is a folder",
     [](Stage& s) {
         EXPECT_TRUE(DeleteFileW(s.install().manifest.c_str()));
         EXPECT_TRUE(MakeDirs(s.install().manifest));
         s.NotLocated(NotReadable(s.install().manifest));
         s.wants.push_back(BudgetSpent(OsError(5)));
     }},
    {"sq.version held open without sharing",
     [](Stage& s) {
         s.Hold(s.install().manifest, 0);
         s.NotLocated(NotReadable(s.install().manifest));
         s.wants.push_back(BudgetSpent(OsError(32)));
     }},
    {"sq.version vanishing while the start waits for it",
     [](Stage& s) {
         // Held without sharing and deleted when let go, as an updater replacing the installation
         // might leave it: there for the existence tests, but it cannot be read. The log set-up's
         // silent location spends the start's whole retry budget on it (two seconds of pauses);
         // the file is let go shortly after the start, so by the time the logged location looks,
         // it is gone. Wherever the release lands before that location, the outcome is the same:
         // a missing manifest, and no retry of any kind in the log.
         s.Hold(s.install().manifest, 0, FILE_FLAG_DELETE_ON_CLOSE);
         s.NotLocated(NotInstalled("Manifest file does not exist in the expected path (" +
                                   Narrow(s.install().manifest) + ")"));
         s.whileRunning = [&s](const Process&) {
             Sleep(300);
             s.held.clear();
         };
         const std::wstring manifest = s.install().manifest;
         s.checks.push_back([manifest] { EXPECT_FALSE(PathExists(manifest)); });
     }},
    {"twenty packages held open without sharing",
     [](Stage& s) {
         // The first one gets the whole retry schedule; the start's budget is then spent, so the
         // others are given up at their first attempt, with one line saying so.
         for (int i = 0; i < 20; ++i) {
             const std::wstring path = JoinPath(s.install().packagesDir,
                                                L"Held" + std::to_wstring(10 + i) + L"-full.nupkg");
             EXPECT_TRUE(WriteFile(path, zw::Package("App", "0.8.0")));
             s.Hold(path, 0);
         }
         s.wants = s.wants + RetryWarnings(OsError(32));
         s.wants.push_back(BudgetSpent(OsError(32)));
         s.rootLeft = Names({L"App-1.0.0-full.nupkg"});
         for (int i = 0; i < 20; ++i) {
             s.rootLeft->push_back(L"Held" + std::to_wstring(10 + i) + L"-full.nupkg");
         }
         s.rootLeft = Names(*s.rootLeft);
     }},
    {"outdated package held open sharing read and write but not delete",
     [](Stage& s) {
         // Found and read like any other; its removal fails, it stays, and the start goes on.
         s.Hold(JoinPath(s.install().packagesDir, L"App-0.9.0-full.nupkg"),
                FILE_SHARE_READ | FILE_SHARE_WRITE);
         s.rootLeft = Names({L"App-0.9.0-full.nupkg", L"App-1.0.0-full.nupkg"});
     }},
    {"Update.exe is a folder",
     [](Stage& s) {
         EXPECT_TRUE(DeleteFileW(s.install().updateExe.c_str()));
         EXPECT_TRUE(MakeDirs(s.install().updateExe));
     }},
    {"no packages folder",
     [](Stage& s) {
         EXPECT_TRUE(RemoveTree(s.install().packagesDir));
         s.packages.clear();
     }},
    {"packages is a file",
     [](Stage& s) {
         EXPECT_TRUE(RemoveTree(s.install().packagesDir));
         EXPECT_TRUE(WriteFile(s.install().packagesDir, "not a folder"));
         s.packages.clear();
     }},
    {"log held open without sharing",
     [](Stage& s) {
         EXPECT_TRUE(WriteFile(s.log, "before\n"));
         s.Hold(s.log, 0);
         const std::wstring log = s.log;
         s.checks.push_back([log] { EXPECT_EQ(TryReadFile(log), "before\n"); });
         s.log.clear();
     }},
    {"log is a folder",
     [](Stage& s) {
         EXPECT_TRUE(MakeDirs(s.log));
         s.log.clear();
     }},
    {"log over its limit and a folder where its .old goes",
     [](Stage& s) {
         // Rotation cannot rename the file, so the file keeps growing: nothing is lost.
         const std::string before = std::string(1048576, 'x') + "\n";
         EXPECT_TRUE(WriteFile(s.log, before));
         EXPECT_TRUE(MakeDirs(s.log + L".old"));
         const std::wstring log = s.log;
         s.checks.push_back([log, before] {
             const std::string after = TryReadFile(log).value_or("");
             EXPECT_GT(after.size(), before.size());
             EXPECT_EQ(after.substr(0, before.size()), before);
             EXPECT_TRUE(IsDirectory(log + L".old"));
         });
     }},
    {"manifest id that cannot name a file",
     [](Stage& s) {
         // The log file cannot be made; the start goes on without it.
         s.site.id = "Hostile.Layout.Zelt|Oyun?*\"." + std::to_string(GetCurrentProcessId());
         EXPECT_TRUE(WriteFile(s.install().manifest, ManifestXml(s.site.id, "1.0.0")));
         s.log.clear();
     }},
    {"root refusing new files",
     [](Stage& s) {
         RefuseNewFiles(s);
         const std::wstring fallback = FallbackFolder(s.site.id);
         s.undo.push_back([fallback] { RemoveTree(fallback); });
         s.packages = JoinPath(fallback, L"packages");
         s.site.AddPackages(s.packages, {"0.9.0", "1.0.0"});
         // The root's packages are not looked at.
         s.site.AddPackages(s.install().packagesDir, {"0.8.0"});
         s.wants.push_back({Lv::Info, "Using fallback directory: " + Narrow(fallback)});
         s.rootLeft =
             Names({L"App-0.8.0-full.nupkg", L"App-0.9.0-full.nupkg", L"App-1.0.0-full.nupkg"});
         // The updater is copied into the per-user folder.
         const std::wstring updater = JoinPath(fallback, L"Update.exe");
         s.checks.push_back([root = s.install().updateExe, updater] {
             EXPECT_EQ(TryReadFile(updater), TryReadFile(root));
         });
     }},
    {"root refusing new files, a file where the fallback folder goes",
     [](Stage& s) {
         RefuseNewFiles(s);
         const std::wstring fallback = FallbackFolder(s.site.id);
         EXPECT_TRUE(WriteFile(fallback, "in the way"));
         s.undo.push_back([fallback] { RemoveTree(fallback); });
         s.packages.clear();
         s.rootLeft = Names({L"App-0.9.0-full.nupkg", L"App-1.0.0-full.nupkg"});
         s.wants.push_back({Lv::Info, "Using fallback directory: " + Narrow(fallback)});
         s.wants.push_back(
             {Lv::Error, "Unable to create fallback packages directory: * (os error *)"});
         s.wants.push_back(
             {Lv::Error, "Failed to copy Update.exe to fallback path: * (os error *)"});
     }},
};

// The cases that change the user's shell-folder registry value for the time of the start.
const std::vector<LayoutCase> kLayoutCasesWithoutLocalAppData = {
    {"root refusing new files without LocalAppData",
     [](Stage& s) {
         RefuseNewFiles(s);
         WithoutLocalAppData(s);
         s.wants.push_back({Lv::Error,
                            "Root directory is not writable and LocalAppData is unavailable. "
                            "Updates may not work correctly."});
     }},
    {"without LocalAppData", [](Stage& s) { WithoutLocalAppData(s); }},
};

void Check(const LayoutCase& c) {
    Stage stage(CaseId("Layout", c.name));
    const LogFiles idLog(stage.log), plainLog(PlainLogFile());
    stage.site.AddPackages(stage.install().packagesDir, {"0.9.0", "1.0.0"});
    c.arrange(stage);
    if (!stage.skip.empty()) {
        std::printf("not made here: %s: %s\n", c.name, stage.skip.c_str());
        return;
    }

    const Outcome run = Start(
        {.exe = stage.exe, .env = stage.env, .log = stage.log, .whileRunning = stage.whileRunning});
    stage.held.clear();
    stage.Restore();

    ExpectEngineStarted(run, L"");
    if (stage.log.empty()) {
        // No log could be written; and none was written elsewhere instead.
        EXPECT_TRUE(ReadLog(PlainLogFile(), run.pid).empty());
    } else {
        std::vector<Want> wants = stage.wants;
        if (!stage.located) {
            wants.push_back({Lv::Info, "Setting current process explicit AppUserModelID to *", 0});
        } else if (!stage.packages.empty()) {
            wants = wants + Tidied("upkit." + stage.site.id, stage.packages);
        }
        ExpectLog(run, wants);
    }
    for (const auto& check : stage.checks) check();

    const std::wstring& rootPackages = stage.install().packagesDir;
    if (stage.located && !stage.packages.empty()) {
        const bool inRoot = stage.packages == rootPackages && stage.rootLeft;
        EXPECT_EQ(ListDir(stage.packages),
                  inRoot ? *stage.rootLeft : Names({L"App-1.0.0-full.nupkg"}));
    }
    if (IsDirectory(rootPackages)) {
        const bool tidiedThere = stage.located && stage.packages == rootPackages;
        EXPECT_EQ(ListDir(rootPackages),
                  stage.rootLeft.value_or(
                      tidiedThere ? Names({L"App-1.0.0-full.nupkg"})
                                  : Names({L"App-0.9.0-full.nupkg", L"App-1.0.0-full.nupkg"})));
    }
}

TEST(HostileLayouts, GameStartsAndEachFailureIsNamed) {
    for (const LayoutCase& c : kLayoutCases) {
        SCOPED_TRACE(c.name);
        Check(c);
    }
}

TEST(HostileLayouts, WithoutALocalApplicationDataFolderTheGameStarts) {
    ZELT_SKIP_UNLESS_SYSTEM_CHANGES_ALLOWED(
        "points the user's shell-folder registry value for the local application data folder "
        "elsewhere for the time of a start");
    for (const LayoutCase& c : kLayoutCasesWithoutLocalAppData) {
        SCOPED_TRACE(c.name);
        Check(c);
    }
}

}  // namespace
}  // namespace zelt::test::hostile
