#include "MrdFormat.h"

#include "MrdNavigator.h"
#include "MrdPreview.h"
#include <shlwapi.h>

namespace mrd {

HRESULT Format::GetExtensionFlags(BSTR extension, unsigned long* mask) {
    return Guard(__uuidof(ITovFileFormat), [&] {
        if (!mask)
            return E_POINTER;
        *mask = 0;
        FileKind kind;
        if (!KindOfExtension(FromBstr(extension), kind))
            throw Failure(MRD_E_NOT_MRD_FILE,
                          L"The MRD plug-in does not read ." + FromBstr(extension) + L" files.");
        for (unsigned long cap : kCapabilities)
            *mask |= cap;
        return S_OK;
    });
}

HRESULT Format::OpenFile(BSTR path, ITovCallback* callback, ITovFileNavigator** navigator) {
    return Guard(__uuidof(ITovFileFormat), [&] {
        if (!navigator)
            return E_POINTER;
        *navigator = nullptr;
        const std::wstring file = FromBstr(path);
        FileKind kind;
        if (!KindOfExtension(PathFindExtensionW(file.c_str()), kind))
            throw Failure(MRD_E_NOT_MRD_FILE, file + L" is not an .mrdasm, .mrdprt or .mrddrw file.");
        *navigator = Navigator::Open(file, kind, callback).detach();
        return S_OK;
    });
}

HRESULT Format::Query(long kind, VARIANT input, VARIANT* result, VARIANT* second) {
    return Guard(__uuidof(ITovFileQuery), [&] {
        if (kind != 1)
            return E_NOTIMPL;
        if (input.vt != VT_BSTR || SysStringLen(input.bstrVal) == 0)
            throw Failure(E_INVALIDARG, L"The size-and-date query needs a path.");
        QuerySizeAndDate(FromBstr(input.bstrVal), result, second);
        return S_OK;
    });
}

HRESULT Format::GetSearchPaths(BSTR argument, BSTR* paths) {
    return Guard(__uuidof(ITovFileFormat), [&] {
        if (!paths)
            return E_POINTER;
        *paths = nullptr;
        const std::wstring file = FromBstr(argument);
        const auto slash = file.find_last_of(L"\\/");
        const std::wstring folders =
            slash == std::wstring::npos ? std::wstring() : file.substr(0, slash) + L"\\parts";
        *paths = NewBstr(folders).release();
        return S_OK;
    });
}

HRESULT Format::GetModuleList(long, BSTR extension, BSTR* modules) {
    return Guard(__uuidof(ITovProductModules), [&] {
        if (!modules)
            return E_POINTER;
        *modules = nullptr;
        FileKind kind;
        if (!KindOfExtension(FromBstr(extension), kind))
            throw Failure(MRD_E_NOT_MRD_FILE,
                          L"The MRD plug-in has no modules for ." + FromBstr(extension) + L" files.");
        const wchar_t* text = kind == FileKind::Drawing    ? L"Drawing;Assembly;Part"
                              : kind == FileKind::Assembly ? L"Assembly;Part"
                                                           : L"Part";
        *modules = NewBstr(text).release();
        return S_OK;
    });
}

HRESULT Format::CreatePreview(long parentWindow, TovRect* rect, ITovCallback*, ITovRegistry*,
                              ITovFilePreview** preview) {
    return Guard(__uuidof(ITovFileFormat), [&] {
        if (!preview || !rect)
            return E_POINTER;
        *preview = nullptr;
        // The host hands its window as the low 32 bits of the handle.
        const HWND parent = reinterpret_cast<HWND>(static_cast<LONG_PTR>(parentWindow));
        *preview = Preview::Create(parent, *rect).detach();
        return S_OK;
    });
}

} // namespace mrd
