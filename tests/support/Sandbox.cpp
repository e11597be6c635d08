#include "support/Sandbox.h"

#include "foundation/Alloc.h"
#include <cstdio>
#include <ctime>
#include <functional>
#include <objbase.h>
#include <shlwapi.h>
#include <vector>

namespace ffmtest {

namespace {
const wchar_t* kScratchParent = L"Software\\FileFmtMgrTests";

std::wstring UniqueName() {
    GUID g;
    CoCreateGuid(&g);
    wchar_t text[64];
    StringFromGUID2(g, text, 64);
    wchar_t name[128];
    swprintf(name, 128, L"%lld-%ls", static_cast<long long>(time(nullptr)), text);
    return name;
}

// Scratch keys of crashed runs are older than a day; their names start with the time.
void DeleteStaleScratchKeys(HKEY parent) {
    const long long now = time(nullptr);
    std::vector<std::wstring> stale;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD len = 256;
        if (RegEnumKeyExW(parent, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (_wtoi64(name) < now - 86400)
            stale.push_back(name);
    }
    for (const auto& n : stale)
        RegDeleteTreeW(parent, n.c_str());
}

HKEY Create(HKEY parent, const std::wstring& path) {
    HKEY key = nullptr;
    const LONG rc =
        RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        throw std::runtime_error("cannot create registry key");
    return key;
}
} // namespace

RegistrySandbox::RegistrySandbox() {
    HKEY parent = Create(HKEY_CURRENT_USER, kScratchParent);
    DeleteStaleScratchKeys(parent);
    RegCloseKey(parent);
    m_name = std::wstring(kScratchParent) + L"\\" + UniqueName();
    m_machine = Create(HKEY_CURRENT_USER, m_name + L"\\HKLM");
    m_user = Create(HKEY_CURRENT_USER, m_name + L"\\HKCU");
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_machine);
    RegOverridePredefKey(HKEY_CURRENT_USER, m_user);
}

RegistrySandbox::~RegistrySandbox() {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(m_machine);
    RegCloseKey(m_user);
    RegDeleteTreeW(HKEY_CURRENT_USER, m_name.c_str());
}

void RegistrySandbox::SetRaw(HKEY hive, const std::wstring& key, const wchar_t* name, DWORD type,
                             const void* data, DWORD size) {
    HKEY k = Create(hive, key);
    RegSetValueExW(k, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(k);
}

void RegistrySandbox::SetString(HKEY hive, const std::wstring& key, const wchar_t* name,
                                const std::wstring& value, DWORD type) {
    SetRaw(hive, key, name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void RegistrySandbox::SetMultiString(HKEY hive, const std::wstring& key, const wchar_t* name,
                                     const std::vector<std::wstring>& strings) {
    std::wstring data;
    for (const auto& s : strings) {
        data += s;
        data.push_back(L'\0');
    }
    data.push_back(L'\0');
    SetRaw(hive, key, name, REG_MULTI_SZ, data.data(), static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

void RegistrySandbox::SetDWord(HKEY hive, const std::wstring& key, const wchar_t* name, DWORD value) {
    SetRaw(hive, key, name, REG_DWORD, &value, sizeof(value));
}

void RegistrySandbox::CreateKey(HKEY hive, const std::wstring& key) {
    RegCloseKey(Create(hive, key));
}

TempFolder::TempFolder() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    m_path = std::wstring(base) + L"ffmtest-" + UniqueName();
    CreateDirectoryW(m_path.c_str(), nullptr);
}

namespace {
void DeleteTree(const std::wstring& folder) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring full = folder + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(folder.c_str());
}
} // namespace

TempFolder::~TempFolder() {
    DeleteTree(m_path);
}

std::wstring TempFolder::WriteFile(const std::wstring& relative, const std::string& content) const {
    const std::wstring full = m_path + L"\\" + relative;
    for (size_t pos = m_path.size() + 1; (pos = full.find(L'\\', pos)) != std::wstring::npos; ++pos)
        CreateDirectoryW(full.substr(0, pos).c_str(), nullptr);
    HANDLE h =
        CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot write test file");
    DWORD written = 0;
    ::WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(h);
    return full;
}

int ForEachAllocationFailure(const std::function<void(int point)>& op, int limit) {
    return ForEachAllocationFailure([] {}, op, [](int) {}, limit);
}

int ForEachAllocationFailure(const std::function<void()>& setup, const std::function<void(int point)>& op,
                             const std::function<void(int point)>& check, int limit) {
    for (int n = 1; n <= limit; ++n) {
        setup();
        ffm::fault::ArmAllocationFailure(n);
        op(n);
        const long passed = ffm::fault::AllocationsSinceArm();
        ffm::fault::ArmAllocationFailure(0);
        check(n);
        if (passed < n)
            return n - 1;
    }
    ADD_FAILURE() << "more than " << limit << " allocation points";
    return limit;
}

std::wstring Utf16(const std::string& text) {
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

std::wstring HexCode(HRESULT hr) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

} // namespace ffmtest
