// Inner files and folders of container files.
#include <FileFmtMgr/FileFormatMgr.h>

#include <FileFmtMgr/MenuExtension.h>

#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include "ui/ReportedMenuItems.h"

using ffm::ComPtr;

ComPtr<ITovRegistry> FileFormatMgr::moGetRegistry(ITovCallback* callback) {
    auto lock = moLock.Lock();
    mvInit(callback);
    return mpoRegistry;
}

HRESULT FileFormatMgr::mhListInner(bool folders, ITovFileNavigator* navigator,
                                   std::list<ITovFileNavigator*>& list, ITovCallback* callback) {
    if (!navigator)
        return E_POINTER;
    return ffm::Boundary([&] {
        // The plug-in runs outside the manager's lock: listing a large container takes a while.
        const ComPtr<ITovRegistry> registry = moGetRegistry(callback);
        long count = 0;
        ITovFileNavigator** array = nullptr;
        const HRESULT hr = folders ? navigator->GetSubFolders(registry.get(), callback, &count, &array)
                                   : navigator->GetSubFiles(registry.get(), callback, &count, &array);
        if (FAILED(hr)) {
            ::CoTaskMemFree(array); // a plug-in that filled it anyway
            return;                 // no inner files: not a failure of the caller's
        }
        ffm::UniqueTaskMem<ITovFileNavigator*> owned(array);
        const long usable = ffm::TaskBlockCapacity(array, count, sizeof(*array));
        long handed = 0;
        try {
            for (; handed < usable; ++handed)
                list.push_back(array[handed]);
        } catch (...) {
            for (long i = handed; i < usable; ++i)
                if (array[i])
                    array[i]->Release();
            throw;
        }
    });
}

HRESULT FileFormatMgr::mhGetSubFiles(ITovFileNavigator* navigator, std::list<ITovFileNavigator*>& list,
                                     ITovCallback* callback) {
    return mhListInner(false, navigator, list, callback);
}

HRESULT FileFormatMgr::mhGetSubFolders(ITovFileNavigator* navigator, std::list<ITovFileNavigator*>& list,
                                       ITovCallback* callback) {
    return mhListInner(true, navigator, list, callback);
}

HRESULT FileFormatMgr::mhGetSubFileContextMenu(HMENU menu, const std::list<ITovFileNavigator*>& navigators,
                                               MenuExtension& extension, int firstId, int position) {
    if (navigators.empty())
        return E_INVALIDARG;
    if (ffm::HoldsNull(navigators))
        return E_POINTER;
    return ffm::Boundary([&]() -> HRESULT {
        extension.mvInit(menu, firstId, &navigators);
        const long others = static_cast<long>(navigators.size()) - 1;
        ffm::UniqueTaskMem<ITovFileNavigator*> array;
        if (!ffm::OtherNavigators(navigators, array))
            return E_OUTOFMEMORY;
        const ComPtr<ITovRegistry> registry = moGetRegistry(nullptr);
        ffm::ReportedMenuItems items;
        const HRESULT hr = navigators.front()->GetSubFileMenuItems(registry.get(), items.count(),
                                                                   items.items(), others, array.get());
        array.reset();
        if (FAILED(hr))
            return hr;
        for (long i = 0, n = items.size(); i < n; ++i) {
            const TovPreviewMenuItem& r = items[i];
            // The ids and positions are the plug-in's to count on: they advance even for an item
            // the menu refused.
            extension.mbAddItem(r.mbsText, r.mbsHelp, r.mlNumberA, r.mbsTextB, r.mlNumberB, r.mlCommand,
                                r.mlState, firstId, position, nullptr, registry.get());
            ffm::AdvanceMenuPosition(firstId, position);
        }
        return S_OK;
    });
}
