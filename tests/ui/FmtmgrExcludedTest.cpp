// fmtmgr's "excluded" command in a process of its own, as a person or a script uses it: the list
// shown, set, and edited in the library's dialog, which the test works from here.
#include "UiTestKit.h"

#include "foundation/Handles.h"
#include "ui/UiResources.h"
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace ffmtest;
using nlohmann::json;

namespace {

struct Outcome {
    DWORD exitCode = 0xFFFFFFFF;
    json out;
};

// The vault client's language in the prefix's real user hive for one scope (the child process
// reads it there), restored afterwards.
class LanguageOfTheUser {
  public:
    explicit LanguageOfTheUser(const std::wstring& code) {
        DWORD bytes = sizeof(m_old);
        m_had = RegGetValueW(HKEY_CURRENT_USER, LanguageKey().c_str(), L"0", RRF_RT_REG_SZ, nullptr, m_old,
                             &bytes) == ERROR_SUCCESS;
        Set(code.c_str());
    }
    LanguageOfTheUser(const LanguageOfTheUser&) = delete;
    LanguageOfTheUser& operator=(const LanguageOfTheUser&) = delete;
    ~LanguageOfTheUser() {
        if (m_had)
            Set(m_old);
        else
            RegDeleteKeyValueW(HKEY_CURRENT_USER, LanguageKey().c_str(), L"0");
    }

  private:
    static void Set(const wchar_t* code) {
        RegSetKeyValueW(HKEY_CURRENT_USER, LanguageKey().c_str(), L"0", REG_SZ, code,
                        static_cast<DWORD>((wcslen(code) + 1) * sizeof(wchar_t)));
    }
    wchar_t m_old[64] = {};
    bool m_had = false;
};

// The child reads the prefix's real user hive, so the test keeps and restores the stored list
// there instead of in a sandbox.
class FmtmgrExcluded : public ::testing::Test {
  protected:
    void SetUp() override { saved = Read(); }
    void TearDown() override {
        if (saved)
            Write(*saved);
        else
            RegDeleteKeyValueW(HKEY_CURRENT_USER, ManagerKey().c_str(), L"ExcludeExtList");
    }
    static std::optional<std::wstring> Read() {
        const StoredList stored = ReadStoredList();
        return stored.type == REG_SZ ? std::optional<std::wstring>(stored.text) : std::nullopt;
    }
    static void Write(const std::wstring& text) {
        RegSetKeyValueW(HKEY_CURRENT_USER, ManagerKey().c_str(), L"ExcludeExtList", REG_SZ, text.c_str(),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

    // Runs "fmtmgr --json ARGS"; while it runs, steps work the dialog it opens (if given).
    Outcome Fmtmgr(const std::wstring& arguments, const std::function<void(HWND)>& steps = {},
                   const std::wstring& caption = L"Excluded File Types") {
        const std::wstring outPath = folder.Path() + L"\\out.json";
        Outcome run;
        {
            SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
            const ffm::UniqueFile out(CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                                  CREATE_ALWAYS, 0, nullptr));
            STARTUPINFOW startup{};
            startup.cb = sizeof(startup);
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdOutput = out.get();
            startup.hStdError = out.get();
            std::wstring command = L"\"" + BinFolder() + L"\\fmtmgr.exe\" --json " + arguments;
            PROCESS_INFORMATION process{};
            if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                folder.Path().c_str(), &startup, &process))
                return run;
            const ffm::UniqueHandle thread(process.hThread), child(process.hProcess);
            if (steps) {
                DialogDriver driver(caption, steps, 20000, process.dwProcessId);
                EXPECT_TRUE(driver.Finish());
            }
            if (WaitForSingleObject(child.get(), 30000) != WAIT_OBJECT_0)
                TerminateProcess(child.get(), 99);
            GetExitCodeProcess(child.get(), &run.exitCode);
        }
        std::string text;
        if (FILE* f = _wfopen(outPath.c_str(), L"rb")) {
            char buffer[4096];
            for (size_t n; (n = fread(buffer, 1, sizeof(buffer), f)) > 0;)
                text.append(buffer, n);
            fclose(f);
        }
        run.out = json::parse(text, nullptr, false);
        return run;
    }

    std::optional<std::wstring> saved;
    TempFolder folder;
};

} // namespace

// One test: every step changes the one stored list of the prefix, which a parallel test would see.
TEST_F(FmtmgrExcluded, SetsShowsAndEditsTheListAsThePreviewSeesIt) {
    const Outcome set = Fmtmgr(L"excluded --set exe,Dll,tmp");
    ASSERT_EQ(0u, set.exitCode);
    EXPECT_EQ("exe,Dll,tmp", set.out["list"]);
    ASSERT_EQ(3u, set.out["extensions"].size());
    EXPECT_EQ("DLL", set.out["extensions"][1]["extension"]);
    for (const auto& e : set.out["extensions"])
        EXPECT_TRUE(e["excludedFromPreview"].get<bool>()) << e["extension"];
    EXPECT_EQ(L"exe,Dll,tmp", Read().value_or(L"missing"));

    for (const wchar_t* bad : {L"\" .exe\"", L"\"exe,,dll\"", L"\"exe, dll\""}) {
        EXPECT_EQ(2u, Fmtmgr(std::wstring(L"excluded --set ") + bad).exitCode) << Utf8(bad);
        EXPECT_EQ(L"exe,Dll,tmp", Read().value_or(L"missing")) << "a refused list stores nothing";
    }
    EXPECT_EQ("exe,Dll,tmp", Fmtmgr(L"excluded").out["list"]);

    // Edited in the dialog.
    Write(L"dwg");
    std::wstring shown, cancelText;
    const Outcome ok = Fmtmgr(L"excluded --dialog", [&](HWND dialog) {
        shown = ItemText(dialog, IDC_EXCLUDE_LIST);
        cancelText = ItemText(dialog, IDCANCEL);
        SendMessageW(GetDlgItem(dialog, IDC_EXCLUDE_LIST), WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(L"pdf, .dxf"));
        Click(dialog, IDOK);
    });
    EXPECT_EQ(0u, ok.exitCode);
    EXPECT_EQ(L"dwg", shown);
    EXPECT_EQ(L"Cancel", cancelText);
    EXPECT_TRUE(ok.out["confirmed"].get<bool>());
    EXPECT_EQ("pdf,dxf", ok.out["list"]);
    EXPECT_TRUE(ok.out["extensions"][1]["excludedFromPreview"].get<bool>()) << "reloaded after OK";

    // FileFmtMgr.dll binds the service for itself: in German the dialog says so.
    std::wstring caption;
    {
        const LanguageOfTheUser german(L"DE");
        const Outcome cancel = Fmtmgr(
            L"excluded --dialog",
            [&](HWND dialog) {
                caption = TextOf(dialog);
                Click(dialog, IDCANCEL);
            },
            L"Ausgeschlossene Dateitypen");
        EXPECT_EQ(0u, cancel.exitCode);
        EXPECT_FALSE(cancel.out["confirmed"].get<bool>());
    }
    EXPECT_EQ(L"Ausgeschlossene Dateitypen", caption);
    EXPECT_EQ(L"pdf,dxf", Read().value_or(L"missing"));
}
