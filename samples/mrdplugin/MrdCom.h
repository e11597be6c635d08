#pragma once
// Plumbing shared by the plug-in's COM objects: the module lock, the plug-in's own result codes,
// the one exception type its methods raise, and the boundary that turns it into a result code
// plus the thread's error information.
#include <FileFmtMgr/TovContract.h>
#include <atomic>
#include <exception>
#include <new>
#include <string>
#include <utility>

namespace mrd {

// The plug-in's own failure codes (interface facility, a range the manager does not use).
constexpr HRESULT MRD_E_MALFORMED = static_cast<HRESULT>(0x80040300); // not a valid MRD text file
constexpr HRESULT MRD_E_CHANGED_ON_DISK =
    static_cast<HRESULT>(0x80040301);                                    // file changed since it was opened
constexpr HRESULT MRD_E_NOT_MRD_FILE = static_cast<HRESULT>(0x80040302); // extension is not one of ours

// {484E65A5-42FC-42F3-A658-7A719CFAA378}: the format object.
constexpr CLSID CLSID_MrdFormat = {
    0x484e65a5, 0x42fc, 0x42f3, {0xa6, 0x58, 0x7a, 0x71, 0x9c, 0xfa, 0xa3, 0x78}};

// Live objects and LockServer counts; the DLL may unload when both are 0.
extern std::atomic<long> g_moduleLocks;
extern HMODULE g_module;

// Every object holds the module for its lifetime.
struct ModuleRef {
    ModuleRef() noexcept { ++g_moduleLocks; }
    ModuleRef(const ModuleRef&) noexcept { ++g_moduleLocks; }
    ~ModuleRef() { --g_moduleLocks; }
};

// A failure inside a method: its code and, optionally, a text for the error information.
class Failure : public std::exception {
  public:
    explicit Failure(HRESULT hr, std::wstring description = {}) : m_hr(hr), m_text(std::move(description)) {}
    HRESULT Code() const noexcept { return m_hr; }
    const std::wstring& Text() const noexcept { return m_text; }
    const char* what() const noexcept override { return "mrd::Failure"; }

  private:
    HRESULT m_hr;
    std::wstring m_text;
};

inline void Check(HRESULT hr) {
    if (FAILED(hr))
        throw Failure(hr);
}

// Sets the thread's error information for a failure of a method of interface iid.
void PublishError(HRESULT hr, const std::wstring& text, REFIID iid) noexcept;

// Runs a method body; failures become the result code, with a description published for hosts
// that ask (every object answers ISupportErrorInfo for its interfaces).
template <class Body> HRESULT Guard(REFIID iid, Body&& body) noexcept {
    try {
        return body();
    } catch (const Failure& f) {
        PublishError(f.Code(), f.Text(), iid);
        return f.Code();
    } catch (const std::bad_alloc&) {
        PublishError(E_OUTOFMEMORY, L"Out of memory.", iid);
        return E_OUTOFMEMORY;
    } catch (...) {
        PublishError(E_UNEXPECTED, L"Unexpected failure in the MRD plug-in.", iid);
        return E_UNEXPECTED;
    }
}

// A BSTR owned until released to an out-parameter.
class Bstr {
  public:
    Bstr() noexcept = default;
    explicit Bstr(const std::wstring& text)
        : m_b(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
        if (!m_b)
            throw std::bad_alloc();
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { ::SysFreeString(m_b); }
    BSTR get() const noexcept { return m_b; }
    [[nodiscard]] BSTR release() noexcept { return std::exchange(m_b, nullptr); }

  private:
    BSTR m_b = nullptr;
};

inline std::wstring FromBstr(BSTR b) {
    return b ? std::wstring(b, ::SysStringLen(b)) : std::wstring();
}

// Case-insensitive comparison of names and paths, as the vault compares them.
inline bool SameText(const std::wstring& a, const std::wstring& b) noexcept {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The reference count and module lock every object of the plug-in shares.
class RefCounted {
  public:
    virtual ~RefCounted() = default;

  protected:
    ULONG AddRefImpl() noexcept { return ++m_refs; }
    ULONG ReleaseImpl() noexcept {
        const ULONG left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }

  private:
    std::atomic<ULONG> m_refs{1};
    ModuleRef m_module;
};

} // namespace mrd
