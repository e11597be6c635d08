#include "MrdFormat.h"

#include "MrdNavigator.h"
#include <shlwapi.h>

namespace mrd {

HRESULT Format::QueryInterface(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == __uuidof(ITovFileFormat))
        *out = static_cast<ITovFileFormat*>(this);
    else if (iid == __uuidof(ITovFileQuery))
        *out = static_cast<ITovFileQuery*>(this);
    else if (iid == IID_ISupportErrorInfo)
        *out = static_cast<ISupportErrorInfo*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

HRESULT Format::InterfaceSupportsErrorInfo(REFIID iid) {
    return iid == __uuidof(ITovFileFormat) || iid == __uuidof(ITovFileQuery) ? S_OK : S_FALSE;
}

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
        *navigator = Navigator::Open(file, kind, callback);
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

} // namespace mrd
