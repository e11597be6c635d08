#pragma once
// What an in-process COM server needs besides its objects, written once: a table of the classes
// it serves, the class factory over a row of it, DllGetClassObject and DllCanUnloadNow answered
// from the table and the module lock, registration written as data rows, and a file-format
// plug-in's place in the manager's capability lists.
//
//   const ffm::ClassRow kClasses[] = {{&CLSID_Thing, ffm::CreateInstanceOf<Thing>}};
//   FFM_COM_SERVER_EXPORTS(kClasses)
#include <FileFmtMgr/ComObject.h>
#include <FileFmtMgr/Handles.h>
#include <algorithm>
#include <string>
#include <vector>

extern "C" IMAGE_DOS_HEADER __ImageBase; // the linker's name for the start of this module's image

namespace ffm {

// One class a module serves. A row without an identifier serves any class it is asked for.
struct ClassRow {
    const CLSID* clsid;
    HRESULT (*create)(REFIID iid, void** out) noexcept;
};

// The create function of a row: a new object of T asked for the interface.
template <class T> HRESULT CreateInstanceOf(REFIID iid, void** out) noexcept {
    try {
        return Make<T>()->QueryInterface(iid, out);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED; // nothing may pass into COM's C frames
    }
}

// The factory of one row. It holds the module while it lives, and LockServer adds to the lock.
class ClassFactory final : public ComObject<IClassFactory> {
  public:
    explicit ClassFactory(const ClassRow& row) noexcept : m_create(row.create) {}

    // COM calls it for every object CoCreateInstance asks of the class.
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        return outer ? CLASS_E_NOAGGREGATION : m_create(iid, out);
    }
    // Hosts lock a server they will create objects of again soon.
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? ++ModuleLock::Count() : --ModuleLock::Count();
        return S_OK;
    }

  private:
    HRESULT (*m_create)(REFIID, void**) noexcept;
    ModuleLock m_module;
};

// DllGetClassObject of a module serving the classes of the table.
template <std::size_t N>
HRESULT GetClassObject(const ClassRow (&classes)[N], REFCLSID clsid, REFIID iid, void** out) noexcept {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    for (const ClassRow& row : classes) {
        if (row.clsid && *row.clsid != clsid)
            continue;
        try {
            return Make<ClassFactory>(row)->QueryInterface(iid, out);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

// DllCanUnloadNow: no object alive and no server lock held.
inline HRESULT CanUnloadNow() noexcept {
    return ModuleLock::Count() == 0 ? S_OK : S_FALSE;
}

// Defines DllGetClassObject (COM calls it when a host creates one of the classes; the factory is
// the caller's) and DllCanUnloadNow (COM calls it from CoFreeUnusedLibraries) for a module serving
// the classes of the table. The module's .def file exports them.
#define FFM_COM_SERVER_EXPORTS(classes)                                                                      \
    extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {            \
        return ffm::GetClassObject(classes, clsid, iid, out);                                                \
    }                                                                                                        \
    extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {                                                    \
        return ffm::CanUnloadNow();                                                                          \
    }

// This module (the DLL or EXE the calling code is linked into), without a DllMain to remember it.
inline HMODULE ThisModule() noexcept {
    return reinterpret_cast<HMODULE>(&__ImageBase);
}

// ---- Registration -----------------------------------------------------------------------------

// A string value to write: the key is created when missing; a null name is the key's default.
struct RegistryRow {
    HKEY root;
    std::wstring key;
    const wchar_t* name;
    std::wstring value;
};

inline HRESULT FromWin32(LONG rc) noexcept {
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(rc));
}

// Writes the rows in order and stops at the first failure, giving its code. Writing them again
// changes nothing.
inline HRESULT WriteRegistryRows(const std::vector<RegistryRow>& rows) {
    for (const RegistryRow& row : rows) {
        UniqueHKey key;
        LONG rc =
            RegCreateKeyExW(row.root, row.key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr);
        if (rc == ERROR_SUCCESS)
            rc = RegSetValueExW(key.get(), row.name, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(row.value.c_str()),
                                static_cast<DWORD>((row.value.size() + 1) * sizeof(wchar_t)));
        if (rc != ERROR_SUCCESS)
            return FromWin32(rc);
    }
    return S_OK;
}

// Deletes a key with everything below it; a missing key is not an error.
inline LONG DeleteRegistryTree(HKEY root, const std::wstring& key) noexcept {
    const LONG rc = RegDeleteTreeW(root, key.c_str());
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

// "{XXXXXXXX-...}"
inline std::wstring GuidText(REFGUID guid) {
    wchar_t text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

// HKCR key of a COM class.
inline std::wstring ClassKey(REFCLSID clsid) {
    return L"CLSID\\" + GuidText(clsid);
}

// The full path of a loaded module; empty when it cannot be read.
inline std::wstring ModulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The rows of an in-process COM class: its name, its server and the threading model.
inline std::vector<RegistryRow> InprocServerRows(REFCLSID clsid, const wchar_t* description,
                                                 const std::wstring& modulePath,
                                                 const wchar_t* threadingModel) {
    const std::wstring key = ClassKey(clsid);
    return {{HKEY_CLASSES_ROOT, key, nullptr, description},
            {HKEY_CLASSES_ROOT, key + L"\\InprocServer32", nullptr, modulePath},
            {HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel", threadingModel}};
}

// The manager's registry of file-format plug-ins: a key per plug-in DLL (its class) and a key per
// extension with a multi-string value per capability mask listing the plug-ins offering it.
inline const wchar_t* FileFormatsKey() noexcept {
    return L"Software\\Mordane\\Applications\\Quillan\\FileFormats";
}

// The plug-in's own key below FileFormatsKey, named after its DLL.
inline std::wstring PluginKey(const wchar_t* pluginName) {
    return std::wstring(FileFormatsKey()) + L"\\" + pluginName;
}

// The rows of a plug-in's own key: its class, and no Windows Installer component.
inline std::vector<RegistryRow> PluginRows(const wchar_t* pluginName, REFCLSID clsid) {
    const std::wstring key = PluginKey(pluginName);
    return {{HKEY_LOCAL_MACHINE, key, nullptr, L""}, {HKEY_LOCAL_MACHINE, key, L"CLSID", GuidText(clsid)}};
}

namespace detail {
inline std::vector<std::wstring> ReadMultiString(HKEY key, const wchar_t* name) {
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_MULTI_SZ)
        return {};
    std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 2, L'\0'); // room for missing terminators
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes) !=
        ERROR_SUCCESS)
        return {};
    std::vector<std::wstring> list;
    for (const wchar_t* s = data.data(); *s; s += wcslen(s) + 1)
        list.emplace_back(s);
    return list;
}

inline LONG WriteMultiString(HKEY key, const wchar_t* name, const std::vector<std::wstring>& list) {
    if (list.empty())
        return RegDeleteValueW(key, name);
    std::wstring data;
    for (const auto& s : list)
        data += s + L'\0';
    data += L'\0';
    return RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}
} // namespace detail

// Puts the plug-in first in the list of every capability mask of every extension (so it is
// preferred), keeping the other plug-ins' entries; or, when add is false, takes it out of them and
// removes an extension key left empty. Missing entries are not an error when removing.
template <std::size_t E, std::size_t C>
LONG UpdateCapabilityLists(const wchar_t* pluginName, const wchar_t* const (&extensions)[E],
                           const unsigned long (&capabilities)[C], bool add) {
    for (const wchar_t* extension : extensions) {
        const std::wstring path = std::wstring(FileFormatsKey()) + L"\\" + extension;
        UniqueHKey key;
        const LONG open =
            add ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                  nullptr, key.put(), nullptr)
                : RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WRITE, key.put());
        if (open != ERROR_SUCCESS) {
            if (add)
                return open;
            continue;
        }
        for (unsigned long capability : capabilities) {
            const std::wstring name = std::to_wstring(capability);
            auto list = detail::ReadMultiString(key.get(), name.c_str());
            list.erase(
                std::remove_if(list.begin(), list.end(),
                               [&](const std::wstring& s) { return _wcsicmp(s.c_str(), pluginName) == 0; }),
                list.end());
            if (add)
                list.insert(list.begin(), pluginName);
            const LONG rc = detail::WriteMultiString(key.get(), name.c_str(), list);
            if (rc != ERROR_SUCCESS && !(rc == ERROR_FILE_NOT_FOUND && !add))
                return rc;
        }
        DWORD values = 0, subkeys = 0;
        const bool empty = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                            &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
                           values == 0 && subkeys == 0;
        key.reset();
        if (!add && empty)
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    }
    return ERROR_SUCCESS;
}

} // namespace ffm
