#pragma once
// In-process preview doubles: previews that count their calls and note in a shared journal which
// preview each kind of call reached last (nothing allocates, so an allocation sweep fails only
// what the library allocates), a window that exposes registration, and format objects that
// create such previews.
#include "foundation/Handles.h"
#include "support/FakePlugins.h"
#include <FileFmtMgr/FilePreviewWnd.h>
#include <functional>
#include <string>

namespace ffmtest {

enum class Call { ShowFile, ShowNavigator, Hide, Refresh, Resize, ReleaseFile, Target, Kinds };

class RecordingPreview;
struct Journal {
    const RecordingPreview* last[int(Call::Kinds)] = {};
};

class RecordingPreview : public FakeObject<ffm::PreviewBase, ITovFormatRedirect> {
  public:
    RecordingPreview(Journal& journal, LiveCounter* counter = nullptr)
        : FakeObject(counter), journal(journal) {}
    // The preview's Hide takes the name; this one hides an interface from QueryInterface.
    void HideInterface(REFIID iid) { FakeObject::Hide(iid); }
    void Note(Call c) {
        ++calls[int(c)];
        journal.last[int(c)] = this;
    }

    HRESULT STDMETHODCALLTYPE ShowFile(ITovRegistry*, BSTR, ITovCallback* callback, long type) override {
        Note(Call::ShowFile);
        lastType = type;
        lastCallback = callback;
        if (onShow)
            onShow(callback);
        return showResult;
    }
    HRESULT STDMETHODCALLTYPE ShowNavigator(ITovRegistry*, ITovFileNavigator* navigator,
                                            ITovCallback* callback) override {
        Note(Call::ShowNavigator);
        lastNavigator = navigator;
        lastCallback = callback;
        return showResult;
    }
    HRESULT STDMETHODCALLTYPE Hide() override {
        Note(Call::Hide);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Refresh(ITovCallback*) override {
        Note(Call::Refresh);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Resize(TovRect* rect) override {
        Note(Call::Resize);
        lastRect = *rect;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(TovMessage* message) override {
        lastMessage = *message;
        return translateResult;
    }
    HRESULT STDMETHODCALLTYPE ReleaseFile(BSTR path) override {
        Note(Call::ReleaseFile);
        releasedEmpty = !path || !*path;
        return releaseResult;
    }
    HRESULT STDMETHODCALLTYPE GetTargetExtension(BSTR, BSTR* extension) override {
        Note(Call::Target);
        *extension = redirectTo ? SysAllocString(redirectTo) : nullptr;
        return S_OK;
    }

    // How many calls of the kind reached this preview.
    long N(Call c) const { return calls[int(c)]; }

    Journal& journal;
    long calls[int(Call::Kinds)] = {};
    HRESULT showResult = S_OK;
    HRESULT translateResult = S_OK;
    HRESULT releaseResult = S_OK;
    const wchar_t* redirectTo = nullptr;
    std::function<void(ITovCallback*)> onShow;
    long lastType = -1;
    ITovCallback* lastCallback = nullptr;
    ITovFileNavigator* lastNavigator = nullptr;
    TovRect lastRect{};
    TovMessage lastMessage{};
    bool releasedEmpty = false;
};

// The host's pane: a frameless top-level window of the given size, grey (0x808080) where no
// preview draws, clipping its children; shown.
inline HWND MakePane(int width, int height) {
    static const ATOM atom = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
        wc.lpszClassName = L"FfmPreviewPane";
        return RegisterClassW(&wc);
    }();
    HWND pane = CreateWindowExW(0, MAKEINTATOM(atom), L"Preview pane", WS_POPUP | WS_CLIPCHILDREN, 10, 10,
                                width, height, nullptr, nullptr, nullptr, nullptr);
    ShowWindow(pane, SW_SHOWNOACTIVATE);
    UpdateWindow(pane);
    return pane;
}

// A window whose registration the tests call directly.
class TestWindow : public FilePreviewWnd {
  public:
    using FilePreviewWnd::mvAddPreview;
    void Add(RecordingPreview* preview, const wchar_t* extension, bool wildcard = false, long mask = 4) {
        mvAddPreview(ffm::ComPtr<ITovFilePreview>(preview), nullptr, extension, mask, wildcard);
    }
};

// A format object that makes previews; optionally through the factory interface.
class PreviewFormat : public FakeObject<ffm::FormatBase, ITovPreviewFactory> {
  public:
    PreviewFormat(Journal& journal, LiveCounter* previews) : journal(journal), previews(previews) {}
    HRESULT STDMETHODCALLTYPE CreatePreview(long parent, TovRect* rect, ITovCallback* callback, ITovRegistry*,
                                            ITovFilePreview** out) override {
        return Make(parent, rect, callback, nullptr, out);
    }
    HRESULT STDMETHODCALLTYPE CreatePreviewEx(long parent, TovRect* rect, ITovCallback* callback,
                                              ITovRegistry*, IUnknown* context,
                                              ITovFilePreview** out) override {
        viaFactory = true;
        return Make(parent, rect, callback, context, out);
    }

    Journal& journal;
    LiveCounter* previews;
    HRESULT createResult = S_OK;
    long creations = 0;
    bool viaFactory = false;
    long parentSeen = 0;
    TovRect rectSeen{};
    ITovCallback* callbackSeen = nullptr;
    IUnknown* contextSeen = nullptr;
    RecordingPreview* made = nullptr;

  private:
    HRESULT Make(long parent, TovRect* rect, ITovCallback* callback, IUnknown* context,
                 ITovFilePreview** out) {
        *out = nullptr;
        ++creations;
        parentSeen = parent;
        rectSeen = *rect;
        callbackSeen = callback;
        contextSeen = context;
        if (FAILED(createResult))
            return createResult;
        return NoThrow([&] {
            made = new RecordingPreview(journal, previews);
            made->AddRef();
            *out = made;
            return S_OK;
        });
    }
};

} // namespace ffmtest
