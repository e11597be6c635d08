#pragma once
// In-process preview doubles: previews that log every call into one shared, preallocated journal
// (so logging never allocates, and an allocation sweep fails only what the library allocates), a
// window that exposes registration, and format objects that create such previews.
#include "foundation/Handles.h"
#include "support/FakePlugins.h"
#include <FileFmtMgr/FilePreviewWnd.h>
#include <functional>
#include <string>
#include <vector>

namespace ffmtest {

enum class Call { ShowFile, ShowNavigator, Hide, Refresh, Resize, ReleaseFile, Translate, Target };

class RecordingPreview;
struct Event {
    const RecordingPreview* who;
    Call call;
};

struct Journal {
    Journal() { events.reserve(100000); }
    void Add(const RecordingPreview* who, Call call) {
        if (events.size() < events.capacity())
            events.push_back(Event{who, call});
    }
    long Count(const RecordingPreview* who, Call call) const {
        long n = 0;
        for (const Event& e : events)
            n += e.who == who && e.call == call;
        return n;
    }
    std::vector<Event> events;
};

class RecordingPreview : public FakeObject<ffm::PreviewBase, ITovFormatRedirect> {
  public:
    RecordingPreview(Journal& journal, LiveCounter* counter = nullptr)
        : FakeObject(counter), journal(journal) {}
    // The preview's Hide takes the name; this one hides an interface from QueryInterface.
    void HideInterface(REFIID iid) { FakeObject::Hide(iid); }

    HRESULT STDMETHODCALLTYPE ShowFile(ITovRegistry*, BSTR, ITovCallback* callback, long type) override {
        journal.Add(this, Call::ShowFile);
        lastType = type;
        lastCallback = callback;
        if (onShow)
            onShow(callback);
        return showResult;
    }
    HRESULT STDMETHODCALLTYPE ShowNavigator(ITovRegistry*, ITovFileNavigator* navigator,
                                            ITovCallback* callback) override {
        journal.Add(this, Call::ShowNavigator);
        lastNavigator = navigator;
        lastCallback = callback;
        return showResult;
    }
    HRESULT STDMETHODCALLTYPE Hide() override {
        journal.Add(this, Call::Hide);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Refresh(ITovCallback*) override {
        journal.Add(this, Call::Refresh);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Resize(TovRect* rect) override {
        journal.Add(this, Call::Resize);
        lastRect = *rect;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(TovMessage* message) override {
        journal.Add(this, Call::Translate);
        lastMessage = *message;
        return translateResult;
    }
    HRESULT STDMETHODCALLTYPE ReleaseFile(BSTR path) override {
        journal.Add(this, Call::ReleaseFile);
        releasedEmpty = !path || !*path;
        return releaseResult;
    }
    HRESULT STDMETHODCALLTYPE GetTargetExtension(BSTR, BSTR* extension) override {
        journal.Add(this, Call::Target);
        *extension = redirectTo ? SysAllocString(redirectTo) : nullptr;
        return S_OK;
    }

    Journal& journal;
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
