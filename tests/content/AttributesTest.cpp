#include "support/ComMemoryLedger.h"
#include "support/DataCardFakes.h"
#include "support/Sandbox.h"
#include "foundation/Handles.h"
#include <comdef.h>
#include <comutil.h>
#include <gtest/gtest.h>
#include <optional>

using namespace ffmtest::cards;
using ffm::ComPtr;
using ffmtest::ComMemoryLedger;

namespace {

// The caller's attribute list; deletes its records.
struct Attributes {
    Attributes(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> mapped) {
        for (const auto& [block, name] : mapped)
            list.AddTail(new AttributeData(block, name));
    }
    ~Attributes() {
        for (AttributeData* a : list)
            delete a;
    }
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
    ffm::Lst<AttributeData*> list;
};

class AttributeAccess : public ::testing::Test {
  protected:
    DataCardNavigator& Make(Records records, bool query = true) {
        card.emplace(L"C:\\v\\part.mrdprt", records, false, query);
        progress = ComPtr<ffmtest::RecordingCallback>(new ffmtest::RecordingCallback);
        return *card->navigator;
    }
    ITovFileNavigator* Nav() const { return card->navigator; }
    std::optional<HeldCard> card;
    ComPtr<ffmtest::RecordingCallback> progress;
    FileFormatMgr manager;
};

TEST_F(AttributeAccess, BothRecordVersionsReadWhatThePluginReportsWithTheRevisionAndDateRules) {
    for (Records records : {Records::First, Records::Second})
        for (bool revisionFlag : {false, true}) {
            SCOPED_TRACE(testing::Message() << static_cast<int>(records) << " revision " << revisionFlag);
            DataCardNavigator& nav = Make(records);
            nav.Put(L"Blue", L"CustomProperty", L"Title", L"Gear", 1);
            nav.Put(L"Blue", L"Summary", L"Created", Var::Date(0.0));
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
            ASSERT_EQ(1u, nav.calls.size());
            const DataCardNavigator::Call& call = nav.calls[0];
            EXPECT_EQ(records == Records::First ? "GetAttributes" : "GetAttributes2", call.method);
            EXPECT_EQ(L"Blue", call.config);
            EXPECT_EQ(1, call.option);
            EXPECT_EQ(5, call.count);
            if (records == Records::Second) {
                EXPECT_EQ((std::vector<long>{0, 7, 0, 0, 0}), call.numbers);
            }
            EXPECT_EQ(std::vector<long>{0}, progress->progress);
            EXPECT_EQ(1u, nav.RefCount());
        }
}

TEST_F(AttributeAccess, WritingReportsWhatWasWrittenAndSavesOnlyAfterASuccessfulCall) {
    struct Case {
        const char* name;
        bool save;
        std::map<std::string, HRESULT> failures;
        std::vector<std::wstring> refuse;
        HRESULT expected;
        long saves;
        const char* found; // mbFound of the two records
    };
    const Case cases[] = {
        {"written", false, {}, {}, S_OK, 0, "11"},
        {"written and saved", true, {}, {}, S_OK, 1, "11"},
        {"one refused", true, {}, {L"Title"}, S_OK, 1, "01"},
        {"none written, still saved", true, {}, {L"Title", L"Mass"}, S_FALSE, 1, "00"},
        {"write fails",
         true,
         {{"SetAttributes", E_ACCESSDENIED}, {"SetAttributes2", E_ACCESSDENIED}},
         {},
         E_ACCESSDENIED,
         0,
         "00"},
        {"save fails", true, {{"Save", STG_E_WRITEFAULT}}, {}, STG_E_WRITEFAULT, 0, "11"},
    };
    for (Records records : {Records::First, Records::Second})
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << static_cast<int>(records) << " " << c.name);
            DataCardNavigator& nav = Make(records);
            nav.failures = c.failures;
            nav.refuse = c.refuse;
            Attributes attributes{{L"CustomProperty", L"Title"}, {L"Summary", L"Mass"}};
            attributes.Set(0, L"Shaft");
            attributes.Set(1, 12L);
            attributes[0].mbFound = attributes[1].mbFound = true;
            attributes[1].mlNumber = 3;
            {
                ComMemoryLedger ledger;
                EXPECT_EQ(c.expected, manager.mhSetAttribs(nullptr, false, 42, Nav(), attributes.list,
                                                           progress.get(), c.save));
                EXPECT_EQ("", ledger.Problems());
            }
            EXPECT_EQ(c.saves, nav.saves);
            std::string found;
            for (const AttributeData* a : attributes.list)
                found += a->mbFound ? '1' : '0';
            EXPECT_EQ(c.found, found);
            EXPECT_EQ(L"Shaft", Text(attributes[0].mpoValue)); // the caller's values stay
            ASSERT_EQ(1u, nav.calls.size());
            EXPECT_EQ(L"<null>", nav.calls[0].config);
            EXPECT_EQ(42, nav.calls[0].number);
            EXPECT_EQ(0, nav.calls[0].option);
            EXPECT_EQ(SUCCEEDED(c.expected), !progress->progress.empty());
            if (c.refuse.empty() && SUCCEEDED(c.expected)) {
                EXPECT_EQ(L"Shaft", nav.Get(L"", L"CustomProperty", L"Title"));
                EXPECT_EQ(L"i12", nav.Get(L"", L"Summary", L"Mass"));
            }
        }
}

TEST_F(AttributeAccess, EmptyListsNullNavigatorsAndBadValuesGiveClearResults) {
    DataCardNavigator& nav = Make(Records::Second);
    Attributes none{};
    EXPECT_EQ(S_OK, manager.mhGetAttribs(L"c", true, Nav(), none.list, progress.get(), true));
    EXPECT_EQ(S_FALSE, manager.mhSetAttribs(L"c", true, 0, Nav(), none.list, progress.get(), true));
    EXPECT_TRUE(nav.calls.empty());
    EXPECT_EQ(0, nav.Count("Save"));
    EXPECT_TRUE(progress->progress.empty());
    Attributes one{{L"b", L"n"}};
    EXPECT_EQ(E_POINTER, manager.mhGetAttribs(L"c", true, nullptr, one.list, nullptr, true));
    EXPECT_EQ(E_POINTER, manager.mhSetAttribs(L"c", true, 0, nullptr, one.list, nullptr, true));

    // A value of a type no VARIANT routine accepts, from the plug-in or from the caller.
    for (Records records : {Records::First, Records::Second}) {
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
    for (Records records : {Records::First, Records::Second}) {
        SCOPED_TRACE(static_cast<int>(records));
        DataCardNavigator& nav = Make(records);
        nav.Put(L"Default", L"CustomProperty", L"Title", L"Gear");
        Attributes attributes{{L"CustomProperty", L"Title"}, {L"CustomProperty", L"Missing"}};
        std::optional<ComMemoryLedger> ledger;
        HRESULT hr = S_OK;
        const auto setup = [&] { ledger.emplace(); };
        const auto check = [&](int point) {
            EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY) << std::hex << hr << " at " << std::dec << point;
            EXPECT_EQ("", ledger->Problems());
            ledger.reset();
            if (hr == S_OK) { // a name lost on the way would read nothing and still succeed
                EXPECT_EQ(L"Gear", Text(attributes[0].mpoValue));
            }
            EXPECT_STREQ(L"Title", attributes[0].moName.W());
            EXPECT_STREQ(L"CustomProperty", attributes[1].moBlock.W());
        };
        EXPECT_GE(ffmtest::ForEachAllocationFailure(
                      setup,
                      [&](int) {
                          hr = manager.mhGetAttribs(L"Default", true, &nav, attributes.list, nullptr, true);
                      },
                      check),
                  4);
        EXPECT_EQ(L"Gear", Text(attributes[0].mpoValue));
        EXPECT_GE(ffmtest::ForEachAllocationFailure(
                      setup,
                      [&](int) {
                          hr =
                              manager.mhSetAttribs(L"Default", true, 0, &nav, attributes.list, nullptr, true);
                      },
                      check),
                  4);
        EXPECT_EQ(L"<empty>", nav.Get(L"Default", L"CustomProperty", L"Missing")); // as read
    }
}

// ---- Configurations -------------------------------------------------------------------------

std::wstring Describe(const ConfigDataLst& list) {
    std::wstring text;
    for (const ConfigData* c : list)
        text += L"[" + std::wstring(c->moName.W() ? c->moName.W() : L"") + L":" +
                std::to_wstring(c->mlValue) + L"]";
    return text;
}

struct OwnedConfigs : ConfigDataLst {
    ~OwnedConfigs() override {
        for (ConfigData* c : *this)
            delete c;
    }
};

TEST_F(AttributeAccess, ConfigurationsComeFromTheQueryOrTheNamesWithOneEmptyOneForFilesWithoutAny) {
    struct Case {
        const char* name;
        std::function<void(DataCardNavigator&)> arrange;
        bool prefilled;
        std::wstring expected;
        HRESULT result = S_OK;
    };
    const long long big = 0x123456789ABCDEF0LL;
    // clang-format off
    const Case cases[] = {
        {"query", [&](DataCardNavigator& n) { n.configs = {{L"Default", big}, {L"", -1}, {L"Blue", 2}}; }, false,
         L"[Default:" + std::to_wstring(big) + L"][:-1][Blue:2]"},
        {"query, empty array", [](DataCardNavigator&) {}, false, L""},
        {"query not implemented", [](DataCardNavigator& n) { n.configsByQuery = false; n.configNames = L"Default\nBlue\n\nRed\r\n"; },
         false, L"[Default:0][Blue:0][Red\r:0]"},
        {"no query interface", [](DataCardNavigator& n) { n.Hide(__uuidof(ITovFileQuery)); n.configNames = L"\nA"; },
         false, L"[A:0]"},
        {"names not implemented", [](DataCardNavigator& n) { n.Hide(__uuidof(ITovFileQuery)); n.failures["GetConfigurationNames"] = E_NOTIMPL; },
         false, L"[:0]"},
        {"no names, list not empty", [](DataCardNavigator& n) { n.Hide(__uuidof(ITovFileQuery)); }, true, L"[Old:9]"},
        {"query fails", [](DataCardNavigator& n) { n.failures["Query3"] = E_ACCESSDENIED; }, false, L"", E_ACCESSDENIED},
        {"names fail", [](DataCardNavigator& n) { n.Hide(__uuidof(ITovFileQuery)); n.failures["GetConfigurationNames"] = E_FAIL; },
         false, L"", E_FAIL},
        {"query interface fails", [](DataCardNavigator& n) { n.queryFailure = {__uuidof(ITovFileQuery), E_UNEXPECTED}; n.configNames = L"N"; },
         false, L"[N:0]"},
        {"elements of another size", [](DataCardNavigator& n) { n.configs = {{L"A", 1}}; n.recordInfo.elementSize = 24; },
         false, L"", E_INVALIDARG},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DataCardNavigator& nav = Make(Records::Second);
        c.arrange(nav);
        std::optional<ComMemoryLedger> ledger(std::in_place);
        std::optional<OwnedConfigs> owned(std::in_place);
        OwnedConfigs& list = *owned;
        if (c.prefilled)
            list.AddTail(new ConfigData(L"Old", 9));
        EXPECT_EQ(c.result, manager.mhGetConfigurations(Nav(), list));
        EXPECT_EQ((c.prefilled ? L"[Old:9]" : L"") + c.expected.substr(c.prefilled ? 7 : 0), Describe(list));
        ffm::Lst<_bstr_t> names;
        if (c.prefilled)
            names.AddTail(_bstr_t(L"Old"));
        EXPECT_EQ(c.result, manager.mhGetConfigurations(Nav(), names));
        std::wstring plain;
        for (const ConfigData* config : list)
            plain += std::wstring(config->moName.W() ? config->moName.W() : L"") + L"/";
        std::wstring fromNames;
        for (const _bstr_t& name : names)
            fromNames +=
                std::wstring(static_cast<const wchar_t*>(name) ? static_cast<const wchar_t*>(name) : L"") +
                L"/";
        EXPECT_EQ(plain, fromNames);
        EXPECT_EQ(1u, nav.RefCount());
        owned.reset();
        names.RemoveAll();
        EXPECT_EQ("", ledger->Problems());
    }
    OwnedConfigs list;
    EXPECT_EQ(E_POINTER, manager.mhGetConfigurations(nullptr, list));
}

TEST_F(AttributeAccess, UnreadableConfigurationArraysGiveTheirFailureWithItsDescription) {
    SAFEARRAY* locked = nullptr; // a locked array cannot be destroyed: the test does it
    const struct {
        std::function<void(SAFEARRAY*)> spoil;
        HRESULT expected;
        const wchar_t* description;
    } cases[] = {
        {[&](SAFEARRAY* a) { locked = a, a->cLocks = 0xFFFF; }, E_UNEXPECTED, L"Could not lock safe array."},
        {[](SAFEARRAY* a) { a->cDims = 0; }, DISP_E_BADINDEX, L"Could not get lower bound of array"},
    };
    for (const auto& c : cases) {
        DataCardNavigator& nav = Make(Records::First);
        nav.configs = {{L"A", 1}};
        nav.onArray = c.spoil;
        OwnedConfigs list;
        ::SetErrorInfo(0, nullptr);
        EXPECT_EQ(c.expected, manager.mhGetConfigurations(Nav(), list));
        ComPtr<IErrorInfo> info;
        ffm::UniqueBstr description;
        ASSERT_EQ(S_OK, GetErrorInfo(0, info.put()));
        info->GetDescription(description.put());
        EXPECT_STREQ(c.description, description.get());
        EXPECT_TRUE(list.IsEmpty());
        if (locked) {
            locked->cLocks = 0;
            EXPECT_EQ(S_OK, SafeArrayDestroy(std::exchange(locked, nullptr)));
        } else { // the one element's name went with the array as if the array had one dimension
            EXPECT_EQ(1u, nav.RefCount());
        }
    }
}

TEST_F(AttributeAccess, ConfigurationsRunningOutOfMemoryKeepWhatWasAppended) {
    for (bool byQuery : {true, false}) {
        DataCardNavigator& nav = Make(Records::First);
        nav.configs = {{L"A", 1}, {L"B", 2}};
        nav.configsByQuery = byQuery;
        nav.configNames = L"A\nB";
        std::optional<ComMemoryLedger> ledger;
        std::optional<OwnedConfigs> list;
        HRESULT hr = S_OK;
        EXPECT_GE(ffmtest::ForEachAllocationFailure(
                      [&] { list.emplace(), ledger.emplace(); },
                      [&](int) { hr = manager.mhGetConfigurations(&nav, *list); },
                      [&](int) {
                          EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY);
                          const std::wstring got = Describe(*list);
                          EXPECT_EQ(0u, std::wstring(L"[A:" + std::to_wstring(byQuery ? 1 : 0) + L"][B:" +
                                                     std::to_wstring(byQuery ? 2 : 0) + L"]")
                                            .find(got));
                          list.reset();
                          EXPECT_EQ("", ledger->Problems());
                          ledger.reset();
                      }),
                  4);
    }
}

} // namespace
