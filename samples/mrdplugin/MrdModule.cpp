// The module: the table of the classes it serves (its class factory and unload test come with
// it), and the registration the installer (or regsvr32) writes: the COM class, and the plug-in's entry in the
// manager's FileFormats key with our name in each capability list of our extensions.
#include "MrdCom.h"
#include "MrdFormat.h"
#include <FileFmtMgr/ComModule.h>
#include <vector>

namespace mrd {
namespace {

const ffm::ClassRow kClasses[] = {{&CLSID_MrdFormat, ffm::CreateInstanceOf<Format>}};

const wchar_t kPluginName[] = L"MrdPlugin.dll";
const wchar_t* const kExtensions[] = {L".mrdasm", L".mrdprt", L".mrddrw"};

// The rows DllRegisterServer writes. Free-threaded hosts create the format object in their own
// apartment: there is no proxy for the contract's interfaces, hence "Both".
std::vector<ffm::RegistryRow> RegistrationRows(const std::wstring& module) {
    auto rows = ffm::InprocServerRows(CLSID_MrdFormat, L"MRD CAD file format plug-in", module, L"Both");
    for (auto& row : ffm::PluginRows(kPluginName, CLSID_MrdFormat))
        rows.push_back(std::move(row));
    return rows;
}

} // namespace
} // namespace mrd

using namespace mrd;

FFM_COM_SERVER_EXPORTS(kClasses)

// The installer (or regsvr32) calls it: writes the COM class (HKCR) and the plug-in's FileFormats
// entries (HKLM). Running it again changes nothing.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    return Guard(IID_NULL, [] {
        const std::wstring module = ffm::ModulePath(ffm::ThisModule());
        if (module.empty())
            return HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
        const HRESULT hr = ffm::WriteRegistryRows(RegistrationRows(module));
        return FAILED(hr) ? hr
                          : ffm::FromWin32(
                                ffm::UpdateCapabilityLists(kPluginName, kExtensions, kCapabilities, true));
    });
}

// The uninstaller calls it: removes what DllRegisterServer wrote and leaves other plug-ins'
// entries alone; missing entries are not an error.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return Guard(IID_NULL, [] {
        const LONG lists = ffm::UpdateCapabilityLists(kPluginName, kExtensions, kCapabilities, false);
        const LONG plugin = ffm::DeleteRegistryTree(HKEY_LOCAL_MACHINE, ffm::PluginKey(kPluginName));
        const LONG cls = ffm::DeleteRegistryTree(HKEY_CLASSES_ROOT, ffm::ClassKey(CLSID_MrdFormat));
        return ffm::FromWin32(lists != ERROR_SUCCESS ? lists : plugin != ERROR_SUCCESS ? plugin : cls);
    });
}
