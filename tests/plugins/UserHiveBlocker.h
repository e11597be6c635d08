#pragma once
// Makes HKEY_CURRENT_USER unusable for the rest of the sandbox's life (every open or create below
// it fails) by redirecting it to a key that was deleted. The sandbox's destructor ends it.
#include <windows.h>

namespace ffmtest {

inline void BlockUserHive() {
    HKEY doomed = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, L"Blocked", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &doomed, nullptr);
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Blocked");
    RegOverridePredefKey(HKEY_CURRENT_USER, doomed);
    RegCloseKey(doomed);
}

} // namespace ffmtest
