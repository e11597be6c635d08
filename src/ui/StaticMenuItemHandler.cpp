#include "ui/StaticMenuItemHandler.h"

#include "foundation/Errors.h"
#include <FileFmtMgr/FileFormatMgr.h>

ffm::ComPtr<ITovFilePreview> StaticMenuItemHandler::zoCreate() {
    return ffm::ComPtr<ITovFilePreview>(new StaticMenuItemHandler);
}

HRESULT STDMETHODCALLTYPE StaticMenuItemHandler::QueryInterface(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != __uuidof(ITovFilePreview))
        return E_NOINTERFACE;
    *out = static_cast<ITovFilePreview*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE StaticMenuItemHandler::AddRef() {
    return ++mlRefs;
}

ULONG STDMETHODCALLTYPE StaticMenuItemHandler::Release() {
    const ULONG left = --mlRefs;
    if (left == 0)
        delete this;
    return left;
}

HRESULT STDMETHODCALLTYPE StaticMenuItemHandler::OnMenuCommand(long, long command, long, long window,
                                                               ITovRegistry*) {
    switch (command) {
    case 1:
        return ffm::Boundary([&] {
            goFileFormatMgr.mbEditExcludedExtensions(reinterpret_cast<HWND>(static_cast<LONG_PTR>(window)));
        });
    case 2:
        return S_OK;
    default:
        return E_FAIL;
    }
}
