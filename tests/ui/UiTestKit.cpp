#include "UiTestKit.h"

#include "ui/LocalizedStrings.h"
#include <chrono>
#include <vector>

namespace ffmtest {
namespace {

HMODULE gService = nullptr;

// The service is registered in the prefix's class registry once per process, before any test
// redirects the hives, and stays registered: every run registers the same DLL the same way.
const bool gServiceRegistered = [] {
    gService = LoadLibraryW((ExecutableFolder() + L"\\LocalizedStrings.dll").c_str());
    if (!gService)
        return false;
    using Register = HRESULT(__stdcall*)();
    auto reg =
        reinterpret_cast<Register>(reinterpret_cast<void*>(GetProcAddress(gService, "DllRegisterServer")));
    return reg && SUCCEEDED(reg());
}();

template <class Fn> Fn ServiceExport(const char* name) {
    return gService ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(gService, name))) : nullptr;
}

using Clock = std::chrono::steady_clock;

HWND FindDialog(const std::wstring& caption, DWORD process) {
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"#32770", caption.c_str())) != nullptr;) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if ((!process || pid == process) && IsWindowVisible(w))
            return w;
    }
    return nullptr;
}

} // namespace

std::wstring LanguageKey() {
    return std::wstring(kVendorRoot) + L"\\Vaults\\_-Global\\Settings";
}

StoredValue ReadStored(const std::wstring& key, const wchar_t* name) {
    StoredValue stored;
    DWORD size = 0;
    const DWORD any = RRF_RT_ANY | RRF_NOEXPAND;
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, any, &stored.type, nullptr, &size) !=
        ERROR_SUCCESS)
        return {};
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
    RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, any, &stored.type, data.data(), &size);
    stored.text.assign(data.data(), size / sizeof(wchar_t));
    if (!stored.text.empty() && stored.text.back() == L'\0')
        stored.text.pop_back();
    return stored;
}

ServiceState ReadServiceState() {
    ServiceState state;
    using Probe = void(__stdcall*)(long*, long*, wchar_t*, long);
    if (auto probe = ServiceExport<Probe>("LocalizedStringsProbe")) {
        wchar_t module[MAX_PATH] = {};
        probe(&state.alive, &state.bindings, module, MAX_PATH);
        state.module = module;
    }
    return state;
}

void FailServiceInit(bool fail) {
    using Fail = void(__stdcall*)(BOOL);
    if (auto fn = ServiceExport<Fail>("LocalizedStringsFailInit"))
        fn(fail);
}

void UiTest::SetUp() {
    ASSERT_TRUE(gServiceRegistered) << "LocalizedStrings.dll could not be registered";
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kVendorRoot, L"SharedLocation", ExecutableFolder());
    ffm::zvForgetLocalizedStrings();
    FailServiceInit(false);
}

void UiTest::TearDown() {
    ffm::zvForgetLocalizedStrings();
    FailServiceInit(false);
}

void UiTest::SetLanguage(const std::wstring& code) {
    RegistrySandbox::SetString(HKEY_CURRENT_USER, LanguageKey(), L"0", code);
}

DialogDriver::DialogDriver(std::wstring caption, std::function<void(HWND)> steps, int limitMs,
                           DWORD process) {
    m_thread = std::thread([this, caption = std::move(caption), steps = std::move(steps), limitMs, process] {
        const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
        HWND dialog = nullptr;
        while (!(dialog = FindDialog(caption, process)) && Clock::now() < deadline)
            Sleep(20);
        if (!dialog)
            return;
        m_found = true;
        Sleep(50); // let it paint once
        steps(dialog);
        const auto closing = Clock::now() + std::chrono::seconds(5);
        while (IsWindow(dialog) && Clock::now() < closing)
            Sleep(10);
        if (IsWindow(dialog)) {
            m_forced = true;
            PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        }
    });
}

DialogDriver::~DialogDriver() {
    Finish();
}

bool DialogDriver::Finish() {
    if (m_thread.joinable())
        m_thread.join();
    return m_found && !m_forced;
}

std::wstring TextOf(HWND window) {
    std::wstring text(GetWindowTextLengthW(window) + 1, L'\0');
    text.resize(GetWindowTextW(window, text.data(), int(text.size())));
    return text;
}

void TypeInto(HWND edit, const std::wstring& text) {
    SendMessageW(edit, EM_SETSEL, 0, -1);
    SendMessageW(edit, WM_CLEAR, 0, 0);
    for (wchar_t c : text)
        SendMessageW(edit, WM_CHAR, c, 1);
}

void Click(HWND dialog, int id) {
    SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

} // namespace ffmtest
