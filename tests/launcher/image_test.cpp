// The declarations ZeltOy2.exe carries for the loader, the graphics drivers and the shell, read
// back from the built file: headers, exports, imports, manifest, icons and version block.
#include <gtest/gtest.h>

#include "zelt_test.h"

// imagehlp.h builds on the types of <windows.h>, which zelt_test.h includes.
#include <imagehlp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>

namespace zelt::test {
namespace {

// Whether ZeltOy2.exe was linked by lld (the windows preset, the release) or by GNU ld.
constexpr bool kLinkedByLld = ZELT_LINKED_BY_LLD;

// ---- A minimal PE32+ reader over the file's bytes ----

class PeImage {
public:
    explicit PeImage(std::string bytes) : bytes_(std::move(bytes)) {
        if (bytes_.size() < 0x40 || bytes_.compare(0, 2, "MZ") != 0) return;
        nt_ = U32At(0x3C);
        if (bytes_.compare(nt_, 4, std::string("PE\0\0", 4)) != 0) return;
        optional_ = nt_ + 24;
        valid_ = U16At(optional_) == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    }

    bool valid() const { return valid_; }
    const IMAGE_FILE_HEADER& file() const {
        return *reinterpret_cast<const IMAGE_FILE_HEADER*>(bytes_.data() + nt_ + 4);
    }
    const IMAGE_OPTIONAL_HEADER64& optional() const {
        return *reinterpret_cast<const IMAGE_OPTIONAL_HEADER64*>(bytes_.data() + optional_);
    }
    IMAGE_DATA_DIRECTORY Directory(int index) const { return optional().DataDirectory[index]; }

    const IMAGE_SECTION_HEADER* SectionOf(DWORD rva) const {
        const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
            bytes_.data() + optional_ + file().SizeOfOptionalHeader);
        for (int i = 0; i < file().NumberOfSections; ++i) {
            const DWORD size = std::max(sections[i].Misc.VirtualSize, sections[i].SizeOfRawData);
            if (rva >= sections[i].VirtualAddress && rva < sections[i].VirtualAddress + size) {
                return &sections[i];
            }
        }
        return nullptr;
    }

    // The file offset of an address; records a failure for one outside the file's data.
    size_t Offset(DWORD rva, size_t length = 1) const {
        const IMAGE_SECTION_HEADER* section = SectionOf(rva);
        if (section == nullptr || rva - section->VirtualAddress + length > section->SizeOfRawData) {
            ADD_FAILURE() << "address 0x" << std::hex << rva << " has no file data";
            return 0;
        }
        return section->PointerToRawData + (rva - section->VirtualAddress);
    }

    uint16_t U16(DWORD rva) const { return U16At(Offset(rva, 2)); }
    uint32_t U32(DWORD rva) const { return U32At(Offset(rva, 4)); }
    uint64_t U64(DWORD rva) const {
        uint64_t v = 0;
        std::memcpy(&v, bytes_.data() + Offset(rva, 8), 8);
        return v;
    }
    std::string String(DWORD rva) const { return std::string(bytes_.data() + Offset(rva)); }

    // The sections' names, long ones ("/4": an offset into the string table after the symbol
    // table, as GNU ld writes ".debug_info") read from the string table.
    std::vector<std::string> SectionNames() const {
        const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
            bytes_.data() + optional_ + file().SizeOfOptionalHeader);
        const size_t strings = file().PointerToSymbolTable + 18ull * file().NumberOfSymbols;
        std::vector<std::string> names;
        for (int i = 0; i < file().NumberOfSections; ++i) {
            std::string name(reinterpret_cast<const char*>(sections[i].Name),
                             strnlen(reinterpret_cast<const char*>(sections[i].Name), 8));
            if (name.size() > 1 && name[0] == '/' && file().PointerToSymbolTable != 0) {
                const size_t at = strings + std::stoul(name.substr(1));
                if (at < bytes_.size()) name = std::string(bytes_.data() + at);
            }
            names.push_back(name);
        }
        return names;
    }

    // The entries of the debug directory.
    std::vector<IMAGE_DEBUG_DIRECTORY> DebugEntries() const {
        const IMAGE_DATA_DIRECTORY directory = Directory(IMAGE_DIRECTORY_ENTRY_DEBUG);
        std::vector<IMAGE_DEBUG_DIRECTORY> entries(directory.Size / sizeof(IMAGE_DEBUG_DIRECTORY));
        for (size_t i = 0; i < entries.size(); ++i) {
            const DWORD rva = directory.VirtualAddress + i * sizeof(IMAGE_DEBUG_DIRECTORY);
            std::memcpy(&entries[i], bytes_.data() + Offset(rva, sizeof(IMAGE_DEBUG_DIRECTORY)),
                        sizeof(IMAGE_DEBUG_DIRECTORY));
        }
        return entries;
    }

    // Bytes of the file.
    std::string Bytes(size_t offset, size_t length) const {
        return offset + length <= bytes_.size() ? bytes_.substr(offset, length) : std::string();
    }

private:
    uint16_t U16At(size_t offset) const {
        uint16_t v = 0;
        std::memcpy(&v, bytes_.data() + offset, 2);
        return v;
    }
    uint32_t U32At(size_t offset) const {
        uint32_t v = 0;
        std::memcpy(&v, bytes_.data() + offset, 4);
        return v;
    }

    std::string bytes_;
    size_t nt_ = 0;
    size_t optional_ = 0;
    bool valid_ = false;
};

class ImageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { image_ = new PeImage(ReadFile(BinPath(kLauncherExe))); }
    static void TearDownTestSuite() {
        delete image_;
        image_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(image_->valid()) << "ZeltOy2.exe is not a PE32+ image"; }
    static PeImage* image_;
};
PeImage* ImageTest::image_ = nullptr;

TEST_F(ImageTest, IsA64BitGuiImageWithRandomisedAddressesAndNoExecuteData) {
    EXPECT_EQ(image_->file().Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(image_->optional().Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    const WORD characteristics = image_->optional().DllCharacteristics;
    EXPECT_TRUE(characteristics & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA);
    EXPECT_TRUE(characteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_TRUE(characteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
    // Randomisation needs the relocations to stay in the image.
    EXPECT_FALSE(image_->file().Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
    EXPECT_GT(image_->Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC).Size, 0u);
}

TEST_F(ImageTest, ChecksumFieldHoldsTheFilesChecksum) {
    // The system's own computation is the reference, not the build script that wrote the field.
    DWORD declared = 0;
    DWORD computed = 0;
    ASSERT_EQ(MapFileAndCheckSumW(BinPath(kLauncherExe).c_str(), &declared, &computed),
              static_cast<DWORD>(CHECKSUM_SUCCESS));
    EXPECT_NE(declared, 0u) << "no checksum in the header";
    EXPECT_EQ(declared, computed);
    EXPECT_EQ(image_->optional().CheckSum, declared);
}

TEST_F(ImageTest, ExportsTheFourDataSymbolsUnderTheModuleNameWindowsPlayer) {
    const IMAGE_DATA_DIRECTORY directory = image_->Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    ASSERT_GT(directory.Size, 0u);
    const DWORD base = directory.VirtualAddress;
    EXPECT_EQ(image_->String(image_->U32(base + offsetof(IMAGE_EXPORT_DIRECTORY, Name))),
              "WindowsPlayer.exe");
    const DWORD count = image_->U32(base + offsetof(IMAGE_EXPORT_DIRECTORY, NumberOfNames));
    const DWORD names = image_->U32(base + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNames));
    const DWORD ordinals =
        image_->U32(base + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNameOrdinals));
    const DWORD functions =
        image_->U32(base + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfFunctions));
    std::map<std::string, DWORD> exports;
    for (DWORD i = 0; i < count; ++i) {
        const std::string name = image_->String(image_->U32(names + 4 * i));
        exports[name] = image_->U32(functions + 4 * image_->U16(ordinals + 2 * i));
    }
    ASSERT_EQ(exports.size(), 4u);
    for (const auto& [name, rva] : exports) {
        SCOPED_TRACE(name);
        ASSERT_NE(image_->SectionOf(rva), nullptr);
        // Data, not code, and no forwarders.
        EXPECT_FALSE(image_->SectionOf(rva)->Characteristics & IMAGE_SCN_MEM_EXECUTE);
        EXPECT_FALSE(rva >= base && rva < base + directory.Size);
    }

    ASSERT_TRUE(exports.count("NvOptimusEnablement"));
    EXPECT_EQ(image_->U32(exports["NvOptimusEnablement"]), 1u);
    ASSERT_TRUE(exports.count("AmdPowerXpressRequestHighPerformance"));
    EXPECT_EQ(image_->U32(exports["AmdPowerXpressRequestHighPerformance"]), 1u);

    ASSERT_TRUE(exports.count("D3D12SDKVersion"));
    EXPECT_EQ(image_->U32(exports["D3D12SDKVersion"]), 618u);
    EXPECT_FALSE(image_->SectionOf(exports["D3D12SDKVersion"])->Characteristics &
                 IMAGE_SCN_MEM_WRITE)
        << "D3D12SDKVersion must be read-only";

    ASSERT_TRUE(exports.count("D3D12SDKPath"));
    const uint64_t pointer = image_->U64(exports["D3D12SDKPath"]);
    ASSERT_GT(pointer, image_->optional().ImageBase);
    EXPECT_EQ(image_->String(static_cast<DWORD>(pointer - image_->optional().ImageBase)),
              ".\\D3D12\\");
}

// Names imported through an import lookup table (PE32+ entries, zero-terminated).
std::vector<std::string> ImportedNames(const PeImage& image, DWORD table) {
    std::vector<std::string> names;
    for (DWORD entry = table;; entry += 8) {
        const uint64_t thunk = image.U64(entry);
        if (thunk == 0) break;
        if (thunk & IMAGE_ORDINAL_FLAG64) {
            names.push_back("#" + std::to_string(thunk & 0xFFFF));
        } else {
            names.push_back(image.String(static_cast<DWORD>(thunk) + 2));  // after the hint
        }
    }
    return names;
}

TEST_F(ImageTest, ImportsOnlySystemLibrariesAndDelayLoadsTheEngine) {
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);

    const IMAGE_DATA_DIRECTORY imports = image_->Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    ASSERT_GT(imports.Size, 0u);
    std::vector<std::string> libraries;
    for (DWORD d = imports.VirtualAddress;; d += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const DWORD name = image_->U32(d + offsetof(IMAGE_IMPORT_DESCRIPTOR, Name));
        if (name == 0) break;
        libraries.push_back(image_->String(name));
    }
    EXPECT_FALSE(libraries.empty());
    for (const std::string& library : libraries) {
        SCOPED_TRACE(library);
        // No MinGW runtime or other library shipped beside the game: the system provides all.
        EXPECT_TRUE(PathExists(JoinPath(system, Widen(library))));
        EXPECT_NE(CompareStringOrdinal(Widen(library).c_str(), -1, L"UnityPlayer.dll", -1, TRUE),
                  CSTR_EQUAL);
    }

    const IMAGE_DATA_DIRECTORY delayed = image_->Directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT);
    ASSERT_GE(delayed.Size, 2 * sizeof(IMAGE_DELAYLOAD_DESCRIPTOR));
    const DWORD first = delayed.VirtualAddress;
    const DWORD second = first + sizeof(IMAGE_DELAYLOAD_DESCRIPTOR);
    EXPECT_EQ(image_->U32(first + offsetof(IMAGE_DELAYLOAD_DESCRIPTOR, Attributes)), 1u)
        << "addresses in the descriptor are relative";
    EXPECT_EQ(image_->String(image_->U32(first + offsetof(IMAGE_DELAYLOAD_DESCRIPTOR, DllNameRVA))),
              "UnityPlayer.dll");
    EXPECT_EQ(ImportedNames(*image_, image_->U32(first + offsetof(IMAGE_DELAYLOAD_DESCRIPTOR,
                                                                  ImportNameTableRVA))),
              std::vector<std::string>{"UnityMain2"});
    EXPECT_EQ(image_->U32(second + offsetof(IMAGE_DELAYLOAD_DESCRIPTOR, DllNameRVA)), 0u)
        << "the engine is the only delay-loaded library";
}

// ---- Symbols ----

// One stream of an MSF file (the container a PDB is), or nothing when the file is not one.
std::optional<std::string> MsfStream(const std::string& msf, uint32_t index) {
    static const std::string kMagic(
        "Microsoft C/C++ MSF 7.00\r\n\x1a"
        "DS\0\0\0",
        32);
    if (msf.size() < 56 || msf.compare(0, 32, kMagic) != 0) return std::nullopt;
    const auto u32 = [&msf](size_t at) {
        uint32_t v = 0;
        if (at + 4 <= msf.size()) std::memcpy(&v, msf.data() + at, 4);
        return v;
    };
    const uint32_t blockSize = u32(32);
    const uint32_t directoryBytes = u32(44);
    const uint32_t blockMap = u32(52);
    if (blockSize == 0) return std::nullopt;
    const auto blocks = [blockSize](uint32_t bytes) { return (bytes + blockSize - 1) / blockSize; };
    std::string directory;
    for (uint32_t i = 0; i < blocks(directoryBytes); ++i) {
        directory +=
            msf.substr(size_t{u32(size_t{blockMap} * blockSize + 4 * i)} * blockSize, blockSize);
    }
    const auto dir = [&directory](size_t at) {
        uint32_t v = 0;
        if (at + 4 <= directory.size()) std::memcpy(&v, directory.data() + at, 4);
        return v;
    };
    const uint32_t streams = dir(0);
    if (index >= streams) return std::nullopt;
    const auto size = [&dir](uint32_t i) {
        return dir(4 + 4 * i) == 0xFFFFFFFF ? 0 : dir(4 + 4 * i);
    };
    size_t at = 4 + 4 * size_t{streams};
    for (uint32_t i = 0; i < index; ++i) at += 4 * size_t{blocks(size(i))};
    std::string stream;
    for (uint32_t i = 0; i < blocks(size(index)); ++i) {
        stream += msf.substr(size_t{dir(at + 4 * i)} * blockSize, blockSize);
    }
    stream.resize(size(index));
    return stream;
}

std::string Hex(std::string_view bytes) {
    std::string out;
    char digits[3];
    for (unsigned char c : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", c);
        out += digits;
    }
    return out;
}

// The release is built by lld, which writes ZeltOy2.pdb beside the image and names it in the
// CodeView record of the image's debug directory: that record (the PDB's file name, its GUID and
// its age) is how Windows debuggers, crash reports and symbol servers find the symbols, so it must
// name the very PDB the build wrote. lld's -Brepro also adds a Repro entry, and the image's time
// stamp (a symbol store's key with the image's size) is a hash of the content, never zero. The
// GCC build's GNU ld writes no PDB; its symbols go to ZeltOy2.debug (scripts/release ships the
// lld build).
TEST_F(ImageTest, NamesItsOwnPdbInItsCodeViewRecord) {
    if (!kLinkedByLld) GTEST_SKIP() << "GNU ld writes no PDB";
    EXPECT_NE(image_->file().TimeDateStamp, 0u) << "no time stamp to key the symbols by";
    const std::vector<IMAGE_DEBUG_DIRECTORY> entries = image_->DebugEntries();
    const auto codeView = std::find_if(
        entries.begin(), entries.end(),
        [](const IMAGE_DEBUG_DIRECTORY& e) { return e.Type == IMAGE_DEBUG_TYPE_CODEVIEW; });
    ASSERT_NE(codeView, entries.end()) << entries.size() << " debug entries, none CodeView";
    const std::string record = image_->Bytes(codeView->PointerToRawData, codeView->SizeOfData);
    ASSERT_GE(record.size(), 25u);
    ASSERT_EQ(record.substr(0, 4), "RSDS");
    const std::string guid = record.substr(4, 16);
    uint32_t age = 0;
    std::memcpy(&age, record.data() + 20, 4);
    EXPECT_EQ(std::string(record.data() + 24), "ZeltOy2.pdb") << "the PDB's file name alone";

    const std::string pdb = ReadFile(BinPath(L"ZeltOy2.pdb"));
    const std::optional<std::string> info = MsfStream(pdb, 1);  // the PDB's own identity
    const std::optional<std::string> dbi = MsfStream(pdb, 3);   // its debug information
    ASSERT_TRUE(info && info->size() >= 28) << "ZeltOy2.pdb is not a PDB";
    ASSERT_TRUE(dbi && dbi->size() >= 12);
    EXPECT_EQ(Hex(guid), Hex(info->substr(12, 16))) << "the GUID is another PDB's";
    uint32_t pdbAge = 0;
    std::memcpy(&pdbAge, dbi->data() + 8, 4);
    EXPECT_EQ(age, pdbAge);
}

TEST_F(ImageTest, CarriesNoDwarfSections) {
    for (const std::string& name : image_->SectionNames()) {
        EXPECT_NE(name.rfind(".debug_", 0), 0u) << name;
    }
}

// ---- Resources, through the loader ----

class ImageResources : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryExW(BinPath(kLauncherExe).c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << "error " << GetLastError();
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }
    std::string Resource(const wchar_t* type, const wchar_t* name, WORD language) const {
        HRSRC found = FindResourceExW(module_, type, name, language);
        if (!found) return "";
        HGLOBAL loaded = LoadResource(module_, found);
        const auto* data = static_cast<const char*>(LockResource(loaded));
        return data ? std::string(data, SizeofResource(module_, found)) : "";
    }
    HMODULE module_ = nullptr;
};

// Elements of a small XML text by local name, each with its attributes and its text.
struct Element {
    std::map<std::string, std::string> attributes;
    std::string text;
};

std::vector<Element> FindElements(const std::string& xml, const std::string& localName) {
    std::vector<Element> found;
    for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1)) {
        size_t nameEnd = xml.find_first_of(" \t\r\n/>", at + 1);
        std::string name = xml.substr(at + 1, nameEnd - at - 1);
        if (const size_t colon = name.find(':'); colon != std::string::npos) {
            name = name.substr(colon + 1);
        }
        if (name != localName) continue;
        const size_t tagEnd = xml.find('>', at);
        Element element;
        const std::string tag = xml.substr(nameEnd, tagEnd - nameEnd);
        for (size_t eq = tag.find('='); eq != std::string::npos; eq = tag.find('=', eq + 1)) {
            const size_t keyStart = tag.find_last_of(" \t\r\n", eq) + 1;
            const size_t open = eq + 1;
            const size_t close = tag.find(tag[open], open + 1);
            element.attributes[tag.substr(keyStart, eq - keyStart)] =
                tag.substr(open + 1, close - open - 1);
            eq = close;
        }
        if (xml[tagEnd - 1] != '/') {
            element.text = xml.substr(tagEnd + 1, xml.find('<', tagEnd) - tagEnd - 1);
        }
        found.push_back(element);
    }
    return found;
}

TEST_F(ImageResources, ManifestDeclaresIdentityCommonControlsPrivilegesSystemAndDpi) {
    const WORD usEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    ASSERT_EQ(usEnglish, 1033);
    const std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1), usEnglish);
    ASSERT_FALSE(manifest.empty()) << "no manifest with id 1 in language 1033";

    const std::vector<Element> identities = FindElements(manifest, "assemblyIdentity");
    ASSERT_EQ(identities.size(), 2u);
    const std::map<std::string, std::string> own = {{"name", "UnityTechnologies.Unity.UnityPlayer"},
                                                    {"version", "1.0.0.0"},
                                                    {"type", "win32"},
                                                    {"processorArchitecture", "*"}};
    EXPECT_EQ(identities[0].attributes, own);
    const std::map<std::string, std::string> controls = {
        {"name", "Microsoft.Windows.Common-Controls"},
        {"version", "6.0.0.0"},
        {"type", "win32"},
        {"processorArchitecture", "*"},
        {"publicKeyToken", "6595b64144ccf1df"},
        {"language", "*"}};
    EXPECT_EQ(identities[1].attributes, controls);
    ASSERT_EQ(FindElements(manifest, "dependentAssembly").size(), 1u);

    const std::vector<Element> description = FindElements(manifest, "description");
    ASSERT_EQ(description.size(), 1u);
    EXPECT_EQ(description[0].text, "ZeltOy2");

    const std::vector<Element> level = FindElements(manifest, "requestedExecutionLevel");
    ASSERT_EQ(level.size(), 1u);
    EXPECT_EQ(level[0].attributes,
              (std::map<std::string, std::string>{{"level", "asInvoker"}, {"uiAccess", "false"}}));

    const std::vector<Element> systems = FindElements(manifest, "supportedOS");
    ASSERT_EQ(systems.size(), 1u);
    EXPECT_EQ(systems[0].attributes.at("Id"), "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}");

    const std::vector<Element> dpiAware = FindElements(manifest, "dpiAware");
    const std::vector<Element> dpiAwareness = FindElements(manifest, "dpiAwareness");
    ASSERT_EQ(dpiAware.size(), 1u);
    ASSERT_EQ(dpiAwareness.size(), 1u);
    EXPECT_EQ(dpiAware[0].text, "True/PM");
    EXPECT_EQ(dpiAwareness[0].text, "PerMonitorV2");
}

TEST_F(ImageResources, IconGroup103HoldsSevenSquare32BitImages) {
    const WORD usEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    const std::string group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(103), usEnglish);
    ASSERT_GE(group.size(), 6u) << "no icon group 103";
#pragma pack(push, 2)
    struct GroupEntry {
        BYTE width, height, colors, reserved;
        WORD planes, bitCount;
        DWORD bytes;
        WORD id;
    };
#pragma pack(pop)
    WORD header[3];
    std::memcpy(header, group.data(), 6);
    EXPECT_EQ(header[1], 1) << "icon, not cursor";
    ASSERT_EQ(group.size(), 6 + header[2] * sizeof(GroupEntry));

    std::vector<int> sizes;
    for (WORD i = 0; i < header[2]; ++i) {
        GroupEntry entry;
        std::memcpy(&entry, group.data() + 6 + i * sizeof(GroupEntry), sizeof entry);
        const int side = entry.width == 0 ? 256 : entry.width;
        SCOPED_TRACE(side);
        sizes.push_back(side);
        EXPECT_EQ(entry.width, entry.height);
        EXPECT_EQ(entry.bitCount, 32);
        EXPECT_EQ(entry.planes, 1);

        const std::string image = Resource(RT_ICON, MAKEINTRESOURCEW(entry.id), usEnglish);
        ASSERT_EQ(image.size(), entry.bytes);
        if (image.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) {
            // IHDR: width, height (big-endian), bit depth 8, colour type 6 (RGBA).
            const auto* p = reinterpret_cast<const unsigned char*>(image.data()) + 16;
            EXPECT_EQ((p[0] << 24) | (p[1] << 16) | (p[2] << 8) | p[3], side);
            EXPECT_EQ((p[4] << 24) | (p[5] << 16) | (p[6] << 8) | p[7], side);
            EXPECT_EQ(p[8], 8);
            EXPECT_EQ(p[9], 6);
        } else {
            BITMAPINFOHEADER bitmap;
            ASSERT_GE(image.size(), sizeof bitmap);
            std::memcpy(&bitmap, image.data(), sizeof bitmap);
            EXPECT_EQ(bitmap.biWidth, side);
            EXPECT_EQ(bitmap.biHeight, 2 * side);  // colour and mask
            EXPECT_EQ(bitmap.biBitCount, 32);
        }
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 64, 128, 256}));
}

TEST(ImageVersion, VersionBlockNamesTheProductAndItsVersion) {
    const std::wstring exe = BinPath(kLauncherExe);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));

    struct Translation {
        WORD language, codePage;
    }* translations = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translations), &length));
    ASSERT_EQ(length, sizeof(Translation));
    EXPECT_EQ(translations->language, 0x0409);
    EXPECT_EQ(translations->codePage, 0x04b0);

    const std::string version = ZELT_PROJECT_VERSION;  // three parts
    const std::map<std::wstring, std::string> expected = {
        {L"ProductName", "ZeltOy2"}, {L"FileDescription", "ZeltOy2"},  {L"InternalName", "ZeltOy2"},
        {L"CompanyName", "Zelt"},    {L"FileVersion", version + ".0"}, {L"ProductVersion", version},
    };
    for (const auto& [key, value] : expected) {
        SCOPED_TRACE(Narrow(key));
        wchar_t* text = nullptr;
        UINT chars = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), (L"\\StringFileInfo\\040904b0\\" + key).c_str(),
                                   reinterpret_cast<void**>(&text), &chars));
        EXPECT_EQ(Narrow(text), value);
    }

    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::sscanf(version.c_str(), "%u.%u.%u", &major, &minor, &patch), 3);
    VS_FIXEDFILEINFO* fixed = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, (major << 16) | minor);
    EXPECT_EQ(fixed->dwFileVersionLS, patch << 16);
    EXPECT_EQ(fixed->dwProductVersionMS, (major << 16) | minor);
    EXPECT_EQ(fixed->dwProductVersionLS, patch << 16);
}

}  // namespace
}  // namespace zelt::test
