#include "black_start.h"

const wchar_t kProductTitle[] = L"ZeltOy2";

HHOOK g_cbtHook = nullptr;

namespace {

constexpr wchar_t kEngineWindowClass[] = L"UnityWndClass";
// The procedure the window had before subclassing. Its presence also marks the window as
// subclassed, so a window is never subclassed twice.
constexpr wchar_t kOriginalProcProperty[] = L"ZeltOriginalUnityWndProc";
// Set once the first black fill has succeeded.
constexpr wchar_t kPaintedProperty[] = L"ZeltInitialBlackPainted";

LRESULT PassOn(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const auto original = reinterpret_cast<WNDPROC>(GetPropW(hwnd, kOriginalProcProperty));
    return CallWindowProcW(original, hwnd, message, wParam, lParam);
}

}  // namespace

LRESULT CALLBACK CbtHookProc(int code, WPARAM wParam, LPARAM lParam) {
    auto* record = reinterpret_cast<CBT_CREATEWNDW*>(lParam);
    if (code == HCBT_CREATEWND && record != nullptr && record->lpcs != nullptr &&
        (record->lpcs->style & WS_CHILD) == 0) {
        const auto hwnd = reinterpret_cast<HWND>(wParam);
        wchar_t className[64] = {};
        if (GetClassNameW(hwnd, className, 64) != 0 &&
            lstrcmpW(className, kEngineWindowClass) == 0 &&
            GetPropW(hwnd, kOriginalProcProperty) == nullptr) {
            record->lpcs->lpszName = kProductTitle;
            const LONG_PTR original = GetWindowLongPtrW(hwnd, GWLP_WNDPROC);
            if (original != 0 &&
                SetPropW(hwnd, kOriginalProcProperty, reinterpret_cast<HANDLE>(original))) {
                if (SetWindowLongPtrW(hwnd, GWLP_WNDPROC,
                                      reinterpret_cast<LONG_PTR>(UnityWindowProc)) == 0) {
                    RemovePropW(hwnd, kOriginalProcProperty);
                }
            }
        }
    }
    return CallNextHookEx(g_cbtHook, code, wParam, lParam);
}

LRESULT CALLBACK UnityWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SETTEXT:
            // Whatever title the engine chooses, the window shows the product's.
            lParam = reinterpret_cast<LPARAM>(kProductTitle);
            break;
        case WM_ERASEBKGND: {
            RECT client;
            const auto dc = reinterpret_cast<HDC>(wParam);
            if (GetClientRect(hwnd, &client) && dc != nullptr) {
                FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
            }
            return 1;
        }
        case WM_SHOWWINDOW:
            if (wParam != 0) PaintInitialBlack(hwnd);
            break;
        case WM_WINDOWPOSCHANGED: {
            const auto* pos = reinterpret_cast<const WINDOWPOS*>(lParam);
            if (pos != nullptr && (pos->flags & SWP_SHOWWINDOW) != 0) PaintInitialBlack(hwnd);
            break;
        }
        case WM_NCDESTROY: {
            // The window is going away: no need to restore its procedure, only to drop what was
            // attached to it.
            const auto original = reinterpret_cast<WNDPROC>(GetPropW(hwnd, kOriginalProcProperty));
            RemovePropW(hwnd, kPaintedProperty);
            RemovePropW(hwnd, kOriginalProcProperty);
            return CallWindowProcW(original, hwnd, message, wParam, lParam);
        }
    }
    return PassOn(hwnd, message, wParam, lParam);
}

void PaintInitialBlack(HWND hwnd) {
    if (GetPropW(hwnd, kPaintedProperty) != nullptr) return;
    RECT client;
    if (!GetClientRect(hwnd, &client) || client.right <= client.left ||
        client.bottom <= client.top) {
        return;
    }
    HDC dc = GetDC(hwnd);
    if (dc == nullptr) return;
    // At WM_SHOWWINDOW the window is not visible yet, and a fill draws nowhere on Windows: only a
    // fill on a visible window counts, so the one at the show's position change still happens.
    if (FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH))) != 0 &&
        IsWindowVisible(hwnd)) {
        SetPropW(hwnd, kPaintedProperty, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(1)));
    }
    ReleaseDC(hwnd, dc);
}

int RunEngineWithBlackStart(EngineEntry entry, HINSTANCE instance, HINSTANCE previous,
                            LPWSTR commandLine, int showCommand) {
    g_cbtHook = SetWindowsHookExW(WH_CBT, CbtHookProc, nullptr, GetCurrentThreadId());
    const int result = entry(instance, previous, commandLine, showCommand);
    if (g_cbtHook != nullptr) {
        UnhookWindowsHookEx(g_cbtHook);
        g_cbtHook = nullptr;
    }
    return result;
}
