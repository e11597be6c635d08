// The excluded file types without the dialog on screen: how an edited field is stored, the
// exclusion of reference writes, and the localized texts.
#include "UiTestKit.h"

#include "ui/ExcludeDlg.h"
#include "ui/LocalizedStrings.h"
#include <FileFmtMgr/FileFormatMgr.h>

using namespace ffmtest;

TEST(ExcludedTypes, FieldIsStoredAsTrimmedRunsBetweenCommas) {
    const struct {
        const wchar_t* field;
        const wchar_t* stored;
    } cases[] = {
        // Blanks, one dot, empty runs and other separators: the dialog tests type them.
        {L". exe", L" exe"}, // the dot goes after trimming, the blank after it stays
        {L" ,exe", L"exe"},  // an empty first entry is not followed by a comma
        {L",,,", L""},       {L"", L""}, {L".", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.stored, moJoinExtensionList(c.field)) << Utf8(c.field);
    EXPECT_EQ(L"", moJoinExtensionList(nullptr));
}

TEST(ExcludedTypes, ReferenceWriteExclusionsMatchUpperCaseExtensionsExactlyNoPreviewOneBeforeInitialisation) {
    FileFormatMgr mgr;
    EXPECT_EQ(0, mgr.mbIsExcludedFromPreview(L"EXE"))
        << "no plug-in table yet: nothing excluded from preview";
    for (const wchar_t* ext : {L"IPT", L"IDW", L"IAM", L"IDE", L"IDV", L"IPJ", L"IPN"})
        EXPECT_NE(0, mgr.mbIsExcludedFromXRefWrite(ext)) << Utf8(ext);
    for (const wchar_t* ext : {L"ipt", L".IPT", L"PT", L"IP", L"IPTX", L"", L"DWG", L"\nIPT"})
        EXPECT_EQ(0, mgr.mbIsExcludedFromXRefWrite(ext)) << Utf8(ext);
    EXPECT_EQ(0, mgr.mbIsExcludedFromXRefWrite(nullptr));
}

class LocalizedTexts : public UiTest {};

TEST_F(LocalizedTexts, ComeFromTheServiceInTheUsersLanguageWithDefaultsForTheRestAndUntilItIsBound) {
    const struct {
        const wchar_t* language;
        const wchar_t* caption;
        const wchar_t* cancel;
    } cases[] = {
        {L"FR", L"Types de fichiers exclus", L"Cancel"}, // the service has no French "Cancel"
        {L"XX", L"Excluded File Types", L"Cancel"},      // nor any text in this language
    };
    for (const auto& c : cases) {
        SetLanguage(c.language);
        SCOPED_TRACE(Utf8(c.language));
        EXPECT_EQ(c.caption, ffm::moGetTsText(ffm::TsDialogCaption));
        EXPECT_EQ(c.cancel, ffm::moGetTsText(ffm::TsCancel));
    }
    EXPECT_EQ(L"fallback", ffm::moGetLocalizedString(99, L"fallback", L"TS"));
    EXPECT_EQ(L"fallback", ffm::moGetLocalizedString(3, L"fallback", L"OTHER"));

    const ServiceState state = ReadServiceState();
    EXPECT_EQ(L"test_ui", state.module) << "bound to the library's file name without extension";
    EXPECT_EQ(1, state.alive) << "one binding for the process";

    // Until the service can be bound, the defaults.
    ffm::zvForgetLocalizedStrings();
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
        EXPECT_EQ(L"Cancel", ffm::moGetTsText(ffm::TsCancel));
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
