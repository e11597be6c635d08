#pragma once
// The sample plug-in MrdPlugin.dll (built beside the test executables) registered for a test's
// lifetime through its own DllRegisterServer, and unregistered afterwards. Its COM class lives in
// the prefix's real HKEY_CLASSES_ROOT, shared by every process, so test processes that register
// it take turns through a named mutex.
#include <gtest/gtest.h>
#include <string>
#include <windows.h>

namespace ffmtest {

// Folder of the running executable, without a trailing backslash.
inline std::wstring ExecutableFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

class SamplePluginRegistration {
  public:
    SamplePluginRegistration()
        : m_mutex(CreateMutexW(nullptr, FALSE, L"Local\\FfmSamplePluginRegistration")) {
        if (m_mutex)
            WaitForSingleObject(m_mutex, 120000);
        m_module = LoadLibraryW((ExecutableFolder() + L"\\MrdPlugin.dll").c_str());
        registered = Call("DllRegisterServer");
    }
    SamplePluginRegistration(const SamplePluginRegistration&) = delete;
    SamplePluginRegistration& operator=(const SamplePluginRegistration&) = delete;
    ~SamplePluginRegistration() {
        Call("DllUnregisterServer");
        if (m_module)
            FreeLibrary(m_module);
        if (m_mutex) {
            ReleaseMutex(m_mutex);
            CloseHandle(m_mutex);
        }
    }

    // One of the plug-in's exports, or E_FAIL when the DLL or the export is missing.
    HRESULT Call(const char* name) const {
        using Fn = HRESULT(STDAPICALLTYPE*)();
        const auto fn = m_module
                            ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m_module, name)))
                            : nullptr;
        return fn ? fn() : E_FAIL;
    }

    HRESULT registered = E_FAIL;

  private:
    HANDLE m_mutex;
    HMODULE m_module = nullptr;
};

} // namespace ffmtest
