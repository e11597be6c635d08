// The module: entry point, class factory, unload test, and the registration the installer (or
// regsvr32) writes: the COM class, and the plug-in's entry in the manager's FileFormats key.
#include "MrdCom.h"
#include "MrdFormat.h"
#include <algorithm>
#include <vector>

namespace mrd {

std::atomic<long> g_moduleLocks{0};
HMODULE g_module = nullptr;

void PublishError(HRESULT hr, const std::wstring& text, REFIID iid) noexcept {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create)))
        return;
    std::wstring description = text;
    if (description.empty()) {
        wchar_t code[16];
        wsprintfW(code, L"0x%08lX", static_cast<unsigned long>(hr));
        description = std::wstring(L"MRD plug-in failure ") + code + L".";
    }
    create->SetGUID(iid);
    create->SetSource(const_cast<LPOLESTR>(L"MrdPlugin"));
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
}

namespace {

const wchar_t kPluginName[] = L"MrdPlugin.dll";
const wchar_t kFormatsKey[] = L"Software\\Mordane\\Applications\\Quillan\\FileFormats";
const wchar_t* const kExtensions[] = {L".mrdasm", L".mrdprt", L".mrddrw"};

class ClassFactory final : public IClassFactory, private RefCounted {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out =
            (iid == IID_IUnknown || iid == IID_IClassFactory) ? static_cast<IClassFactory*>(this) : nullptr;
        if (!*out)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        Format* format = new (std::nothrow) Format();
        if (!format)
            return E_OUTOFMEMORY;
        const HRESULT hr = format->QueryInterface(iid, out);
        format->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? ++g_moduleLocks : --g_moduleLocks;
        return S_OK;
    }
};

std::wstring ClsidText() {
    wchar_t text[40];
    StringFromGUID2(CLSID_MrdFormat, text, 40);
    return text;
}

class Key {
  public:
    Key(HKEY root, const std::wstring& path) {
        m_rc = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &m_key,
                               nullptr);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (m_key)
            RegCloseKey(m_key);
    }
    LONG Status() const { return m_rc; }
    HKEY get() const { return m_key; }
    LONG SetString(const wchar_t* name, const std::wstring& value) {
        return m_rc ? m_rc
                    : RegSetValueExW(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }

  private:
    HKEY m_key = nullptr;
    LONG m_rc;
};

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

// Our name first in each capability's list of candidates (so we are preferred), other plug-ins'
// entries kept; or, when unregistering, our name taken out.
LONG UpdateCapabilityLists(bool add) {
    for (const wchar_t* extension : kExtensions) {
        const std::wstring path = std::wstring(kFormatsKey) + L"\\" + extension;
        HKEY key = nullptr;
        const LONG open =
            add ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                  nullptr, &key, nullptr)
                : RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WRITE, &key);
        if (open != ERROR_SUCCESS) {
            if (add)
                return open;
            continue;
        }
        for (unsigned long cap : kCapabilities) {
            const std::wstring name = std::to_wstring(cap);
            auto list = ReadList(key, name.c_str());
            const auto ours = [](const std::wstring& s) { return SameText(s, kPluginName); };
            list.erase(std::remove_if(list.begin(), list.end(), ours), list.end());
            if (add)
                list.insert(list.begin(), kPluginName);
            const LONG rc = WriteList(key, name.c_str(), list);
            if (rc != ERROR_SUCCESS && !(rc == ERROR_FILE_NOT_FOUND && !add)) {
                RegCloseKey(key);
                return rc;
            }
        }
        DWORD values = 0, subkeys = 0;
        const bool empty = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                            &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
                           values == 0 && subkeys == 0;
        RegCloseKey(key);
        if (!add && empty)
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    }
    return ERROR_SUCCESS;
}

HRESULT FromWin32(LONG rc) {
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
}

} // namespace
} // namespace mrd

using namespace mrd;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (clsid != CLSID_MrdFormat)
        return CLASS_E_CLASSNOTAVAILABLE;
    ClassFactory* factory = new (std::nothrow) ClassFactory();
    if (!factory)
        return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return g_moduleLocks == 0 ? S_OK : S_FALSE;
}

// Writes the COM class (HKCR) and the plug-in's FileFormats entries (HKLM). Running it again
// changes nothing.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    wchar_t module[MAX_PATH];
    const DWORD n = GetModuleFileNameW(g_module, module, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
    const std::wstring clsid = ClsidText();
    const std::wstring classKey = L"CLSID\\" + clsid;

    Key cls(HKEY_CLASSES_ROOT, classKey);
    LONG rc = cls.SetString(nullptr, L"MRD CAD file format plug-in");
    Key server(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32");
    if (rc == ERROR_SUCCESS)
        rc = server.SetString(nullptr, module);
    // Free-threaded hosts create the format object in their own apartment: there is no proxy for
    // the contract's interfaces.
    if (rc == ERROR_SUCCESS)
        rc = server.SetString(L"ThreadingModel", L"Both");
    Key plugin(HKEY_LOCAL_MACHINE, std::wstring(kFormatsKey) + L"\\" + kPluginName);
    if (rc == ERROR_SUCCESS)
        rc = plugin.SetString(nullptr, L""); // no Windows Installer component
    if (rc == ERROR_SUCCESS)
        rc = plugin.SetString(L"CLSID", clsid);
    if (rc == ERROR_SUCCESS)
        rc = UpdateCapabilityLists(true);
    return FromWin32(rc);
}

// Removes what DllRegisterServer wrote and leaves other plug-ins' entries alone; missing entries
// are not an error.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    const LONG lists = UpdateCapabilityLists(false);
    const std::wstring pluginKey = std::wstring(kFormatsKey) + L"\\" + kPluginName;
    LONG rc = RegDeleteTreeW(HKEY_LOCAL_MACHINE, pluginKey.c_str());
    if (rc == ERROR_FILE_NOT_FOUND)
        rc = ERROR_SUCCESS;
    LONG cls = RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + ClsidText()).c_str());
    if (cls == ERROR_FILE_NOT_FOUND)
        cls = ERROR_SUCCESS;
    return FromWin32(lists != ERROR_SUCCESS ? lists : rc != ERROR_SUCCESS ? rc : cls);
}
