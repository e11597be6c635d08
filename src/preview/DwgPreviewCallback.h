#pragma once
// CDwgPreviewCallback: the callback the preview window hands to a plug-in showing a DWG or DXF
// file when the host gave none. Its ordinary callback methods do nothing; through
// ITovPluginPreviewCallbackInternal the plug-in asks the window to show the same file again.
#include <FileFmtMgr/ComObject.h>
#include <FileFmtMgr/CriticalSection.h>
#include <FileFmtMgr/FilePreviewWnd.h>
#include <atomic>
#include <memory>
#include <string>

namespace ffm {
// How callbacks reach their window. The window cuts the link before it goes and waits for the
// reshows under way, so a plug-in that kept a callback never calls into a destroyed window. The
// lock is never held during a show: a reshow on one thread and a plug-in calling back from inside
// a show on another must not wait for each other.
class PreviewWindowLink {
  public:
    explicit PreviewWindowLink(FilePreviewWnd* window) : m_window(window) {}
    // The window, counted as busy until Leave(); null once cut.
    FilePreviewWnd* Enter();
    void Leave() noexcept { --m_busy; }
    void Cut() noexcept;

  private:
    ffm::CriticalSection m_lock;
    FilePreviewWnd* m_window;
    std::atomic<long> m_busy{0};
};
} // namespace ffm

class CDwgPreviewCallback final : public ffm::ComObject<ITovCallback, ITovPluginPreviewCallbackInternal> {
  public:
    // link may be null: ReshowFile then answers 0x80004001. Holds its own reference to the
    // navigator, so a reshow never reaches a released one.
    static ffm::ComPtr<CDwgPreviewCallback> Create(std::shared_ptr<ffm::PreviewWindowLink> link,
                                                   std::wstring path, TovFileVaultType type,
                                                   ITovFileNavigator* navigator);

    // IUnknown and ITovCallback give the primary interface, ITovPluginPreviewCallbackInternal
    // the second; IDispatch, although both derive from it, is refused: nothing here is late-bound.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;

    // IDispatch and ITovCallback: E_NOTIMPL, nothing done.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Unused7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetProgress(long) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetStatusMessage(BSTR) override { return E_NOTIMPL; }

    // The plug-in calls it (also from inside ShowFile) to have its file shown again; code steers
    // the new show (0x8004027D: straight to the redirection). 0, or 0x80004001 without a window.
    HRESULT STDMETHODCALLTYPE ReshowFile(long code) override;

    CDwgPreviewCallback(std::shared_ptr<ffm::PreviewWindowLink> link, std::wstring path,
                        TovFileVaultType type, ITovFileNavigator* navigator);

  private:
    ~CDwgPreviewCallback() override = default;

    std::shared_ptr<ffm::PreviewWindowLink> moLink;
    const std::wstring moPath;
    const TovFileVaultType mlType;
    const ffm::ComPtr<ITovFileNavigator> mpoNavigator; // may be null
};
