// Format and navigator resolution, extensions, size and date.
#include <FileFmtMgr/FileFormatMgr.h>

#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include "plugins/PluginTable.h"
#include <cwctype>
#include <ctime>
#include <shlwapi.h>

using ffm::ComPtr;
using ffm::UniqueBstr;

constexpr unsigned long kSizeAndDateMask = 0x4000;

ComPtr<ITovFileFormat> FileFormatMgr::moLookup(const wchar_t* path, unsigned long& mask,
                                               ITovCallback* callback) {
    auto lock = moLock.Lock();
    mvInit(callback);
    return mpoPluginTable->moLookup(path, mask);
}

HRESULT FileFormatMgr::mhGetFormat(const wchar_t* path, ITovFileFormat** format, unsigned long mask,
                                   ITovCallback* callback, unsigned long* outMask, bool /*final*/) {
    if (!format || !path)
        return E_POINTER;
    *format = nullptr;
    if (outMask)
        *outMask = 0;
    auto lock = moLock.Lock();
    unsigned long working = mask;
    const auto resolve = [&] {
        ComPtr<ITovFileFormat> found = moLookup(path, working, callback);
        found.copy_to(format);
        if (!mpoRegAccess)
            return;
        if (auto context = found.try_query<ITovFormatContext>()) {
            unsigned long first = 0, second = 0;
            ffm::ThrowIfFailed(mpoRegAccess->GetFormatContext(&first, &second));
            // On failure the format object stays with the caller, who releases it.
            ffm::ThrowIfFailed(context->SetContext(first, second), context.get(),
                               __uuidof(ITovFormatContext));
        }
    };
    // The mask goes out on success and with every COM error, whatever its code; running out of
    // memory (std::bad_alloc) leaves it at 0.
    return ffm::Boundary([&] {
        try {
            resolve();
        } catch (const ffm::ComError&) {
            if (outMask)
                *outMask = working;
            throw;
        }
        if (outMask)
            *outMask = working;
    });
}

HRESULT FileFormatMgr::mhGetFormat(const std::wstring& path, ComPtr<ITovFileFormat>& format,
                                   unsigned long mask, ITovCallback* callback, unsigned long* outMask,
                                   bool final) {
    return mhGetFormat(path.c_str(), format.put(), mask, callback, outMask, final);
}

HRESULT FileFormatMgr::mhAcquireNavigator(const std::wstring& path, ComPtr<ITovFileNavigator>& navigator,
                                          unsigned long mask, ITovCallback* callback, unsigned long* outMask,
                                          ITovFileFormat* given) {
    // No lock of our own: opening files runs outside it so threads may open files at once.
    return ffm::Boundary([&]() -> HRESULT {
        ComPtr<ITovFileFormat> format;
        if (given) {
            format = ComPtr<ITovFileFormat>(given);
            const wchar_t* extension = ::PathFindExtensionW(path.c_str());
            if (outMask && *outMask == 0 && extension && *extension) {
                UniqueBstr bare(ffm::NewBstr(extension + 1));
                given->GetExtensionFlags(bare.get(), outMask);
            }
        } else {
            const HRESULT hr = mhGetFormat(path, format, mask, callback, outMask, true);
            if (FAILED(hr))
                return hr;
        }
        if (callback) {
            UniqueBstr opening(ffm::NewBstr(L"Opening file..."));
            const HRESULT hr = callback->SetStatusMessage(opening.get());
            if (FAILED(hr))
                return hr;
        }
        navigator.reset();
        if (!format)
            return E_POINTER;

        UniqueBstr file(ffm::NewBstr(path));
        HRESULT hr = format->OpenFile(file.get(), callback, navigator.put());
        if (hr == ffm::FFM_E_OPEN_ELSEWHERE) {
            navigator.reset();
            auto redirect = format.try_query<ITovFormatRedirect>();
            if (!redirect)
                return ffm::FFM_E_NO_PLUGIN;
            UniqueBstr target;
            hr = redirect->GetTargetExtension(file.get(), target.put());
            if (FAILED(hr))
                return hr;
            const std::wstring name = std::wstring(L"a.") + (target ? target.get() : L"");
            unsigned long chosen = mask;
            format = moLookup(name.c_str(), chosen, callback);
            if (outMask)
                *outMask = chosen;
            if (FAILED(format->OpenFile(file.get(), callback, navigator.put()))) {
                navigator.reset();
                return ffm::FFM_E_REDIRECT_FAILED;
            }
        } else if (FAILED(hr)) {
            navigator.reset();
            return hr;
        }
        if (callback) {
            UniqueBstr empty(ffm::NewBstr(L""));
            callback->SetStatusMessage(empty.get());
            callback->SetProgress(0);
        }
        return S_OK;
    });
}

HRESULT FileFormatMgr::mhGetNavigator2(const std::wstring& path, ComPtr<ITovFileNavigator>& navigator,
                                       unsigned long mask, ITovCallback* callback, unsigned long* outMask,
                                       ITovFileFormat* format) {
    return mhAcquireNavigator(path, navigator, mask, callback, outMask, format);
}

HRESULT FileFormatMgr::mhGetNavigator(const std::wstring& path, ComPtr<ITovFileNavigator>& navigator,
                                      unsigned long mask, ITovCallback* callback, unsigned long* outMask,
                                      ITovFileFormat* format) {
    const HRESULT hr = mhAcquireNavigator(path, navigator, mask, callback, outMask, format);
    return hr == ffm::FFM_E_NO_NAVIGATOR ? S_OK : hr;
}

HRESULT FileFormatMgr::mhGetNavigator(ITovFileNavigator** navigator, const wchar_t* path, unsigned long mask,
                                      ITovCallback* callback, unsigned long* outMask,
                                      ITovFileFormat* format) {
    if (!navigator || !path)
        return E_POINTER;
    ComPtr<ITovFileNavigator> local;
    const HRESULT hr = ffm::Boundary(
        [&] { return mhGetNavigator(std::wstring(path), local, mask, callback, outMask, format); });
    *navigator = local.detach();
    return hr;
}

HRESULT FileFormatMgr::mhGetNavigator2(ITovFileNavigator** navigator, const wchar_t* path, unsigned long mask,
                                       ITovCallback* callback, unsigned long* outMask,
                                       ITovFileFormat* format) {
    if (!navigator || !path)
        return E_POINTER;
    ComPtr<ITovFileNavigator> local;
    const HRESULT hr = ffm::Boundary(
        [&] { return mhGetNavigator2(std::wstring(path), local, mask, callback, outMask, format); });
    *navigator = local.detach();
    return hr;
}

HRESULT FileFormatMgr::mhGetExtensions(unsigned long mask, std::list<std::wstring>& extensions,
                                       ITovCallback* callback) {
    auto lock = moLock.Lock();
    return ffm::Boundary([&] {
        mvInit(callback);
        std::list<std::wstring> found;
        for (const std::wstring& key : mpoPluginTable->moCollectExtensions(mask)) {
            if (key == L".*")
                continue;
            // Dots alone give an empty name, listed like any other.
            const auto first = key.find_first_not_of(L'.');
            std::wstring bare = first == std::wstring::npos
                                    ? std::wstring()
                                    : key.substr(first, key.find_last_not_of(L'.') - first + 1);
            ::CharUpperBuffW(bare.data(), static_cast<DWORD>(bare.size()));
            found.push_back(std::move(bare));
        }
        extensions.splice(extensions.end(), found);
    });
}

namespace {

// Last-write date from the file system, in whole even seconds of local time as an OLE date.
HRESULT FileSystemSizeAndDate(const wchar_t* path, double& date, LONGLONG& size) {
    if (wcspbrk(path, L"*?"))
        return ffm::FFM_E_FILE_NOT_FOUND;
    WIN32_FIND_DATAW found;
    ffm::UniqueFind search(::FindFirstFileW(path, &found));
    if (!search)
        return ffm::FFM_E_FILE_NOT_FOUND;
    const LONGLONG bytes = (static_cast<LONGLONG>(found.nFileSizeHigh) << 32) + found.nFileSizeLow;

    FILETIME local;
    SYSTEMTIME st;
    if (!::FileTimeToLocalFileTime(&found.ftLastWriteTime, &local) || !::FileTimeToSystemTime(&local, &st))
        return E_FAIL;
    time_t seconds = 0;
    if (st.wYear >= 1900) {
        if (st.wYear < 1970 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 || st.wDay > 31 ||
            st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59)
            return E_FAIL;
        tm calendar{};
        calendar.tm_year = st.wYear - 1900;
        calendar.tm_mon = st.wMonth - 1;
        calendar.tm_mday = st.wDay;
        calendar.tm_hour = st.wHour;
        calendar.tm_min = st.wMinute;
        calendar.tm_sec = st.wSecond;
        calendar.tm_isdst = -1;
        seconds = mktime(&calendar);
        if (seconds == static_cast<time_t>(-1))
            return E_INVALIDARG;
    }
    // The vault keeps file times to two seconds, like the FAT file systems it once lived on.
    seconds -= seconds % 2;

    const tm* even = localtime(&seconds);
    if (!even)
        return ffm::FFM_E_FILE_NOT_FOUND;
    SYSTEMTIME wanted{};
    wanted.wYear = static_cast<WORD>(even->tm_year + 1900);
    wanted.wMonth = static_cast<WORD>(even->tm_mon + 1);
    wanted.wDay = static_cast<WORD>(even->tm_mday);
    wanted.wHour = static_cast<WORD>(even->tm_hour);
    wanted.wMinute = static_cast<WORD>(even->tm_min);
    wanted.wSecond = static_cast<WORD>(even->tm_sec);
    double ole = 0;
    SYSTEMTIME back;
    if (!::SystemTimeToVariantTime(&wanted, &ole) || !::VariantTimeToSystemTime(ole, &back) ||
        back.wYear != wanted.wYear || back.wMonth != wanted.wMonth || back.wDay != wanted.wDay ||
        back.wHour != wanted.wHour || back.wMinute != wanted.wMinute || back.wSecond != wanted.wSecond)
        return ffm::FFM_E_FILE_NOT_FOUND;
    date = ole;
    size = bytes;
    return S_OK;
}

// The date taken as local time, converted to universal time; unchanged when that fails.
void LocalDateToUniversal(double& date) {
    SYSTEMTIME local, universal;
    double converted = 0;
    if (::VariantTimeToSystemTime(date, &local) &&
        ::TzSpecificLocalTimeToSystemTime(nullptr, &local, &universal) &&
        ::SystemTimeToVariantTime(&universal, &converted))
        date = converted;
}

} // namespace

HRESULT FileFormatMgr::mhGetFileSizeAndDate(const wchar_t* path, double* date, LONGLONG* size,
                                            bool universal) {
    if (!path || !date || !size)
        return E_POINTER;
    auto lock = moLock.Lock();
    HRESULT hr = ffm::Boundary([&] {
        mvInit(nullptr);
        unsigned long mask = kSizeAndDateMask;
        const ComPtr<ITovFileFormat> format = mpoPluginTable->moLookup(path, mask);
        // Whatever QueryInterface answered, a format object without the interface lacks it.
        ComPtr<ITovFileQuery> query;
        if (FAILED(format.query_to(query)) || !query)
            throw ffm::ComError(E_NOINTERFACE);
        VARIANT input;
        input.vt = VT_BSTR;
        UniqueBstr file(ffm::NewBstr(path));
        input.bstrVal = file.get();
        ffm::UniqueVariant when, bytes, asDate, asSize;
        ffm::ThrowIfFailed(query->Query(1, input, when.get(), bytes.get()), query.get(),
                           __uuidof(ITovFileQuery));
        ffm::ThrowIfFailed(::VariantChangeType(asDate.get(), when.get(), 0, VT_DATE));
        ffm::ThrowIfFailed(::VariantChangeType(asSize.get(), bytes.get(), 0, VT_I8));
        *date = asDate->date;
        *size = asSize->llVal;
    });
    if (hr == ffm::FFM_E_NO_PLUGIN) {
        hr = FileSystemSizeAndDate(path, *date, *size);
    } else if (FAILED(hr)) {
        *date = 0;
        *size = 0;
    }
    if (SUCCEEDED(hr) && universal && *date > 0)
        LocalDateToUniversal(*date);
    return hr;
}
