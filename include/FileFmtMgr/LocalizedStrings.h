#pragma once
// The vault client's localized-string service: an in-process COM class of the client that the
// library asks for the texts of its menu item and dialog. Outside the library; when it is missing
// or has no text, the library shows its built-in English texts.
#include <FileFmtMgr/TovContract.h>

struct ITovLocalizedStrings : public IUnknown {
    // Binds the service to a product and a module (file name without folder and extension).
    virtual HRESULT STDMETHODCALLTYPE InitLocalizedStrings(BSTR productName, BSTR moduleName) = 0;
    // text receives a new string (the caller frees it), or stays null when there is none.
    virtual HRESULT STDMETHODCALLTYPE GetLocalizedString(long number, BSTR section, BSTR* text) = 0;
};

FFM_DECLARE_IID(ITovLocalizedStrings, 0x5d43c4cb, 0x2edc, 0x4793, 0xae, 0x05, 0x92, 0x78, 0x7e, 0x0c, 0xb5,
                0x57)

// {51999FE1-EDB9-11D3-90FA-00C04F56B3AF}
inline constexpr CLSID CLSID_TovLocalizedStrings = {
    0x51999fe1, 0xedb9, 0x11d3, {0x90, 0xfa, 0x00, 0xc0, 0x4f, 0x56, 0xb3, 0xaf}};
