#pragma once
// Test isolation: registry hives redirected to scratch keys, temporary folders, COM apartments,
// and allocation failure at every point of an operation.
#include <functional>
#include <gtest/gtest.h>
#include <vector>
#include <string>
#include <windows.h>
#include <objbase.h>

namespace ffmtest {

// Redirects HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER of this process to two fresh scratch keys
// (named with time and GUID) and deletes them afterwards. COM class lookup ignores the override,
// so COM registrations go to the prefix's real HKEY_CLASSES_ROOT (see ComRegistration).
class RegistrySandbox {
  public:
    RegistrySandbox();
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;
    ~RegistrySandbox();

    // Writes below the redirected hive (hive is HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER).
    static void SetString(HKEY hive, const std::wstring& key, const wchar_t* name, const std::wstring& value,
                          DWORD type = REG_SZ);
    static void SetMultiString(HKEY hive, const std::wstring& key, const wchar_t* name,
                               const std::vector<std::wstring>& strings);
    static void SetDWord(HKEY hive, const std::wstring& key, const wchar_t* name, DWORD value);
    // Raw bytes of any type and size, for hostile data.
    static void SetRaw(HKEY hive, const std::wstring& key, const wchar_t* name, DWORD type, const void* data,
                       DWORD size);
    static void CreateKey(HKEY hive, const std::wstring& key);

  private:
    std::wstring m_name;
    HKEY m_machine = nullptr;
    HKEY m_user = nullptr;
};

// Registers a fixture-wide sandbox: derive test fixtures from it.
class SandboxedTest : public ::testing::Test {
  protected:
    RegistrySandbox registry;
};

// A fresh folder under the temporary folder, deleted with everything in it.
class TempFolder {
  public:
    TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder();
    const std::wstring& Path() const { return m_path; } // ends without a backslash
    // Writes a file (bytes as given) below the folder, making sub-folders; returns its path.
    std::wstring WriteFile(const std::wstring& relative, const std::string& content) const;

  private:
    std::wstring m_path;
};

// COM on a worker thread, for its lifetime.
class ComApartment {
  public:
    explicit ComApartment(DWORD model = COINIT_MULTITHREADED) { m_hr = CoInitializeEx(nullptr, model); }
    ~ComApartment() {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }

  private:
    HRESULT m_hr;
};

// Runs op with the 1st, 2nd, ... allocation failing until a run passes every allocation point
// without meeting the armed one; op receives the failing point's number. Returns how many
// points there were. The failing allocations are the library's task-allocator blocks, BSTRs
// and operator new.
int ForEachAllocationFailure(const std::function<void(int point)>& op, int limit = 5000);
// The same with a set-up run before each attempt and a check run after it, both with no failure
// armed.
int ForEachAllocationFailure(const std::function<void()>& setup, const std::function<void(int point)>& op,
                             const std::function<void(int point)>& check, int limit = 5000);

std::wstring Utf16(const std::string& text);
std::string Utf8(const std::wstring& text);
std::wstring HexCode(HRESULT hr);

} // namespace ffmtest
