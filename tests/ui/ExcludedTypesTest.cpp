// The excluded file types without the dialog on screen: how an edited field is stored, the two
// exclusion tests, the dialog template as the library ships it, and the localized texts.
#include "UiTestKit.h"

#include "support/FakePlugins.h"
#include "ui/ExcludeDlg.h"
#include "ui/LocalizedStrings.h"
#include "ui/UiResources.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <gtest/gtest.h>

using namespace ffmtest;
using ffm::ComPtr;

TEST(ExcludedTypes, FieldIsStoredAsTrimmedRunsBetweenCommas) {
    const struct {
        const wchar_t* field;
        const wchar_t* stored;
    } cases[] = {
        {L" .exe ,DLL,,tmp ", L"exe,DLL,tmp"}, // blanks and one dot go, adjacent commas give nothing
        {L"exe, ,dll", L"exe,,dll"},           // a run of blanks is an empty entry
        {L"..exe", L".exe"},                   // only one dot is removed
        {L". exe", L" exe"},                   // the dot goes after trimming, the blank after it stays
        {L"\t.dwg\r\n,\v.pdf", L"dwg,pdf"},    // every kind of white space is trimmed
        {L" ,exe", L"exe"},                    // an empty first entry is not followed by a comma
        {L",,,", L""},
        {L"", L""},
        {L"exe;dll tmp", L"exe;dll tmp"}, // other separators stay inside an entry
        {L".", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.stored, moJoinExtensionList(c.field)) << Utf8(c.field);
    EXPECT_EQ(L"", moJoinExtensionList(nullptr));
}

TEST(ExcludedTypes, ReferenceWriteExclusionsMatchUpperCaseExtensionsExactly) {
    FileFormatMgr mgr;
    for (const wchar_t* ext : {L"IPT", L"IDW", L"IAM", L"IDE", L"IDV", L"IPJ", L"IPN"})
        EXPECT_NE(0, mgr.mbIsExcludedFromXRefWrite(ext)) << Utf8(ext);
    for (const wchar_t* ext : {L"ipt", L".IPT", L"PT", L"IP", L"IPTX", L"", L"DWG", L"\nIPT"})
        EXPECT_EQ(0, mgr.mbIsExcludedFromXRefWrite(ext)) << Utf8(ext);
    EXPECT_EQ(0, mgr.mbIsExcludedFromXRefWrite(nullptr));
}

class PreviewExclusion : public UiTest {};

TEST_F(PreviewExclusion, FollowsTheStoredListOnceTheManagerIsInitialised) {
    StoreList(L"exe,DLL , tmp");
    FileFormatMgr mgr;
    EXPECT_EQ(0, mgr.mbIsExcludedFromPreview(L"EXE")) << "nothing is excluded before initialisation";

    ComPtr<TestStore> store(new TestStore);
    ASSERT_EQ(S_OK, mgr.mhSetRegAccess(store.get()));
    mgr.mvInit(nullptr);
    EXPECT_NE(0, mgr.mbIsExcludedFromPreview(L"EXE"));
    EXPECT_NE(0, mgr.mbIsExcludedFromPreview(L"DLL"));
    EXPECT_NE(0, mgr.mbIsExcludedFromPreview(L"dll")) << "compared without regard to case";
    EXPECT_NE(0, mgr.mbIsExcludedFromPreview(L"TMP"));
    EXPECT_EQ(0, mgr.mbIsExcludedFromPreview(L"PDF"));
    EXPECT_EQ(0, mgr.mbIsExcludedFromPreview(L""));
    EXPECT_EQ(0, mgr.mbIsExcludedFromPreview(nullptr));

    // A list changed behind the manager's back counts only after a reload (the dialog's OK).
    StoreList(L"pdf");
    EXPECT_NE(0, mgr.mbIsExcludedFromPreview(L"EXE"));
    mgr.mvUninitialize();
    EXPECT_EQ(0, mgr.mbIsExcludedFromPreview(L"EXE"));
}

namespace {

// One control of a dialog template, as the resource compiler laid it down.
struct TemplateItem {
    DWORD style;
    short x, y, cx, cy;
    WORD id;
    std::wstring className; // lower case, whether stored as a name or as a predefined atom
    std::wstring text;
};

struct ParsedTemplate {
    DWORD style;
    short x, y, cx, cy;
    std::wstring caption;
    WORD points;
    std::wstring font;
    std::vector<TemplateItem> items;
};

// Reads a classic (not extended) dialog template.
ParsedTemplate ParseDialog(const BYTE* data) {
    const auto* words = reinterpret_cast<const WORD*>(data);
    const auto* head = reinterpret_cast<const DLGTEMPLATE*>(data);
    ParsedTemplate t{head->style, head->x, head->y, head->cx, head->cy, {}, 0, {}, {}};
    const WORD* p = words + sizeof(DLGTEMPLATE) / sizeof(WORD);
    const auto readString = [&p](std::wstring* into) {
        if (*p == 0xFFFF) {
            p += 2;
            return;
        }
        const auto* s = reinterpret_cast<const wchar_t*>(p);
        if (into)
            *into = s;
        p += wcslen(s) + 1;
    };
    readString(nullptr); // menu
    readString(nullptr); // class
    readString(&t.caption);
    if (t.style & DS_SETFONT) {
        t.points = *p++;
        readString(&t.font);
    }
    for (int i = 0; i < head->cdit; ++i) {
        p = reinterpret_cast<const WORD*>((reinterpret_cast<UINT_PTR>(p) + 3) & ~UINT_PTR(3));
        const auto* item = reinterpret_cast<const DLGITEMTEMPLATE*>(p);
        TemplateItem it{item->style, item->x, item->y, item->cx, item->cy, item->id, {}, {}};
        p += sizeof(DLGITEMTEMPLATE) / sizeof(WORD);
        if (*p == 0xFFFF) {
            const wchar_t* atoms[] = {L"button", L"edit", L"static"};
            it.className = p[1] >= 0x80 && p[1] <= 0x82 ? atoms[p[1] - 0x80] : L"?";
            p += 2;
        } else {
            readString(&it.className);
            for (auto& ch : it.className)
                ch = towlower(ch);
        }
        readString(&it.text);
        p += 1 + *p / sizeof(WORD); // creation data
        t.items.push_back(it);
    }
    return t;
}

} // namespace

TEST(ExcludeDialogTemplate, ShipsInTheLibraryExactlyAsLaidOut) {
    const std::wstring dll = BinFolder() + L"\\FileFmtMgr.dll";
    HMODULE library = LoadLibraryExW(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, library);
    HRSRC found = FindResourceW(library, MAKEINTRESOURCEW(IDD_EXCLUDE_TYPES), RT_DIALOG);
    ASSERT_NE(nullptr, found);
    const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(library, found)));
    ASSERT_NE(nullptr, data);
    ASSERT_NE(0xFFFF, reinterpret_cast<const WORD*>(data)[1]) << "a classic template, not an extended one";
    const ParsedTemplate t = ParseDialog(data);
    FreeLibrary(library);

    EXPECT_EQ(DWORD(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT), t.style);
    EXPECT_EQ(350, t.cx);
    EXPECT_EQ(124, t.cy);
    EXPECT_EQ(L"Excluded File Types", t.caption);
    EXPECT_EQ(8, t.points);
    EXPECT_EQ(L"MS Sans Serif", t.font);

    const wchar_t *kButton = L"button", *kEdit = L"edit", *kStatic = L"static";
    constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
    const TemplateItem expected[] = {
        {kChild | SS_LEFT | WS_GROUP, 72, 7, 271, 39, 3001, kStatic, L"msg"},
        {kChild | SS_LEFT, 7, 69, 336, 8, 3003, kStatic, L"&List of extensions:"},
        {kChild | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 7, 79, 336, 14, 3002, kEdit, L""},
        {kChild | BS_DEFPUSHBUTTON | WS_TABSTOP, 241, 103, 50, 14, IDOK, kButton, L"OK"},
        {kChild | BS_PUSHBUTTON | WS_TABSTOP, 293, 103, 50, 14, IDCANCEL, kButton, L"Cancel"},
    };
    ASSERT_EQ(std::size(expected), t.items.size());
    for (size_t i = 0; i < t.items.size(); ++i) {
        const TemplateItem& a = t.items[i];
        const TemplateItem& e = expected[i];
        SCOPED_TRACE(e.id);
        EXPECT_EQ(e.id, a.id);
        EXPECT_EQ(e.className, a.className);
        EXPECT_EQ(e.style, a.style);
        EXPECT_EQ(e.x, a.x);
        EXPECT_EQ(e.y, a.y);
        EXPECT_EQ(e.cx, a.cx);
        EXPECT_EQ(e.cy, a.cy);
        EXPECT_EQ(e.text, a.text);
    }
}

class LocalizedTexts : public UiTest {};

TEST_F(LocalizedTexts, ComeFromTheServiceInTheUsersLanguageWithDefaultsForTheRest) {
    const struct {
        const wchar_t* language;
        const wchar_t* caption;
        const wchar_t* cancel;
    } cases[] = {
        {nullptr, L"Excluded File Types", L"Cancel"},
        {L"DE", L"Ausgeschlossene Dateitypen", L"Abbrechen"},
        {L"FR", L"Types de fichiers exclus", L"Cancel"}, // the service has no French "Cancel"
        {L"XX", L"Excluded File Types", L"Cancel"},      // nor any text in this language
    };
    for (const auto& c : cases) {
        if (c.language)
            SetLanguage(c.language);
        SCOPED_TRACE(c.language ? Utf8(c.language) : "none");
        EXPECT_EQ(c.caption, ffm::moGetTsText(ffm::TsDialogCaption));
        EXPECT_EQ(c.cancel, ffm::moGetTsText(ffm::TsCancel));
    }
    EXPECT_EQ(L"fallback", ffm::moGetLocalizedString(99, L"fallback", L"TS"));
    EXPECT_EQ(L"fallback", ffm::moGetLocalizedString(3, L"fallback", L"OTHER"));

    const ServiceState state = ReadServiceState();
    EXPECT_EQ(L"test_ui", state.module) << "bound to the library's file name without extension";
    EXPECT_EQ(1, state.alive) << "one binding for the process";
}

TEST_F(LocalizedTexts, AreTheDefaultsUntilTheServiceCanBeBound) {
    SetLanguage(L"DE");
    const long before = ReadServiceState().bindings;
    {
        // The class cannot be created at all.
        int asked = 0;
        ClassRegistration missing(CLSID_TovLocalizedStrings, [&]() -> IUnknown* {
            ++asked;
            return nullptr;
        });
        EXPECT_EQ(L"Excluded File Types...", ffm::moGetTsText(ffm::TsMenuItem));
        EXPECT_EQ(ffm::mpGetTsDefault(ffm::TsMessage), ffm::moGetTsText(ffm::TsMessage));
        EXPECT_EQ(2, asked) << "every call tries to bind again";
    }
    // The service is there but refuses the binding; its object is released again.
    FailServiceInit(true);
    EXPECT_EQ(L"Cancel", ffm::moGetTsText(ffm::TsCancel));
    EXPECT_EQ(0, ReadServiceState().alive);
    EXPECT_EQ(before, ReadServiceState().bindings);

    FailServiceInit(false);
    EXPECT_EQ(L"Abbrechen", ffm::moGetTsText(ffm::TsCancel));
    EXPECT_EQ(L"Ausgeschlossene Dateitypen...", ffm::moGetTsText(ffm::TsMenuItem));
    EXPECT_EQ(before + 1, ReadServiceState().bindings) << "bound once, then kept";
}
