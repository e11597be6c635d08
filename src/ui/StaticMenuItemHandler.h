#pragma once
// StaticMenuItemHandler: the handler of the library's built-in view-menu item. It stands in the
// menu extension where a plug-in's preview would, so it answers the preview interface, but only
// its menu command does anything: command 1 opens the Excluded File Types dialog.
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/TovContract.h>
#include <atomic>

class StaticMenuItemHandler final : public ITovFilePreview {
  public:
    // A new handler with one reference for the caller.
    static ffm::ComPtr<ITovFilePreview> zoCreate();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE ShowFile(ITovRegistry*, BSTR, ITovCallback*, long) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ShowNavigator(ITovRegistry*, ITovFileNavigator*, ITovCallback*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Hide() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Refresh(ITovCallback*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Resize(TovRect*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMenuItems(ITovRegistry*, long*, TovPreviewMenuItem**) override {
        return E_NOTIMPL;
    }
    // Called by the menu extension when the user picks the built-in item. Command 1 runs the
    // dialog over window and answers 0 whatever the user chose; 2 does nothing; others fail.
    HRESULT STDMETHODCALLTYPE OnMenuCommand(long id, long command, long menu, long window,
                                            ITovRegistry* registry) override;
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(TovMessage*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ReleaseFile(BSTR) override { return E_NOTIMPL; }

  private:
    StaticMenuItemHandler() = default;
    ~StaticMenuItemHandler() = default;

    std::atomic<ULONG> mlRefs{0};
};
