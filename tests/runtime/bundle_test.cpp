// Package archives: finding and reading the manifest entry, every way an archive can be damaged,
// the size limit, and opening package files from disk.
#include "bundle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zip.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "log_capture.h"
#include "scratch_dir.h"
#include "version.h"
#include "zip_writer.h"

namespace upkit {
namespace {

using testing::CapturedLog;
using ::testing::HasSubstr;
using testing::RuntimePath;
using testing::ScratchDir;
using zelt::zipw::Entry;
using zelt::zipw::ManifestXml;
using zelt::zipw::Method;

Result<PackageManifest> ReadFromBytes(std::string bytes) {
    auto bundle = OpenBundle(MemoryFile(std::move(bytes)));
    if (!bundle.ok()) return bundle.take_error();
    return ReadBundleManifest(*bundle);
}

Entry Manifest(std::string name, std::string_view id, Method method = Method::Stored) {
    return Entry{.name = std::move(name), .data = ManifestXml(id, "1.2.3"), .method = method};
}

Entry Payload(std::string name, size_t size = 1000) {
    return Entry{.name = std::move(name), .data = std::string(size, 'p')};
}

// The outcome in one comparable text: the manifest's id, or the error's debug form.
std::string Outcome(const Result<PackageManifest>& result) {
    return result.ok() ? "manifest " + result.value().id : result.error().Debug();
}

const std::string kNoManifest = R"(InvalidPackage("No .nuspec manifest found"))";
const std::string kBadChecksum = R"(Io(Custom { kind: InvalidData, error: "Invalid checksum" }))";
const std::string kNotUtf8 =
    R"(Io(Custom { kind: InvalidData, error: "stream did not contain valid UTF-8" }))";
const std::string kTooLarge =
    R"(Io(Custom { kind: InvalidData, error: "manifest entry too large" }))";

TEST(ReadBundleManifest, WhichEntryIsTheManifest) {
    const std::string cp437Name = "Uygulama \x80\x87.nuspec";  // "Uygulama Çç" in code page 437
    const std::string utf8Name = "Uygulama \xC3\x87\xC3\xA7.nuspec";
    struct Case {
        const char* what;
        std::vector<Entry> entries;
        std::string outcome;
    };
    std::vector<Case> cases = {
        {"stored at the root", {Payload("a.dll"), Manifest("App.nuspec", "App")}, "manifest App"},
        {"deflated", {Manifest("App.nuspec", "App", Method::Deflated)}, "manifest App"},
        {"inside folders",
         {Payload("lib/a.dll"), Manifest("lib/net/App.nuspec", "App")},
         "manifest App"},
        {"upper-case suffix only", {Manifest("App.NUSPEC", "App")}, kNoManifest},
        {"upper-case suffix, then a real one",
         {Manifest("App.NUSPEC", "Upper"), Manifest("App.nuspec", "Lower")},
         "manifest Lower"},
        {"suffix must end the name", {Manifest("App.nuspec.bak", "App")}, kNoManifest},
        {"a bare suffix is a name", {Manifest(".nuspec", "App")}, "manifest App"},
        {"the first of two",
         {Manifest("a.nuspec", "First"), Manifest("b.nuspec", "Second")},
         "manifest First"},
        {"the first of two even when it is invalid",
         {Entry{.name = "a.nuspec", .data = ManifestXml("First", "1.0.0", "")},
          Manifest("b.nuspec", "Second")},
         R"(InvalidPackage("Missing required manifest property: mainExe"))"},
        {"an encrypted candidate is skipped",
         {Entry{.name = "a.nuspec",
                .data = std::string(12, 'k') + ManifestXml("Secret", "1.0.0"),
                .flags = zelt::zipw::kFlagEncrypted},
          Manifest("b.nuspec", "Plain")},
         "manifest Plain"},
        {"an encrypted manifest alone",
         {Entry{.name = "a.nuspec",
                .data = ManifestXml("Secret", "1.0.0"),
                .flags = zelt::zipw::kFlagEncrypted}},
         kNoManifest},
        {"an unknown compression method is skipped",
         {Entry{.name = "a.nuspec", .data = ManifestXml("Odd", "1.0.0"), .methodCode = 77},
          Manifest("b.nuspec", "Plain")},
         "manifest Plain"},
        {"a lost local header is skipped",
         {Entry{
              .name = "a.nuspec", .data = ManifestXml("Lost", "1.0.0"), .localHeaderPastEnd = true},
          Manifest("b.nuspec", "Plain")},
         "manifest Plain"},
        // libzip serves an entry without data from memory, before it reads the local header or
        // checks the method: such a candidate is checked like every other one.
        {"an empty candidate whose local header is lost is skipped",
         {Entry{.name = "a.nuspec", .data = "", .localHeaderPastEnd = true},
          Manifest("b.nuspec", "Plain")},
         "manifest Plain"},
        {"an empty candidate of an unknown compression method is skipped",
         {Entry{.name = "a.nuspec", .data = "", .methodCode = 77}, Manifest("b.nuspec", "Plain")},
         "manifest Plain"},
        {"an empty candidate that claims a size holds data that is not there",
         {Entry{.name = "a.nuspec", .data = "", .declaredSize = 10}, Manifest("b.nuspec", "Plain")},
         kBadChecksum},
        {"an empty candidate that claims a checksum",
         {Entry{.name = "a.nuspec", .data = "", .crc = 0x1234}, Manifest("b.nuspec", "Plain")},
         kBadChecksum},
        {"an empty manifest entry is read as an empty document",
         {Entry{.name = "a.nuspec", .data = ""}, Manifest("b.nuspec", "Plain")},
         R"(InvalidPackage("Missing required manifest property: id"))"},
        {"no entries at all", {}, kNoManifest},
        {"code page 437 name", {Manifest(cp437Name, "Cp437")}, "manifest Cp437"},
        {"UTF-8 name flagged",
         {Entry{.name = utf8Name,
                .data = ManifestXml("Flagged", "1.0.0"),
                .flags = zelt::zipw::kFlagUtf8}},
         "manifest Flagged"},
        {"Unicode path field names the manifest",
         {Entry{.name = "manifest.bin",
                .data = ManifestXml("Upath", "1.0.0"),
                .extra = zelt::zipw::UnicodePathExtra("manifest.bin", utf8Name)}},
         "manifest Upath"},
        {"Unicode path field overrides a manifest-like raw name",
         {Entry{.name = "App.nuspec",
                .data = ManifestXml("Upath", "1.0.0"),
                .extra = zelt::zipw::UnicodePathExtra("App.nuspec", "App.txt")}},
         kNoManifest},
        {"Unicode path field for another raw name is ignored",
         {Entry{.name = "App.nuspec",
                .data = ManifestXml("Raw", "1.0.0"),
                .extra = zelt::zipw::UnicodePathExtra("Other.nuspec", "App.txt")}},
         "manifest Raw"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(Outcome(ReadFromBytes(zelt::zipw::Build(c.entries))), c.outcome) << c.what;
        EXPECT_EQ(Outcome(ReadFromBytes(zelt::zipw::Build(c.entries, {.zip64 = true}))), c.outcome)
            << c.what << " (ZIP64 end records)";
    }
}

TEST(ReadBundleManifest, ManifestEntryData) {
    const std::string xml = ManifestXml("App", "1.2.3");
    const std::string deflated = zelt::zipw::Deflate(xml);
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(xml.data()), static_cast<uInt>(xml.size())));
    std::u16string utf16 =
        u"\uFEFF<package><id>App</id><version>1.0.0</version>"
        u"<mainExe>A</mainExe></package>";
    const std::string utf16Bytes(reinterpret_cast<const char*>(utf16.data()), utf16.size() * 2);
    struct Case {
        const char* what;
        Entry entry;
        std::string outcome;
    };
    std::vector<Case> cases = {
        {"CRC-32 mismatch, stored",
         {.name = "a.nuspec", .data = xml, .crc = crc ^ 1},
         kBadChecksum},
        {"CRC-32 mismatch, deflated",
         {.name = "a.nuspec", .data = xml, .method = Method::Deflated, .crc = crc ^ 1},
         kBadChecksum},
        {"UTF-16", {.name = "a.nuspec", .data = utf16Bytes}, kNotUtf8},
        {"invalid UTF-8 in the text",
         {.name = "a.nuspec", .data = ManifestXml("App\xC3", "1.0.0")},
         kNotUtf8},
        {"UTF-8 with a byte-order mark",
         {.name = "a.nuspec", .data = "\xEF\xBB\xBF" + xml},
         "manifest App"},
        {"corrupt Deflate data",
         {.name = "a.nuspec",
          .data = "\xFF\xFF\xFF\xFF\xFF\xFF",
          .methodCode = 8,
          .declaredSize = xml.size()},
         R"(Io(Custom { kind: InvalidData, error: "Zlib error: data error" }))"},
        {"Deflate data cut short",
         {.name = "a.nuspec",
          .data = deflated.substr(0, deflated.size() / 2),
          .methodCode = 8,
          .crc = crc,
          .declaredSize = xml.size()},
         kBadChecksum},
        {"stored entry whose sizes disagree",
         {.name = "a.nuspec", .data = xml, .declaredSize = xml.size() + 5},
         R"(Io(Custom { kind: InvalidData, error: "Zip archive inconsistent" }))"},
        {"the manifest's own error, unchanged",
         {.name = "a.nuspec", .data = ManifestXml("App", "1.0")},
         R"(Semver(Error("unexpected end of input while parsing minor version number")))"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(Outcome(ReadFromBytes(zelt::zipw::Build({c.entry}))), c.outcome) << c.what;
    }
}

TEST(ReadBundleManifest, StoredAndDeflatedGiveTheSameManifest) {
    const std::string xml =
        "<package><metadata><id>App</id><version>1.2.3-rc.1+b</version><title>T &amp; U</title>"
        "<mainExe>A.exe</mainExe><releaseNotes><![CDATA[<p>x</p>]]></releaseNotes></metadata>"
        "</package>";
    auto stored = ReadFromBytes(zelt::zipw::Build({Entry{.name = "a.nuspec", .data = xml}}));
    auto deflated = ReadFromBytes(
        zelt::zipw::Build({Entry{.name = "a.nuspec", .data = xml, .method = Method::Deflated}}));
    ASSERT_TRUE(stored.ok()) << stored.error().Debug();
    ASSERT_TRUE(deflated.ok()) << deflated.error().Debug();
    EXPECT_EQ(stored->id, deflated->id);
    EXPECT_TRUE(VersionEquals(stored->version, deflated->version));
    EXPECT_EQ(stored->title, "T & U");
    EXPECT_EQ(deflated->title, "T & U");
    EXPECT_EQ(stored->releaseNotes, deflated->releaseNotes);
}

// A manifest document of exactly the given size, padded with blanks before the root closes.
std::string ManifestOfSize(size_t size) {
    const std::string head = "<package><id>Big</id><version>1.0.0</version><mainExe>A</mainExe>";
    const std::string tail = "</package>";
    return head + std::string(size - head.size() - tail.size(), ' ') + tail;
}

TEST(ReadBundleManifest, ManifestEntrySizeLimit) {
    const uint64_t limit = kMaxManifestEntrySize;
    const std::string atLimit = ManifestOfSize(limit);
    const std::string overLimit = ManifestOfSize(limit + 1);
    struct Case {
        const char* what;
        Entry entry;
        std::string outcome;
    };
    std::vector<Case> cases = {
        {"exactly at the limit",
         {.name = "a.nuspec", .data = atLimit, .method = Method::Deflated},
         "manifest Big"},
        {"one byte over, declared",
         {.name = "a.nuspec", .data = overLimit, .method = Method::Deflated},
         kTooLarge},
        {"deflate bomb declaring a small size",
         {.name = "a.nuspec",
          .data = std::string(64 << 20, ' '),
          .method = Method::Deflated,
          .declaredSize = 200},
         kTooLarge},
        {"stored entry declaring a small size",
         {.name = "a.nuspec", .data = overLimit, .declaredSize = 200},
         kTooLarge},
    };
    for (auto& c : cases) {
        EXPECT_EQ(Outcome(ReadFromBytes(zelt::zipw::Build({c.entry}))), c.outcome) << c.what;
    }
}

TEST(ReadBundleManifest, RepeatedReadsGiveEqualResults) {
    auto bundle = OpenBundle(MemoryFile(zelt::zipw::Package("App", "2.0.0")));
    ASSERT_TRUE(bundle.ok()) << bundle.error().Debug();
    auto first = ReadBundleManifest(*bundle);
    auto second = ReadBundleManifest(*bundle);
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_EQ(first->id, second->id);
    EXPECT_TRUE(VersionEquals(first->version, second->version));
    EXPECT_EQ(first->mainExe, second->mainExe);

    // A failed read leaves the bundle as usable as before.
    const std::string xml = ManifestXml("App", "1.0.0");
    auto damaged = OpenBundle(
        MemoryFile(zelt::zipw::Build({Entry{.name = "a.nuspec", .data = xml, .crc = 0x12345678}})));
    ASSERT_TRUE(damaged.ok());
    EXPECT_EQ(Outcome(ReadBundleManifest(*damaged)), kBadChecksum);
    EXPECT_EQ(Outcome(ReadBundleManifest(*damaged)), kBadChecksum);
}

TEST(OpenBundle, NotAnArchive) {
    const std::string good = zelt::zipw::Package("App", "1.0.0");
    struct Case {
        const char* what;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"zero length", ""},
        {"plain text", "This is not a package.\r\n"},
        {"end record cut off", good.substr(0, good.size() - 10)},
        {"front half only", good.substr(0, good.size() / 2)},
        {"directory damaged",
         [&] {
             std::string bytes = good;
             bytes[bytes.find("PK\x01\x02")] = 'X';
             return bytes;
         }()},
        {"name flagged UTF-8 but not UTF-8",
         zelt::zipw::Build(
             {Entry{.name = "App\xFF.nuspec", .data = "x", .flags = zelt::zipw::kFlagUtf8}})},
    };
    for (const auto& c : cases) {
        auto bundle = OpenBundle(MemoryFile(c.bytes));
        ASSERT_FALSE(bundle.ok()) << c.what;
        EXPECT_EQ(bundle.error().GetKind(), RuntimeError::Kind::Zip) << c.what;
        EXPECT_THAT(bundle.error().Debug(), ::testing::StartsWith("Zip(ZipError { code: "))
            << c.what;
    }
    auto empty = OpenBundle(MemoryFile(""));
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().Debug(),
              R"(Zip(ZipError { code: 19, system: 0, message: "Not a zip archive" }))");
}

// A file of any size that holds nothing but zeros before the given end: a package over a hole of
// gigabytes without a large fixture.
class HoleFile final : public RandomAccessFile {
public:
    HoleFile(uint64_t size, std::string end) : size_(size), end_(std::move(end)) {}
    IoResult<uint64_t> Size() override { return size_; }
    IoResult<size_t> ReadAt(uint64_t offset, void* buffer, size_t length) override {
        if (offset >= size_) return size_t{0};
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, size_ - offset));
        const uint64_t endStart = size_ - end_.size();
        auto* out = static_cast<char*>(buffer);
        for (size_t i = 0; i < n; ++i) {
            const uint64_t at = offset + i;
            out[i] = at < endStart ? '\0' : end_[static_cast<size_t>(at - endStart)];
        }
        return n;
    }

private:
    uint64_t size_;
    std::string end_;
};

// End records that claim more directory entries than any package has are refused before the
// archive reader reserves room for them; everything at or under the bound gets the reader's own
// answer, as before. Without the check, each of these answers "Not a zip archive" after the
// reader reserved 32 bytes per claimed entry and candidate.
TEST(OpenBundle, EndRecordsClaimingTooManyEntries) {
    const std::string kRefused =
        R"(Zip(ZipError { code: 21, system: 0, message: "End records claim more than 1048576 )"
        R"(entries in all" }))";
    const std::string kNotZip =
        R"(Zip(ZipError { code: 19, system: 0, message: "Not a zip archive" }))";
    constexpr uint64_t kMiB = uint64_t{1} << 20;
    using zelt::zipw::ClassicEndRecord;
    using zelt::zipw::ClassicEndRecordFlood;
    using zelt::zipw::Zip64EndRecordFlood;
    const auto repeat = [](const std::string& piece, int times) {
        std::string out;
        for (int i = 0; i < times; ++i) out += piece;
        return out;
    };
    struct Case {
        const char* what;
        uint64_t size;
        std::string end;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"one ZIP64 candidate, one entry over", 64 * kMiB,
         Zip64EndRecordFlood(64 * kMiB, 1, 1048577), kRefused},
        {"one ZIP64 candidate, exactly at the bound", 64 * kMiB,
         Zip64EndRecordFlood(64 * kMiB, 1, 1048576), kNotZip},
        {"three ZIP64 candidates, together over", 64 * kMiB,
         Zip64EndRecordFlood(64 * kMiB, 3, 400000), kRefused},
        {"a few hundred ZIP64 candidates over a 256 MiB hole", 256 * kMiB,
         Zip64EndRecordFlood(256 * kMiB, 300, (256 * kMiB - 65536) / 46), kRefused},
        // 0xFFFF in both halves of a locator's disk number sends the reader to the ZIP64 record's
        // own disk numbers, which say disk 0: these candidates count.
        {"ZIP64 candidates whose locators defer to the record's disks", 4 * kMiB,
         Zip64EndRecordFlood(4 * kMiB, 8, 150000, 0xFFFFFFFFu), kRefused},
        {"classic records, together over", 4 * kMiB, ClassicEndRecordFlood(17, 65535), kRefused},
        {"classic records, together under", 4 * kMiB, ClassicEndRecordFlood(16, 65535), kNotZip},
        {"classic records filling the window", 4 * kMiB, ClassicEndRecordFlood(65578 / 22, 65535),
         kRefused},
        // Candidates the reader turns away before reserving anything cost nothing.
        {"classic records of another disk", 4 * kMiB,
         repeat(ClassicEndRecord(65535, 65535 * 46, 0, 1), 17),
         R"(Zip(ZipError { code: 1, system: 0, message: "Multi-disk zip archives not supported" }))"},
        {"classic records whose counts disagree", 4 * kMiB,
         repeat(ClassicEndRecord(65535, 65535 * 46, 0, 0, 65534), 17), kNotZip},
        {"classic records whose directory runs past them", 4 * kMiB,
         repeat(ClassicEndRecord(65535, 65535 * 46, 4 * kMiB), 17),
         R"(Zip(ZipError { code: 21, system: 0, message: "Zip archive inconsistent" }))"},
        {"ZIP64 candidates claiming more than their directory holds", 64 * kMiB,
         [&] {
             // The directory's size is taken from the record; an entry takes 46 bytes at least.
             std::string end = Zip64EndRecordFlood(64 * kMiB, 3, 2000000);
             end.replace(40, 8, std::string("\x00\x10\x00\x00\x00\x00\x00\x00", 8));
             return end;
         }(),
         R"(Zip(ZipError { code: 21, system: 0, message: "Zip archive inconsistent" }))"},
        {"ZIP64 locators pointing at no ZIP64 record", 4 * kMiB,
         [&] {
             // The reader does not fall back to the classic record's own count of 65535.
             std::string end = Zip64EndRecordFlood(4 * kMiB, 30, 1000);
             end[0] = 'X';
             for (size_t at = 56 + 20; at < end.size(); at += 42) {
                 end.replace(at, 22, ClassicEndRecord(65535, 0, 0));
             }
             return end;
         }(),
         R"(Zip(ZipError { code: 21, system: 0, message: "Zip archive inconsistent" }))"},
    };
    for (const auto& c : cases) {
        auto bundle = OpenBundle(std::make_unique<HoleFile>(c.size, c.end));
        EXPECT_EQ(bundle.ok() ? "opened" : bundle.error().Debug(), c.outcome) << c.what;
        // libzip's own memory source is checked the same way.
        std::string bytes(static_cast<size_t>(std::min<uint64_t>(c.size, 4 * kMiB)), '\0');
        if (c.size == bytes.size()) {
            bytes.replace(bytes.size() - c.end.size(), c.end.size(), c.end);
            zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, nullptr);
            ASSERT_NE(source, nullptr);
            auto fromLibzip = OpenBundle(source);
            EXPECT_EQ(fromLibzip.ok() ? "opened" : fromLibzip.error().Debug(), c.outcome)
                << c.what << " (libzip's memory source)";
        }
    }
}

// The end-record window is read from the file once: the check before opening hands it to the
// archive reader.
TEST(OpenBundle, ReadsTheEndRecordWindowOnce) {
    const std::string bytes = zelt::zipw::Build(
        {Payload("big.bin", 1 << 20), Manifest("App.nuspec", "App", Method::Deflated)});
    const uint64_t before = BundleBytesRead();
    auto bundle = OpenBundle(MemoryFile(bytes));
    ASSERT_TRUE(bundle.ok()) << bundle.error().Debug();
    EXPECT_EQ(BundleBytesRead() - before, 65578u);
}

// A file whose reads fail once the switch is on, as a failing disk would.
class FailingFile final : public RandomAccessFile {
public:
    FailingFile(std::string bytes, std::shared_ptr<bool> failing, uint64_t failFrom)
        : inner_(MemoryFile(std::move(bytes))), failing_(std::move(failing)), failFrom_(failFrom) {}
    IoResult<uint64_t> Size() override { return inner_->Size(); }
    IoResult<size_t> ReadAt(uint64_t offset, void* buffer, size_t length) override {
        if (*failing_ && offset + length > failFrom_) return IoError::FromOsCode(1117);
        return inner_->ReadAt(offset, buffer, length);
    }

private:
    std::unique_ptr<RandomAccessFile> inner_;
    std::shared_ptr<bool> failing_;
    uint64_t failFrom_;
};

TEST(ReadBundleManifest, ReadErrorsOfTheFileAreIoErrors) {
    const std::string name = "a.nuspec";
    const std::string bytes = zelt::zipw::Build(
        {Entry{.name = name, .data = ManifestXml("App", "1.0.0"), .method = Method::Deflated}});
    auto failing = std::make_shared<bool>(false);
    // The local header is readable; the entry's data is not.
    auto bundle = OpenBundle(std::make_unique<FailingFile>(bytes, failing, 30 + name.size()));
    ASSERT_TRUE(bundle.ok()) << bundle.error().Debug();
    *failing = true;
    auto manifest = ReadBundleManifest(*bundle);
    ASSERT_FALSE(manifest.ok());
    ASSERT_NE(manifest.error().AsIo(), nullptr) << manifest.error().Debug();
    EXPECT_TRUE(manifest.error().AsIo()->IsOs()) << manifest.error().Debug();
    EXPECT_EQ(manifest.error().AsIo()->OsCode(), 1117);
}

TEST(OpenBundle, ReadErrorsWhileOpeningAreZipErrorsNamingTheSystemError) {
    auto failing = std::make_shared<bool>(true);
    auto bundle =
        OpenBundle(std::make_unique<FailingFile>(zelt::zipw::Package("App", "1.0.0"), failing, 0));
    ASSERT_FALSE(bundle.ok());
    EXPECT_EQ(bundle.error().GetKind(), RuntimeError::Kind::Zip);
    EXPECT_THAT(bundle.error().Debug(),
                HasSubstr("message: \"Read error: " + IoError::FromOsCode(1117).Display()));
}

TEST(ReadBundleManifest, ReadsOnlyTheDirectoryAndTheManifest) {
    // 8 MiB of payload stored ahead of the manifest in the file.
    const std::string bytes = zelt::zipw::Build(
        {Payload("big.bin", 8 << 20), Manifest("App.nuspec", "App", Method::Deflated)});
    const uint64_t before = BundleBytesRead();
    auto bundle = OpenBundle(MemoryFile(bytes));
    ASSERT_TRUE(bundle.ok());
    ASSERT_TRUE(ReadBundleManifest(*bundle).ok());
    EXPECT_LT(BundleBytesRead() - before, uint64_t{128} << 10);
}

TEST(OpenBundle, AnyLibzipSource) {
    ScratchDir dir;
    const auto file = dir.Write("App-full.nupkg", zelt::zipw::Package("App", "1.0.0"));
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_file_create(file.string().c_str(), 0, -1, &error);
    zip_error_fini(&error);
    ASSERT_NE(source, nullptr);
    auto bundle = OpenBundle(source);
    ASSERT_TRUE(bundle.ok()) << bundle.error().Debug();
    EXPECT_EQ(Outcome(ReadBundleManifest(*bundle)), "manifest App");

    const std::string text = "not a zip";
    zip_source_t* buffer = zip_source_buffer_create(text.data(), text.size(), 0, nullptr);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(OpenBundle(buffer).error().GetKind(), RuntimeError::Kind::Zip);
    EXPECT_EQ(OpenBundle(static_cast<zip_source_t*>(nullptr)).error().GetKind(),
              RuntimeError::Kind::Zip);
}

// ---- Package files on disk ----

TEST(LoadBundleFromFile, ReadsAPackageFileAndSaysSoAtDebugLevel) {
    ScratchDir dir;
    const Path path = RuntimePath(
        dir.Write("Zelt.App-1.0.0-full.nupkg", zelt::zipw::Package("Zelt.App", "1.0.0")));
    CapturedLog log;
    auto bundle = LoadBundleFromFile(path);
    ASSERT_TRUE(bundle.ok()) << bundle.error().Debug();
    EXPECT_EQ(Outcome(ReadBundleManifest(*bundle)), "manifest Zelt.App");
    const std::vector<testing::LogLine> expected = {
        {Level::Debug, "upkit::bundle", "Loading bundle from file '" + PathDebug(path) + "'..."}};
    EXPECT_EQ(log.Lines(), expected);
}

// The hostile package as players end up with it: a real 256 MiB file, sparse, whose end holds a
// few hundred end records that each claim a directory over the hole. Refused at once, without a
// retry, instead of costing close to a minute at every start.
TEST(LoadBundleFromFile, EndRecordFloodIsRefusedBeforeTheReaderReserves) {
    constexpr uint64_t kSize = uint64_t{256} << 20;
    ScratchDir dir;
    const Path path = RuntimePath(
        dir.WriteSparse("Flood-1.0.0-full.nupkg", kSize,
                        zelt::zipw::Zip64EndRecordFlood(kSize, 300, (kSize - (64 << 10)) / 46)));
    CapturedLog log;
    auto bundle = LoadBundleFromFile(path);
    ASSERT_FALSE(bundle.ok());
    EXPECT_EQ(bundle.error().Debug(),
              R"(Zip(ZipError { code: 21, system: 0, message: "End records claim more than )"
              R"(1048576 entries in all" }))");
    EXPECT_TRUE(log.Lines(Level::Warn).empty());
}

TEST(LoadBundleFromFile, ArchiveErrorsAreNotRetried) {
    ScratchDir dir;
    for (const char* bytes : {"", "plain text, not an archive"}) {
        const Path path = RuntimePath(dir.Write("x-full.nupkg", bytes));
        CapturedLog log;
        auto bundle = LoadBundleFromFile(path);
        ASSERT_FALSE(bundle.ok());
        EXPECT_EQ(bundle.error().GetKind(), RuntimeError::Kind::Zip) << bundle.error().Debug();
        EXPECT_TRUE(log.Lines(Level::Warn).empty());
    }
}

TEST(LoadBundleFromFile, MissingFileIsAnIoErrorAfterFourAttempts) {
    ScratchDir dir;
    const Path path = RuntimePath(dir.Native() / "missing-full.nupkg");
    CapturedLog log;
    const auto start = std::chrono::steady_clock::now();
    auto bundle = LoadBundleFromFile(path);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(bundle.ok());
    ASSERT_NE(bundle.error().AsIo(), nullptr) << bundle.error().Debug();
    EXPECT_EQ(bundle.error().AsIo()->Kind(), IoErrorKind::NotFound) << bundle.error().Debug();
    EXPECT_EQ(log.Lines(Level::Warn).size(), 3u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(333 + 666 + 1000));
}

}  // namespace
}  // namespace upkit
