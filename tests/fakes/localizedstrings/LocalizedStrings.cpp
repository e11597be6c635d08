// The vault client's localized-string service for FileFmtMgr's tests and demo: an in-process COM
// server answering texts from a small table in the user's language. The language is the
// vault client's per-user setting; without it English. Tests read its state through
// LocalizedStringsProbe and make binding fail through LocalizedStringsFailInit.
#include "support/FakeCom.h"
#include <FileFmtMgr/ComModule.h>
#include <FileFmtMgr/LocalizedStrings.h>
#include <atomic>
#include <mutex>
#include <string>

namespace {

// English is the library's own default texts; French and German have some texts only (German
// all but the dialog's explanation), so a caller's fallback to its own default shows.
struct Text {
    const wchar_t* language;
    long number; // in section "TS"
    const wchar_t* text;
};

const Text kTexts[] = {
    {L"DE", 1, L"Ausgeschlossene Dateitypen..."},
    {L"DE", 2, L"Dateitypen w\u00e4hlen, die nicht in der Vorschau angezeigt werden sollen."},
    {L"DE", 3, L"Ausgeschlossene Dateitypen"},
    {L"DE", 4, L"&Liste der Dateierweiterungen:"},
    {L"DE", 5, L"OK"},
    {L"DE", 6, L"Abbrechen"},
    {L"FR", 1, L"Types de fichiers exclus..."},
    {L"FR", 3, L"Types de fichiers exclus"},
};

constexpr const wchar_t* kProduct = L"MORDANE QVT";
constexpr const wchar_t* kLanguageKey =
    L"Software\\Mordane\\Applications\\Quillan\\Vaults\\_-Global\\Settings";

ffmtest::LiveCounter gServices;
std::atomic<long> gBindings{0};
std::atomic<bool> gFailInit{false};
std::mutex gModuleLock;
std::wstring gBoundModule;

// The user's language as the vault client keeps it; "S" is the old spelling of English.
std::wstring Language() {
    wchar_t value[16] = {};
    DWORD bytes = sizeof(value) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, kLanguageKey, L"0", RRF_RT_REG_SZ, nullptr, value, &bytes) !=
            ERROR_SUCCESS ||
        !value[0] || _wcsicmp(value, L"S") == 0)
        return L"GB";
    return value;
}

class Service : public ffmtest::FakeObject<ITovLocalizedStrings> {
  public:
    Service() : FakeObject(&gServices) {}

    HRESULT STDMETHODCALLTYPE InitLocalizedStrings(BSTR productName, BSTR moduleName) override {
        if (gFailInit || !productName || wcscmp(productName, kProduct) != 0 || !moduleName || !*moduleName)
            return E_INVALIDARG;
        return ffmtest::NoThrow([&] {
            std::lock_guard<std::mutex> lock(gModuleLock);
            gBoundModule = moduleName;
            m_bound = true;
            ++gBindings;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE GetLocalizedString(long number, BSTR section, BSTR* text) override {
        if (!text)
            return E_POINTER;
        if (!m_bound)
            return E_UNEXPECTED;
        return ffmtest::NoThrow([&] {
            const std::wstring language = Language();
            for (const Text& t : kTexts)
                if (t.number == number && _wcsicmp(t.language, language.c_str()) == 0 && section &&
                    _wcsicmp(section, L"TS") == 0) {
                    *text = SysAllocString(t.text);
                    return *text ? S_OK : E_OUTOFMEMORY;
                }
            return S_FALSE; // no text: *text stays as it is
        });
    }

  private:
    bool m_bound = false;
    ffm::ModuleLock m_module;
};

const ffm::ClassRow kClasses[] = {{&CLSID_TovLocalizedStrings, ffm::CreateInstanceOf<Service>}};

} // namespace

FFM_COM_SERVER_EXPORTS(kClasses)

extern "C" HRESULT __stdcall DllRegisterServer() {
    return ffmtest::NoThrow([] {
        return ffm::WriteRegistryRows(ffm::InprocServerRows(CLSID_TovLocalizedStrings, L"Localized strings",
                                                            ffm::ModulePath(ffm::ThisModule()), L"Both"));
    });
}

// Live service objects, successful bindings, and the module name of the latest binding.
extern "C" void __stdcall LocalizedStringsProbe(long* alive, long* bindings, wchar_t* module, long capacity) {
    std::lock_guard<std::mutex> lock(gModuleLock);
    *alive = gServices.alive;
    *bindings = gBindings;
    lstrcpynW(module, gBoundModule.c_str(), capacity);
}

// From now on InitLocalizedStrings fails (or works again).
extern "C" void __stdcall LocalizedStringsFailInit(BOOL fail) {
    gFailInit = fail != FALSE;
}
