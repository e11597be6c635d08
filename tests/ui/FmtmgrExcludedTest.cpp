// fmtmgr's "excluded" command in a process of its own, as a person or a script uses it: the list
// set, refused and shown, and edited in the library's dialog, which the test works from here.
#include "UiTestKit.h"

#include "host/FmtmgrKit.h"
#include "ui/UiResources.h"

using namespace ffmtest;
using nlohmann::json;

namespace {

// A text value of the prefix's real user hive (the child process reads it there), put back as it
// was when the scope ends.
class KeptValue {
  public:
    KeptValue(std::wstring key, const wchar_t* name) : m_key(std::move(key)), m_name(name) {
        DWORD bytes = 0;
        if (RegGetValueW(HKEY_CURRENT_USER, m_key.c_str(), m_name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) ==
            ERROR_SUCCESS) {
            m_old.emplace(bytes / sizeof(wchar_t), L'\0');
            RegGetValueW(HKEY_CURRENT_USER, m_key.c_str(), m_name, RRF_RT_REG_SZ, nullptr, m_old->data(),
                         &bytes);
        }
    }
    KeptValue(const KeptValue&) = delete;
    KeptValue& operator=(const KeptValue&) = delete;
    ~KeptValue() {
        if (m_old)
            Set(m_old->c_str());
        else
            RegDeleteKeyValueW(HKEY_CURRENT_USER, m_key.c_str(), m_name);
    }
    void Set(const std::wstring& text) const {
        RegSetKeyValueW(HKEY_CURRENT_USER, m_key.c_str(), m_name, REG_SZ, text.c_str(),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

  private:
    const std::wstring m_key;
    const wchar_t* const m_name;
    std::optional<std::wstring> m_old;
};

class FmtmgrExcluded : public Fmtmgr {
  protected:
    const KeptValue list{kManagerKey, kExcludeListValue};
};

} // namespace

// One test: every step changes the one stored list of the prefix, which a parallel test would see.
TEST_F(FmtmgrExcluded, SetsShowsAndEditsTheListAsThePreviewSeesIt) {
    const json set = RunJson(L"excluded --set exe,Dll,tmp");
    EXPECT_EQ("exe,Dll,tmp", set["list"]);
    ASSERT_EQ(3u, set["extensions"].size());
    EXPECT_EQ("DLL", set["extensions"][1]["extension"]);
    for (const auto& e : set["extensions"])
        EXPECT_TRUE(e["excludedFromPreview"].get<bool>()) << e["extension"];
    for (const wchar_t* bad : {L"\" .exe\"", L"\"exe,,dll\"", L"\"exe, dll\""})
        EXPECT_EQ(2u, Run(std::wstring(L"excluded --set ") + bad).exitCode) << Utf8(bad);
    EXPECT_EQ("exe,Dll,tmp", RunJson(L"excluded")["list"]) << "a refused list stores nothing";

    // FileFmtMgr.dll binds the localized-string service for itself: in German the dialog says so.
    // The child's process id is not known before it starts: the driver looks in every process.
    const KeptValue language{LanguageKey(), L"0"};
    language.Set(L"DE");
    std::wstring shown;
    DialogDriver driver(
        L"Ausgeschlossene Dateitypen",
        [&](HWND dialog) {
            shown = ItemText(dialog, IDC_EXCLUDE_LIST);
            SendMessageW(GetDlgItem(dialog, IDC_EXCLUDE_LIST), WM_SETTEXT, 0,
                         reinterpret_cast<LPARAM>(L"pdf, .dxf"));
            Click(dialog, IDOK);
        },
        20000, 0);
    const json ok = RunJson(L"excluded --dialog");
    EXPECT_TRUE(driver.Finish());
    EXPECT_EQ(L"exe,Dll,tmp", shown);
    EXPECT_TRUE(ok["confirmed"].get<bool>());
    EXPECT_EQ("pdf,dxf", ok["list"]);
    EXPECT_TRUE(ok["extensions"][1]["excludedFromPreview"].get<bool>()) << "reloaded after OK";
}
