// Semantic Versioning 2.0.0 versions: strict parsing, text form, equality and ordering.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "errors.h"

namespace upkit {

struct Version {
    uint64_t major = 0;
    uint64_t minor = 0;
    uint64_t patch = 0;
    std::vector<std::string> pre;
    std::vector<std::string> build;
};

// Parses the whole text strictly; the error names the position that failed.
Result<Version> ParseVersion(std::string_view text);

std::string VersionText(const Version& version);

// All five parts equal, build metadata included.
bool VersionEquals(const Version& a, const Version& b);

// SemVer precedence, then build metadata as the final tie-break: <0, 0 or >0.
int CompareVersions(const Version& a, const Version& b);

// The default value 0.0.0 with no pre-release and no build metadata.
bool IsDefaultVersion(const Version& version);

}  // namespace upkit
