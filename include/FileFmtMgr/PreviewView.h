#pragma once
// The child window a preview plug-in draws its file in, written once: a window class of the
// plug-in's module whose windows share a state with their preview and paint it, and that go with
// the preview whichever thread lets it go. Header only: a plug-in links nothing of the library.
//
//   struct Picture : ffm::ViewState { void Paint(HDC dc, const RECT& client) override; ... };
//   HWND view = ffm::CreatePreviewView(L"ThingPreviewView", parent, rect, picture);
#include <FileFmtMgr/ComModule.h>
#include <memory>
#include <new>

namespace ffm {

// What a preview's window shows. The preview and its window each hold a share (the window from
// WM_NCCREATE to WM_NCDESTROY), so either may go first. Both are called on the window's thread.
class ViewState {
  public:
    virtual ~ViewState() = default;
    // Draws the whole client area.
    virtual void Paint(HDC dc, const RECT& client) = 0;
    // Any message before the window's own handling; true when answered with result.
    virtual bool OnMessage(HWND, UINT, WPARAM, LPARAM, LRESULT&) { return false; }
};

namespace detail {
inline LRESULT CALLBACK PreviewViewProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* held = reinterpret_cast<std::shared_ptr<ViewState>*>(::GetWindowLongPtrW(w, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        const auto* given = static_cast<std::shared_ptr<ViewState>*>(
            reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        held = new (std::nothrow) std::shared_ptr<ViewState>(*given);
        if (!held)
            return FALSE; // no window then
        ::SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(held));
    }
    LRESULT result = 0;
    if (held && (*held)->OnMessage(w, message, wParam, lParam, result))
        return result;
    switch (message) {
    case WM_NCDESTROY:
        ::SetWindowLongPtrW(w, GWLP_USERDATA, 0);
        delete held; // the window's share goes with it
        break;
    case WM_ERASEBKGND:
        return 1; // Paint covers the whole client area
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = ::BeginPaint(w, &ps);
        RECT client;
        ::GetClientRect(w, &client);
        if (held)
            (*held)->Paint(dc, client);
        ::EndPaint(w, &ps);
        return 0;
    }
    default:
        break;
    }
    return ::DefWindowProcW(w, message, wParam, lParam);
}
} // namespace detail

// A hidden child window of parent over rect, of this module's window class className (registered
// on first use), sharing state. Null when it cannot be made (GetLastError says why).
inline HWND CreatePreviewView(const wchar_t* className, HWND parent, const TovRect& rect,
                              std::shared_ptr<ViewState> state) {
    WNDCLASSW wc{};
    if (!::GetClassInfoW(ThisModule(), className, &wc)) {
        wc.style = CS_HREDRAW | CS_VREDRAW; // the picture is laid out by the size
        wc.lpfnWndProc = detail::PreviewViewProc;
        wc.hInstance = ThisModule();
        wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = className;
        ::RegisterClassW(&wc); // fails harmlessly when another thread was first
    }
    return ::CreateWindowExW(0, className, L"", WS_CHILD | WS_CLIPSIBLINGS, rect.left, rect.top,
                             rect.right - rect.left, rect.bottom - rect.top, parent, nullptr, ThisModule(),
                             &state);
}

// A window goes with the thread that made it: destroyed at once on that thread, from another one
// that thread is asked.
inline void DestroyPreviewView(HWND view) noexcept {
    if (!view)
        return;
    if (::GetWindowThreadProcessId(view, nullptr) == ::GetCurrentThreadId())
        ::DestroyWindow(view);
    else
        ::PostMessageW(view, WM_CLOSE, 0, 0);
}

} // namespace ffm
