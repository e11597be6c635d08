#pragma once
// What the compound-document plug-in's parts share: its failure type and method boundary, its own
// result codes, and where an inner element is (container path plus the names of the storages and
// the stream below the root).
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/TovContract.h>
#include <exception>
#include <new>
#include <string>
#include <vector>

namespace cfb {

// The plug-in's own codes (interface facility, beside the sample MRD plug-in's range).
constexpr HRESULT CFB_E_BAD_PROPERTY_SET = static_cast<HRESULT>(0x80040320); // property set stream malformed
constexpr HRESULT CFB_E_NOT_A_STREAM = static_cast<HRESULT>(0x80040321);     // command needs an inner file
constexpr HRESULT CFB_E_VERIFY_FAILED = static_cast<HRESULT>(0x80040322);    // written copy reads back wrong

// {6F1D7B9E-2C48-4E0B-9A57-3D2B8E41C0A5}: the format object.
constexpr CLSID CLSID_CompoundFormat = {
    0x6f1d7b9e, 0x2c48, 0x4e0b, {0x9a, 0x57, 0x3d, 0x2b, 0x8e, 0x41, 0xc0, 0xa5}};

constexpr unsigned long kCapRead = 0x2;           // contents: inner files, properties
constexpr unsigned long kCapSizeAndDate = 0x4000; // ITovFileQuery kind 1
constexpr unsigned long kCapabilities[] = {kCapRead, kCapSizeAndDate};
constexpr const wchar_t* kExtensions[] = {L".cfb", L".msi", L".xls", L".doc", L".ppt"};

class Failure : public std::exception {
  public:
    explicit Failure(HRESULT hr) noexcept : m_hr(hr) {}
    HRESULT Code() const noexcept { return m_hr; }
    const char* what() const noexcept override { return "cfb::Failure"; }

  private:
    HRESULT m_hr;
};

inline void Check(HRESULT hr) {
    if (FAILED(hr))
        throw Failure(hr);
}

// A method's body: failures become its result code; nothing passes into the caller's C frames.
template <class Body> HRESULT Guard(Body&& body) noexcept {
    try {
        return body();
    } catch (const Failure& f) {
        return f.Code();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// Separates the container from the inner path in the paths the plug-in hands out; it cannot occur
// in a file system path.
constexpr wchar_t kInnerMark = L'|';

// An inner element: the storages from the root down, then (for a stream) the stream's name.
struct Location {
    std::wstring container;
    std::vector<std::wstring> inner; // empty: the root storage itself
    bool stream = false;

    // "C:\d\book.xls|Storage\Stream"; the container alone for the root.
    std::wstring Path() const;
    std::wstring InnerPath() const;
    // The storages that hold the element (all of inner for a storage, all but the last for a stream).
    std::vector<std::wstring> Storages() const;
    // Splits a path handed out by Path(); stream is left false.
    static Location Parse(const std::wstring& path);
};

// Case-insensitive comparison, as the vault compares names.
inline bool SameText(const std::wstring& a, const std::wstring& b) noexcept {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

inline std::wstring FromBstr(BSTR b) {
    return b ? std::wstring(b, ::SysStringLen(b)) : std::wstring();
}

// A new BSTR; raises std::bad_alloc.
BSTR NewBstr(const std::wstring& text);

} // namespace cfb
