#include "MrdFormat.h"

#include "MrdNavigator.h"
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

} // namespace mrd
