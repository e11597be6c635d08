#pragma once
// PluginTable: the manager's picture of the installed plug-ins. Built complete from a
// registration store, then used under the manager's lock: lookup by extension chooses an entry
// by capability mask and creates the plug-in's format object once (per thread for executable
// servers), repairing a missing installation through the Windows Installer.
#include <FileFmtMgr/ComError.h>
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/RegistrationStore.h>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include <msi.h>

// Windows case-insensitive order for extension keys.
struct NoCaseLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const noexcept;
};

class PluginTable {
  public:
    struct LoadedPlugin {
        std::shared_ptr<FileFormatPlugin> moPlugin;
        ffm::ComPtr<ITovFileFormat> mpoFormat; // cached; null until first use
        DWORD mlOwnerThread = 0;               // per-thread plug-ins only
    };
    struct ExtensionEntry {
        unsigned long mlMask;
        LoadedPlugin* mpoPlugin; // link into the plug-in list, valid for the table's life
        bool mbPerThread;        // the plug-in is an executable server
    };
    using Visitor = std::function<void(ffm::ComPtr<ITovFileFormat>& format, const std::wstring& extension,
                                       unsigned long mask)>;

    // Builds from the store; null reads the registry through a fresh built-in store.
    // Raises the store's COM errors.
    explicit PluginTable(IFileFmtRegistryAccess* store);
    PluginTable(const PluginTable&) = delete;
    PluginTable& operator=(const PluginTable&) = delete;
    ~PluginTable();

    // The format object for the path's extension with one reference for the caller; mask in:
    // the request, out: the chosen entry's mask (or, when no entry shares a bit, the union of
    // the extension's masks). Raises 0x8004022A when nothing qualifies, or the creation's code.
    ffm::ComPtr<ITovFileFormat> moLookup(const wchar_t* path, unsigned long& mask);
    // Extensions (map order) with an entry sharing a bit with mask.
    std::vector<std::wstring> moCollectExtensions(unsigned long mask) const;
    // Hands (format, extension, mask) of every preview-capable entry to the visitor, creating
    // format objects as needed; an entry whose object cannot be created is passed over.
    void mvVisitPreviewCapable(const Visitor& visitor);
    void mvReloadExcluded();
    bool mbIsExcluded(const wchar_t* text) const;

    // The process-wide list of extensions that pick the most capable entry, as loaded so far.
    static std::vector<std::wstring> zoMatchingList();
    // Tests only: forget the matching list so the next lookup loads it again.
    static void zvResetMatchingList();

  private:
    // Creates the plug-in's format object. On failure the plug-in stays without one (the next
    // request tries again) and the activation's code, or 0x8007047E, is returned.
    HRESULT mhCreateFormat(LoadedPlugin& plugin);
    static void zvEnsureMatchingList();

    std::list<LoadedPlugin> moPlugins;
    std::map<std::wstring, std::vector<ExtensionEntry>, NoCaseLess> moExtensions;
    std::set<std::wstring, NoCaseLess> moExcluded;
};

// The Windows Installer calls behind the repair of an unregistered plug-in class; tests replace
// them to observe the repair without an installer.
struct InstallerApi {
    UINT(WINAPI* installMissingComponent)(LPCWSTR product, LPCWSTR component, INSTALLSTATE state);
    UINT(WINAPI* enumRelatedProducts)(LPCWSTR upgradeCode, DWORD reserved, DWORD index, LPWSTR product);
};
InstallerApi& goInstallerApi();
