// Preview plug-ins served from a real DLL through COM's registry lookup. The value "Behaviour"
// of a class's registration key chooses what its objects do:
//   good             previews draw the file they are shown in a child window of the host;
//   redirects        as good, but a file with a line "REDIRECT EXT" is declined (0x8004027D) and
//                    the preview names EXT as the extension whose previews are to show it;
//   create-fails HEX CreatePreview answers HEX;
//   hang MS          ShowFile sleeps MS milliseconds, then fails;
//   blank            ShowFile succeeds and nothing is ever drawn.
// The files a good preview shows are text lines: "FILL RRGGBB" (the background), "MARK RRGGBB" (a
// block at a fixed place: x from 1/10 to 1/2 of the width, y from 1/10 to 1/2 of the height),
// "TITLE text" (written along the bottom).
#include "support/FakeCom.h"
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

namespace {

HMODULE gModule = nullptr;
ffmtest::LiveCounter gFormats, gPreviews, gWindows;
std::atomic<long> gShows{0};
constexpr wchar_t kViewClass[] = L"FakePreviewView";

enum class Kind { Good, Redirects, CreateFails, Hang, Blank };

struct Behaviour {
    Kind kind = Kind::Good;
    unsigned long number = 0; // the failure code or the milliseconds
};

Behaviour ReadBehaviour(REFCLSID clsid) {
    Behaviour b;
    wchar_t id[64];
    StringFromGUID2(clsid, id, 64);
    wchar_t value[128] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    const std::wstring key = std::wstring(L"CLSID\\") + id;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), L"Behaviour", RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS)
        return b;
    std::wistringstream in(value);
    std::wstring word;
    in >> word >> std::hex >> b.number;
    if (word == L"create-fails")
        b.kind = Kind::CreateFails;
    else if (word == L"hang") {
        std::wistringstream ms(value + 5);
        ms >> std::dec >> b.number;
        b.kind = Kind::Hang;
    } else if (word == L"blank")
        b.kind = Kind::Blank;
    else if (word == L"redirects")
        b.kind = Kind::Redirects;
    return b;
}

// What the view paints; shared between the preview (any thread) and the window (its thread).
struct Picture {
    std::mutex lock;
    bool hasFile = false;
    COLORREF fill = RGB(255, 255, 255);
    COLORREF mark = RGB(0, 0, 0);
    std::wstring title;
};

COLORREF ParseColour(const std::string& hex) {
    const unsigned long v = std::stoul(hex, nullptr, 16);
    return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
}

LRESULT CALLBACK ViewProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    auto* picture = reinterpret_cast<std::shared_ptr<Picture>*>(GetWindowLongPtrW(w, GWLP_USERDATA));
    switch (msg) {
    case WM_NCCREATE:
        SetWindowLongPtrW(w, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
        ++gWindows.created;
        ++gWindows.alive;
        break;
    case WM_NCDESTROY:
        delete picture;
        SetWindowLongPtrW(w, GWLP_USERDATA, 0);
        --gWindows.alive;
        break;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(w, &ps);
        RECT r;
        GetClientRect(w, &r);
        std::lock_guard<std::mutex> hold((*picture)->lock);
        const Picture& p = **picture;
        HBRUSH fill = CreateSolidBrush(p.hasFile ? p.fill : RGB(255, 255, 255));
        FillRect(dc, &r, fill);
        DeleteObject(fill);
        if (p.hasFile) {
            RECT block{r.right / 10, r.bottom / 10, r.right / 2, r.bottom / 2};
            HBRUSH mark = CreateSolidBrush(p.mark);
            FillRect(dc, &block, mark);
            DeleteObject(mark);
            RECT text{4, r.bottom * 85 / 100, r.right - 4, r.bottom};
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, RGB(0, 0, 0));
            DrawTextW(dc, p.title.c_str(), -1, &text, DT_LEFT | DT_SINGLELINE | DT_END_ELLIPSIS);
        }
        EndPaint(w, &ps);
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcW(w, msg, wp, lp);
}

void RegisterViewClass() {
    static std::once_flag once;
    std::call_once(once, [] {
        WNDCLASSW wc{};
        wc.style = CS_HREDRAW | CS_VREDRAW; // the picture is laid out by the size
        wc.lpfnWndProc = ViewProc;
        wc.hInstance = gModule;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = kViewClass;
        RegisterClassW(&wc);
    });
}

class Preview : public ffmtest::FakeObject<ffm::PreviewBase, ITovFormatRedirect> {
  public:
    Preview(Behaviour behaviour, HWND parent, const TovRect& rect) : FakeObject(&gPreviews), m_b(behaviour) {
        RegisterViewClass();
        auto* shared = new std::shared_ptr<Picture>(m_picture);
        m_view =
            CreateWindowExW(0, kViewClass, L"", WS_CHILD | WS_CLIPSIBLINGS, rect.left, rect.top,
                            rect.right - rect.left, rect.bottom - rect.top, parent, nullptr, gModule, shared);
        if (!m_view)
            delete shared;
    }
    ~Preview() override {
        if (!m_view)
            return;
        // A window goes with the thread that made it: from another thread, ask that one.
        if (GetWindowThreadProcessId(m_view, nullptr) == GetCurrentThreadId())
            DestroyWindow(m_view);
        else
            PostMessageW(m_view, WM_CLOSE, 0, 0);
    }

    // The host shows a file by path.
    HRESULT STDMETHODCALLTYPE ShowFile(ITovRegistry*, BSTR path, ITovCallback*, long) override {
        ++gShows;
        if (m_b.kind == Kind::Hang) {
            Sleep(m_b.number);
            return E_FAIL;
        }
        if (m_b.kind == Kind::Blank)
            return S_OK;
        return ffmtest::NoThrow([&] { return Load(path ? path : L""); });
    }
    // The host shows a file it opened: read its path from the navigator.
    HRESULT STDMETHODCALLTYPE ShowNavigator(ITovRegistry* registry, ITovFileNavigator* navigator,
                                            ITovCallback* callback) override {
        if (!navigator)
            return E_POINTER;
        BSTR path = nullptr;
        const HRESULT hr = navigator->GetFilePath(&path);
        if (FAILED(hr))
            return hr;
        const HRESULT shown = ShowFile(registry, path, callback, 0);
        SysFreeString(path);
        return shown;
    }
    HRESULT STDMETHODCALLTYPE Hide() override {
        if (m_view)
            ShowWindow(m_view, SW_HIDE);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Refresh(ITovCallback*) override {
        if (m_view)
            InvalidateRect(m_view, nullptr, FALSE);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Resize(TovRect* rect) override {
        if (!rect)
            return E_POINTER;
        if (m_view)
            SetWindowPos(m_view, nullptr, rect->left, rect->top, rect->right - rect->left,
                         rect->bottom - rect->top, SWP_NOZORDER | SWP_NOACTIVATE);
        return S_OK;
    }
    // F5 redraws; everything else is the host's.
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(TovMessage* message) override {
        if (!message || message->mlMessage != WM_KEYDOWN || message->mlWParam != VK_F5)
            return S_FALSE;
        return Refresh(nullptr);
    }
    // Nothing stays open: any file is released, and the picture is forgotten.
    HRESULT STDMETHODCALLTYPE ReleaseFile(BSTR) override {
        std::lock_guard<std::mutex> hold(m_picture->lock);
        m_picture->hasFile = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTargetExtension(BSTR, BSTR* extension) override {
        if (!extension)
            return E_POINTER;
        std::lock_guard<std::mutex> hold(m_picture->lock);
        *extension = m_redirect.empty() ? nullptr : SysAllocString(m_redirect.c_str());
        return S_OK;
    }

  private:
    HRESULT Load(const std::wstring& path) {
        FILE* file = _wfopen(path.c_str(), L"rb");
        if (!file)
            return STG_E_FILENOTFOUND;
        std::string content;
        char chunk[4096];
        for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;)
            content.append(chunk, n);
        fclose(file);
        std::istringstream in(content);
        Picture next;
        std::wstring redirect;
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::string key, rest;
            words >> key;
            std::getline(words >> std::ws, rest);
            if (key == "FILL")
                next.fill = ParseColour(rest);
            else if (key == "MARK")
                next.mark = ParseColour(rest);
            else if (key == "TITLE")
                next.title.assign(rest.begin(), rest.end());
            else if (key == "REDIRECT")
                redirect.assign(rest.begin(), rest.end());
        }
        {
            std::lock_guard<std::mutex> hold(m_picture->lock);
            m_redirect = redirect;
            if (m_b.kind == Kind::Redirects && !redirect.empty())
                return static_cast<HRESULT>(0x8004027D);
            m_picture->hasFile = true;
            m_picture->fill = next.fill;
            m_picture->mark = next.mark;
            m_picture->title = next.title;
        }
        if (m_view) {
            ShowWindow(m_view, SW_SHOWNA);
            InvalidateRect(m_view, nullptr, FALSE);
        }
        return S_OK;
    }

    const Behaviour m_b;
    std::shared_ptr<Picture> m_picture = std::make_shared<Picture>();
    HWND m_view = nullptr; // owned by the thread that created the preview
    std::wstring m_redirect;
};

class Format : public ffmtest::FakeObject<ffm::FormatBase> {
  public:
    explicit Format(Behaviour b) : FakeObject(&gFormats), m_b(b) {}
    // The host asks once per pane for a preview drawing inside parentWindow.
    HRESULT STDMETHODCALLTYPE CreatePreview(long parentWindow, TovRect* rect, ITovCallback*, ITovRegistry*,
                                            ITovFilePreview** preview) override {
        if (!preview || !rect)
            return E_POINTER;
        *preview = nullptr;
        if (m_b.kind == Kind::CreateFails)
            return static_cast<HRESULT>(m_b.number);
        return ffmtest::NoThrow([&] {
            auto* made = new Preview(m_b, reinterpret_cast<HWND>(static_cast<LONG_PTR>(parentWindow)), *rect);
            made->AddRef();
            *preview = made;
            return S_OK;
        });
    }

  private:
    const Behaviour m_b;
};

class Factory final : public ffm::ComObject<IClassFactory> {
  public:
    explicit Factory(Behaviour b) : m_b(b) {}
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        return ffmtest::NoThrow([&] {
            auto* format = new Format(m_b);
            format->AddRef();
            const HRESULT hr = format->QueryInterface(iid, out);
            format->Release();
            return hr;
        });
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  private:
    const Behaviour m_b;
};

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        gModule = instance;
    return TRUE;
}

extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return ffmtest::NoThrow([&] {
        auto* factory = new Factory(ReadBehaviour(clsid));
        factory->AddRef();
        const HRESULT hr = factory->QueryInterface(iid, out);
        factory->Release();
        return hr;
    });
}

extern "C" HRESULT __stdcall DllCanUnloadNow() {
    return gFormats.alive + gPreviews.alive + gWindows.alive == 0 ? S_OK : S_FALSE;
}

// Objects alive now, and files shown so far.
extern "C" void __stdcall FakePreviewCounts(long* formats, long* previews, long* windows, long* shows) {
    *formats = gFormats.alive;
    *previews = gPreviews.alive;
    *windows = gWindows.alive;
    *shows = gShows;
}
