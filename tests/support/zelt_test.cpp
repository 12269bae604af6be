#include "zelt_test.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>

namespace zelt::test {

namespace {

std::string LastErrorText(const char* what) {
    return std::string(what) + " failed (error " + std::to_string(GetLastError()) + ")";
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring ParentOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return L"";
    return path.substr(0, slash);
}

}  // namespace

// ---- Text ----

std::wstring Widen(std::string_view utf8) {
    if (utf8.empty()) return L"";
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Narrow(std::wstring_view wide) {
    if (wide.empty()) return "";
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::string HexUnits(std::wstring_view wide) {
    std::string out;
    char unit[8];
    for (wchar_t c : wide) {
        std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
        out += unit;
    }
    return out;
}

std::wstring QuoteArgument(std::wstring_view argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) {
        return std::wstring(argument);
    }
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

namespace {

bool EnvIsOne(const wchar_t* name) {
    wchar_t value[4] = {};
    return GetEnvironmentVariableW(name, value, 4) == 1 && value[0] == L'1';
}

}  // namespace

bool SkipWindowsOnlyChecks() {
    return RunningOnWine() && !EnvIsOne(L"ZELT_NO_WINE_SKIPS");
}

bool SystemChangesAllowed() {
    return EnvIsOne(L"ZELT_ALLOW_SYSTEM_CHANGES");
}

// ---- Paths and files ----

std::wstring LocalAppDataFolder() {
    wchar_t path[MAX_PATH] = {};
    const HRESULT result =
        SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
    if (FAILED(result)) {
        ADD_FAILURE() << "SHGetFolderPathW(CSIDL_LOCAL_APPDATA) failed: " << result;
        return L"";
    }
    return path;
}

std::wstring ExeDir() {
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(n);
    return ParentOf(buffer);
}

std::wstring BinPath(std::wstring_view name) {
    return JoinPath(ExeDir(), name);
}

std::wstring JoinPath(std::wstring_view a, std::wstring_view b) {
    std::wstring out(a);
    if (!out.empty() && out.back() != L'\\' && out.back() != L'/') out += L'\\';
    out += b;
    return out;
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring LongPath(const std::wstring& path) {
    const bool drive = path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
    return drive ? L"\\\\?\\" + path : path;
}

bool MakeDirs(const std::wstring& path) {
    if (path.empty() || IsDirectory(path)) return true;
    const std::wstring parent = ParentOf(path);
    // Stop at a drive root such as "C:", in either form.
    const bool root =
        parent.size() <= 2 || (parent.size() == 6 && parent.rfind(L"\\\\?\\", 0) == 0);
    if (!parent.empty() && !root && !MakeDirs(parent)) return false;
    if (CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
        return IsDirectory(path);
    }
    return false;
}

bool RemoveTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return DeleteFileW(path.c_str()) != 0;
    for (const std::wstring& name : ListDir(path)) RemoveTree(JoinPath(path, name));
    return RemoveDirectoryW(path.c_str()) != 0;
}

bool WriteFile(const std::wstring& path, std::string_view bytes) {
    MakeDirs(ParentOf(path));
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << LastErrorText("CreateFileW") << " for " << Narrow(path);
        return false;
    }
    size_t done = 0;
    bool ok = true;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
        if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            ADD_FAILURE() << LastErrorText("WriteFile") << " for " << Narrow(path);
            ok = false;
            break;
        }
        done += written;
    }
    CloseHandle(file);
    return ok;
}

std::optional<std::string> TryReadFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string out;
    char buffer[65536];
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file, buffer, sizeof buffer, &read, nullptr)) {
            CloseHandle(file);
            return std::nullopt;
        }
        if (read == 0) break;
        out.append(buffer, read);
    }
    CloseHandle(file);
    return out;
}

std::string ReadFile(const std::wstring& path) {
    std::optional<std::string> content = TryReadFile(path);
    if (!content) {
        ADD_FAILURE() << "cannot read " << Narrow(path) << " (error " << GetLastError() << ")";
        return "";
    }
    return *content;
}

bool CopyFileTo(const std::wstring& from, const std::wstring& to) {
    MakeDirs(ParentOf(to));
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
        ADD_FAILURE() << LastErrorText("CopyFileW") << " from " << Narrow(from) << " to "
                      << Narrow(to);
        return false;
    }
    return true;
}

std::vector<std::wstring> ListDir(const std::wstring& path) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(JoinPath(path, L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

bool WaitForFile(const std::wstring& path, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (PathExists(path)) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(20);
    }
}

TempDir::TempDir(std::wstring_view label) {
    wchar_t base[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathW(MAX_PATH + 1, base);
    std::wstring root = n > 0 ? std::wstring(base, n) : ExeDir();
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::wstring candidate = JoinPath(
            root, L"zelt-" + std::wstring(label) + L"-" + std::to_wstring(GetCurrentProcessId()) +
                      L"-" + std::to_wstring(GetTickCount64() % 100000) + L"-" +
                      std::to_wstring(++counter));
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            MakeDirs(root);
        }
    }
    ADD_FAILURE() << "cannot create a temporary folder under " << Narrow(root);
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    if (GetEnvironmentVariableW(L"ZELT_KEEP_TEMP", nullptr, 0) != 0) {
        std::printf("kept temporary folder: %s\n", Narrow(path_).c_str());
        return;
    }
    // A child that was just ended may still hold its image open for a moment.
    for (int attempt = 0; attempt < 50 && !RemoveTree(path_); ++attempt) Sleep(100);
}

// ---- Key/value records ----

std::string EscapeValue(std::string_view value) {
    std::string out;
    for (char c : value) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string UnescapeValue(std::string_view value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char next = value[++i];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return out;
}

Record Record::Parse(std::string_view text) {
    Record record;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t eq = line.find('=');
        if (eq != std::string_view::npos) {
            record.entries_.emplace_back(std::string(line.substr(0, eq)),
                                         UnescapeValue(line.substr(eq + 1)));
        }
        start = end + 1;
    }
    return record;
}

Record Record::Load(const std::wstring& path) {
    return Parse(ReadFile(path));
}

bool Record::Has(std::string_view key) const {
    return Find(key).has_value();
}

std::optional<std::string> Record::Find(std::string_view key) const {
    for (const auto& [k, v] : entries_) {
        if (k == key) return v;
    }
    return std::nullopt;
}

std::string Record::Get(std::string_view key) const {
    std::optional<std::string> value = Find(key);
    if (!value) {
        ADD_FAILURE() << "record has no key " << key;
        return "";
    }
    return *value;
}

std::vector<std::string> Record::All(std::string_view key) const {
    std::vector<std::string> values;
    for (const auto& [k, v] : entries_) {
        if (k == key) values.push_back(v);
    }
    return values;
}

// ---- Processes ----

std::wstring BuildEnvironmentBlock(const EnvChanges& changes) {
    std::vector<std::wstring> entries;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) entries.emplace_back(p);
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : changes) {
        // Entries such as "=C:=C:\dir" start with '='; the name ends at the next '='.
        auto nameOf = [](const std::wstring& entry) {
            const size_t eq = entry.find(L'=', 1);
            return std::wstring_view(entry).substr(0, eq == std::wstring::npos ? entry.size() : eq);
        };
        std::erase_if(entries,
                      [&](const std::wstring& entry) { return EqualsNoCase(nameOf(entry), name); });
        if (value) entries.push_back(name + L"=" + *value);
    }
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';
    if (entries.empty()) block += L'\0';
    return block;
}

Process::~Process() {
    if (Running()) Kill();
    Close();
}

Process::Process(Process&& other) noexcept
    : process_(std::exchange(other.process_, nullptr)),
      thread_(std::exchange(other.thread_, nullptr)),
      id_(std::exchange(other.id_, 0)) {}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        if (Running()) Kill();
        Close();
        process_ = std::exchange(other.process_, nullptr);
        thread_ = std::exchange(other.thread_, nullptr);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

void Process::Close() {
    if (thread_ != nullptr) CloseHandle(thread_);
    thread_ = nullptr;
    if (process_ != nullptr) CloseHandle(process_);
    process_ = nullptr;
}

bool Process::Resume() {
    if (thread_ == nullptr) {
        ADD_FAILURE() << "resuming a process that was not started suspended";
        return false;
    }
    const bool resumed = ResumeThread(thread_) != static_cast<DWORD>(-1);
    if (!resumed) ADD_FAILURE() << LastErrorText("ResumeThread");
    CloseHandle(thread_);
    thread_ = nullptr;
    return resumed;
}

bool Process::Start(const ProcessSpec& invocation) {
    if (Running()) Kill();
    Close();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (invocation.showWindow) {
        startup.dwFlags |= STARTF_USESHOWWINDOW;
        startup.wShowWindow = *invocation.showWindow;
    }
    HANDLE output = INVALID_HANDLE_VALUE;
    if (!invocation.outputFile.empty()) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        output = CreateFileW(invocation.outputFile.c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output == INVALID_HANDLE_VALUE) {
            ADD_FAILURE() << LastErrorText("CreateFileW") << " for the output of "
                          << Narrow(invocation.application);
            return false;
        }
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = output;
        startup.hStdError = output;
    }
    PROCESS_INFORMATION info = {};
    std::wstring commandLine = invocation.commandLine;
    std::wstring environment = BuildEnvironmentBlock(invocation.env);
    const auto create = [&] {
        return CreateProcessW(
            invocation.application.empty() ? nullptr : invocation.application.c_str(),
            commandLine.data(), nullptr, nullptr, output != INVALID_HANDLE_VALUE,
            CREATE_UNICODE_ENVIRONMENT | (invocation.suspended ? CREATE_SUSPENDED : 0) |
                (invocation.defaultErrorMode ? CREATE_DEFAULT_ERROR_MODE : 0),
            environment.data(),
            invocation.workingDir.empty() ? nullptr : invocation.workingDir.c_str(), &startup,
            &info);
    };
    bool created = create();
    // Wine now and then fails to start a process under load with ERROR_INTERNAL_ERROR, before the
    // program runs at all; that one failure, and only it, gets one more try.
    if (!created && GetLastError() == ERROR_INTERNAL_ERROR) {
        std::printf(
            "CreateProcessW failed with error 1359 (Wine's own start failure) for %s; "
            "trying once more\n",
            Narrow(invocation.application).c_str());
        std::fflush(stdout);
        commandLine = invocation.commandLine;
        created = create();
    }
    // The child has its own handle to the output now.
    const DWORD createError = created ? ERROR_SUCCESS : GetLastError();
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    SetLastError(createError);
    if (!created) {
        ADD_FAILURE() << LastErrorText("CreateProcessW") << " for "
                      << Narrow(invocation.application) << " with command line "
                      << Narrow(invocation.commandLine);
        return false;
    }
    if (invocation.suspended) {
        thread_ = info.hThread;
    } else {
        CloseHandle(info.hThread);
    }
    process_ = info.hProcess;
    id_ = info.dwProcessId;
    return true;
}

bool Process::Running() const {
    return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

std::optional<DWORD> Process::Wait(DWORD timeoutMs) {
    if (process_ == nullptr) {
        ADD_FAILURE() << "waiting for a process that was not started";
        return std::nullopt;
    }
    if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "process " << id_ << " still running after " << timeoutMs << " ms; killed";
        Kill();
        return std::nullopt;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process_, &code)) {
        ADD_FAILURE() << LastErrorText("GetExitCodeProcess");
        return std::nullopt;
    }
    return code;
}

void Process::Kill() {
    if (process_ == nullptr) return;
    TerminateProcess(process_, 0xDEAD);
    WaitForSingleObject(process_, 10000);
}

std::optional<DWORD> RunProcess(const ProcessSpec& invocation) {
    Process process;
    if (!process.Start(invocation)) return std::nullopt;
    return process.Wait(invocation.timeoutMs);
}

// ---- Installations ----

Installation LayOutInstallation(const std::wstring& root, std::string_view manifestText) {
    Installation layout;
    layout.root = root;
    layout.updateExe = JoinPath(root, L"Update.exe");
    layout.currentDir = JoinPath(root, L"current");
    layout.exe = JoinPath(layout.currentDir, kLauncherExe);
    layout.engine = JoinPath(layout.currentDir, L"UnityPlayer.dll");
    layout.manifest = JoinPath(layout.currentDir, L"sq.version");
    layout.packagesDir = JoinPath(root, L"packages");
    EXPECT_TRUE(CopyFileTo(BinPath(kFixtureUpdater), layout.updateExe));
    EXPECT_TRUE(CopyFileTo(BinPath(kLauncherExe), layout.exe));
    EXPECT_TRUE(CopyFileTo(BinPath(kFixtureEngine), layout.engine));
    EXPECT_TRUE(WriteFile(layout.manifest, manifestText));
    EXPECT_TRUE(MakeDirs(layout.packagesDir));
    return layout;
}

std::string ManifestXml(std::string_view id, std::string_view version) {
    return std::string(
               "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
               "<package xmlns=\"http://schemas.microsoft.com/packaging/2010/07/nuspec.xsd\">\n"
               "  <metadata>\n"
               "    <id>") +
           std::string(id) + "</id>\n    <version>" + std::string(version) +
           "</version>\n"
           "    <title>ZeltOy2</title>\n"
           "    <authors>Zelt</authors>\n"
           "    <mainExe>ZeltOy2.exe</mainExe>\n"
           "  </metadata>\n"
           "</package>\n";
}

std::optional<std::string> UpdaterRecord::EnvValue(std::string_view name) const {
    const std::wstring wanted = Widen(name);
    for (const std::string& entry : environment) {
        const size_t eq = entry.find('=', 1);
        if (eq == std::string::npos) continue;
        if (EqualsNoCase(Widen(entry.substr(0, eq)), wanted)) return entry.substr(eq + 1);
    }
    return std::nullopt;
}

std::optional<UpdaterRecord> ReadUpdaterRecord(const std::wstring& path) {
    std::optional<std::string> text = TryReadFile(path);
    if (!text) return std::nullopt;
    const Record record = Record::Parse(*text);
    UpdaterRecord out;
    out.commandLine = record.Find("commandLine").value_or("");
    out.workingDir = record.Find("workingDir").value_or("");
    out.environment = record.All("env");
    return out;
}

Held::Held(const std::wstring& path, DWORD share, DWORD flags)
    : handle_(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, share, nullptr,
                          OPEN_EXISTING, flags, nullptr)) {
    EXPECT_NE(handle_, INVALID_HANDLE_VALUE)
        << "cannot hold " << Narrow(path) << " (error " << GetLastError() << ")";
}

void Held::Release() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

}  // namespace zelt::test
