#pragma once
// The sample plug-in MrdPlugin.dll (built beside the test executables) registered for a test's
// lifetime through its own DllRegisterServer, and unregistered afterwards. Its COM class lives in
// the prefix's real HKEY_CLASSES_ROOT, shared by every process, so test processes that register
// it take turns through a named mutex. Its tests share one sample assembly.
#include "support/Sandbox.h"

#include <FileFmtMgr/Handles.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <windows.h>

namespace ffmtest {

// An assembly that uses every kind of line: comment, configurations, settings, file-wide and
// per-configuration properties, a relative and an absolute reference, repeated, suppressed and
// excluded uses.
inline constexpr char kSampleAssembly[] =
    "MRD 1 assembly\r\n# keep this comment\r\n[Configurations]\r\nDefault\r\nHeavy\r\n"
    "[Settings]\r\nLdrMode = on\r\n"
    "[Properties]\r\nCustomProperty:Material = Steel\r\n"
    "[Properties Heavy]\r\nCustomProperty:Title = Heavy box\r\n"
    "[Reference Shaft]\r\nPath = parts\\shaft.mrdprt\r\nUse = Default > Standard, excluded\r\n"
    "Use = Heavy > Long, suppressed\r\nUse = Heavy > Long\r\n"
    "[Reference Housing]\r\nPath = C:\\cast\\housing.mrdprt\r\nKind = frozen\r\n"
    "Use = Heavy > Cast, suppressed, excluded\r\n";

// {484E65A5-42FC-42F3-A658-7A719CFAA378}, the class of MrdPlugin.dll.
constexpr CLSID kMrdClsid = {0x484e65a5, 0x42fc, 0x42f3, {0xa6, 0x58, 0x7a, 0x71, 0x9c, 0xfa, 0xa3, 0x78}};

inline ffm::UniqueBstr Bstr(const std::wstring& text) {
    return ffm::UniqueBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

inline ULONGLONG LastWrite(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return (ULONGLONG(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

inline void SetLastWrite(const std::wstring& path, ULONGLONG time) {
    const FILETIME ft = {static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    const ffm::UniqueFile file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    SetFileTime(file.get(), nullptr, nullptr, &ft);
}

// The path on the machine Wine runs on; empty when Wine does not say.
inline std::wstring UnixPath(const std::wstring& path) {
    using Fn = char*(CDECL*)(const wchar_t*);
    const auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = fn ? fn(path.c_str()) : nullptr;
    const std::wstring text = unix ? Utf16(unix) : std::wstring();
    HeapFree(GetProcessHeap(), 0, unix);
    return text;
}

inline std::string ReadAll(const std::wstring& path) {
    std::ifstream in(Utf8(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Folder of the running executable, without a trailing backslash.
inline std::wstring ExecutableFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

// Any sample plug-in or double beside the executable that registers itself; one mutex per DLL.
class SamplePluginRegistration {
  public:
    explicit SamplePluginRegistration(const std::wstring& dll = L"MrdPlugin.dll")
        : m_mutex(CreateMutexW(nullptr, FALSE, (L"Local\\FfmSamplePluginRegistration-" + dll).c_str())) {
        if (m_mutex)
            WaitForSingleObject(m_mutex, 120000);
        m_module = LoadLibraryW((ExecutableFolder() + L"\\" + dll).c_str());
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
