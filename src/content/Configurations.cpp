// The configurations of an opened file: through the plug-in's query (names with their tags) or,
// for plug-ins without it, through the plain list of names.
#include <FileFmtMgr/FileFormatMgr.h>

#include "content/SafeArrayReading.h"
#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include <comdef.h>
#include <comutil.h>
#include <cstring>
#include <memory>

namespace {

constexpr long kQueryConfigurations = 3;

// One element of the query's array: the tag, then the name.
struct ConfigElement {
    long long mlValue;
    BSTR mbsName;
};
static_assert(sizeof(ConfigElement) == 16 && offsetof(ConfigElement, mbsName) == 8, "ConfigElement layout");

// Runs the two roads; append(name, length, value) adds one entry to list. Returns the plug-in's
// failure, or S_OK.
template <class List, class Append>
HRESULT ReadConfigurations(ITovFileNavigator* navigator, List& list, Append&& append) {
    if (!navigator)
        return E_POINTER;
    ffm::ComPtr<ITovFileQuery> query;
    if (SUCCEEDED(navigator->QueryInterface(__uuidof(ITovFileQuery), query.put_void())) && query) {
        ffm::UniqueVariant input;
        ffm::UniqueVariant result;
        const HRESULT hr = query->Query(kQueryConfigurations, *input.get(), result.get(), nullptr);
        if (SUCCEEDED(hr)) {
            const VARTYPE type = V_VT(result.get());
            if ((type & VT_ARRAY) && (type & VT_BYREF))
                throw ffm::ComError(E_INVALIDARG);
            if ((type & VT_ARRAY) && V_ARRAY(result.get())) {
                SAFEARRAY* array = V_ARRAY(result.get());
                const ffm::ArrayData data(array);
                const long count = ffm::ElementCount(array);
                // Elements of another size would be read past their end.
                if (count > 0 && ::SafeArrayGetElemsize(array) != sizeof(ConfigElement))
                    throw ffm::ComError(E_INVALIDARG);
                const auto* elements = static_cast<const unsigned char*>(data.Data());
                for (long i = 0; i < count; ++i) {
                    ConfigElement element; // the array's elements need not be aligned
                    std::memcpy(&element, elements + i * sizeof(ConfigElement), sizeof element);
                    append(element.mbsName, ::SysStringLen(element.mbsName), element.mlValue);
                }
            }
            return S_OK; // the result, and the array with it, is destroyed on the way out
        }
        if (hr != E_NOTIMPL)
            return hr;
    }
    ffm::UniqueBstr names;
    const HRESULT hr = navigator->GetConfigurationNames(names.put());
    if (FAILED(hr) && hr != E_NOTIMPL)
        return hr;
    if (SUCCEEDED(hr)) {
        const wchar_t* text = names.get();
        const UINT length = ::SysStringLen(names.get());
        for (UINT start = 0; start < length;) {
            UINT end = start;
            while (end < length && text[end] != L'\n')
                ++end;
            if (end > start)
                append(text + start, end - start, 0LL);
            start = end + 1;
        }
    }
    // Callers always get at least one configuration this way.
    if (list.IsEmpty())
        append(nullptr, 0, 0LL);
    return S_OK;
}

} // namespace

HRESULT FileFormatMgr::mhGetConfigurations(ITovFileNavigator* navigator, ConfigDataLst& configurations) {
    return ffm::Boundary([&] {
        return ReadConfigurations(
            navigator, configurations, [&](const wchar_t* name, UINT length, long long value) {
                auto record = std::make_unique<ConfigData>(ffm::SpStr(name, length), value);
                configurations.AddTail(record.get());
                (void)record.release();
            });
    });
}

HRESULT FileFormatMgr::mhGetConfigurations(ITovFileNavigator* navigator, ffm::Lst<_bstr_t>& names) {
    return ffm::Boundary([&] {
        return ReadConfigurations(navigator, names, [&](const wchar_t* name, UINT length, long long) {
            ffm::UniqueBstr copy(ffm::AllocBstrLen(name, length));
            if (!copy)
                throw ffm::ComError(E_OUTOFMEMORY);
            const _bstr_t text(copy.get(), false); // takes the copy over
            (void)copy.release();
            names.AddTail(text);
        });
    });
}
