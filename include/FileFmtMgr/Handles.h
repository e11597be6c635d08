#pragma once
// One move-only owner per resource kind, all from one template: get() reads, put() frees the old
// value and hands out the address for an out-parameter (so a reused out-parameter never leaks),
// release() gives up ownership, reset() frees.
#include <cstddef>
#include <objbase.h>
#include <oleauto.h>
#include <utility>
#include <windows.h>

namespace ffm {

template <class Traits> class UniqueAny {
  public:
    using Type = typename Traits::Type;

    UniqueAny() noexcept = default;
    explicit UniqueAny(Type v) noexcept : m_v(v) {}
    UniqueAny(UniqueAny&& o) noexcept : m_v(o.release()) {}
    UniqueAny& operator=(UniqueAny&& o) noexcept {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    ~UniqueAny() { reset(); }

    Type get() const noexcept { return m_v; }
    Type* put() noexcept {
        reset();
        return &m_v;
    }
    [[nodiscard]] Type release() noexcept { return std::exchange(m_v, Traits::Invalid()); }
    void reset(Type v = Traits::Invalid()) noexcept {
        if (v == m_v)
            return;
        Type old = std::exchange(m_v, v);
        if (old != Traits::Invalid())
            Traits::Close(old);
    }
    explicit operator bool() const noexcept { return m_v != Traits::Invalid(); }

  private:
    Type m_v = Traits::Invalid();
};

namespace traits {
template <class T, class Fn, Fn F> struct NullIsInvalid {
    using Type = T;
    static constexpr T Invalid() noexcept { return T(); }
    static void Close(T v) noexcept { F(v); }
};
struct File {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) noexcept { ::CloseHandle(h); }
};
struct Find {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) noexcept { ::FindClose(h); }
};
template <class T> struct TaskMem {
    using Type = T*;
    static constexpr T* Invalid() noexcept { return nullptr; }
    static void Close(T* p) noexcept { ::CoTaskMemFree(p); }
};
inline void CloseKey(HKEY k) noexcept {
    ::RegCloseKey(k);
}
inline void CloseHandleFn(HANDLE h) noexcept {
    ::CloseHandle(h);
}
inline void FreeBstr(BSTR b) noexcept {
    ::SysFreeString(b);
}
inline void CloseModule(HMODULE m) noexcept {
    ::FreeLibrary(m);
}
inline void DestroySafeArray(SAFEARRAY* a) noexcept {
    ::SafeArrayDestroy(a);
}
inline void DestroyWindowFn(HWND w) noexcept {
    ::DestroyWindow(w);
}
inline void DestroyMenuFn(HMENU m) noexcept {
    ::DestroyMenu(m);
}
} // namespace traits

// Keys the library opened; never a predefined root such as HKEY_LOCAL_MACHINE.
using UniqueHKey = UniqueAny<traits::NullIsInvalid<HKEY, decltype(&traits::CloseKey), &traits::CloseKey>>;
using UniqueHandle =
    UniqueAny<traits::NullIsInvalid<HANDLE, decltype(&traits::CloseHandleFn), &traits::CloseHandleFn>>;
using UniqueFile = UniqueAny<traits::File>;
using UniqueFind = UniqueAny<traits::Find>;
using UniqueBstr = UniqueAny<traits::NullIsInvalid<BSTR, decltype(&traits::FreeBstr), &traits::FreeBstr>>;
using UniqueHModule =
    UniqueAny<traits::NullIsInvalid<HMODULE, decltype(&traits::CloseModule), &traits::CloseModule>>;
using UniqueSafeArray = UniqueAny<
    traits::NullIsInvalid<SAFEARRAY*, decltype(&traits::DestroySafeArray), &traits::DestroySafeArray>>;
using UniqueHwnd =
    UniqueAny<traits::NullIsInvalid<HWND, decltype(&traits::DestroyWindowFn), &traits::DestroyWindowFn>>;
using UniqueHMenu =
    UniqueAny<traits::NullIsInvalid<HMENU, decltype(&traits::DestroyMenuFn), &traits::DestroyMenuFn>>;
template <class T> using UniqueTaskMem = UniqueAny<traits::TaskMem<T>>;

// A VARIANT that is cleared when it goes.
class UniqueVariant {
  public:
    UniqueVariant() noexcept { ::VariantInit(&m_v); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { ::VariantClear(&m_v); }
    VARIANT* get() noexcept { return &m_v; }
    const VARIANT* get() const noexcept { return &m_v; }
    VARIANT* put() noexcept {
        ::VariantClear(&m_v);
        return &m_v;
    }
    VARIANT* operator->() noexcept { return &m_v; }
    const VARIANT* operator->() const noexcept { return &m_v; }
    // Hands the value to a caller's VARIANT, clearing what that held; this one is left empty.
    void move_to(VARIANT* out) noexcept {
        ::VariantClear(out);
        *out = m_v;
        ::VariantInit(&m_v);
    }

  private:
    VARIANT m_v;
};

// The elements of a SAFEARRAY, locked while the scope lives. Declare it after the array's owner,
// so the array is unlocked before it is destroyed.
template <class T> class SafeArrayAccess {
  public:
    SafeArrayAccess() noexcept = default;
    SafeArrayAccess(const SafeArrayAccess&) = delete;
    SafeArrayAccess& operator=(const SafeArrayAccess&) = delete;
    ~SafeArrayAccess() { Unlock(); }

    // Locks the array, unlocking the one held before; on failure the scope holds none and the
    // code of SafeArrayAccessData comes back.
    [[nodiscard]] HRESULT Lock(SAFEARRAY* array) noexcept {
        Unlock();
        void* data = nullptr;
        const HRESULT hr = ::SafeArrayAccessData(array, &data);
        if (SUCCEEDED(hr)) {
            m_array = array;
            m_data = static_cast<T*>(data);
        }
        return hr;
    }
    void Unlock() noexcept {
        if (m_array)
            ::SafeArrayUnaccessData(std::exchange(m_array, nullptr));
        m_data = nullptr;
    }
    T* data() const noexcept { return m_data; }
    T& operator[](std::size_t i) const noexcept { return m_data[i]; }

  private:
    SAFEARRAY* m_array = nullptr;
    T* m_data = nullptr;
};

// A list of records the library handed to the caller (attributes, variables, configurations,
// references): the records are the caller's to delete, and go with the list.
template <class List> class OwnedRecords : public List {
  public:
    OwnedRecords() = default;
    OwnedRecords(const OwnedRecords&) = delete;
    OwnedRecords& operator=(const OwnedRecords&) = delete;
    ~OwnedRecords() {
        for (auto* record : *this)
            delete record;
    }
};

} // namespace ffm
