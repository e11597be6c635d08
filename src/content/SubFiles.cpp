// Inner files and folders of container files.
#include <FileFmtMgr/FileFormatMgr.h>

#include "foundation/Errors.h"
#include "foundation/Handles.h"

using ffm::ComPtr;

namespace {

// How many pointers the plug-in's array can hold: a count larger than its block is not believed.
long Capacity(ITovFileNavigator** array, long count) {
    if (!array || count <= 0)
        return 0;
    ComPtr<IMalloc> malloc;
    if (FAILED(::CoGetMalloc(1, malloc.put())))
        return count;
    const SIZE_T bytes = malloc->GetSize(array);
    if (bytes == static_cast<SIZE_T>(-1))
        return count; // not a task-allocator block: nothing better to go by
    return static_cast<long>(
        std::min<SIZE_T>(static_cast<SIZE_T>(count), bytes / sizeof(ITovFileNavigator*)));
}

} // namespace

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
        const long usable = Capacity(array, count);
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
