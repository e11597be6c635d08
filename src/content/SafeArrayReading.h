#pragma once
// Reading a one-dimensional SAFEARRAY a plug-in returned: its data locked for a scope and its
// element count from the bounds. Failures raise with the plug-in's error information when the
// thread has some, else with a description of what could not be read.
#include "foundation/Errors.h"
#include <FileFmtMgr/ComPtr.h>
#include <algorithm>
#include <climits>
#include <oleauto.h>

namespace ffm {

[[noreturn]] inline void RaiseArrayFailure(HRESULT hr, const wchar_t* description) {
    ComPtr<IErrorInfo> info;
    if (::GetErrorInfo(0, info.put()) == S_OK && info)
        throw ComError(hr, info.get());
    RaiseDescribed(hr, description);
}

// SafeArrayAccessData for a scope.
class ArrayData {
  public:
    explicit ArrayData(SAFEARRAY* array) : m_array(array) {
        const HRESULT hr = ::SafeArrayAccessData(array, &m_data);
        if (FAILED(hr))
            RaiseArrayFailure(hr, L"Could not lock safe array.");
    }
    ArrayData(const ArrayData&) = delete;
    ArrayData& operator=(const ArrayData&) = delete;
    ~ArrayData() { ::SafeArrayUnaccessData(m_array); }
    const void* Data() const noexcept { return m_data; }

  private:
    SAFEARRAY* m_array;
    void* m_data = nullptr;
};

// Elements of the first dimension (upper - lower + 1), never negative.
inline long ElementCount(SAFEARRAY* array) {
    LONG lower = 0;
    LONG upper = 0;
    HRESULT hr = ::SafeArrayGetLBound(array, 1, &lower);
    if (FAILED(hr))
        RaiseArrayFailure(hr, L"Could not get lower bound of array");
    hr = ::SafeArrayGetUBound(array, 1, &upper);
    if (FAILED(hr))
        RaiseArrayFailure(hr, L"Could not get upper bound of array");
    const long long count = static_cast<long long>(upper) - lower + 1;
    return count < 0 ? 0 : static_cast<long>(std::min<long long>(count, LONG_MAX));
}

} // namespace ffm
