#pragma once
// What every method of the plug-in shares: its class identifier and result codes, the one
// exception type its methods raise, and the guard that turns it into a result code plus the
// thread's error information. The COM objects themselves are written on ffm::ComObject
// (include/FileFmtMgr/ComObject.h); the owners of handles and strings come from Handles.h.
#include <FileFmtMgr/ComObject.h>
#include <FileFmtMgr/ContractBases.h>
#include <FileFmtMgr/Handles.h>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace mrd {

// The plug-in's own failure codes (interface facility, a range the manager does not use).
constexpr HRESULT MRD_E_MALFORMED = static_cast<HRESULT>(0x80040300);       // not a valid MRD text file
constexpr HRESULT MRD_E_CHANGED_ON_DISK = static_cast<HRESULT>(0x80040301); // changed since it was opened
constexpr HRESULT MRD_E_NOT_MRD_FILE = static_cast<HRESULT>(0x80040302);    // extension is not one of ours

// {484E65A5-42FC-42F3-A658-7A719CFAA378}: the format object.
constexpr CLSID CLSID_MrdFormat = {
    0x484e65a5, 0x42fc, 0x42f3, {0xa6, 0x58, 0x7a, 0x71, 0x9c, 0xfa, 0xa3, 0x78}};

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

// Sets the thread's error information for a failure of a method of interface iid; hosts read it
// with GetErrorInfo after asking ISupportErrorInfo.
inline void PublishError(HRESULT hr, const std::wstring& text, REFIID iid) noexcept {
    try {
        ffm::ComPtr<ICreateErrorInfo> create;
        if (FAILED(CreateErrorInfo(create.put())))
            return;
        std::wstring description = text;
        if (description.empty()) {
            wchar_t code[16];
            wsprintfW(code, L"0x%08lX", static_cast<unsigned long>(hr));
            description = std::wstring(L"MRD plug-in failure ") + code + L".";
        }
        create->SetGUID(iid);
        create->SetSource(const_cast<LPOLESTR>(L"MrdPlugin"));
        create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
        if (const auto info = create.try_query<IErrorInfo>())
            SetErrorInfo(0, info.get());
    } catch (const std::bad_alloc&) {
        // no description then; the result code still tells
    }
}

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

// A new BSTR, owned until released to an out-parameter; raises std::bad_alloc.
inline ffm::UniqueBstr NewBstr(std::wstring_view text) {
    ffm::UniqueBstr b(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (!b)
        throw std::bad_alloc();
    return b;
}

inline std::wstring FromBstr(BSTR b) {
    return b ? std::wstring(b, ::SysStringLen(b)) : std::wstring();
}

// Case-insensitive comparison of names and paths, as the vault compares them.
inline bool SameText(std::wstring_view a, std::wstring_view b) noexcept {
    if (a.size() != b.size())
        return false;
    // Keywords and most names are ASCII, where ignoring case is mapping a-z to A-Z: that needs no
    // call for each comparison of a large file. Other text goes to the platform.
    const auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; };
    size_t i = 0;
    while (i < a.size() && a[i] < 0x80 && b[i] < 0x80 && upper(a[i]) == upper(b[i]))
        ++i;
    if (i == a.size())
        return true;
    if (a[i] < 0x80 && b[i] < 0x80)
        return false;
    return ::CompareStringOrdinal(a.data() + i, static_cast<int>(a.size() - i), b.data() + i,
                                  static_cast<int>(b.size() - i), TRUE) == CSTR_EQUAL;
}

} // namespace mrd
