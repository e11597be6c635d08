#include "ui/StaticMenuItemHandler.h"

#include "foundation/Errors.h"
#include <FileFmtMgr/FileFormatMgr.h>

ffm::ComPtr<ITovFilePreview> StaticMenuItemHandler::zoCreate() {
    return ffm::ComPtr<ITovFilePreview>(ffm::Make<StaticMenuItemHandler>().get());
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
