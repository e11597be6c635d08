#pragma once
// Registry: one open key and the status of the last call made through it. Readers never raise;
// they return false (or an empty string) and leave the status for inspection.
#include "foundation/Handles.h"
#include <string>
#include <windows.h>

// The vendor root below HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE.
constexpr const wchar_t* kVendorRoot = L"Software\\Mordane\\Applications\\Quillan";

// The path of a key below the vendor root ("<root>\<subkey>"); the one way to name one.
inline std::wstring VendorKey(const wchar_t* subkey) {
    return std::wstring(kVendorRoot) + L'\\' + subkey;
}

class Registry {
  public:
    Registry() = default;
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
    virtual ~Registry();

    // Opens an existing key, closing any key held before.
    bool mbOpen(HKEY parent, const wchar_t* subkey, REGSAM access);
    // Opens or makes the key.
    bool mbCreate(HKEY parent, const wchar_t* subkey, REGSAM access);

    // A 32-bit number stored in exactly 4 bytes as REG_DWORD or REG_DWORD_BIG_ENDIAN.
    bool mbGetDWord(const wchar_t* name, DWORD& value);
    // A REG_SZ or REG_EXPAND_SZ value (the latter expanded); stored data need not be terminated.
    bool mbGetString(const wchar_t* name, std::wstring& value);
    // REG_SZ with its terminating zero.
    bool mbSetString(const wchar_t* name, const wchar_t* text);
    bool mbSetDWord(const wchar_t* name, DWORD value);

    HKEY mhKey() const noexcept { return moKey.get(); }
    bool mbIsOpen() const noexcept { return static_cast<bool>(moKey); }
    LONG mlStatus() const noexcept { return mlLastStatus; }

  private:
    ffm::UniqueHKey moKey;
    LONG mlLastStatus = ERROR_SUCCESS;
};

// A 32-bit machine switch under the vendor root's "Namespace" key: on unless a 4-byte number
// (either byte order) says 0.
bool gbReadMachineSwitch(const wchar_t* name);
