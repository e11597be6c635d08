#include "plugins/Registry.h"

#include <vector>

Registry::~Registry() = default;

bool Registry::mbOpen(HKEY parent, const wchar_t* subkey, REGSAM access) {
    ffm::UniqueHKey key;
    mlLastStatus = RegOpenKeyExW(parent, subkey, 0, access, key.put());
    if (mlLastStatus != ERROR_SUCCESS)
        return false;
    moKey = std::move(key);
    return true;
}

bool Registry::mbCreate(HKEY parent, const wchar_t* subkey, REGSAM access) {
    ffm::UniqueHKey key;
    mlLastStatus = RegCreateKeyExW(parent, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                   key.put(), nullptr);
    if (mlLastStatus != ERROR_SUCCESS)
        return false;
    moKey = std::move(key);
    return true;
}

bool Registry::mbGetDWord(const wchar_t* name, DWORD& value) {
    DWORD type = 0, size = 0;
    mlLastStatus = RegQueryValueExW(moKey.get(), name, nullptr, &type, nullptr, &size);
    if (mlLastStatus != ERROR_SUCCESS || size != sizeof(DWORD))
        return false;
    if (type != REG_DWORD && type != REG_DWORD_BIG_ENDIAN)
        return false;
    BYTE bytes[4] = {};
    mlLastStatus = RegQueryValueExW(moKey.get(), name, nullptr, &type, bytes, &size);
    if (mlLastStatus != ERROR_SUCCESS || size != sizeof(DWORD))
        return false;
    if (type == REG_DWORD_BIG_ENDIAN)
        value = (DWORD(bytes[0]) << 24) | (DWORD(bytes[1]) << 16) | (DWORD(bytes[2]) << 8) | DWORD(bytes[3]);
    else if (type == REG_DWORD)
        value = DWORD(bytes[0]) | (DWORD(bytes[1]) << 8) | (DWORD(bytes[2]) << 16) | (DWORD(bytes[3]) << 24);
    else
        return false;
    return true;
}

bool Registry::mbGetString(const wchar_t* name, std::wstring& value) {
    DWORD type = 0, size = 0;
    mlLastStatus = RegQueryValueExW(moKey.get(), name, nullptr, &type, nullptr, &size);
    if (mlLastStatus != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    // Room for an odd byte and a terminator, so unterminated data still reads as a whole text.
    std::vector<BYTE> buffer(size + (size & 1) + 2, 0);
    DWORD read = size;
    mlLastStatus = RegQueryValueExW(moKey.get(), name, nullptr, &type, buffer.data(), &read);
    if (mlLastStatus != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    const auto* text = reinterpret_cast<const wchar_t*>(buffer.data());
    if (type == REG_SZ) {
        value.assign(text);
        return true;
    }
    const DWORD needed = ExpandEnvironmentStringsW(text, nullptr, 0);
    if (needed == 0)
        return false;
    std::vector<wchar_t> expanded(needed, L'\0');
    // A larger need on the second call means the environment changed in between.
    const DWORD written = ExpandEnvironmentStringsW(text, expanded.data(), needed);
    if (written == 0 || written > needed)
        return false;
    value.assign(expanded.data());
    return true;
}

bool Registry::mbSetString(const wchar_t* name, const wchar_t* text) {
    const wchar_t* t = text ? text : L"";
    const DWORD bytes = static_cast<DWORD>((wcslen(t) + 1) * sizeof(wchar_t));
    mlLastStatus = RegSetValueExW(moKey.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(t), bytes);
    return mlLastStatus == ERROR_SUCCESS;
}

bool Registry::mbSetDWord(const wchar_t* name, DWORD value) {
    mlLastStatus =
        RegSetValueExW(moKey.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    return mlLastStatus == ERROR_SUCCESS;
}

bool gbReadMachineSwitch(const wchar_t* name) {
    Registry key;
    DWORD value = 0;
    if (!key.mbOpen(HKEY_LOCAL_MACHINE, VendorKey(L"Namespace").c_str(), KEY_READ))
        return true;
    if (!key.mbGetDWord(name, value))
        return true;
    return value != 0;
}
