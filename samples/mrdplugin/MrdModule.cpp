// The module: entry point, the table of the classes it serves, the unload test, and the
// registration the installer (or regsvr32) writes: the COM class, and the plug-in's entry in the
// manager's FileFormats key with our name in each capability list of our extensions.
#include "MrdCom.h"
#include "MrdFormat.h"
#include <FileFmtMgr/ComModule.h>
#include <algorithm>
#include <vector>

namespace mrd {
namespace {

HMODULE g_module = nullptr; // this DLL; not owned

const ffm::ClassRow kClasses[] = {{&CLSID_MrdFormat, ffm::CreateInstanceOf<Format>}};

const wchar_t kPluginName[] = L"MrdPlugin.dll";
const wchar_t kFormatsKey[] = L"Software\\Mordane\\Applications\\Quillan\\FileFormats";
const wchar_t* const kExtensions[] = {L".mrdasm", L".mrdprt", L".mrddrw"};

std::wstring PluginKey() {
    return std::wstring(kFormatsKey) + L"\\" + kPluginName;
}

// The rows DllRegisterServer writes. Free-threaded hosts create the format object in their own
// apartment: there is no proxy for the contract's interfaces, hence "Both".
std::vector<ffm::RegistryRow> RegistrationRows(const std::wstring& module) {
    auto rows = ffm::InprocServerRows(CLSID_MrdFormat, L"MRD CAD file format plug-in", module, L"Both");
    rows.push_back({HKEY_LOCAL_MACHINE, PluginKey(), nullptr, L""}); // no Windows Installer component
    rows.push_back({HKEY_LOCAL_MACHINE, PluginKey(), L"CLSID", ffm::GuidText(CLSID_MrdFormat)});
    return rows;
}

std::vector<std::wstring> ReadList(HKEY key, const wchar_t* name) {
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_MULTI_SZ)
        return {};
    std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 2, L'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes) !=
        ERROR_SUCCESS)
        return {};
    std::vector<std::wstring> list;
    for (const wchar_t* s = data.data(); *s; s += wcslen(s) + 1)
        list.emplace_back(s);
    return list;
}

LONG WriteList(HKEY key, const wchar_t* name, const std::vector<std::wstring>& list) {
    if (list.empty())
        return RegDeleteValueW(key, name);
    std::wstring data;
    for (const auto& s : list)
        data += s + L'\0';
    data += L'\0';
    return RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

bool IsEmptyKey(HKEY key) {
    DWORD values = 0, subkeys = 0;
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                            nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
           values == 0 && subkeys == 0;
}

// Our name first in each capability's list of candidates (so we are preferred), other plug-ins'
// entries kept; or, when unregistering, our name taken out and a key left empty removed.
LONG UpdateCapabilityLists(bool add) {
    for (const wchar_t* extension : kExtensions) {
        const std::wstring path = std::wstring(kFormatsKey) + L"\\" + extension;
        ffm::UniqueHKey key;
        const LONG open =
            add ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                  nullptr, key.put(), nullptr)
                : RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WRITE, key.put());
        if (open != ERROR_SUCCESS) {
            if (add)
                return open;
            continue;
        }
        for (unsigned long cap : kCapabilities) {
            const std::wstring name = std::to_wstring(cap);
            auto list = ReadList(key.get(), name.c_str());
            const auto ours = [](const std::wstring& s) { return SameText(s, kPluginName); };
            list.erase(std::remove_if(list.begin(), list.end(), ours), list.end());
            if (add)
                list.insert(list.begin(), kPluginName);
            const LONG rc = WriteList(key.get(), name.c_str(), list);
            if (rc != ERROR_SUCCESS && !(rc == ERROR_FILE_NOT_FOUND && !add))
                return rc;
        }
        const bool empty = IsEmptyKey(key.get());
        key.reset();
        if (!add && empty)
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    }
    return ERROR_SUCCESS;
}

} // namespace
} // namespace mrd

using namespace mrd;

// The loader calls it; the module handle is all we keep.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

// COM calls it when a host creates the format object; the factory is the caller's.
extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    return ffm::GetClassObject(kClasses, clsid, iid, out);
}

// COM calls it from CoFreeUnusedLibraries: no object alive and no server lock held.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return ffm::CanUnloadNow();
}

// The installer (or regsvr32) calls it: writes the COM class (HKCR) and the plug-in's FileFormats
// entries (HKLM). Running it again changes nothing.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    return Guard(IID_NULL, [] {
        const std::wstring module = ffm::ModulePath(g_module);
        if (module.empty())
            return HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
        const HRESULT hr = ffm::WriteRegistryRows(RegistrationRows(module));
        return FAILED(hr) ? hr : ffm::FromWin32(UpdateCapabilityLists(true));
    });
}

// The uninstaller calls it: removes what DllRegisterServer wrote and leaves other plug-ins'
// entries alone; missing entries are not an error.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return Guard(IID_NULL, [] {
        const LONG lists = UpdateCapabilityLists(false);
        const LONG plugin = ffm::DeleteRegistryTree(HKEY_LOCAL_MACHINE, PluginKey());
        const LONG cls = ffm::DeleteRegistryTree(HKEY_CLASSES_ROOT, ffm::ClassKey(CLSID_MrdFormat));
        return ffm::FromWin32(lists != ERROR_SUCCESS ? lists : plugin != ERROR_SUCCESS ? plugin : cls);
    });
}
