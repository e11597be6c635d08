#pragma once
// What an in-process COM server needs besides its objects, written once: a table of the classes
// it serves, the class factory over a row of it, DllGetClassObject and DllCanUnloadNow answered
// from the table and the module lock, and registration written as data rows.
//
//   const ffm::ClassRow kClasses[] = {{&CLSID_Thing, ffm::CreateInstanceOf<Thing>}};
//   STDAPI DllGetClassObject(REFCLSID c, REFIID i, void** o) { return ffm::GetClassObject(kClasses, c, i, o);
//   } STDAPI DllCanUnloadNow() { return ffm::CanUnloadNow(); }
#include <FileFmtMgr/ComObject.h>
#include <FileFmtMgr/Handles.h>
#include <string>
#include <vector>

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

} // namespace ffm
