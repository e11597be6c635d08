// fmtmgr's "excluded" command in a process of its own, as a person or a script uses it: the list
// set, refused and shown, and edited in the library's dialog, which the test works from here.
#include "UiTestKit.h"

#include "host/FmtmgrKit.h"
#include "ui/UiResources.h"

using namespace ffmtest;
using nlohmann::json;

namespace {

// The child process reads the prefix's real user hive: the values the test changes there are put
// back as they were when it ends.
class FmtmgrExcluded : public Fmtmgr {
  protected:
    void TearDown() override {
        Restore(kManagerKey, kExcludeListValue, list);
        Restore(LanguageKey(), L"0", language);
    }
    static void Restore(const std::wstring& key, const wchar_t* name, const StoredValue& value) {
        if (value.type == REG_SZ)
            RegistrySandbox::SetString(HKEY_CURRENT_USER, key, name, value.text);
        else
            RegDeleteKeyValueW(HKEY_CURRENT_USER, key.c_str(), name);
    }

    const StoredValue list = ReadStored(), language = ReadStored(LanguageKey(), L"0");
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
    RegistrySandbox::SetString(HKEY_CURRENT_USER, LanguageKey(), L"0", L"DE");
    DialogDriver driver(
        L"Ausgeschlossene Dateitypen",
        [&](HWND dialog) {
            SendMessageW(GetDlgItem(dialog, IDC_EXCLUDE_LIST), WM_SETTEXT, 0,
                         reinterpret_cast<LPARAM>(L"pdf, .dxf"));
            Click(dialog, IDOK);
        },
        20000, 0);
    const json ok = RunJson(L"excluded --dialog");
    EXPECT_TRUE(driver.Finish());
    EXPECT_TRUE(ok["confirmed"].get<bool>());
    EXPECT_EQ("pdf,dxf", ok["list"]);
    EXPECT_TRUE(ok["extensions"][1]["excludedFromPreview"].get<bool>()) << "reloaded after OK";
}
