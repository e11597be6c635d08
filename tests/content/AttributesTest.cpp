#include "content/ContentTestKit.h"
#include <comdef.h>
#include <comutil.h>
#include <memory>

using namespace ffmtest;
using namespace ffmtest::cards;
using ffm::ComPtr;

namespace {

constexpr Records First = Records::First, Second = Records::Second;

// The caller's attribute records, held (and deleted) by a variable.
struct Attributes {
    Attributes(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> mapped)
        : holder(NewVariable(L"", mapped)), list(holder->moAttributes) {}
    AttributeData& operator[](int i) const {
        auto n = list.GetHead();
        while (i--)
            n = n->next;
        return *n->element;
    }
    void Set(int i, const Var& value) const {
        ::VariantCopy(operator[](i).mpoValue, const_cast<VARIANT*>(&value.v));
    }
    // Each record as "found,flag,value".
    std::vector<std::wstring> State() const {
        std::vector<std::wstring> out;
        for (const AttributeData* a : list)
            out.push_back(std::to_wstring(a->mbFound) + L"," + std::to_wstring(a->mbFlag) + L"," +
                          Text(a->mpoValue));
        return out;
    }
    std::unique_ptr<VariableData> holder;
    ffm::Lst<AttributeData*>& list;
};

class AttributeAccess : public ::testing::Test {
  protected:
    DataCardNavigator& Make(Records records) {
        card.emplace(L"C:\\v\\part.mrdprt", records, false, true);
        progress = ComPtr<RecordingCallback>(new RecordingCallback);
        return *card->navigator;
    }
    ITovFileNavigator* Nav() const { return card->navigator; }
    std::optional<HeldCard> card;
    ComPtr<RecordingCallback> progress;
    FileFormatMgr manager;
};

TEST_F(AttributeAccess, BothRecordVersionsReadWhatThePluginReportsWithTheRevisionAndDateRules) {
    for (Records records : {First, Second})
        for (bool revisionFlag : {false, true}) {
            SCOPED_TRACE(testing::Message() << static_cast<int>(records) << " revision " << revisionFlag);
            DataCardNavigator& nav = Make(records);
            Var unsetDate; // how plug-ins report a date that was never set
            V_VT(&unsetDate.v) = VT_DATE;
            nav.Put(L"Blue", L"CustomProperty", L"Title", L"Gear", 1);
            nav.Put(L"Blue", L"Summary", L"Created", unsetDate);
            nav.Put(L"Blue", L"CustomProperty", L"REVISION", L"B");
            nav.Put(L"Blue", L"", L"Bare", 5L);
            Attributes attributes{{L"CustomProperty", L"Title"},
                                  {L"CustomProperty", L"Gone"},
                                  {L"Summary", L"Created"},
                                  {L"CustomProperty", L"REVISION"},
                                  {nullptr, L"Bare"}};
            attributes[1].mlNumber = 7;
            attributes[1].mbFound = true;
            attributes.Set(1, L"stale"); // cleared: the plug-in reports nothing
            {
                ComMemoryLedger ledger;
                EXPECT_EQ(S_OK, manager.mhGetAttribs(L"Blue", true, Nav(), attributes.list, progress.get(),
                                                     revisionFlag));
                EXPECT_EQ("", ledger.Problems());
            }
            const std::wstring revision = revisionFlag ? L"1,0,B" : L"0,0,B"; // value taken either way
            EXPECT_EQ(
                (std::vector<std::wstring>{L"1,1,Gear", L"0,0,<empty>", L"1,0,<empty>", revision, L"1,0,i5"}),
                attributes.State());
            EXPECT_EQ(std::vector<std::wstring>{records == First ? L"GetAttributes(Blue,1,5)"
                                                                 : L"GetAttributes2(Blue,1,5:0 7 0 0 0)"},
                      nav.calls);
            EXPECT_EQ(std::vector<long>{0}, progress->progress);
            EXPECT_EQ(1u, nav.RefCount());
        }
}

TEST_F(AttributeAccess, WritingReportsWhatWasWrittenAndSavesOnlyAfterASuccessfulCall) {
    struct Case {
        const char* name;
        bool save;
        const char* failing; // with its code
        HRESULT code;
        std::vector<std::wstring> refuse;
        HRESULT expected;
        long saves;
        const char* found; // mbFound of the two records
    };
    // clang-format off
    const Case cases[] = {
        {"written", false, "", S_OK, {}, S_OK, 0, "11"},
        {"written and saved", true, "", S_OK, {}, S_OK, 1, "11"},
        {"one refused", true, "", S_OK, {L"Title"}, S_OK, 1, "01"},
        {"none written, still saved", true, "", S_OK, {L"Title", L"Mass"}, S_FALSE, 1, "00"},
        {"write fails", true, "SetAttributes", E_ACCESSDENIED, {}, E_ACCESSDENIED, 0, "00"},
        {"save fails", true, "Save", STG_E_WRITEFAULT, {}, STG_E_WRITEFAULT, 0, "11"},
    };
    // clang-format on
    for (Records records : {First, Second})
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << static_cast<int>(records) << " " << c.name);
            DataCardNavigator& nav = Make(records);
            for (const char* version : {"", "2"}) // the method of either record version
                nav.Fail(c.failing + std::string(version), c.code);
            nav.refuse = c.refuse;
            Attributes attributes{{L"CustomProperty", L"Title"}, {L"Summary", L"Mass"}};
            attributes.Set(0, L"Shaft");
            attributes.Set(1, 12L);
            attributes[0].mbFound = attributes[1].mbFound = true;
            {
                ComMemoryLedger ledger;
                EXPECT_EQ(c.expected, manager.mhSetAttribs(nullptr, false, 42, Nav(), attributes.list,
                                                           progress.get(), c.save));
                EXPECT_EQ("", ledger.Problems());
            }
            EXPECT_EQ(c.saves, nav.saves);
            EXPECT_EQ(c.found, std::to_string(attributes[0].mbFound) + std::to_string(attributes[1].mbFound));
            EXPECT_EQ(L"Shaft", Text(attributes[0].mpoValue)); // the caller's values stay
            EXPECT_EQ(std::vector<std::wstring>{records == First ? L"SetAttributes(<null>,0,2,42)"
                                                                 : L"SetAttributes2(<null>,0,2,42:0 0)"},
                      nav.calls);
            EXPECT_EQ(SUCCEEDED(c.expected), !progress->progress.empty());
            EXPECT_EQ(c.found[1] == '1' ? L"i12" : L"<none>", nav.Get(L"", L"Summary", L"Mass"));
        }
}

TEST_F(AttributeAccess, EmptyListsNullNavigatorsAndBadValuesGiveClearResults) {
    DataCardNavigator& nav = Make(Second);
    Attributes none{};
    EXPECT_EQ(S_OK, manager.mhGetAttribs(L"c", true, Nav(), none.list, progress.get(), true));
    EXPECT_EQ(S_FALSE, manager.mhSetAttribs(L"c", true, 0, Nav(), none.list, progress.get(), true));
    EXPECT_TRUE(nav.calls.empty());
    EXPECT_EQ(0, nav.Count("Save"));
    EXPECT_TRUE(progress->progress.empty());
    EXPECT_EQ(E_POINTER, manager.mhGetAttribs(L"c", true, nullptr, none.list, nullptr, true));
    EXPECT_EQ(E_POINTER, manager.mhSetAttribs(L"c", true, 0, nullptr, none.list, nullptr, true));

    // A value of a type no VARIANT routine accepts, from the plug-in or from the caller.
    for (Records records : {First, Second}) {
        DataCardNavigator& odd = Make(records);
        odd.Put(L"", L"b", L"n", L"bad");
        odd.badType = {DataCardNavigator::Key(L"", L"b", L"n")};
        odd.Put(L"", L"b", L"m", L"fine");
        Attributes two{{L"b", L"n"}, {L"b", L"m"}};
        ComMemoryLedger ledger;
        EXPECT_EQ(DISP_E_BADVARTYPE, manager.mhGetAttribs(nullptr, true, Nav(), two.list, nullptr, true));
        EXPECT_EQ("", ledger.Problems());
        two.Set(1, L"new");
        ::VariantClear(two[0].mpoValue);
        V_VT(two[0].mpoValue) = 0x7FFF;
        EXPECT_EQ(E_OUTOFMEMORY, manager.mhSetAttribs(nullptr, true, 0, Nav(), two.list, nullptr, true));
        V_VT(two[0].mpoValue) = VT_EMPTY;
        EXPECT_EQ("", ledger.Problems());
        EXPECT_EQ(0, odd.Count("SetAttributes") + odd.Count("SetAttributes2") + odd.saves);
        EXPECT_EQ(L"fine", odd.Get(L"", L"b", L"m")); // the file untouched
    }
}

TEST_F(AttributeAccess, RunningOutOfMemoryAnywhereGivesOutOfMemoryAndKeepsTheCallersRecords) {
    for (Records records : {First, Second}) {
        SCOPED_TRACE(static_cast<int>(records));
        DataCardNavigator& nav = Make(records);
        nav.Put(L"Default", L"CustomProperty", L"Title", L"Gear");
        Attributes attributes{{L"CustomProperty", L"Title"}, {L"CustomProperty", L"Missing"}};
        const auto kept = [&](HRESULT hr) {
            if (hr == S_OK) { // a name lost on the way would read nothing and still succeed
                EXPECT_EQ(L"Gear", Text(attributes[0].mpoValue));
            }
            EXPECT_STREQ(L"Title", attributes[0].moName.W());
            EXPECT_STREQ(L"CustomProperty", attributes[1].moBlock.W());
        };
        const auto read = [&] {
            return manager.mhGetAttribs(L"Default", true, &nav, attributes.list, nullptr, true);
        };
        EXPECT_GE(LedgerSweep([] {}, read, kept), 4);
        const auto write = [&] {
            return manager.mhSetAttribs(L"Default", true, 0, &nav, attributes.list, nullptr, true);
        };
        EXPECT_GE(LedgerSweep([] {}, write, kept), 4);
        EXPECT_EQ(L"<empty>", nav.Get(L"Default", L"CustomProperty", L"Missing")); // as read

        // The configurations, by the query (second version) or by the names: what was appended stays.
        nav.configs = {{L"A", 1}, {L"B", 2}};
        nav.configsByQuery = records == Second;
        nav.configNames = L"A\nB";
        const std::wstring all = records == Second ? L"[A:1][B:2]" : L"[A:0][B:0]";
        std::optional<OwnedConfigs> list;
        EXPECT_GE(LedgerSweep([&] { list.emplace(); },
                              [&] { return manager.mhGetConfigurations(&nav, *list); },
                              [&](HRESULT) {
                                  EXPECT_EQ(0u, all.find(Describe(*list))); // a beginning of the whole list
                                  list.reset();
                              }),
                  4);
    }
}

TEST_F(AttributeAccess, ConfigurationsComeFromTheQueryOrTheNamesWithOneEmptyOneForFilesWithoutAny) {
    struct Case {
        const char* name;
        std::function<void(DataCardNavigator&)> arrange;
        std::wstring expected;
        HRESULT result = S_OK;
        bool prefilled = false; // the caller's list holds a record already
    };
    const long long big = 0x123456789ABCDEF0LL;
    // The names road: the query not implemented, or its interface missing or failing to be had.
    const auto byNames = [](const wchar_t* text, bool query = false, HRESULT queryFailure = E_NOINTERFACE,
                            HRESULT namesResult = S_OK) {
        return [=](DataCardNavigator& n) {
            if (!query)
                n.Hide(__uuidof(ITovFileQuery));
            n.SetQueryFailure(queryFailure);
            n.configsByQuery = false;
            n.configNames = text;
            n.Fail("GetConfigurationNames", namesResult);
        };
    };
    // clang-format off
    const Case cases[] = {
        {"query", [&](DataCardNavigator& n) { n.configs = {{L"Default", big}, {L"", -1}, {L"Blue", 2}}; },
         L"[Default:" + std::to_wstring(big) + L"][:-1][Blue:2]"},
        {"query, empty array", [](DataCardNavigator&) {}, L""},
        {"query not implemented", byNames(L"Default\nBlue\n\nRed\r\n", true), L"[Default:0][Blue:0][Red\r:0]"},
        {"no query interface", byNames(L"\nA"), L"[A:0]"},
        {"query interface fails", byNames(L"N", false, E_UNEXPECTED), L"[N:0]"},
        {"no names, list not empty", byNames(L""), L"[Old:9]", S_OK, true},
        {"names not implemented", byNames(L"", false, E_NOINTERFACE, E_NOTIMPL), L"[:0]"},
        {"names fail", byNames(L"", false, E_NOINTERFACE, E_FAIL), L"", E_FAIL},
        {"query fails", [](DataCardNavigator& n) { n.Fail("Query3", E_ACCESSDENIED); }, L"", E_ACCESSDENIED},
        {"elements of another size", [](DataCardNavigator& n) {
             n.configs = {{L"A", 1}};
             n.recordInfo.elementSize = 24;
         }, L"", E_INVALIDARG},
        // Without its dimension the array is destroyed as if it held one element.
        {"array without dimension", [](DataCardNavigator& n) {
             n.configs = {{L"A", 1}};
             n.onArray = [](SAFEARRAY* a) { a->cDims = 0; };
         }, L"", DISP_E_BADINDEX},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DataCardNavigator& nav = Make(Second);
        c.arrange(nav);
        std::optional<ComMemoryLedger> ledger(std::in_place);
        std::optional<OwnedConfigs> list(std::in_place);
        if (c.prefilled)
            list->AddTail(new ConfigData(L"Old", 9));
        EXPECT_EQ(c.result, manager.mhGetConfigurations(Nav(), *list));
        EXPECT_EQ(c.expected, Describe(*list));
        list.reset();
        EXPECT_EQ(1u, nav.RefCount());
        EXPECT_EQ("", ledger->Problems());
    }
    // The names alone come the same way.
    Make(Second).configs = {{L"Default", 1}, {L"", 2}};
    ffm::Lst<_bstr_t> names;
    names.AddTail(_bstr_t(L"Old"));
    ASSERT_EQ(S_OK, manager.mhGetConfigurations(Nav(), names));
    ASSERT_EQ(3, names.GetCount());
    EXPECT_EQ(L"Default", std::wstring(names.GetHead()->next->element));
    EXPECT_EQ(0u, names.GetTail()->element.length());
    OwnedConfigs list;
    EXPECT_EQ(E_POINTER, manager.mhGetConfigurations(nullptr, list));
}

} // namespace
