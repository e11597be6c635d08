#pragma once
// What the user-interface tests share: a sandboxed registry with the vault client's shared folder
// pointing at the build's PreviewView.dll, the localized-string service (a real COM server DLL)
// registered once per process, a host window, and a driver that works a modal dialog from a
// second thread as a person would, always within a time limit.
#include "WindowCapture.h"
#include "plugins/Registry.h"
#include "support/FakeCom.h"
#include "support/SamplePlugin.h"
#include <FileFmtMgr/Handles.h>
#include <FileFmtMgr/LocalizedStrings.h>
#include <functional>
#include <string>
#include <thread>

namespace ffmtest {

std::wstring LanguageKey();

// A value of the user's hive, by default the stored "ExcludeExtList": its type (REG_NONE when
// missing) and text.
struct StoredValue {
    DWORD type = REG_NONE;
    std::wstring text;
};
StoredValue ReadStored(const std::wstring& key = kManagerKey, const wchar_t* name = kExcludeListValue);

// The service DLL's view of itself.
struct ServiceState {
    long alive = 0;
    long bindings = 0;
    std::wstring module;
};
ServiceState ReadServiceState();
void FailServiceInit(bool fail);

// Registry sandbox, shared folder, language (none: the service's English), and a fresh binding
// of the localized-string service for every test.
class UiTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    void SetLanguage(const std::wstring& code);

    RegistrySandbox registry;
};

// Waits on a second thread for a visible dialog with caption of a process (any process for 0),
// then runs steps on it. Whatever the steps do, a dialog still open afterwards is cancelled, so
// the modal loop always ends. Construct it just before opening the dialog.
class DialogDriver {
  public:
    DialogDriver(std::wstring caption, std::function<void(HWND dialog)> steps, int limitMs = 10000,
                 DWORD process = GetCurrentProcessId());
    DialogDriver(const DialogDriver&) = delete;
    DialogDriver& operator=(const DialogDriver&) = delete;
    ~DialogDriver();
    // Waits for the driver to finish; true when it found the dialog, and the dialog closed by
    // the steps' own doing.
    bool Finish();

  private:
    std::thread m_thread;
    bool m_found = false;
    bool m_forced = false;
};

// Dialog controls of this process as a person uses them.
std::wstring TextOf(HWND window);
void TypeInto(HWND edit, const std::wstring& text); // replaces the content, character by character
void Click(HWND dialog, int id);

} // namespace ffmtest
