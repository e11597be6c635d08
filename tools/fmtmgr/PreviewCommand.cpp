// fmtmgr preview: a host pane of the asked size, filled with the plug-ins' previews, shows the
// file; what it shows once painted is written as a PNG image.
#include "Commands.h"
#include "PreviewPane.h"

#include "WindowCapture.h"
#include <FileFmtMgr/FilePreviewWnd.h>

namespace fmtmgr {

namespace {

HWND MakePaneWindow(int width, int height) {
    static const ATOM atom = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)); // where no preview draws
        wc.lpszClassName = L"FmtmgrPreviewPane";
        return RegisterClassW(&wc);
    }();
    RECT frame{0, 0, width, height};
    constexpr DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN;
    AdjustWindowRect(&frame, style, FALSE);
    HWND window =
        CreateWindowExW(0, MAKEINTATOM(atom), L"fmtmgr preview", style, 0, 0, frame.right - frame.left,
                        frame.bottom - frame.top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!window)
        throw CommandError(HRESULT_FROM_WIN32(GetLastError()), "cannot make a window (is there a display?)");
    ShowWindow(window, SW_SHOWNOACTIVATE);
    UpdateWindow(window);
    return window;
}

} // namespace

PreviewPane::PreviewPane(const Output& out, const std::wstring& file, int width, int height)
    : m_callback(out), m_window(MakePaneWindow(width, height)) {
    try {
        ForgetErrorInfo();
        HRESULT hr = gpoGetFileFormatMgr()->mhCreatePreview(m_previews, m_window.get(), nullptr, &m_callback);
        if (FAILED(hr))
            throw CommandError(hr, "cannot create the plug-ins' previews");
        m_previews.mvResize(nullptr);
        ForgetErrorInfo();
        hr = m_previews.mhShow(file, TovFileVaultType{}, &m_callback, nullptr, false, 0);
        if (FAILED(hr)) {
            const size_t dot = file.rfind(L'.');
            const std::string extension = dot == std::wstring::npos ? "(none)" : Utf8(file.substr(dot));
            if (hr == ffm::FFM_E_NO_PLUGIN)
                throw CommandError(hr, Utf8(file) + " has no preview",
                                   "no plug-in draws previews of files with the extension " + extension +
                                       " (fmtmgr extensions --mask 4 lists them)");
            throw CommandError(hr, "no preview could show " + Utf8(file),
                               hr == ffm::FFM_E_REDIRECT_FAILED
                                   ? "every preview for " + extension +
                                         " failed to show it (fmtmgr refs tells why)"
                                   : std::string());
        }
    } catch (...) {
        m_previews.mvHide(false);
        throw;
    }
}

PreviewPane::~PreviewPane() {
    m_previews.mvHide(false);
    capture::PumpMessages(0);
}

void RenderPreview(Output& out, const std::wstring& file, int width, int height, const std::wstring& png) {
    {
        PreviewPane pane(out, file, width, height);
        // Previews paint in their own time: give them a moment, then take what the pane shows.
        capture::PumpMessages(300);
        const HRESULT hr = capture::SavePng(capture::CaptureClient(pane.Window()), png);
        if (FAILED(hr))
            throw CommandError(hr, "cannot write " + Utf8(png));
    }
    if (out.IsJson())
        return out.Json({{"file", Utf8(file)}, {"png", Utf8(png)}, {"width", width}, {"height", height}});
    out.Line("preview of " + Utf8(file) + " written to " + Utf8(png) + " (" + std::to_string(width) + "x" +
             std::to_string(height) + ")");
}

} // namespace fmtmgr
