// Native stand-ins for the process services, so the start-up logic runs in host tests.
#include <cstdlib>

#include "platform.h"
#include "text.h"

namespace upkit {

std::u16string ProcessCommandLine() {
    return u"program";
}

std::optional<std::u16string> ReadEnvVar(const char16_t* name) {
    const char* value = std::getenv(Utf16ToUtf8Lossy(name).c_str());
    if (value == nullptr) return std::nullopt;
    return Wtf8ToUtf16(value);
}

bool EnvVarIsSet(const char16_t* name) {
    return ReadEnvVar(name).has_value();
}

void RemoveEnvVar(const char16_t* name) {
    unsetenv(Utf16ToUtf8Lossy(name).c_str());
}

void EndProcess(uint32_t exitCode) {
    std::_Exit(static_cast<int>(exitCode));
}

void EndProcessAfterFault() {
    std::_Exit(static_cast<int>(kFaultExitCode));
}

std::optional<std::string> CurrentThreadName() {
    return std::nullopt;
}

}  // namespace upkit
