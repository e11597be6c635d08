#include "plugins/SettingsLight.h"

#include "foundation/Paths.h"
#include <FileFmtMgr/ComPtr.h>
#include <atomic>
#include <shlobj.h>

namespace {

// Vendor help pages: product version, language, section and topic, filled in by the caller.
constexpr const wchar_t* kHelpUrlFormat = L"https://help.mordane.com/quillan/%s/%s/%s/%s.htm";
constexpr const wchar_t* kFallbackLanguage = L"GB";
constexpr const wchar_t* kUserSettingsKey = L"Vaults\\_-Global\\Settings";

bool SameText(const std::wstring& a, const wchar_t* b) {
    return lstrcmpiW(a.c_str(), b) == 0;
}

// "S" is an old spelling of the English default.
std::wstring Normalized(const std::wstring& code) {
    return SameText(code, L"S") ? kFallbackLanguage : code;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// "D:\Share\LanFiles\" -> "D:\Share\"; a path without a parent gives an empty string.
std::wstring ParentFolder(std::wstring path) {
    if (!path.empty() && path.back() == L'\\')
        path.pop_back();
    const auto cut = path.rfind(L'\\');
    if (cut == std::wstring::npos)
        return {};
    return path.substr(0, cut + 1);
}

} // namespace

SettingsLight::~SettingsLight() = default;

Registry* SettingsLight::mpoGetUserRoot() {
    if (!moUserRoot.mbIsOpen() && !moUserRoot.mbCreate(HKEY_CURRENT_USER, kVendorRoot, KEY_READ | KEY_WRITE))
        return nullptr;
    return &moUserRoot;
}

Registry* SettingsLight::mpoGetMachineRoot() {
    if (!moMachineRoot.mbIsOpen() && !moMachineRoot.mbOpen(HKEY_LOCAL_MACHINE, kVendorRoot, KEY_READ))
        return nullptr;
    return &moMachineRoot;
}

std::wstring SettingsLight::moValueDir(const wchar_t* name) {
    Registry* machine = mpoGetMachineRoot();
    std::wstring value;
    if (!machine || !machine->mbGetString(name, value) || value.empty())
        return {};
    return ffm::WithBackslash(std::move(value));
}

std::wstring SettingsLight::moValueDirOr(const wchar_t* name, long baseKind, const wchar_t* tail) {
    std::wstring dir = moValueDir(name);
    return dir.empty() ? moGetPath(baseKind) + tail : dir;
}

const std::wstring& SettingsLight::moLocationFromView(Registry& holder, REGSAM view, std::wstring& cache) {
    if (!cache.empty())
        return cache;
    if (!holder.mbIsOpen() && !holder.mbOpen(HKEY_LOCAL_MACHINE, kVendorRoot, KEY_READ | view))
        return cache;
    std::wstring value;
    if (holder.mbGetString(L"Location", value) && !value.empty())
        cache = ffm::WithBackslash(std::move(value));
    return cache;
}

std::wstring SettingsLight::moLangDir(const std::wstring& language) {
    return moValueDirOr(L"LangDir", Location64, L"Lang\\") + language + L"\\";
}

std::wstring SettingsLight::moGetPath(long kind) {
    switch (kind) {
    case Location:
    case Location2:
    case Location5:
        if (moLocation.empty())
            moLocation = moValueDir(L"Location");
        return moLocation;
    case SharedLocation:
        if (moSharedLocation.empty())
            moSharedLocation = moValueDir(L"SharedLocation");
        return moSharedLocation;
    case UserDataDir:
        if (moUserData.empty())
            moUserData = moUserDataDir();
        return moUserData;
    case LanFileDir:
        return moValueDirOr(L"LanFileDir", SharedLocation, L"LanFiles\\");
    case InsoBinDir:
        return moValueDirOr(L"InsoBinDir", SharedLocation, L"FileFormats\\InsoBin\\");
    case Location64:
        return moLocationFromView(moMachineRoot64, KEY_WOW64_64KEY, moLocation64);
    case LangDir:
        return moLangDir(moGetLanguage());
    case HelpFile:
        return moHelpFile();
    case DefaultDataDir:
        return moValueDirOr(L"DefaultDataDir", Location64, L"Default Data\\");
    case DefaultCardDir:
        return moValueDirOr(L"DefaultCardDir", Location64, L"Default Cards\\");
    case LanFileParentDir:
        return ParentFolder(moGetPath(LanFileDir));
    case DefConfigDir:
        return moValueDirOr(L"DefConfigDir", Location64, L"Default Configurations\\");
    case VaultConfigurationsFile:
        return moGetPath(DefConfigDir) + L"VaultConfigurations.ini";
    case HelpUrlFormat:
        return kHelpUrlFormat;
    case Location32:
        return moLocationFromView(moMachineRoot32, KEY_WOW64_32KEY, moLocation32);
    default:
        return {};
    }
}

std::wstring SettingsLight::moUserDataDir() {
    std::wstring base;
    if (!zbGetSpecialFolder(nullptr, base, CSIDL_LOCAL_APPDATA, true) &&
        !zbGetSpecialFolder(nullptr, base, CSIDL_APPDATA, true)) {
        wchar_t env[MAX_PATH + 1];
        const DWORD length = GetEnvironmentVariableW(L"APPDATA", env, MAX_PATH + 1);
        if (length == 0 || length > MAX_PATH)
            return {};
        base.assign(env, length);
    }
    const std::wstring dir = base + L"\\MORDANE\\MORDANE QVT\\";
    if (FileExists(dir + L"."))
        return dir;
    // Made one level at a time: CreateDirectory does not make missing parents.
    std::wstring step = base + L"\\MORDANE";
    CreateDirectoryW(step.c_str(), nullptr);
    step += L"\\MORDANE QVT";
    CreateDirectoryW(step.c_str(), nullptr);
    return step + L"\\";
}

std::wstring SettingsLight::moHelpFile() {
    const std::wstring language = moGetLanguage();
    const std::wstring path = moLangDir(language) + L"FileExplorer.chm";
    if (FileExists(path) || SameText(language, kFallbackLanguage))
        return path;
    // The language folder is the last one in the path: moLangDir put it there.
    const std::wstring folder = L"\\" + language + L"\\";
    const auto at = path.rfind(folder);
    if (at == std::wstring::npos)
        return path;
    std::wstring english = path;
    english.replace(at, folder.size(), L"\\GB\\");
    return FileExists(english) ? english : path;
}

std::wstring SettingsLight::moGetLanguage() {
    Registry* user = mpoGetUserRoot();
    if (!user)
        return kFallbackLanguage;

    Registry userSettings;
    const bool userSettingsOpen =
        userSettings.mbCreate(user->mhKey(), kUserSettingsKey, KEY_READ | KEY_WRITE);
    if (userSettingsOpen) {
        std::wstring code;
        if (userSettings.mbGetString(L"0", code) && !SameText(code, L"S"))
            return code;
    }

    Registry machine;
    std::wstring code;
    if (!machine.mbOpen(HKEY_LOCAL_MACHINE, kVendorRoot, KEY_READ | KEY_WRITE) ||
        !machine.mbGetString(L"DefaultLanguage", code))
        return kFallbackLanguage;
    code = Normalized(code);

    if (userSettingsOpen) {
        // Best effort: a user without rights to the machine hive leaves it as it is.
        userSettings.mbSetString(L"0", code.c_str());
        user->mbSetString(L"Language", code.c_str());
        machine.mbSetString(L"DefaultLanguage", code.c_str());
        Registry machine32;
        std::wstring old;
        if (machine32.mbOpen(HKEY_LOCAL_MACHINE, kVendorRoot, KEY_READ | KEY_WRITE | KEY_WOW64_32KEY) &&
            machine32.mbGetString(L"DefaultLanguage", old))
            machine32.mbSetString(L"DefaultLanguage", code.c_str());
    }
    return code;
}

namespace {

using SpecialFolderPathFn = BOOL(WINAPI*)(HWND, LPWSTR, int, BOOL);

// Loaded on first use and kept for the process; an unguarded race only loads the module twice.
std::atomic<HMODULE> gShellModule{nullptr};
std::atomic<SpecialFolderPathFn> gSpecialFolderPath{nullptr};

SpecialFolderPathFn SpecialFolderPath() {
    if (!gShellModule.load()) {
        if (HMODULE shell = LoadLibraryW(L"Shell32.dll")) {
            gSpecialFolderPath = reinterpret_cast<SpecialFolderPathFn>(
                reinterpret_cast<void*>(GetProcAddress(shell, "SHGetSpecialFolderPathW")));
            gShellModule = shell;
        }
    }
    return gSpecialFolderPath.load();
}

// An item list from the shell, given back through the shell's allocator.
class ShellItemList {
  public:
    ShellItemList() = default;
    ShellItemList(const ShellItemList&) = delete;
    ShellItemList& operator=(const ShellItemList&) = delete;
    ~ShellItemList() {
        ffm::ComPtr<IMalloc> malloc;
        if (m_list && SUCCEEDED(SHGetMalloc(malloc.put())))
            malloc->Free(m_list);
    }
    PIDLIST_ABSOLUTE* put() { return &m_list; }
    PCIDLIST_ABSOLUTE get() const { return m_list; }

  private:
    PIDLIST_ABSOLUTE m_list = nullptr;
};

} // namespace

bool zbGetSpecialFolder(HWND owner, std::wstring& path, int csidl, bool create) {
    wchar_t buffer[MAX_PATH + 1] = {};
    if (const SpecialFolderPathFn getPath = SpecialFolderPath()) {
        if (!getPath(owner, buffer, csidl, create))
            return false;
        path = buffer;
        return true;
    }
    ShellItemList list;
    if (FAILED(SHGetSpecialFolderLocation(owner, csidl, list.put())) || !list.get() ||
        !SHGetPathFromIDListW(list.get(), buffer))
        return false;
    path = buffer;
    return true;
}
