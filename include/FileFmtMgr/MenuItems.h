#pragma once
// Building the menu item records a plug-in hands to the host (a preview's GetMenuItems, a
// container navigator's GetSubFileMenuItems): a task-allocator array of 40-byte records whose
// strings and array the host frees. Either all of it is handed over or nothing is.
#include <FileFmtMgr/TovContract.h>
#include <cstddef>
#include <cstring>

namespace ffm {

// One offered item: the command handed back when it is picked, its text and status-bar help, and
// the menu state (MFS_CHECKED, MFS_GRAYED, ...; 0 leaves the host's default).
struct OfferedMenuItem {
    long command;
    const wchar_t* text;
    const wchar_t* help;
    long state = 0;
};

// Fills the two outputs with copies of offered[0..n); E_OUTOFMEMORY (and 0, null) when a copy
// cannot be made.
inline HRESULT HandOutMenuItems(const OfferedMenuItem* offered, std::size_t n, long* count,
                                TovPreviewMenuItem** items) noexcept {
    if (!count || !items)
        return E_POINTER;
    *count = 0;
    *items = nullptr;
    if (n == 0)
        return S_OK;
    auto* array = static_cast<TovPreviewMenuItem*>(::CoTaskMemAlloc(sizeof(TovPreviewMenuItem) * n));
    if (!array)
        return E_OUTOFMEMORY;
    std::memset(array, 0, sizeof(TovPreviewMenuItem) * n);
    bool complete = true;
    for (std::size_t i = 0; i < n; ++i) {
        TovPreviewMenuItem& r = array[i];
        r.mlState = offered[i].state;
        r.mlCommand = offered[i].command;
        r.mbsText = ::SysAllocString(offered[i].text ? offered[i].text : L"");
        r.mbsHelp = ::SysAllocString(offered[i].help ? offered[i].help : L"");
        r.mbsTextB = ::SysAllocString(L"");
        complete = complete && r.mbsText && r.mbsHelp && r.mbsTextB;
    }
    if (!complete) {
        for (std::size_t i = 0; i < n; ++i) {
            ::SysFreeString(array[i].mbsText); // null is allowed
            ::SysFreeString(array[i].mbsHelp);
            ::SysFreeString(array[i].mbsTextB);
        }
        ::CoTaskMemFree(array);
        return E_OUTOFMEMORY;
    }
    *count = static_cast<long>(n);
    *items = array;
    return S_OK;
}

template <std::size_t N>
HRESULT HandOutMenuItems(const OfferedMenuItem (&offered)[N], long* count,
                         TovPreviewMenuItem** items) noexcept {
    return HandOutMenuItems(offered, N, count, items);
}

} // namespace ffm
