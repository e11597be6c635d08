#include "plugins/TovReg.h"

#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include "plugins/SettingsLight.h"

ffm::ComPtr<ITovRegistry> TovReg::Create(const wchar_t* subkey) {
    return ffm::Make<TovReg>(subkey);
}

TovReg::TovReg(const wchar_t* subkey) {
    SettingsLight settings;
    Registry* root = settings.mpoGetUserRoot();
    if (!root || !moKey.mbCreate(root->mhKey(), L"FileFormatPlugins", KEY_READ | KEY_WRITE))
        return;
    if (subkey && *subkey) {
        Registry sub;
        if (sub.mbCreate(moKey.mhKey(), subkey, KEY_READ | KEY_WRITE))
            moKey.mbOpen(sub.mhKey(), nullptr, KEY_READ | KEY_WRITE);
    }
}

HRESULT TovReg::GetIntValue(BSTR name, long* value) {
    if (!value)
        return E_POINTER;
    DWORD v = 0;
    if (!moKey.mbGetDWord(name, v))
        return ffm::FFM_E_REG_VALUE_MISSING;
    *value = static_cast<long>(v);
    return S_OK;
}

HRESULT TovReg::SetIntValue(BSTR name, long value) {
    return moKey.mbSetDWord(name, static_cast<DWORD>(value)) ? S_OK : E_FAIL;
}

HRESULT TovReg::GetStringValue(BSTR name, BSTR* value) {
    if (!value)
        return E_POINTER;
    return ffm::Boundary([&]() -> HRESULT {
        std::wstring text;
        if (!moKey.mbGetString(name, text))
            return ffm::FFM_E_REG_VALUE_MISSING;
        *value = ffm::NewBstr(text);
        return S_OK;
    });
}

HRESULT TovReg::SetStringValue(BSTR name, BSTR value) {
    return moKey.mbSetString(name, value) ? S_OK : E_FAIL;
}
