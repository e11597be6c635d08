// The module: entry point, class table, unload test, and the registration the installer (or
// regsvr32) writes: the COM class, the plug-in's entry in the manager's FileFormats key and our
// name as the candidate of each capability of our extensions.
#include "CfbCommon.h"
#include "CompoundFormat.h"
#include <FileFmtMgr/ComModule.h>

namespace {

HMODULE g_module = nullptr;

const wchar_t kPluginName[] = L"CompoundPlugin.dll";
const std::wstring kFormatsKey = L"Software\\Mordane\\Applications\\Quillan\\FileFormats";

const ffm::ClassRow kClasses[] = {{&cfb::CLSID_CompoundFormat, ffm::CreateInstanceOf<cfb::Format>}};

std::vector<ffm::RegistryRow> Rows() {
    // Free-threaded hosts create the format object in their own apartment: the contract has no proxies.
    auto rows = ffm::InprocServerRows(cfb::CLSID_CompoundFormat, L"Compound document file format plug-in",
                                      ffm::ModulePath(g_module), L"Both");
    const std::wstring plugin = kFormatsKey + L"\\" + kPluginName;
    rows.push_back({HKEY_LOCAL_MACHINE, plugin, nullptr, L""}); // no Windows Installer component
    rows.push_back({HKEY_LOCAL_MACHINE, plugin, L"CLSID", ffm::GuidText(cfb::CLSID_CompoundFormat)});
    return rows;
}

// Each capability of each extension names us alone; a multi-string, which the rows do not write.
HRESULT WriteCapabilities() {
    const std::wstring list = std::wstring(kPluginName) + L'\0' + L'\0';
    for (const wchar_t* extension : cfb::kExtensions) {
        ffm::UniqueHKey key;
        LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kFormatsKey + L"\\" + extension).c_str(), 0, nullptr,
                                  0, KEY_WRITE, nullptr, key.put(), nullptr);
        for (unsigned long cap : cfb::kCapabilities)
            if (rc == ERROR_SUCCESS)
                rc = RegSetValueExW(key.get(), std::to_wstring(cap).c_str(), 0, REG_MULTI_SZ,
                                    reinterpret_cast<const BYTE*>(list.data()),
                                    static_cast<DWORD>(list.size() * sizeof(wchar_t)));
        if (rc != ERROR_SUCCESS)
            return ffm::FromWin32(rc);
    }
    return S_OK;
}

// Takes out our capability values; an extension key left empty goes too.
void RemoveCapabilities() {
    for (const wchar_t* extension : cfb::kExtensions) {
        const std::wstring path = kFormatsKey + L"\\" + extension;
        {
            ffm::UniqueHKey key;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WRITE, key.put()) !=
                ERROR_SUCCESS)
                continue;
            for (unsigned long cap : cfb::kCapabilities)
                RegDeleteValueW(key.get(), std::to_wstring(cap).c_str());
        }
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()); // fails, as it should, while other entries remain
    }
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    return ffm::GetClassObject(kClasses, clsid, iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return ffm::CanUnloadNow();
}

// Running it again changes nothing.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    try {
        const HRESULT hr = ffm::WriteRegistryRows(Rows());
        return FAILED(hr) ? hr : WriteCapabilities();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// Missing entries are not an error.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    RemoveCapabilities();
    const LONG plugin = ffm::DeleteRegistryTree(HKEY_LOCAL_MACHINE, kFormatsKey + L"\\" + kPluginName);
    const LONG cls = ffm::DeleteRegistryTree(HKEY_CLASSES_ROOT, ffm::ClassKey(cfb::CLSID_CompoundFormat));
    return ffm::FromWin32(plugin != ERROR_SUCCESS ? plugin : cls);
}
