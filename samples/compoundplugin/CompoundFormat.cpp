#include "CompoundFormat.h"

#include "CompoundNavigator.h"
#include "Storage.h"

namespace cfb {

HRESULT Format::GetExtensionFlags(BSTR extension, unsigned long* mask) {
    return Guard([&] {
        if (!mask)
            return E_POINTER;
        std::wstring ext = FromBstr(extension);
        if (!ext.empty() && ext[0] != L'.')
            ext = L"." + ext;
        *mask = 0;
        for (const wchar_t* ours : kExtensions)
            if (SameText(ext, ours))
                *mask = kCapRead | kCapSizeAndDate;
        return S_OK;
    });
}

HRESULT Format::OpenFile(BSTR path, ITovCallback*, ITovFileNavigator** navigator) {
    return Guard([&] {
        if (!navigator)
            return E_POINTER;
        *navigator = nullptr;
        const std::wstring file = FromBstr(path);
        OpenContainer(file); // a file that is no compound document fails here, with the platform's code
        *navigator = ffm::Make<Navigator>(Location{file, {}, false}).detach();
        return S_OK;
    });
}

HRESULT Format::Query(long kind, VARIANT input, VARIANT* result, VARIANT* second) {
    return Guard([&] {
        if (kind != 1)
            return E_NOTIMPL;
        if (!result || !second)
            return E_POINTER;
        if (input.vt != VT_BSTR)
            return E_INVALIDARG;
        SizeAndDate(Location::Parse(FromBstr(input.bstrVal)), result, second);
        return S_OK;
    });
}

} // namespace cfb
