// The few process-level operating-system services the start-up sequence needs. Implemented for
// Windows in platform_win.cpp; the native build has stand-ins so the logic can be tested there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace upkit {

// The process's whole command line, program name included; empty when there is none.
std::u16string ProcessCommandLine();

// The value of an environment variable; nothing when it is absent.
std::optional<std::u16string> ReadEnvVar(const char16_t* name);

// "Set" means present with a value that is valid text, the empty value included.
bool EnvVarIsSet(const char16_t* name);

void RemoveEnvVar(const char16_t* name);

// The process's identifier.
uint32_t CurrentProcessId();

// Ends the process at once with the exit code; nothing after this runs.
[[noreturn]] void EndProcess(uint32_t exitCode);

// The exit code of a process ended by an internal fault: the one the C runtime's abort gives.
inline constexpr uint32_t kFaultExitCode = 3;

// Ends the process at once after an internal fault, with kFaultExitCode. Unlike abort, it shows
// nothing: no runtime library message box, no error-reporting dialog; the runtime never puts a
// window in front of the player.
[[noreturn]] void EndProcessAfterFault();

// The current thread's name, or nothing when it has none.
std::optional<std::string> CurrentThreadName();

}  // namespace upkit
