#include <windows.h>

#include "errors.h"
#include "text.h"

namespace upkit {

namespace {

bool FormatSystemMessage(DWORD code, DWORD language, std::string& out) {
    wchar_t buffer[2048] = {};
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, language, buffer,
        static_cast<DWORD>(sizeof(buffer) / sizeof(buffer[0])), nullptr);
    if (length == 0) return false;
    std::u16string_view text(reinterpret_cast<const char16_t*>(buffer), length);
    // System messages end in a line break (and sometimes a blank) meant for consoles.
    while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' ' ||
                             text.back() == u'\t')) {
        text.remove_suffix(1);
    }
    out = Utf16ToUtf8Lossy(text);
    return true;
}

bool FormatInEnglishOrNeutral(DWORD code, std::string& out) {
    return FormatSystemMessage(code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), out) ||
           FormatSystemMessage(code, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), out);
}

}  // namespace

std::string SystemErrorMessage(int32_t code) {
    const DWORD raw = static_cast<DWORD>(code);
    std::string message;
    if (FormatInEnglishOrNeutral(raw, message)) return message;
    // An HRESULT wrapping a Win32 error carries the same meaning as the plain code; not every
    // system's message table lists the wrapped form.
    if ((raw & 0xFFFF0000u) == 0x80070000u && FormatInEnglishOrNeutral(raw & 0xFFFFu, message)) {
        return message;
    }
    return "Unknown error " + std::to_string(code);
}

}  // namespace upkit
