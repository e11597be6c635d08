#include "plugins/TovReg.h"

#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include "plugins/SettingsLight.h"

ffm::ComPtr<ITovRegistry> TovReg::Create(const wchar_t* subkey) {
    return ffm::ComPtr<ITovRegistry>(new TovReg(subkey));
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

TovReg::~TovReg() = default;

HRESULT TovReg::QueryInterface(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == __uuidof(ITovRegistry)) {
        AddRef();
        *out = static_cast<ITovRegistry*>(this);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG TovReg::AddRef() {
    return ++mlRefs;
}

ULONG TovReg::Release() {
    const ULONG left = --mlRefs;
    if (left == 0)
        delete this;
    return left;
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
