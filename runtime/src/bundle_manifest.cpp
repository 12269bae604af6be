// Reading the package manifest from its XML text with expat.
//
// Expat pushes events as it goes, so everything that precedes a malformed spot has already been
// seen when the error is reported: a document cut off after its last required element still
// yields a record. Expat also splits character data wherever it likes (at references, at the
// edges of its buffers), so text is gathered into runs here:
//   - a run goes on across such splits and comments;
//   - a run ends at a start tag, an end tag, a processing instruction, or the start or end of a
//     CDATA section;
//   - a CDATA section is a piece of its own and always counts, even when blank;
//   - a run of nothing but blanks (space, tab, CR, LF) is ignored;
//   - a run that a reader error cuts off is dropped.
// A completed run or piece goes to the element on top of the stack of open elements; for a known
// name it replaces the field's value, so the last occurrence in document order wins.
//
// Elements are matched by their local name. The parser runs without namespace processing and the
// local name is the part after the first ":" (the prefix); the namespace a prefix is bound to,
// and whether it is bound at all, does not matter.
//
// Security: the text is never re-decoded (the encoding is fixed to UTF-8 whatever the document
// declares), any entity declaration stops the parser with an error (internal entities are never
// expanded), an entity reference that cannot be resolved is an error, no external entity or DTD
// is ever loaded, and expat's amplification limits stay at their defaults.
#include <expat.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "logging.h"
#include "manifest.h"
#include "version.h"

namespace upkit {

namespace {

constexpr const char* kTarget = "upkit::bundle";

// Far deeper than any manifest goes. The parser keeps well over a hundred bytes for every open
// element, so a document of nothing but start tags (16 MiB of them are some 16 KB once compressed
// in a package) would otherwise cost about a gigabyte and two seconds at every start; deeper
// nesting is a reader error like any other malformed markup.
constexpr size_t kMaxElementDepth = 1000;

std::string PackageManifest::*TextField(std::string_view name) {
    struct Entry {
        std::string_view name;
        std::string PackageManifest::*field;
    };
    static constexpr Entry kFields[] = {
        {"id", &PackageManifest::id},
        {"title", &PackageManifest::title},
        {"authors", &PackageManifest::authors},
        {"description", &PackageManifest::description},
        {"machineArchitecture", &PackageManifest::machineArchitecture},
        {"runtimeDependencies", &PackageManifest::runtimeDependencies},
        {"mainExe", &PackageManifest::mainExe},
        {"os", &PackageManifest::os},
        {"osMinVersion", &PackageManifest::osMinVersion},
        {"channel", &PackageManifest::channel},
        {"shortcutLocations", &PackageManifest::shortcutLocations},
        {"shortcutAumid", &PackageManifest::shortcutAumid},
        {"shortcutAmuid", &PackageManifest::shortcutAumid},
        {"releaseNotes", &PackageManifest::releaseNotes},
        {"releaseNotesHtml", &PackageManifest::releaseNotesHtml},
        {"splashProgressColor", &PackageManifest::splashProgressColor},
    };
    for (const auto& entry : kFields) {
        if (entry.name == name) return entry.field;
    }
    return nullptr;
}

bool IsBlank(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

std::string_view LocalName(std::string_view qualified) {
    const size_t colon = qualified.find(':');
    return colon == std::string_view::npos ? qualified : qualified.substr(colon + 1);
}

class ManifestReader {
public:
    ManifestReader() {
        // Forcing the encoding means an encoding declaration in the document is not obeyed: the
        // callers have already made sure the bytes are UTF-8. Expat still skips a leading
        // byte-order mark.
        parser_ = XML_ParserCreate_MM("UTF-8", nullptr, nullptr);
        if (parser_ == nullptr) return;
        XML_SetUserData(parser_, this);
        XML_SetElementHandler(parser_, &OnStart, &OnEnd);
        XML_SetCharacterDataHandler(parser_, &OnText);
        XML_SetCdataSectionHandler(parser_, &OnCdataStart, &OnCdataEnd);
        XML_SetProcessingInstructionHandler(parser_, &OnProcessingInstruction);
        XML_SetEntityDeclHandler(parser_, &OnEntityDecl);
        XML_SetSkippedEntityHandler(parser_, &OnSkippedEntity);
        // No external entity reference handler is installed, so nothing outside the text is
        // ever read; parameter entities are never parsed.
        XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
    }
    ~ManifestReader() {
        if (parser_ != nullptr) XML_ParserFree(parser_);
    }
    ManifestReader(const ManifestReader&) = delete;
    ManifestReader& operator=(const ManifestReader&) = delete;

    // Reads the whole text; the result is the record collected, or the version's parse error.
    Result<PackageManifest> Read(std::string_view text) {
        if (parser_ == nullptr) {
            UPKIT_ERROR(kTarget, "Error: out of memory while creating the XML parser");
            return std::move(manifest_);
        }
        // XML_Parse takes an int length: feed long texts in pieces.
        constexpr size_t kPiece = size_t{1} << 30;
        bool ok = true;
        do {
            const size_t n = std::min(text.size(), kPiece);
            const bool last = n == text.size();
            ok =
                XML_Parse(parser_, text.data(), static_cast<int>(n), last ? 1 : 0) == XML_STATUS_OK;
            text.remove_prefix(n);
        } while (ok && !text.empty());

        if (versionError_) return std::move(*versionError_);
        if (!ok) {
            const std::string description =
                ownError_ ? *ownError_ : XML_ErrorString(XML_GetErrorCode(parser_));
            UPKIT_ERROR(kTarget, "Error: " + description + " at line " +
                                     std::to_string(XML_GetCurrentLineNumber(parser_)) +
                                     ", column " +
                                     std::to_string(XML_GetCurrentColumnNumber(parser_) + 1));
        }
        return std::move(manifest_);
    }

private:
    static ManifestReader& Self(void* data) { return *static_cast<ManifestReader*>(data); }

    static void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char** /*attrs*/) {
        auto& self = Self(data);
        if (self.stopped_) return;
        self.CompleteRun(false);
        if (self.open_.size() >= kMaxElementDepth) {
            self.Fail("elements nested more than " + std::to_string(kMaxElementDepth) + " deep");
            return;
        }
        self.open_.emplace_back(LocalName(name));
    }

    static void XMLCALL OnEnd(void* data, const XML_Char* /*name*/) {
        auto& self = Self(data);
        if (self.stopped_) return;
        self.CompleteRun(false);
        if (!self.open_.empty()) self.open_.pop_back();
    }

    static void XMLCALL OnText(void* data, const XML_Char* text, int length) {
        auto& self = Self(data);
        if (self.stopped_) return;
        self.run_.append(text, static_cast<size_t>(length));
    }

    static void XMLCALL OnProcessingInstruction(void* data, const XML_Char* /*target*/,
                                                const XML_Char* /*content*/) {
        auto& self = Self(data);
        if (self.stopped_) return;
        self.CompleteRun(false);
    }

    static void XMLCALL OnCdataStart(void* data) {
        auto& self = Self(data);
        if (self.stopped_) return;
        self.CompleteRun(false);
    }

    static void XMLCALL OnCdataEnd(void* data) {
        auto& self = Self(data);
        if (self.stopped_) return;
        self.CompleteRun(true);
    }

    static void XMLCALL OnEntityDecl(void* data, const XML_Char* name, int isParameterEntity,
                                     const XML_Char*, int, const XML_Char*, const XML_Char*,
                                     const XML_Char*, const XML_Char*) {
        auto& self = Self(data);
        self.Fail(std::string(isParameterEntity ? "parameter " : "") + "entity declaration of '" +
                  name + "' is not allowed");
    }

    static void XMLCALL OnSkippedEntity(void* data, const XML_Char* name, int isParameterEntity) {
        // Reached only for references that a declaration outside the document might have
        // defined; since no such declaration is ever read, they are as undefined as any other.
        auto& self = Self(data);
        self.Fail(std::string("undefined ") + (isParameterEntity ? "parameter " : "") + "entity '" +
                  name + "'");
    }

    void Fail(std::string description) {
        if (stopped_) return;
        ownError_ = std::move(description);
        Stop();
    }

    void Stop() {
        stopped_ = true;
        XML_StopParser(parser_, XML_FALSE);
    }

    // Ends the current run (or, for cdata, the CDATA piece) and hands its text to the open element.
    void CompleteRun(bool cdata) {
        std::string text = std::move(run_);
        run_.clear();
        if (!cdata && IsBlank(text)) return;
        if (open_.empty()) return;
        const std::string& element = open_.back();
        if (element == "version") {
            auto parsed = ParseVersion(text);
            if (!parsed.ok()) {
                versionError_.emplace(parsed.take_error());
                Stop();
                return;
            }
            manifest_.version = std::move(parsed.value());
            return;
        }
        if (auto field = TextField(element)) manifest_.*field = std::move(text);
    }

    XML_Parser parser_ = nullptr;
    PackageManifest manifest_;
    std::vector<std::string> open_;
    std::string run_;
    bool stopped_ = false;
    std::optional<RuntimeError> versionError_;
    std::optional<std::string> ownError_;
};

}  // namespace

Result<PackageManifest> ReadManifestFromText(std::string_view text) {
    auto collected = ManifestReader().Read(text);
    if (!collected.ok()) return collected;
    PackageManifest& manifest = collected.value();
    if (manifest.id.empty()) {
        return RuntimeError::InvalidPackage("Missing required manifest property: id");
    }
    if (IsDefaultVersion(manifest.version)) {
        return RuntimeError::InvalidPackage("Missing required manifest property: version");
    }
    if (manifest.mainExe.empty()) {
        return RuntimeError::InvalidPackage("Missing required manifest property: mainExe");
    }
    if (manifest.title.empty()) manifest.title = manifest.id;
    return collected;
}

}  // namespace upkit
