// The Excluded File Types dialog as a person meets it: a real modal dialog under the X server,
// worked from a second thread (find it by caption, read its texts, type, press a button), with
// the registry and the exclusion tests checked afterwards.
#include "UiTestKit.h"

#include "support/FakePlugins.h"
#include "ui/ExcludeDlg.h"
#include "ui/LocalizedStrings.h"
#include "ui/UiResources.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <gtest/gtest.h>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

constexpr const wchar_t* kCaption = L"Excluded File Types";

// What the dialog showed when it opened.
struct Shown {
    std::wstring caption, message, label, field, ok, cancel;
    bool fieldHasFocus = false;
};

Shown ReadDialog(HWND dialog) {
    Shown s{TextOf(dialog),
            ItemText(dialog, IDC_EXCLUDE_MESSAGE),
            ItemText(dialog, IDC_EXCLUDE_LIST_LABEL),
            ItemText(dialog, IDC_EXCLUDE_LIST),
            ItemText(dialog, IDOK),
            ItemText(dialog, IDCANCEL)};
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
    // Another test process on the same display may hold the activation; then no control has focus.
    s.fieldHasFocus = info.hwndFocus == GetDlgItem(dialog, IDC_EXCLUDE_LIST) || info.hwndActive != dialog;
    return s;
}

class ExcludeDialog : public UiTest {
  protected:
    // Opens the dialog over the host through the manager while steps work it; returns what the
    // manager answered.
    bool Edit(const std::wstring& caption, const std::function<void(HWND)>& steps, FileFormatMgr& mgr) {
        DialogDriver driver(caption, steps);
        const bool confirmed = mgr.mbEditExcludedExtensions(host.Get());
        EXPECT_TRUE(driver.Finish()) << "dialog found: " << driver.Found()
                                     << ", had to be cancelled: " << driver.Forced();
        return confirmed;
    }
    bool Edit(const std::function<void(HWND)>& steps) { return Edit(kCaption, steps, goFileFormatMgr); }

    HostWindow host;
};

} // namespace

TEST_F(ExcludeDialog, ShowsTheTextsOfTheUsersLanguageAndStoresWhatWasTyped) {
    const struct {
        const wchar_t* language;
        Shown texts;
    } cases[] = {
        {L"GB",
         {L"Excluded File Types", ffm::mpGetTsDefault(ffm::TsMessage), L"&List of file extensions:", L"",
          L"OK", L"Cancel"}},
        {L"DE",
         {L"Ausgeschlossene Dateitypen",
          L"Dateien mit Erweiterungen aus dem Feld unten erscheinen nicht in der Vorschau von Brenlow. "
          L"Erweiterungen werden durch Kommas getrennt, zum Beispiel:\n\"exe,dll,tmp\"",
          L"&Liste der Dateierweiterungen:", L"", L"OK", L"Abbrechen"}},
        {L"FR",
         {L"Types de fichiers exclus", ffm::mpGetTsDefault(ffm::TsMessage), L"&List of file extensions:", L"",
          L"OK", L"Cancel"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.language));
        SetLanguage(c.language);
        StoreList(L"dwg,pdf");
        Shown shown;
        const bool confirmed = Edit(
            c.texts.caption,
            [&](HWND dialog) {
                shown = ReadDialog(dialog);
                TypeInto(GetDlgItem(dialog, IDC_EXCLUDE_LIST), L" .exe ,DLL,,tmp ");
                Click(dialog, IDOK);
            },
            goFileFormatMgr);
        EXPECT_TRUE(confirmed);
        EXPECT_EQ(c.texts.caption, shown.caption);
        EXPECT_EQ(c.texts.message, shown.message);
        EXPECT_EQ(c.texts.label, shown.label);
        EXPECT_EQ(L"dwg,pdf", shown.field);
        EXPECT_EQ(c.texts.ok, shown.ok);
        EXPECT_EQ(c.texts.cancel, shown.cancel);
        EXPECT_TRUE(shown.fieldHasFocus);
        const StoredList stored = ReadStoredList();
        EXPECT_EQ(DWORD(REG_SZ), stored.type);
        EXPECT_EQ(L"exe,DLL,tmp", stored.text);
    }
}

TEST_F(ExcludeDialog, OkMakesTheInitialisedManagerExcludeTheNewList) {
    StoreList(L"dwg");
    FileFormatMgr mgr;
    ComPtr<TestStore> store(new TestStore);
    ASSERT_EQ(S_OK, mgr.mhSetRegAccess(store.get()));
    mgr.mvInit(nullptr);
    ASSERT_NE(0, mgr.mbIsExcludedFromPreview(L"DWG"));

    EXPECT_TRUE(Edit(
        kCaption,
        [](HWND dialog) {
            TypeInto(GetDlgItem(dialog, IDC_EXCLUDE_LIST), L"exe, .pdf");
            Click(dialog, IDOK);
        },
        mgr));
    EXPECT_EQ(0, mgr.mbIsExcludedFromPreview(L"DWG"));
    EXPECT_NE(0, mgr.mbIsExcludedFromPreview(L"EXE"));
    EXPECT_NE(0, mgr.mbIsExcludedFromPreview(L"PDF"));

    // Cancel stores nothing and reloads nothing.
    EXPECT_FALSE(Edit(
        kCaption,
        [](HWND dialog) {
            TypeInto(GetDlgItem(dialog, IDC_EXCLUDE_LIST), L"tmp");
            Click(dialog, IDCANCEL);
        },
        mgr));
    EXPECT_NE(0, mgr.mbIsExcludedFromPreview(L"EXE"));
    EXPECT_EQ(L"exe,pdf", ReadStoredList().text);
    mgr.mvUninitialize();
}

TEST_F(ExcludeDialog, CancelAndTheSystemMenuLeaveTheStoredValueAsItWas) {
    const DWORD number = 7;
    const struct {
        const char* name;
        std::function<void()> store;
        std::function<void(HWND)> close;
    } cases[] = {
        {"cancel, string", [] { StoreList(L"dwg"); }, [](HWND d) { Click(d, IDCANCEL); }},
        {"system menu, string", [] { StoreList(L"dwg"); },
         [](HWND d) { PostMessageW(d, WM_SYSCOMMAND, SC_CLOSE, 0); }},
        {"escape key, string", [] { StoreList(L"dwg"); },
         [](HWND d) { PostMessageW(GetDlgItem(d, IDC_EXCLUDE_LIST), WM_KEYDOWN, VK_ESCAPE, 0); }},
        {"cancel, number",
         [&] {
             RegistrySandbox::SetRaw(HKEY_CURRENT_USER, ManagerKey(), L"ExcludeExtList", REG_DWORD, &number,
                                     4);
         },
         [](HWND d) { Click(d, IDCANCEL); }},
        {"cancel, missing", [] {}, [](HWND d) { Click(d, IDCANCEL); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kManagerKey, L"ExcludeExtList");
        c.store();
        const StoredList before = ReadStoredList();
        EXPECT_FALSE(Edit([&](HWND dialog) {
            TypeInto(GetDlgItem(dialog, IDC_EXCLUDE_LIST), L"exe,dll");
            c.close(dialog);
        }));
        const StoredList after = ReadStoredList();
        EXPECT_EQ(before.type, after.type);
        EXPECT_EQ(before.text, after.text);
    }
}

TEST_F(ExcludeDialog, HostileStoredValuesAreShownAndWrittenBackWithinTheFieldsReach) {
    std::wstring many;
    for (int i = 0; i < 10000; ++i)
        many += (i ? L"," : L"") + std::to_wstring(i) + L"x";
    // What OK stores of a long list: the first 4095 characters, less a cut-off trailing comma.
    std::wstring manyStored = many.substr(0, 4095);
    if (manyStored.back() == L',')
        manyStored.pop_back();
    const std::wstring separators = L" exe ;\tdll\n, tmp,\r\n.bat, ,,..x,jp";
    const DWORD number = 42;
    const BYTE binary[] = {0x65, 0, 0x78, 0, 0x65}; // "ex" and half a character
    const struct {
        const char* name;
        std::function<void()> store;
        std::wstring shown;
        std::wstring stored;
    } cases[] = {
        {"10,000 extensions", [&] { StoreList(many); }, many, manyStored},
        {"one entry longer than the field's reach", [&] { StoreList(std::wstring(100000, L'x')); },
         std::wstring(100000, L'x'), std::wstring(4095, L'x')},
        {"separators of every kind", [&] { StoreList(separators); }, separators,
         L"exe ;\tdll,tmp,bat,,.x,jp"},
        {"a number",
         [&] {
             RegistrySandbox::SetRaw(HKEY_CURRENT_USER, ManagerKey(), L"ExcludeExtList", REG_DWORD, &number,
                                     4);
         },
         L"", L""},
        {"binary data",
         [&] {
             RegistrySandbox::SetRaw(HKEY_CURRENT_USER, ManagerKey(), L"ExcludeExtList", REG_BINARY, binary,
                                     sizeof(binary));
         },
         L"", L""},
        {"a multi-string",
         [&] {
             RegistrySandbox::SetMultiString(HKEY_CURRENT_USER, ManagerKey(), L"ExcludeExtList",
                                             {L"exe", L"dll"});
         },
         L"", L""},
        // The half character is completed with a zero byte: "e".
        {"unterminated, odd length",
         [&] {
             RegistrySandbox::SetRaw(HKEY_CURRENT_USER, ManagerKey(), L"ExcludeExtList", REG_SZ, binary,
                                     sizeof(binary));
         },
         L"exe", L"exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.store();
        std::wstring shown;
        EXPECT_TRUE(Edit([&](HWND dialog) {
            shown = ItemText(dialog, IDC_EXCLUDE_LIST);
            Click(dialog, IDOK);
        }));
        EXPECT_EQ(c.shown.size(), shown.size());
        EXPECT_TRUE(c.shown == shown);
        const StoredList stored = ReadStoredList();
        EXPECT_EQ(DWORD(REG_SZ), stored.type);
        EXPECT_EQ(c.stored.size(), stored.text.size());
        EXPECT_TRUE(c.stored == stored.text);
    }
}

TEST_F(ExcludeDialog, OpensWithDefaultsWhenTheServiceOrTheResourceLibraryIsMissing) {
    SetLanguage(L"DE");
    const struct {
        const char* name;
        bool serviceFails;
        bool libraryMissing;
        const wchar_t* caption;
    } cases[] = {
        {"service refuses binding", true, false, L"Excluded File Types"},
        {"no PreviewView.dll", false, true, L"Ausgeschlossene Dateitypen"},
        {"neither", true, true, L"Excluded File Types"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ffm::zvForgetLocalizedStrings();
        FailServiceInit(c.serviceFails);
        if (c.libraryMissing)
            HideResourceLibrary();
        {
            ExcludeDlg probe;
            EXPECT_EQ(c.libraryMissing, probe.mhGetResourceLibrary() == nullptr);
        }
        StoreList(L"dwg");
        std::wstring field;
        EXPECT_TRUE(Edit(
            c.caption,
            [&](HWND dialog) {
                field = ItemText(dialog, IDC_EXCLUDE_LIST);
                TypeInto(GetDlgItem(dialog, IDC_EXCLUDE_LIST), L"pdf");
                Click(dialog, IDOK);
            },
            goFileFormatMgr));
        EXPECT_EQ(L"dwg", field);
        EXPECT_EQ(L"pdf", ReadStoredList().text);
    }
}

TEST_F(ExcludeDialog, LaysOutItsControlsFromTheTemplateCentredOverItsOwner) {
    // Position and size in dialog units; position and size are converted to pixels each on its own.
    const struct {
        int id;
        RECT units; // x, y, width, height
    } controls[] = {
        {IDC_EXCLUDE_MESSAGE, {72, 7, 271, 39}}, {IDC_EXCLUDE_LIST_LABEL, {7, 69, 336, 8}},
        {IDC_EXCLUDE_LIST, {7, 79, 336, 14}},    {IDOK, {241, 103, 50, 14}},
        {IDCANCEL, {293, 103, 50, 14}},
    };
    RECT dialogRect{}, clientRect{}, expectedClient{0, 0, 350, 124};
    std::vector<std::pair<RECT, RECT>> placed; // (expected, actual) in client pixels
    EXPECT_FALSE(Edit([&](HWND dialog) {
        GetWindowRect(dialog, &dialogRect);
        GetClientRect(dialog, &clientRect);
        MapDialogRect(dialog, &expectedClient);
        for (const auto& c : controls) {
            RECT expected = c.units, actual{};
            MapDialogRect(dialog, &expected);
            expected.right += expected.left;
            expected.bottom += expected.top;
            GetWindowRect(GetDlgItem(dialog, c.id), &actual);
            MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
            placed.push_back({expected, actual});
        }
        Click(dialog, IDCANCEL);
    }));
    EXPECT_EQ(expectedClient.right, clientRect.right);
    EXPECT_EQ(expectedClient.bottom, clientRect.bottom);
    for (size_t i = 0; i < placed.size(); ++i) {
        SCOPED_TRACE(controls[i].id);
        EXPECT_EQ(placed[i].first.left, placed[i].second.left);
        EXPECT_EQ(placed[i].first.top, placed[i].second.top);
        EXPECT_EQ(placed[i].first.right, placed[i].second.right);
        EXPECT_EQ(placed[i].first.bottom, placed[i].second.bottom);
    }
    RECT owner{};
    GetWindowRect(host.Get(), &owner);
    EXPECT_NEAR((owner.left + owner.right) / 2, (dialogRect.left + dialogRect.right) / 2, 1);
    EXPECT_NEAR((owner.top + owner.bottom) / 2, (dialogRect.top + dialogRect.bottom) / 2, 1);
}

TEST_F(ExcludeDialog, StaysInsideTheWorkAreaWhenItsOwnerDoesNot) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(host.Get(), MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT work = monitor.rcWork;
    const struct {
        const char* name;
        std::function<void()> place;
    } cases[] = {
        {"owner off the left edge",
         [&] { SetWindowPos(host.Get(), nullptr, work.left - 700, 100, 800, 600, SWP_NOZORDER); }},
        {"owner off the bottom right",
         [&] {
             SetWindowPos(host.Get(), nullptr, work.right - 100, work.bottom - 50, 800, 600, SWP_NOZORDER);
         }},
        {"owner minimised", [&] { ShowWindow(host.Get(), SW_MINIMIZE); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ShowWindow(host.Get(), SW_RESTORE);
        c.place();
        Pump(50);
        RECT shown{};
        EXPECT_FALSE(Edit([&](HWND dialog) {
            GetWindowRect(dialog, &shown);
            Click(dialog, IDCANCEL);
        }));
        EXPECT_GE(shown.left, work.left);
        EXPECT_GE(shown.top, work.top);
        EXPECT_LE(shown.right, work.right);
        EXPECT_LE(shown.bottom, work.bottom);
        if (IsIconic(host.Get())) {
            EXPECT_NEAR((work.left + work.right) / 2, (shown.left + shown.right) / 2, 1);
            EXPECT_NEAR((work.top + work.bottom) / 2, (shown.top + shown.bottom) / 2, 1);
        }
    }
}

TEST_F(ExcludeDialog, ManyOpenCloseCyclesLeaveNoWindowOrServiceObjectBehind) {
    SetLanguage(L"DE");
    StoreList(L"dwg");
    const int windows = ThreadWindowCount();
    for (int i = 0; i < 20; ++i) {
        const bool ok = i % 2 == 0;
        EXPECT_EQ(ok, Edit(
                          L"Ausgeschlossene Dateitypen",
                          [&](HWND dialog) { Click(dialog, ok ? IDOK : IDCANCEL); }, goFileFormatMgr));
    }
    EXPECT_EQ(windows, ThreadWindowCount());
    const ServiceState state = ReadServiceState();
    EXPECT_EQ(1, state.alive) << "the one binding of the process, nothing per dialog";
    EXPECT_EQ(L"dwg", ReadStoredList().text);
}

TEST_F(ExcludeDialog, WithoutAnOwnerTheActiveWindowOwnsIt) {
    SetForegroundWindow(host.Get());
    SetActiveWindow(host.Get());
    Pump(50);
    HWND owner = nullptr;
    DialogDriver driver(kCaption, [&](HWND dialog) {
        owner = GetWindow(dialog, GW_OWNER);
        Click(dialog, IDCANCEL);
    });
    EXPECT_FALSE(goFileFormatMgr.mbEditExcludedExtensions(nullptr));
    EXPECT_TRUE(driver.Finish());
    EXPECT_EQ(host.Get(), owner);
}
