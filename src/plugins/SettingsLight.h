#pragma once
// SettingsLight: a short-lived reader of the vendor root in both hives. It resolves the vault
// client's folders and files and the user's language. Built on the stack for one task; its keys
// and cached paths live as long as it does.
#include "plugins/Registry.h"
#include <string>

enum SettingsPathKind : long {
    Location = 0,
    SharedLocation = 1,
    Location2 = 2,
    UserDataDir = 3,
    LanFileDir = 4,
    Location5 = 5,
    InsoBinDir = 6,
    Location64 = 7,
    LangDir = 8,
    HelpFile = 9,
    DefaultDataDir = 10,
    DefaultCardDir = 11,
    LanFileParentDir = 12,
    DefConfigDir = 13,
    VaultConfigurationsFile = 14,
    HelpUrlFormat = 15,
    Location32 = 16,
};

class SettingsLight {
  public:
    SettingsLight() = default;
    SettingsLight(const SettingsLight&) = delete;
    SettingsLight& operator=(const SettingsLight&) = delete;
    virtual ~SettingsLight();

    // User vendor root, opened or made with read and write access on first call; null when that
    // fails (tried again on the next call).
    Registry* mpoGetUserRoot();
    // Machine vendor root, read access, default view; null on failure (tried again).
    Registry* mpoGetMachineRoot();

    // A folder or file of the vault client by kind; empty when it cannot be resolved.
    std::wstring moGetPath(long kind);
    // The user's language code, "GB" as the last resort; propagates it where it was missing.
    std::wstring moGetLanguage();

  private:
    // "Location" through one machine view, kept in cache once found.
    const std::wstring& moLocationFromView(Registry& holder, REGSAM view, std::wstring& cache);
    // A machine root value as a folder (trailing backslash); empty when missing or empty.
    std::wstring moValueDir(const wchar_t* name);
    std::wstring moValueDirOr(const wchar_t* name, long baseKind, const wchar_t* tail);
    std::wstring moLangDir(const std::wstring& language);
    std::wstring moUserDataDir();
    std::wstring moHelpFile();

    Registry moUserRoot;      // read and write
    Registry moMachineRoot;   // read, default view
    Registry moMachineRoot32; // read, KEY_WOW64_32KEY
    Registry moMachineRoot64; // read, KEY_WOW64_64KEY
    // Cached paths; empty until first resolved to something non-empty.
    std::wstring moLocation;
    std::wstring moSharedLocation;
    std::wstring moUserData;
    std::wstring moLocation32;
    std::wstring moLocation64;
};

// The path of a shell special folder (CSIDL); false when none was obtained.
bool zbGetSpecialFolder(HWND owner, std::wstring& path, int csidl, bool create);
