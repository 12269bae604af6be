// The package manifest record and reading it from its XML text.
#pragma once

#include <string>
#include <string_view>

#include "errors.h"
#include "version.h"

namespace upkit {

struct PackageManifest {
    std::string id;
    Version version;
    std::string title;
    std::string authors;
    std::string description;
    std::string machineArchitecture;
    std::string runtimeDependencies;
    std::string mainExe;
    std::string os;
    std::string osMinVersion;
    std::string channel;
    std::string shortcutLocations;
    std::string shortcutAumid;
    std::string releaseNotes;
    std::string releaseNotesHtml;
    std::string splashProgressColor;
};

// Reads a manifest document (valid UTF-8, a leading byte-order mark allowed). Malformed XML is
// logged and reading stops; the required properties id, version and mainExe are then checked on
// what was collected.
Result<PackageManifest> ReadManifestFromText(std::string_view text);

}  // namespace upkit
