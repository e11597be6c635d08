#pragma once
// The menu item records a preview (GetMenuItems) or a container's navigator (GetSubFileMenuItems)
// hands out: a task-allocator array of 40-byte records, each with three strings the caller frees.
#include "foundation/Alloc.h"
#include "foundation/Handles.h"
#include <FileFmtMgr/TovContract.h>
#include <iterator>

namespace ffm {

class ReportedMenuItems {
  public:
    ReportedMenuItems() = default;
    ReportedMenuItems(const ReportedMenuItems&) = delete;
    ReportedMenuItems& operator=(const ReportedMenuItems&) = delete;
    ~ReportedMenuItems() {
        const long n = size();
        for (long i = 0; i < n; ++i) {
            ::SysFreeString(m_items[i].mbsText);
            ::SysFreeString(m_items[i].mbsHelp);
            ::SysFreeString(m_items[i].mbsTextB);
        }
        ::CoTaskMemFree(m_items);
    }
    // The two outputs of the plug-in's call.
    long* count() noexcept { return &m_count; }
    TovPreviewMenuItem** items() noexcept { return &m_items; }
    // The records there really are: a count larger than the array is not believed.
    long size() const noexcept { return TaskBlockCapacity(m_items, m_count, sizeof(TovPreviewMenuItem)); }
    const TovPreviewMenuItem& operator[](long i) const noexcept { return m_items[i]; }

  private:
    long m_count = 0;
    TovPreviewMenuItem* m_items = nullptr;
};

// Moves the insertion point of a menu on past one item; -1 (append) stays.
inline void AdvanceMenuPosition(int& id, int& position) noexcept {
    ++id;
    if (position != -1)
        ++position;
}

inline ITovFileNavigator* RawNavigator(ITovFileNavigator* navigator) noexcept {
    return navigator;
}
inline ITovFileNavigator* RawNavigator(const ComPtr<ITovFileNavigator>& navigator) noexcept {
    return navigator.get();
}

// The selected navigators after the first, in order, in the task-allocator array that the
// plug-in's sub-file menu methods take (left null for a single one). False when no memory is left.
template <class Navigators>
bool OtherNavigators(const Navigators& selected, UniqueTaskMem<ITovFileNavigator*>& array) noexcept {
    const std::size_t others = selected.empty() ? 0 : selected.size() - 1;
    if (others == 0)
        return true;
    array.reset(static_cast<ITovFileNavigator**>(TaskAlloc(others * sizeof(ITovFileNavigator*))));
    if (!array)
        return false;
    std::size_t i = 0;
    for (auto it = std::next(selected.begin()); it != selected.end(); ++it)
        array.get()[i++] = RawNavigator(*it);
    return true;
}

} // namespace ffm
