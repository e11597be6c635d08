// fmtmgr preview: a host pane of the asked size, filled with the plug-ins' previews, shows the
// file; what it shows once painted is written as a PNG image.
#include "Commands.h"
#include "HostCallbacks.h"

#include "WindowCapture.h"
#include <FileFmtMgr/FilePreviewWnd.h>

namespace fmtmgr {

namespace {

// The pane: a top-level window whose client area has the asked size, grey where no preview draws.
class Pane {
  public:
    Pane(int width, int height) {
        static const ATOM atom = [] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = DefWindowProcW;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
            wc.lpszClassName = L"FmtmgrPreviewPane";
            return RegisterClassW(&wc);
        }();
        RECT frame{0, 0, width, height};
        constexpr DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN;
        AdjustWindowRect(&frame, style, FALSE);
        m_window =
            CreateWindowExW(0, MAKEINTATOM(atom), L"fmtmgr preview", style, 0, 0, frame.right - frame.left,
                            frame.bottom - frame.top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        if (!m_window)
            throw CommandError(HRESULT_FROM_WIN32(GetLastError()),
                               "cannot make a window (is there a display?)");
        ShowWindow(m_window, SW_SHOWNOACTIVATE);
        UpdateWindow(m_window);
    }
    Pane(const Pane&) = delete;
    Pane& operator=(const Pane&) = delete;
    ~Pane() {
        DestroyWindow(m_window);
        capture::PumpMessages(0);
    }
    HWND Get() const noexcept { return m_window; }

  private:
    HWND m_window = nullptr;
};

} // namespace

void RenderPreview(const Output& out, const std::wstring& file, int width, int height,
                   const std::wstring& png) {
    ProgressCallback callback(out);
    Pane pane(width, height);
    {
        FilePreviewWnd window;
        ForgetErrorInfo();
        HRESULT hr = gpoGetFileFormatMgr()->mhCreatePreview(window, pane.Get(), nullptr, &callback);
        if (FAILED(hr))
            throw CommandError(hr, "cannot create the plug-ins' previews");
        window.mvResize(nullptr);
        ForgetErrorInfo();
        hr = window.mhShow(file, TovFileVaultType{}, &callback, nullptr, false, 0);
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
        // Previews paint in their own time: give them a moment, then take what the pane shows.
        capture::PumpMessages(300);
        const capture::Image image = capture::CaptureClient(pane.Get());
        hr = capture::SavePng(image, png);
        if (FAILED(hr))
            throw CommandError(hr, "cannot write " + Utf8(png));
        window.mvHide(false);
    }
    if (out.IsJson())
        return out.Json({{"file", Utf8(file)}, {"png", Utf8(png)}, {"width", width}, {"height", height}});
    out.Line("preview of " + Utf8(file) + " written to " + Utf8(png) + " (" + std::to_string(width) + "x" +
             std::to_string(height) + ")");
}

} // namespace fmtmgr
