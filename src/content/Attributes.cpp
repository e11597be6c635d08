// Attribute reading and writing: the caller's records go to the plug-in as one array of the
// record version its navigator offers, and what the plug-in reports comes back into the records.
// These work only on the caller's navigator, so they take no manager lock.
#include "content/Attributes.h"

#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include <climits>
#include <cstring>
#include <type_traits>
#include <utility>

namespace ffm {

namespace {

// Frees what the elements of an attribute array still hold and then the array; the walks free
// names and values as they go and leave nulls behind, so whatever an exception interrupts is
// released exactly once.
template <class Rec> class AttribArray {
  public:
    AttribArray(Rec* elements, int count) noexcept : m_elements(elements), m_count(elements ? count : 0) {}
    AttribArray(const AttribArray&) = delete;
    AttribArray& operator=(const AttribArray&) = delete;
    ~AttribArray() {
        for (int i = 0; i < m_count; ++i) {
            FreeNames(m_elements[i]);
            ::VariantClear(&m_elements[i].mvValue);
        }
        ::CoTaskMemFree(m_elements);
    }
    Rec* get() const noexcept { return m_elements; }
    int count() const noexcept { return m_count; }
    Rec& operator[](int i) const noexcept { return m_elements[i]; }
    [[nodiscard]] Rec* release() noexcept {
        m_count = 0;
        return std::exchange(m_elements, nullptr);
    }
    static void FreeNames(Rec& element) noexcept {
        ::SysFreeString(std::exchange(element.mbsName, nullptr));
        ::SysFreeString(std::exchange(element.mbsBlock, nullptr));
    }

  private:
    Rec* m_elements; // CoTaskMemAlloc, owned
    int m_count;
};

// Null when the text is empty, else an exact copy (byte length kept); ok becomes false on failure.
BSTR CopyName(const SpStr& text, bool& ok) noexcept {
    if (text.IsEmpty())
        return nullptr;
    if (fault::AllocationShouldFail()) {
        ok = false;
        return nullptr;
    }
    BSTR copy =
        ::SysAllocStringByteLen(reinterpret_cast<const char*>(text.Bstr()), ::SysStringByteLen(text.Bstr()));
    if (!copy)
        ok = false;
    return copy;
}

template <class Rec> Rec* CreateArray(Lst<AttributeData*>& attributes, int& count, bool withValues) noexcept {
    const long n = attributes.GetCount();
    if (n < 1) {
        count = 0;
        return nullptr;
    }
    if (static_cast<unsigned long>(n) > INT_MAX / sizeof(Rec))
        return nullptr;
    auto* elements = static_cast<Rec*>(TaskAlloc(n * sizeof(Rec)));
    if (!elements)
        return nullptr;
    std::memset(elements, 0, n * sizeof(Rec));
    AttribArray<Rec> built(elements, static_cast<int>(n));
    int i = 0;
    for (const AttributeData* attribute : attributes) {
        Rec& element = built[i++];
        bool ok = true;
        element.mbsName = CopyName(attribute->moName, ok);
        element.mbsBlock = CopyName(attribute->moBlock, ok);
        if constexpr (std::is_same_v<Rec, TovAttribData2>)
            element.mlNumber = attribute->mlNumber;
        if (withValues && ok)
            ok = SUCCEEDED(::VariantCopy(&element.mvValue, attribute->mpoValue));
        if (!ok)
            return nullptr;
    }
    count = static_cast<int>(n);
    return built.release();
}

// Gives to the value of the plug-in's element: a copy, and the element cleared. Plain values and
// strings simply move, which saves allocating every string twice; anything else goes through
// VariantCopy, which also refuses types it does not know.
void TakeValue(VARIANT& to, VARIANT& from) {
    switch (V_VT(&from)) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_BOOL:
    case VT_ERROR:
    case VT_DECIMAL:
        ThrowIfFailed(::VariantClear(&to));
        std::memcpy(&to, &from, sizeof to);
        ::VariantInit(&from);
        return;
    default:
        ThrowIfFailed(::VariantCopy(&to, &from));
    }
}

bool IsRevision(const SpStr& name) noexcept {
    return ::CompareStringOrdinal(name.W(), static_cast<int>(name.Length()), L"Revision", 8, TRUE) ==
           CSTR_EQUAL;
}

// The configuration as the plug-in receives it: null stays null.
UniqueBstr ConfigurationArgument(const wchar_t* configuration) {
    return UniqueBstr(configuration ? NewBstr(configuration) : nullptr);
}

template <class Rec, class Call>
HRESULT ReadWith(Lst<AttributeData*>& attributes, bool revisionFlag, Call&& call) {
    int count = 0;
    Rec* built = CreateArray<Rec>(attributes, count, false);
    AttribArray<Rec> elements(built, count);
    if (!elements.get())
        throw ComError(E_OUTOFMEMORY);
    const HRESULT hr = call(count, elements.get());
    int i = 0;
    for (AttributeData* attribute : attributes) {
        Rec& element = elements[i++];
        AttribArray<Rec>::FreeNames(element);
        attribute->mbFlag = element.mlFlag != 0;
        if (element.mlStatus == 0) {
            attribute->mbFound = false;
            ThrowIfFailed(::VariantClear(attribute->mpoValue));
            continue;
        }
        if (revisionFlag || !IsRevision(attribute->moName))
            attribute->mbFound = true;
        // A date of 0.0 is how plug-ins report an unset date.
        if (V_VT(&element.mvValue) == VT_DATE && V_DATE(&element.mvValue) == 0.0)
            ThrowIfFailed(::VariantClear(attribute->mpoValue));
        else
            TakeValue(*attribute->mpoValue, element.mvValue);
        ThrowIfFailed(::VariantClear(&element.mvValue));
    }
    return hr;
}

template <class Rec, class Call>
HRESULT WriteWith(Lst<AttributeData*>& attributes, bool& anyWritten, Call&& call) {
    int count = 0;
    Rec* built = CreateArray<Rec>(attributes, count, true);
    AttribArray<Rec> elements(built, count);
    if (!elements.get())
        throw ComError(E_OUTOFMEMORY); // also a value that cannot be copied
    const HRESULT hr = call(count, elements.get());
    int i = 0;
    for (AttributeData* attribute : attributes) {
        Rec& element = elements[i++];
        AttribArray<Rec>::FreeNames(element);
        ThrowIfFailed(::VariantClear(&element.mvValue));
        attribute->mbFound = element.mlStatus != 0;
        anyWritten = anyWritten || attribute->mbFound;
    }
    return hr;
}

} // namespace

HRESULT ReadAttributes(const wchar_t* configuration, bool option, ITovFileNavigator* navigator,
                       Lst<AttributeData*>& attributes, ITovCallback* callback, bool revisionFlag) {
    if (!navigator)
        return E_POINTER;
    if (attributes.IsEmpty())
        return S_OK;
    const UniqueBstr config = ConfigurationArgument(configuration);
    HRESULT hr;
    ComPtr<ITovFileNavigator3> navigator3;
    if (SUCCEEDED(navigator->QueryInterface(__uuidof(ITovFileNavigator3), navigator3.put_void())) &&
        navigator3)
        hr = ReadWith<TovAttribData2>(attributes, revisionFlag, [&](int count, TovAttribData2* elements) {
            return navigator3->GetAttributes2(config.get(), option, callback, count, elements);
        });
    else
        hr = ReadWith<TovAttribData>(attributes, revisionFlag, [&](int count, TovAttribData* elements) {
            return navigator->GetAttributes(config.get(), option, callback, count, elements);
        });
    if (callback)
        callback->SetProgress(0);
    return hr;
}

HRESULT WriteAttributes(const wchar_t* configuration, bool option, long number, ITovFileNavigator* navigator,
                        Lst<AttributeData*>& attributes, ITovCallback* callback, bool save) {
    if (!navigator)
        return E_POINTER;
    if (attributes.IsEmpty())
        return S_FALSE;
    const UniqueBstr config = ConfigurationArgument(configuration);
    bool anyWritten = false;
    HRESULT hr;
    ComPtr<ITovFileNavigator3> navigator3;
    if (SUCCEEDED(navigator->QueryInterface(__uuidof(ITovFileNavigator3), navigator3.put_void())) &&
        navigator3)
        hr = WriteWith<TovAttribData2>(attributes, anyWritten, [&](int count, TovAttribData2* elements) {
            return navigator3->SetAttributes2(config.get(), option, callback, count, elements, number);
        });
    else
        hr = WriteWith<TovAttribData>(attributes, anyWritten, [&](int count, TovAttribData* elements) {
            return navigator->SetAttributes(config.get(), option, callback, count, elements, number);
        });
    if (FAILED(hr))
        return hr;
    if (save) {
        hr = navigator->Save();
        if (FAILED(hr))
            return hr;
    }
    if (callback)
        callback->SetProgress(0);
    return anyWritten ? S_OK : S_FALSE;
}

} // namespace ffm

HRESULT FileFormatMgr::mhGetAttribs(const wchar_t* configuration, bool option, ITovFileNavigator* navigator,
                                    ffm::Lst<AttributeData*>& attributes, ITovCallback* callback,
                                    bool revisionFlag) {
    return ffm::Boundary([&] {
        return ffm::ReadAttributes(configuration, option, navigator, attributes, callback, revisionFlag);
    });
}

HRESULT FileFormatMgr::mhSetAttribs(const wchar_t* configuration, bool option, long number,
                                    ITovFileNavigator* navigator, ffm::Lst<AttributeData*>& attributes,
                                    ITovCallback* callback, bool save) {
    return ffm::Boundary([&] {
        return ffm::WriteAttributes(configuration, option, number, navigator, attributes, callback, save);
    });
}

TovAttribData* FileFormatMgr::mpoCreateArray(ffm::Lst<AttributeData*>& attributes, int& count,
                                             bool withValues) {
    return ffm::CreateArray<TovAttribData>(attributes, count, withValues);
}

TovAttribData2* FileFormatMgr::mpoCreateArray2(ffm::Lst<AttributeData*>& attributes, int& count,
                                               bool withValues) {
    return ffm::CreateArray<TovAttribData2>(attributes, count, withValues);
}
