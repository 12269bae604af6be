// Version texts: parsing never misbehaves, and a parsed version survives its own text form.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = upkit::ParseVersion(text);
    if (!parsed.ok()) {
        if (parsed.error().GetKind() != upkit::RuntimeError::Kind::Semver) std::abort();
        (void)parsed.error().Debug();
        return 0;
    }
    // Strict parsing accepts only the standard form, so the text comes back unchanged.
    const std::string again = upkit::VersionText(parsed.value());
    if (again != text) std::abort();
    auto reparsed = upkit::ParseVersion(again);
    if (!reparsed.ok() || !upkit::VersionEquals(parsed.value(), reparsed.value()) ||
        upkit::CompareVersions(parsed.value(), reparsed.value()) != 0) {
        std::abort();
    }
    return 0;
}
