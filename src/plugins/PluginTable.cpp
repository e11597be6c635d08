#include "plugins/PluginTable.h"

#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include <FileFmtMgr/FileFmtRegistryAccess.h>
#include "plugins/Registry.h"
#include "plugins/RegistryKey.h"
#include <FileFmtMgr/Values.h>
#include <atomic>
#include <mutex>
#include <shlwapi.h>

using ffm::ComPtr;

namespace {

// The system's own installation package, for the repair of a plug-in whose class is missing.
constexpr const wchar_t* kProductCode = L"{4E1A6C2B-8F3D-4B7A-9C21-5D0E7F3A9B64}";
constexpr const wchar_t* kUpgradeCodes[] = {L"{A7C3E915-2B4D-4F86-8E1A-3C5B9D70F214}",
                                            L"{D2F84B61-7E3A-4C09-B5D2-91A6E8C4F037}"};

constexpr UINT kUnknownProduct = 1605; // ERROR_UNKNOWN_PRODUCT
constexpr UINT kNoMoreItems = 259;     // ERROR_NO_MORE_ITEMS

bool EqualNoCase(const wchar_t* a, const wchar_t* b) {
    return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

bool IsExecutableServer(const ffm::SpStr& pluginName) {
    const UINT length = pluginName.Length();
    return length >= 4 && EqualNoCase(pluginName.Text() + length - 4, L".exe");
}

// Components whose plug-ins need a minimum system; read once per process.
struct OsRequirement {
    const wchar_t* component;
    DWORD major, minor, platform;
};
constexpr OsRequirement kOsRequirements[] = {
    {L"{9D49E153-31ED-4DF1-AABF-C9E3C89A0D70}", 4, 0, VER_PLATFORM_WIN32_NT},
    {L"{B061E304-413E-449D-966B-EB192180F7C3}", 5, 0, VER_PLATFORM_WIN32_NT},
    {L"{86D9D7DB-AF25-484B-80AE-126481C001F2}", 4, 0, VER_PLATFORM_WIN32_NT},
};

const OSVERSIONINFOW& SystemVersion() {
    static const OSVERSIONINFOW version = [] {
        OSVERSIONINFOW v{};
        v.dwOSVersionInfoSize = sizeof(v);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        ::GetVersionExW(&v);
#pragma GCC diagnostic pop
        return v;
    }();
    return version;
}

bool MeetsSystemRequirement(const ffm::SpStr& component) {
    if (component.IsEmpty())
        return true;
    for (const auto& r : kOsRequirements) {
        if (wcscmp(r.component, component.Text()) != 0)
            continue;
        const auto& v = SystemVersion();
        return v.dwPlatformId >= r.platform && v.dwMajorVersion >= r.major && v.dwMinorVersion >= r.minor;
    }
    return true;
}

// Asks the installer to restore the component; true when it says it did.
bool RepairInstallation(const ffm::SpStr& component) {
    const InstallerApi& msi = goInstallerApi();
    const wchar_t* comp = component.Text();
    UINT answer = msi.installMissingComponent(kProductCode, comp, INSTALLSTATE_DEFAULT);
    if (answer == kUnknownProduct) {
        wchar_t related[39] = {};
        UINT found = kNoMoreItems;
        for (const wchar_t* upgrade : kUpgradeCodes) {
            found = msi.enumRelatedProducts(upgrade, 0, 0, related);
            if (found != kNoMoreItems)
                break;
        }
        if (found == ERROR_SUCCESS)
            answer = msi.installMissingComponent(related, comp, INSTALLSTATE_DEFAULT);
    }
    return answer == ERROR_SUCCESS;
}

// Filled once per process from the registry, at the first lookup that can open "FileFormats".
std::mutex gMatchingMutex;
std::atomic<bool> gMatchingLoaded{false};
std::vector<std::wstring> gMatchingList;

} // namespace

InstallerApi& goInstallerApi() {
    static InstallerApi api{&::MsiInstallMissingComponentW, &::MsiEnumRelatedProductsW};
    return api;
}

bool NoCaseLess::operator()(const std::wstring& a, const std::wstring& b) const noexcept {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
}

// ---- Build and destroy ----------------------------------------------------------------------

PluginTable::PluginTable(IFileFmtRegistryAccess* store) {
    FileFmtRegistryAccess builtIn;
    IFileFmtRegistryAccess* source = store ? store : &builtIn;

    FileFormatPluginList plugins;
    source->GetPlugins(plugins);
    for (auto& plugin : plugins)
        moPlugins.push_back(LoadedPlugin{plugin, nullptr, 0});

    ExtensionRecordList records;
    source->GetExtensionRecords(records);
    for (const ExtensionRecord& record : records) {
        const wchar_t* name = record.moPluginName.Text();
        LoadedPlugin* owner = nullptr;
        for (LoadedPlugin& candidate : moPlugins) {
            if (EqualNoCase(candidate.moPlugin->mbsName.Text(), name)) {
                owner = &candidate;
                break;
            }
        }
        if (!owner)
            continue;
        moExtensions[record.moExtension.Text()].push_back(
            ExtensionEntry{record.mlMask, owner, IsExecutableServer(record.moPluginName)});
    }
    mvReloadExcluded();
}

PluginTable::~PluginTable() {
    moExcluded.clear();
    moExtensions.clear();
    moPlugins.clear(); // releases each cached format object and the share of its record
}

// ---- Lookup ---------------------------------------------------------------------------------

void PluginTable::zvEnsureMatchingList() {
    if (gMatchingLoaded.load(std::memory_order_acquire))
        return;
    std::lock_guard<std::mutex> guard(gMatchingMutex);
    if (gMatchingLoaded.load(std::memory_order_relaxed))
        return;
    RegistryKey formats;
    try {
        formats.mvOpen(HKEY_LOCAL_MACHINE, KEY_READ, L"%ls", VendorKey(L"FileFormats").c_str());
    } catch (const ffm::ComError&) {
        return; // tried again at the next lookup
    }
    std::vector<std::wstring> list;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    try {
        data = formats.moGetData(L"MatchingPluginExtList", type);
    } catch (const ffm::ComError&) {
        type = REG_NONE; // no value: the defaults
    }
    if (type == REG_MULTI_SZ) {
        std::list<std::wstring> strings;
        try {
            RegistryKey::zvMultiStringsOf(data, strings);
        } catch (const ffm::ComError&) {
            // Malformed data reads as an empty list.
        }
        for (std::wstring& s : strings)
            if (!s.empty())
                list.push_back(std::move(s));
    } else {
        list = {L".IAM", L".IPT", L".IDW", L".IDE", L".IPN", L".IPJ"};
    }
    // An empty list is loaded again by the next lookup.
    if (list.empty())
        return;
    gMatchingList = std::move(list);
    gMatchingLoaded.store(true, std::memory_order_release);
}

std::vector<std::wstring> PluginTable::zoMatchingList() {
    std::lock_guard<std::mutex> guard(gMatchingMutex);
    return gMatchingList;
}

void PluginTable::zvResetMatchingList() {
    std::lock_guard<std::mutex> guard(gMatchingMutex);
    gMatchingList.clear();
    gMatchingLoaded.store(false);
}

ComPtr<ITovFileFormat> PluginTable::moLookup(const wchar_t* path, unsigned long& mask) {
    const wchar_t* extension = ::PathFindExtensionW(path);
    auto key = moExtensions.find(extension ? extension : L"");
    if (key == moExtensions.end())
        key = moExtensions.find(L".*");
    if (key == moExtensions.end())
        throw ffm::ComError(ffm::FFM_E_NO_PLUGIN);

    zvEnsureMatchingList();
    std::wstring upper = extension ? extension : L"";
    ::CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    bool matching = false;
    if (gMatchingLoaded.load(std::memory_order_acquire))
        for (const auto& m : gMatchingList)
            if (m == upper) {
                matching = true;
                break;
            }

    const std::vector<ExtensionEntry>& entries = key->second;
    const ExtensionEntry* chosen = nullptr;
    if (matching) {
        // The most capable entry: the greatest mask sharing a bit, stopping at an exact match.
        unsigned long kept = 0;
        for (const ExtensionEntry& e : entries) {
            if ((e.mlMask & mask) == 0 || e.mlMask <= kept)
                continue;
            chosen = &e;
            kept = e.mlMask;
            if (e.mlMask == mask)
                break;
        }
    } else {
        for (const ExtensionEntry& e : entries)
            if (e.mlMask & mask) {
                chosen = &e;
                break;
            }
    }
    if (!chosen) {
        unsigned long offered = 0;
        for (const ExtensionEntry& e : entries)
            offered |= e.mlMask;
        mask = offered;
        throw ffm::ComError(ffm::FFM_E_NO_PLUGIN);
    }

    LoadedPlugin& plugin = *chosen->mpoPlugin;
    const DWORD thread = ::GetCurrentThreadId();
    if (chosen->mbPerThread && plugin.mlOwnerThread != thread)
        plugin.mpoFormat.reset();
    if (!plugin.mpoFormat) {
        ffm::ThrowIfFailed(mhCreateFormat(plugin));
        if (chosen->mbPerThread)
            plugin.mlOwnerThread = thread;
    }
    mask = chosen->mlMask;
    return plugin.mpoFormat;
}

HRESULT PluginTable::mhCreateFormat(LoadedPlugin& plugin) {
    const FileFormatPlugin& record = *plugin.moPlugin;
    if (!MeetsSystemRequirement(record.mbsComponent))
        return ffm::FFM_E_OLD_WINDOWS;
    constexpr DWORD anyServer =
        CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
    ComPtr<ITovFileFormat> created;
    HRESULT hr =
        ::CoCreateInstance(record.moClsid, nullptr, anyServer, __uuidof(ITovFileFormat), created.put_void());
    if (hr == REGDB_E_CLASSNOTREG && RepairInstallation(record.mbsComponent))
        hr = ::CoCreateInstance(record.moClsid, nullptr, anyServer, __uuidof(ITovFileFormat),
                                created.put_void());
    if (FAILED(hr))
        return hr;
    if (!created)
        return E_POINTER;
    plugin.mpoFormat = std::move(created);
    return S_OK;
}

// ---- Other services -------------------------------------------------------------------------

std::vector<std::wstring> PluginTable::moCollectExtensions(unsigned long mask) const {
    std::vector<std::wstring> found;
    for (const auto& [extension, entries] : moExtensions)
        for (const ExtensionEntry& e : entries)
            if (e.mlMask & mask) {
                found.push_back(extension);
                break;
            }
    return found;
}

void PluginTable::mvVisitPreviewCapable(const Visitor& visitor) {
    constexpr unsigned long kPreview = 0x4;
    for (auto& [extension, entries] : moExtensions) {
        for (const ExtensionEntry& e : entries) {
            // That plug-in's previews stand for the extension's whole list.
            if (EqualNoCase(e.mpoPlugin->moPlugin->mbsName.Text(), L"InsoPlugin.dll"))
                break;
            if (!(e.mlMask & kPreview))
                continue;
            // One plug-in that cannot be made must not hide the previews of the others.
            if (!e.mpoPlugin->mpoFormat && FAILED(mhCreateFormat(*e.mpoPlugin)))
                continue;
            visitor(e.mpoPlugin->mpoFormat, extension, e.mlMask);
        }
    }
}

void PluginTable::mvReloadExcluded() {
    moExcluded.clear();
    Registry key;
    std::wstring list;
    if (!key.mbOpen(HKEY_CURRENT_USER, VendorKey(L"FileFmtMgr").c_str(), KEY_READ) ||
        !key.mbGetString(L"ExcludeExtList", list))
        return;
    ffm::StrTok tokens(list, L" \t\n,");
    std::wstring token;
    while (tokens.Next(token))
        moExcluded.insert(token);
}

bool PluginTable::mbIsExcluded(const wchar_t* text) const {
    return text && moExcluded.count(text) != 0;
}
