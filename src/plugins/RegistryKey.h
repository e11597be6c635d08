#pragma once
// RegistryKey: a registry key that raises instead of returning status, for the registration
// store, which reads many values and wants one place to decide what a failure skips.
// Failures raise ffm::ComError: 0x80040412 (FFM_E_REG_OPEN) when a key cannot be opened,
// 0x80040413 (FFM_E_REG_READ) when a value cannot be read or an enumeration fails. Out-
// parameters are left unchanged by a failing call. Used by one thread for one task.
#include "foundation/Handles.h"
#include <list>
#include <string>
#include <vector>
#include <windows.h>

class RegistryKey {
  public:
    RegistryKey() noexcept = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() = default;

    // Opens parent\<subkey>, the subkey path formatted printf-style (use %ls for wide strings,
    // and pass names that may hold '%' through "%ls"). The key held before is closed only once
    // the new one is open; on failure it stays.
    void mvOpen(HKEY parent, REGSAM access, const wchar_t* format, ...);

    // The name at the index, false past the last one. The name buffer holds 260 characters
    // with its terminator, so a name of 260 characters or more is a read failure
    // (ERROR_MORE_DATA), as is any other enumeration error.
    bool mbEnumSubKey(DWORD index, std::wstring& name) const;
    bool mbEnumValueName(DWORD index, std::wstring& name) const;

    // A value's data as stored, and its type; a null or empty name reads the default value.
    std::vector<BYTE> moGetData(const wchar_t* name, DWORD& type) const;

    // A REG_SZ or REG_EXPAND_SZ value, not expanded; a null or empty name reads the default
    // value. Stored data need not be terminated: the text is zoTextOf(data).
    std::wstring moGetString(const wchar_t* name) const;
    // The text in string data, up to its first NUL or its end; a last odd byte is a character
    // of its own.
    static std::wstring zoTextOf(const std::vector<BYTE>& data);

    // Appends the strings of a REG_MULTI_SZ value, in stored order. The data must be a whole,
    // non-zero number of characters ending in two NULs (one NUL when it is a single character),
    // else a read failure. The strings before the first empty one are appended; when the first
    // string is already empty (the empty multi-string) one empty string is appended, so a
    // successful read always adds at least one string.
    void mvGetMultiStringList(const wchar_t* name, std::list<std::wstring>& list) const;
    // The same for REG_MULTI_SZ data already read (moGetData), with the same rules and failures.
    static void zvMultiStringsOf(const std::vector<BYTE>& data, std::list<std::wstring>& list);

    HKEY mhKey() const noexcept { return moKey.get(); }
    // KEY_WOW64_32KEY / KEY_WOW64_64KEY as given to the last successful open.
    REGSAM mlViewFlags() const noexcept { return mlView; }

  private:
    ffm::UniqueHKey moKey;
    REGSAM mlView = 0;
    // Kept for transacted access; this library never uses one, so calls go to the plain
    // registry functions.
    HANDLE mhTransaction = nullptr;
};
