// Preview plug-ins served from a real DLL through COM's registry lookup; FakePreviewClasses.h says
// what each class does.
#include "fakes/preview/FakePreviewClasses.h"
#include "support/FakeCom.h"
#include <FileFmtMgr/PreviewView.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

using namespace fakepreview;

namespace {

COLORREF Colour(unsigned long rgb) {
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

void FillWith(HDC dc, const RECT& r, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &r, brush);
    DeleteObject(brush);
}

// What the view paints; shared between the preview (any thread) and the window (its thread).
struct Picture : ffm::ViewState {
    void Paint(HDC dc, const RECT& r) override {
        std::lock_guard<std::mutex> hold(lock);
        FillWith(dc, r, fill);
        FillWith(dc, RECT{r.right / 10, r.bottom / 10, r.right / 2, r.bottom / 2}, mark);
    }

    std::mutex lock;
    COLORREF fill = RGB(255, 255, 255);
    COLORREF mark = RGB(0, 0, 0);
    ffm::ModuleLock module; // the window's procedure is ours
};

class Preview : public ffmtest::FakeObject<ffm::PreviewBase> {
  public:
    Preview(HWND parent, const TovRect& rect)
        : m_view(ffm::CreatePreviewView(L"FakePreviewView", parent, rect, m_picture)) {}
    ~Preview() override { ffm::DestroyPreviewView(m_view); }

    // The host shows a file by path.
    HRESULT STDMETHODCALLTYPE ShowFile(ITovRegistry*, BSTR path, ITovCallback*, long) override {
        return ffmtest::NoThrow([&] { return Load(path ? path : L""); });
    }
    HRESULT STDMETHODCALLTYPE Hide() override {
        ShowWindow(m_view, SW_HIDE);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Resize(TovRect* rect) override {
        SetWindowPos(m_view, nullptr, rect->left, rect->top, rect->right - rect->left,
                     rect->bottom - rect->top, SWP_NOZORDER | SWP_NOACTIVATE);
        return S_OK;
    }

  private:
    HRESULT Load(const wchar_t* path) {
        std::ifstream in{std::filesystem::path(path)};
        std::string fillKey, markKey;
        unsigned long fill = 0, mark = 0;
        if (!(in >> fillKey >> std::hex >> fill >> markKey >> mark) || fillKey != "FILL" || markKey != "MARK")
            return E_FAIL;
        {
            std::lock_guard<std::mutex> hold(m_picture->lock);
            m_picture->fill = Colour(fill);
            m_picture->mark = Colour(mark);
        }
        ShowWindow(m_view, SW_SHOWNA);
        InvalidateRect(m_view, nullptr, FALSE);
        return S_OK;
    }

    const std::shared_ptr<Picture> m_picture = std::make_shared<Picture>();
    const HWND m_view; // owned by the thread that created the preview
};

template <Class C> class Format final : public ffmtest::FakeObject<ffm::FormatBase> {
  public:
    // The host asks once per pane for a preview drawing inside parentWindow.
    HRESULT STDMETHODCALLTYPE CreatePreview(long parentWindow, TovRect* rect, ITovCallback*, ITovRegistry*,
                                            ITovFilePreview** preview) override {
        *preview = nullptr;
        return ffmtest::NoThrow([&] {
            const HWND parent = reinterpret_cast<HWND>(static_cast<LONG_PTR>(parentWindow));
            *preview = ffm::Make<Preview>(parent, *rect).detach();
            return S_OK;
        });
    }

  private:
    ffm::ModuleLock m_module;
};

const ffm::ClassRow kClasses[] = {{&kClsid<Good>, ffm::CreateInstanceOf<Format<Good>>},
                                  {&kClsid<OtherGood>, ffm::CreateInstanceOf<Format<OtherGood>>}};

} // namespace

FFM_COM_SERVER_EXPORTS(kClasses)

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    return ffmtest::NoThrow([] {
        HRESULT hr = S_OK;
        for (const ffm::ClassRow& row : kClasses)
            if (SUCCEEDED(hr))
                hr = ffm::WriteRegistryRows(ffm::InprocServerRows(
                    *row.clsid, L"Fake preview plug-in", ffm::ModulePath(ffm::ThisModule()), L"Both"));
        return hr;
    });
}
