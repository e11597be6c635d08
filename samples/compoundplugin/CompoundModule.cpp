// The module: its class table (the class factory and unload test come with it), and the
// registration the installer (or regsvr32) writes: the COM class, the plug-in's entry in the
// manager's FileFormats key and our name first in each capability list of our extensions.
#include "CfbCommon.h"
#include "CompoundFormat.h"
#include <FileFmtMgr/ComModule.h>

namespace {

const wchar_t kPluginName[] = L"CompoundPlugin.dll";

const ffm::ClassRow kClasses[] = {{&cfb::CLSID_CompoundFormat, ffm::CreateInstanceOf<cfb::Format>}};

std::vector<ffm::RegistryRow> Rows() {
    // Free-threaded hosts create the format object in their own apartment: the contract has no proxies.
    auto rows = ffm::InprocServerRows(cfb::CLSID_CompoundFormat, L"Compound document file format plug-in",
                                      ffm::ModulePath(ffm::ThisModule()), L"Both");
    for (auto& row : ffm::PluginRows(kPluginName, cfb::CLSID_CompoundFormat))
        rows.push_back(std::move(row));
    return rows;
}

} // namespace

FFM_COM_SERVER_EXPORTS(kClasses)

// Running it again changes nothing; other plug-ins named for our extensions stay, after us.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    try {
        const HRESULT hr = ffm::WriteRegistryRows(Rows());
        return FAILED(hr) ? hr
                          : ffm::FromWin32(ffm::UpdateCapabilityLists(kPluginName, cfb::kExtensions,
                                                                      cfb::kCapabilities, true));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// Missing entries are not an error.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    try {
        const LONG lists =
            ffm::UpdateCapabilityLists(kPluginName, cfb::kExtensions, cfb::kCapabilities, false);
        const LONG plugin = ffm::DeleteRegistryTree(HKEY_LOCAL_MACHINE, ffm::PluginKey(kPluginName));
        const LONG cls = ffm::DeleteRegistryTree(HKEY_CLASSES_ROOT, ffm::ClassKey(cfb::CLSID_CompoundFormat));
        return ffm::FromWin32(lists != ERROR_SUCCESS ? lists : plugin != ERROR_SUCCESS ? plugin : cls);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
