#include "kit_win.h"

#include <shlobj.h>

#include <algorithm>
#include <cwchar>

#include "kit_core.h"

namespace zelt::kit {

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

std::string OutputText(std::string_view bytes) {
    if (LooksLikeUtf8(bytes)) return ValidUtf8(bytes);
    const int size = static_cast<int>(bytes.size());
    const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, wide.data(), n);
    return Narrow(wide);
}

std::string ErrorText(DWORD code) {
    wchar_t message[512] = {};
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       message, static_cast<DWORD>(std::size(message)), nullptr);
    std::wstring text(message, length);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
        text.pop_back();
    }
    const std::string number = "error " + std::to_string(code);
    return text.empty() ? number : number + ": " + Narrow(text);
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
        // Backslashes double only before a quote, which itself takes one more.
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

// ---- Files and folders ----

std::wstring ExeDir() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring JoinPath(std::wstring_view a, std::wstring_view b) {
    std::wstring out(a);
    if (!out.empty() && out.back() != L'\\' && out.back() != L'/') out += L'\\';
    return out + std::wstring(b);
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::wstring full(n, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
    full.resize(written);
    return full;
}

std::wstring ExtendedPath(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0) return path;
    if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

std::wstring FileNameOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(ExtendedPath(FullPath(path)).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(ExtendedPath(FullPath(path)).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<std::string> ReadFileBytes(const std::wstring& path, size_t maxBytes) {
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file.Valid() || !GetFileSizeEx(file.Get(), &size)) return std::nullopt;
    const bool cut = maxBytes != 0 && static_cast<uint64_t>(size.QuadPart) > maxBytes;
    if (cut) {
        LARGE_INTEGER from;
        from.QuadPart = size.QuadPart - static_cast<LONGLONG>(maxBytes);
        if (!SetFilePointerEx(file.Get(), from, nullptr, FILE_BEGIN)) return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
        if (maxBytes != 0 && bytes.size() >= maxBytes) break;
    }
    // A tail starts in the middle of a line, maybe of a character: it starts at the next line.
    if (cut) {
        const size_t lineEnd = bytes.find('\n');
        if (lineEnd != std::string::npos) bytes.erase(0, lineEnd + 1);
    }
    return bytes;
}

DWORD WriteAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1 << 20));
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) return GetLastError();
        bytes.remove_prefix(written);
    }
    return 0;
}

DWORD WriteFileBytes(const std::wstring& path, std::string_view bytes) {
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return GetLastError();
    return WriteAll(file.Get(), bytes);
}

namespace {

// A FindFirstFileExW search, closed when it goes away.
class Search {
public:
    explicit Search(const std::wstring& folder)
        : handle_(FindFirstFileExW(JoinPath(ExtendedPath(FullPath(folder)), L"*").c_str(),
                                   FindExInfoBasic, &data_, FindExSearchNameMatch, nullptr, 0)) {}
    ~Search() {
        if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
    }
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;

    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    const WIN32_FIND_DATAW& Data() const { return data_; }
    bool Next() { return FindNextFileW(handle_, &data_) != FALSE; }

private:
    WIN32_FIND_DATAW data_ = {};
    HANDLE handle_;
};

}  // namespace

std::optional<std::vector<DirEntry>> ListDir(const std::wstring& path) {
    Search search(path);
    if (!search.Valid()) return std::nullopt;
    std::vector<DirEntry> entries;
    do {
        const std::wstring name = search.Data().cFileName;
        if (name == L"." || name == L"..") continue;
        entries.push_back({name, search.Data().dwFileAttributes});
    } while (search.Next());
    return entries;
}

bool RemoveTree(const std::wstring& path, std::vector<std::wstring>* stuck) {
    const std::wstring extended = ExtendedPath(FullPath(path));
    const DWORD attributes = GetFileAttributesW(extended.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesW(extended.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool whole = true;
    // A junction or a symbolic link is removed as it is: what it points to is not ours.
    if (folder && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        for (const DirEntry& entry : ListDir(path).value_or(std::vector<DirEntry>{})) {
            whole = RemoveTree(JoinPath(path, entry.name), stuck) && whole;
        }
    }
    const bool removed =
        folder ? RemoveDirectoryW(extended.c_str()) != 0 : DeleteFileW(extended.c_str()) != 0;
    if (!removed && whole && stuck != nullptr) stuck->push_back(path);
    return removed;
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// ---- The system ----

bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring KnownFolder(const GUID& id) {
    wchar_t* path = nullptr;
    const HRESULT result = SHGetKnownFolderPath(id, 0, nullptr, &path);
    std::wstring out = SUCCEEDED(result) && path != nullptr ? path : L"";
    CoTaskMemFree(path);
    return out;
}

// ---- The console ----

Console::Console() : out_(GetStdHandle(STD_OUTPUT_HANDLE)) {
    DWORD mode = 0;
    isConsole_ = out_ != nullptr && out_ != INVALID_HANDLE_VALUE && GetConsoleMode(out_, &mode);
}

void Console::Write(std::string_view utf8) {
    if (out_ == nullptr || out_ == INVALID_HANDLE_VALUE) return;
    if (isConsole_) {
        const std::wstring wide = Widen(utf8);
        for (size_t done = 0; done < wide.size();) {
            DWORD written = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(wide.size() - done, 8192));
            if (!WriteConsoleW(out_, wide.data() + done, chunk, &written, nullptr) ||
                written == 0) {
                return;
            }
            done += written;
        }
        return;
    }
    while (!utf8.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(utf8.size(), 1 << 20));
        if (!WriteFile(out_, utf8.data(), chunk, &written, nullptr) || written == 0) return;
        utf8.remove_prefix(written);
    }
}

bool Console::OwnsInteractiveConsole() {
    DWORD ids[4] = {};
    DWORD mode = 0;
    return GetConsoleProcessList(ids, static_cast<DWORD>(std::size(ids))) == 1 &&
           GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode);
}

void Console::PauseForKey() {
    Write("\nPress any key to close this window.\n");
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    FlushConsoleInputBuffer(in);
    for (;;) {
        INPUT_RECORD record = {};
        DWORD read = 0;
        if (!ReadConsoleInputW(in, &record, 1, &read)) return;
        if (read == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
    }
}

// ---- Running programs ----

std::wstring BuildEnvironmentBlock(const EnvChanges& changes) {
    std::vector<std::wstring> entries;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) entries.emplace_back(p);
        FreeEnvironmentStringsW(block);
    }
    // Entries such as "=C:=C:\dir" start with '='; the name ends at the next '='.
    const auto nameOf = [](const std::wstring& entry) {
        const size_t eq = entry.find(L'=', 1);
        return std::wstring_view(entry).substr(0, eq == std::wstring::npos ? entry.size() : eq);
    };
    for (const auto& [name, value] : changes) {
        std::erase_if(entries,
                      [&](const std::wstring& entry) { return EqualsNoCase(nameOf(entry), name); });
        if (value) entries.push_back(name + L"=" + *value);
    }
    std::wstring block;
    for (const std::wstring& entry : entries) block += entry + L'\0';
    block += L'\0';
    if (entries.empty()) block += L'\0';
    return block;
}

namespace {

OwnedHandle OpenInheritable(const std::wstring& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return OwnedHandle(CreateFileW(path.c_str(), access,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                   disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// A process attribute list naming the only handles a child inherits.
class InheritList {
public:
    InheritList(HANDLE a, HANDLE b) : handles_{a, b} {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        buffer_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
        list_ = list;
        if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_,
                                       sizeof handles_, nullptr, nullptr)) {
            DeleteProcThreadAttributeList(list_);
            list_ = nullptr;
        }
    }
    ~InheritList() {
        if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
    }
    InheritList(const InheritList&) = delete;
    InheritList& operator=(const InheritList&) = delete;

    LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

private:
    HANDLE handles_[2];
    std::vector<unsigned char> buffer_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

struct Started {
    OwnedHandle process;
    OwnedHandle thread;
};

// The program started suspended, its standard output and error going to the output file and its
// standard input reading nothing; the handles come back empty and `end` says why when it failed.
Started StartSuspended(const Launch& launch, ChildEnd& end) {
    Started started;
    OwnedHandle output = OpenInheritable(launch.outputFile, GENERIC_WRITE, CREATE_ALWAYS);
    OwnedHandle input = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    if (!output.Valid() || !input.Valid()) {
        end.startError = GetLastError(), end.startWhat = "opening its output file";
        return started;
    }
    InheritList inherit(output.Get(), input.Get());
    if (inherit.Get() == nullptr) {
        end.startError = GetLastError(), end.startWhat = "preparing its handles";
        return started;
    }
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.Get();
    startup.StartupInfo.hStdOutput = output.Get();
    startup.StartupInfo.hStdError = output.Get();
    startup.lpAttributeList = inherit.Get();
    std::wstring commandLine = launch.commandLine;
    std::wstring environment = *launch.environment;
    const DWORD flags =
        CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT;
    PROCESS_INFORMATION info = {};
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (CreateProcessW(launch.program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                           flags, environment.data(), launch.workingDir.c_str(),
                           &startup.StartupInfo, &info)) {
            started.process = OwnedHandle(info.hProcess);
            started.thread = OwnedHandle(info.hThread);
            return started;
        }
        end.startError = GetLastError(), end.startWhat = "CreateProcessW";
        // Wine now and then fails to start a process under load with ERROR_INTERNAL_ERROR,
        // before the program runs at all: that failure, and only it, gets one more try.
        if (end.startError != ERROR_INTERNAL_ERROR || !RunningOnWine() || attempt == 1) break;
        end.startRetried = true;
    }
    return started;
}

OwnedHandle MakeJob() {
    OwnedHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job.Valid()) return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
        job.Reset();
    }
    return job;
}

DWORD ActiveProcesses(HANDLE job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info,
                                   nullptr)) {
        return 0;
    }
    return info.ActiveProcesses;
}

// Ends every process still in the job and waits (a bounded while) until they are gone.
bool EndJob(HANDLE job) {
    if (ActiveProcesses(job) == 0) return true;
    TerminateJobObject(job, ERROR_TIMEOUT);
    for (int waited = 0; waited < 30000; waited += 50) {
        if (ActiveProcesses(job) == 0) return true;
        Sleep(50);
    }
    return false;
}

double SecondsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

}  // namespace

ChildEnd RunChild(const Launch& launch) {
    ChildEnd end;
    Started started = StartSuspended(launch, end);
    if (!started.process.Valid()) return end;
    OwnedHandle job = MakeJob();
    if (!job.Valid() || !AssignProcessToJobObject(job.Get(), started.process.Get())) {
        end.startError = GetLastError(), end.startWhat = "putting it into a job object";
        TerminateProcess(started.process.Get(), ERROR_CANCELLED);
        WaitForSingleObject(started.process.Get(), 10000);
        return end;
    }
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    ResumeThread(started.thread.Get());
    started.thread.Reset();
    const HANDLE waits[2] = {started.process.Get(), launch.stopEvent};
    const DWORD count = launch.stopEvent != nullptr ? 2 : 1;
    const DWORD waited = WaitForMultipleObjects(count, waits, FALSE, launch.timeoutMs);
    end.seconds = SecondsSince(start);
    // Ctrl+C reaches every process of the console: a test that ended meanwhile was stopped too.
    const bool stopped =
        launch.stopEvent != nullptr && WaitForSingleObject(launch.stopEvent, 0) == WAIT_OBJECT_0;
    if (waited == WAIT_OBJECT_0 && !stopped) {
        end.how = ChildEnd::How::kExited;
        GetExitCodeProcess(started.process.Get(), &end.exitCode);
        end.leftProcesses = ActiveProcesses(job.Get());
    } else {
        end.how = stopped ? ChildEnd::How::kStopped : ChildEnd::How::kTimedOut;
    }
    end.treeEnded = EndJob(job.Get());
    if (end.how != ChildEnd::How::kExited) GetExitCodeProcess(started.process.Get(), &end.exitCode);
    return end;
}

}  // namespace zelt::kit
