// Starting the installation's updater program: everything that is decided before the operating
// system is asked to create the process. These pieces take and return values only, so they run
// in the native build too; starting the process is LaunchUpdater in process_win.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.h"
#include "locator.h"
#include "misc_path.h"
#include "os/os.h"

namespace upkit {

// The process the updater waits for before it applies the package.
struct WaitTarget {
    enum class Tag { NoWait, CurrentProcess, ProcessId };
    Tag tag = Tag::NoWait;
    uint32_t processId = 0;  // ProcessId only

    static WaitTarget NoWait() { return {Tag::NoWait, 0}; }
    static WaitTarget CurrentProcess() { return {Tag::CurrentProcess, 0}; }
    static WaitTarget ProcessId(uint32_t id) { return {Tag::ProcessId, id}; }
};

// Text prepared for the operating system: UTF-16 units that always end in one NUL, and the text
// shown for it in the log. For a path the shown text is the path itself; for a buffer built here
// (the command line, the environment block) it is the whole buffer, final NUL included.
class WideString {
public:
    static WideString FromPath(const Path& path);
    // The buffer must already end in its NUL unit.
    static WideString FromBuffer(std::u16string buffer);

    const std::u16string& Buffer() const { return buffer_; }
    char16_t* Data() { return buffer_.data(); }
    const char16_t* Data() const { return buffer_.data(); }
    // WideString("...") with the shown text in the quoted form.
    std::string Debug() const;

private:
    std::u16string buffer_;
    size_t shownLength_ = 0;  // units of buffer_ that the debug form shows
};

// The creation flags the updater is started with (StartProcess's): no console window, Unicode
// environment block.
inline constexpr uint32_t kUpdaterCreationFlags = kStartProcessFlags;

// The updater's arguments for applying one package, in order: "apply", "--package" and the
// package path, the wait arguments, "--silent", "--norestart", "--root", "--packageDir", and
// "--" followed by the restart arguments when there are any. `currentProcessId` is used for
// WaitTarget::CurrentProcess.
std::vector<std::u16string> BuildUpdaterArguments(const LocatorConfig& config, const Path& package,
                                                  bool silent, WaitTarget wait,
                                                  uint32_t currentProcessId, bool restart,
                                                  const std::vector<std::string>& restartArguments);

// The whole command line: the program between double quotes, unescaped, then each argument quoted
// for the C runtime's splitter, separated by single blanks, and a final NUL unit. An argument
// holding a NUL fails with the invalid-input error.
Result<std::u16string> BuildCommandLine(const Path& program,
                                        const std::vector<std::u16string>& arguments);

// One variable of an environment block.
struct EnvEntry {
    std::u16string name;
    std::u16string value;
};

// The entries of a system environment block ("name=value" strings, each ended by a NUL, the block
// ended by an empty one), in block order. Each is split at the first "=" after its first
// character; an entry without one is passed over. A block that stops without its final empty
// entry ends where the text does.
std::vector<EnvEntry> ParseEnvironmentBlock(std::u16string_view block);

// The block handed to the updater: entries with an empty name or value, and those whose name
// starts with "=" (the per-drive working folders), are left out. Nothing when no entry is kept, so
// that the updater inherits the environment the usual way. A kept name or value holding a NUL
// fails with the invalid-input error.
Result<std::optional<std::u16string>> BuildEnvironmentBlock(const std::vector<EnvEntry>& entries);

// Everything CreateProcessW is given for one updater start.
struct LaunchPlan {
    WideString program;
    std::optional<WideString> workingDir;
    WideString commandLine;
    std::optional<WideString> environment;
};

// Builds the plan for applying `fileName` from the packages directory. A package file that does not
// exist is reported by an Error line and FileNotFound with its path; nothing else is done then.
// `environmentBlock` is the current process's environment as the system gives it.
Result<LaunchPlan> PlanUpdaterLaunch(FileSystem& fs, const LocatorConfig& config,
                                     std::string_view fileName, bool silent, WaitTarget wait,
                                     uint32_t currentProcessId, bool restart,
                                     const std::vector<std::string>& restartArguments,
                                     std::u16string_view environmentBlock);

// The two Info lines written just before the process is created.
void LogLaunchPlan(const LaunchPlan& plan);

// The I/O error for a refused process creation: the HRESULT wrapping the thread's last error
// (0x80070000 | low 16 bits), or code 0 when the last error is 0.
IoError ProcessCreationError(uint32_t lastError);

// The invalid-input error for text holding a NUL character.
IoError NulInTextError();

}  // namespace upkit
