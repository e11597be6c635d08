#pragma once
// Owning interface pointer. query() for interfaces an operation requires (raises), try_query()
// for optional ones (null when absent).
#include <FileFmtMgr/Api.h>
#include <type_traits>
#include <unknwn.h>
#include <utility>

namespace ffm {

// Throws ffm::ComError(hr). Declared here rather than by including ComError.h, which holds a
// ComPtr itself; it lives in the DLL like ComError.
[[noreturn]] FFM_API void RaiseComError(HRESULT hr);

template <class T> class ComPtr {
  public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Adds a reference of its own.
    explicit ComPtr(T* p) noexcept : m_p(p) {
        if (m_p)
            m_p->AddRef();
    }
    ComPtr(const ComPtr& o) noexcept : ComPtr(o.m_p) {}
    ComPtr(ComPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    // From a pointer to an implementation (or a derived interface): takes over its reference.
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*> && !std::is_same_v<U, T>>>
    ComPtr(ComPtr<U> o) noexcept : m_p(o.detach()) {}
    ComPtr& operator=(ComPtr o) noexcept {
        std::swap(m_p, o.m_p);
        return *this;
    }
    ~ComPtr() { reset(); }

    // Takes over a reference the caller already counted.
    static ComPtr Attach(T* p) noexcept {
        ComPtr c;
        c.m_p = p;
        return c;
    }

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }
    T** put() noexcept {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    [[nodiscard]] T* detach() noexcept { return std::exchange(m_p, nullptr); }
    void reset() noexcept {
        if (T* old = std::exchange(m_p, nullptr))
            old->Release();
    }
    // Hands a counted reference to an out-parameter.
    void copy_to(T** out) const noexcept {
        *out = m_p;
        if (m_p)
            m_p->AddRef();
    }

    template <class U> ComPtr<U> try_query() const noexcept {
        ComPtr<U> u;
        if (m_p)
            m_p->QueryInterface(__uuidof(U), u.put_void());
        return u;
    }
    template <class U> ComPtr<U> query() const {
        ComPtr<U> u;
        if (!m_p)
            RaiseComError(E_POINTER);
        const HRESULT hr = m_p->QueryInterface(__uuidof(U), u.put_void());
        if (FAILED(hr))
            RaiseComError(hr);
        return u;
    }
    // The result code of the query as well, for callers that treat some codes specially.
    template <class U> HRESULT query_to(ComPtr<U>& u) const noexcept {
        if (!m_p)
            return E_POINTER;
        return m_p->QueryInterface(__uuidof(U), u.put_void());
    }

  private:
    T* m_p = nullptr;
};

} // namespace ffm
