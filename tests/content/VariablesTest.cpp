#include "support/ComMemoryLedger.h"
#include "support/DataCardFakes.h"
#include "support/Sandbox.h"
#include <gtest/gtest.h>
#include <optional>

using namespace ffmtest::cards;
using ffm::ComPtr;
using ffmtest::ComMemoryLedger;

namespace {

struct OwnedConfigs : ConfigDataLst {
    ~OwnedConfigs() override {
        for (ConfigData* c : *this)
            delete c;
    }
};

void Assign(VariableValue* x, const Var& value) {
    ::VariantCopy(x->mpoValue, const_cast<VARIANT*>(&value.v));
}

// Every value of a variable as "config:tag=value/flag/set", in walk order.
std::wstring Values(const VariableData& v) {
    std::wstring text;
    ValuePos pos;
    for (v.First(pos); !v.AtEnd(pos);) {
        const VariableValue* x = v.Next(pos);
        text += L"[" + std::wstring(x->moConfig.W() ? x->moConfig.W() : L"") + L":" +
                std::to_wstring(x->mlConfigTag) + L"=" + Text(x->mpoValue) + (x->mbFlag ? L"/f" : L"") +
                (x->mbSet ? L"/set" : L"") + L"]";
    }
    return text;
}

TEST(VariableMap, ValuesAreKeyedByTheLowerCaseNameAndWalkedInOrdinalOrder) {
    ComMemoryLedger ledger;
    {
        auto* v = NewVariable(L"Title", {{L"CustomProperty", L"Title"}, {L"Summary", L"Title"}});
        VariableValue* first = v->GetValue(L"Default", 7, true);
        EXPECT_EQ(first, v->GetValue(L"DEFAULT", 9, false));
        EXPECT_EQ(nullptr, v->GetValue(L"Other", 1, false));
        VariableValue* unnamed = v->GetValue(nullptr, 3, true);
        EXPECT_EQ(unnamed, v->GetValue(L"", 4, true));
        v->GetValue(L"b", 1, true);
        v->GetValue(L"a1", 2, true);
        v->GetValue(L"A", 3, true);
        ::VariantClear(first->mpoValue);
        V_VT(first->mpoValue) = VT_BSTR;
        V_BSTR(first->mpoValue) = ::SysAllocString(L"kept");
        EXPECT_EQ(L"[:3=<empty>][A:3=<empty>][a1:2=<empty>][b:1=<empty>][Default:7=kept]", Values(*v));
        v->mpoValues2 = new VariableValueMap; // released like the first map
        v->mpoValues2->moItems.emplace(L"x", new VariableValue(L"X", 1));
        delete v;
        delete NewVariable(L"empty", {{L"b", L"n"}}); // no values at all
    }
    EXPECT_EQ("", ledger.Problems());
}

class Variables : public ffmtest::SandboxedTest {
  protected:
    // A part by default: configurations Default, Blue and "@" with their tags; Title in every
    // configuration, Number only in Blue and the Summary block's PartNo everywhere.
    DataCardNavigator& Make(const wchar_t* path = L"C:\\v\\gear.mrdprt", Records records = Records::Second,
                            bool batch = false) {
        card.emplace(path, records, batch, true);
        DataCardNavigator& nav = *card->navigator;
        nav.configs = {{L"Default", 10}, {L"Blue", 20}, {L"@", 30}};
        for (const auto& [config, tag] : nav.configs) {
            nav.Put(config.c_str(), L"CustomProperty", L"Title", (L"Gear " + config).c_str(), 1);
            nav.Put(config.c_str(), L"Summary", L"PartNo", (L"P-" + config).c_str());
        }
        nav.Put(L"Blue", L"CustomProperty", L"Number", L"N-Blue");
        return nav;
    }
    ITovFileNavigator* Nav() const { return card->navigator; }
    // Title, Number (falls back to Summary:PartNo), Gone (mapped to nothing present).
    void Standard() {
        vars.Add(NewVariable(L"Title", {{L"CustomProperty", L"Title"}}));
        vars.Add(NewVariable(L"Number", {{L"CustomProperty", L"Number"}, {L"Summary", L"PartNo"}}));
        vars.Add(NewVariable(L"Gone", {{L"CustomProperty", L"Gone"}, {L"Summary", L"Gone"}}));
    }
    std::vector<std::wstring> All() const {
        std::vector<std::wstring> out;
        for (const VariableData* v : vars.list)
            out.push_back(Values(*v));
        return out;
    }
    HRESULT Read(bool batch, long flags, ConfigDataLst* configs, bool revision = true) {
        return batch ? manager.mhGetVars2(Nav(), flags, vars.list, configs, revision)
                     : manager.mhGetVars(Nav(), flags, vars.list, configs, revision);
    }

    std::optional<HeldCard> card;
    VariableList vars;
    FileFormatMgr manager;
};

TEST_F(Variables, BothFormsReadEveryConfigurationIntoTheSameValues) {
    const std::vector<std::wstring> expected = {
        L"[@:30=Gear @/f/set][Blue:20=Gear Blue/f/set][Default:10=Gear Default/f/set]",
        L"[@:30=P-@/set][Blue:20=N-Blue/set][Default:10=P-Default/set]",
        L"",
    };
    for (bool batch : {false, true}) {
        SCOPED_TRACE(batch);
        DataCardNavigator& nav = Make();
        {
            ComMemoryLedger ledger; // what the call creates is the caller's, and goes with its records
            Standard();
            OwnedConfigs configs;
            // The last request found nothing (Gone) in the per-configuration form only.
            EXPECT_EQ(batch ? S_OK : S_FALSE, Read(batch, 0x80, &configs));
            EXPECT_EQ(expected, All());
            vars.Clear();
            configs.RemoveAll();
            EXPECT_NE("", ledger.Problems()); // the records are still in configs' hands
        }
        Standard();
        OwnedConfigs configs;
        nav.counts.clear();
        nav.calls.clear();
        Read(batch, 0x80, &configs);
        std::wstring listed;
        for (const ConfigData* c : configs)
            listed += std::wstring(c->moName.W()) + L":" + std::to_wstring(c->mlValue) + L" ";
        EXPECT_EQ(L"Default:10 Blue:20 @:30 ", listed);
        EXPECT_EQ(batch ? 3 : 9, nav.Count("GetAttributes2"));
        ASSERT_FALSE(nav.calls.empty());
        EXPECT_EQ(batch ? 0 : 1, nav.calls[0].option);
        EXPECT_EQ(batch ? 5 : 1, nav.calls[0].count);
        // Given configurations are read as given, and nothing is asked of the plug-in for them.
        OwnedConfigs given;
        given.AddTail(new ConfigData(L"BLUE", 99));
        EXPECT_EQ(S_FALSE, Read(batch, 0x80, &given)); // the plug-in knows no "BLUE"
        EXPECT_EQ(1, nav.Count("Query3"));
        EXPECT_EQ(1, given.GetCount());
        EXPECT_EQ(expected, All()); // Blue's value keeps its first spelling and tag
        vars.Add(new VariableData); // without attributes: nothing asked, nothing stored
        EXPECT_EQ(batch ? S_FALSE : S_OK, Read(batch, 0x80, &given)); // the last request had no attributes
        EXPECT_EQ(L"", Values(*vars.list.GetTail()->element));
        vars.Clear();
        EXPECT_EQ(1u, nav.RefCount());
    }
}

TEST_F(Variables, WithoutEveryConfigurationTheFileIsReadOnceUnderTheEmptyName) {
    for (bool batch : {false, true}) {
        DataCardNavigator& nav = Make();
        nav.Put(L"<null>", L"CustomProperty", L"Title", L"unnamed");
        nav.Put(L"", L"CustomProperty", L"Title", L"unnamed");
        vars.Add(NewVariable(L"Title", {{L"CustomProperty", L"Title"}}));
        OwnedConfigs given;
        given.AddTail(new ConfigData(L"Blue", 20));
        EXPECT_EQ(S_OK, Read(batch, 0, &given));
        EXPECT_EQ(L"[:0=unnamed/set]", Values(*vars.list.GetHead()->element));
        ASSERT_EQ(1u, nav.calls.size());
        EXPECT_EQ(L"<null>", nav.calls[0].config);
        EXPECT_EQ(0, nav.Count("Query3") + nav.Count("GetConfigurationNames"));
        delete vars.list.RemoveHead();
        // No configurations at all in the file: one read without a name too.
        nav.configs.clear();
        nav.configsByQuery = false;
        vars.Add(NewVariable(L"Title", {{L"CustomProperty", L"Title"}}));
        OwnedConfigs found;
        EXPECT_EQ(S_OK, Read(batch, 0x80, &found));
        EXPECT_EQ(L"[:0=unnamed/set]", Values(*vars.list.GetHead()->element));
        EXPECT_EQ(1, found.GetCount());
        delete vars.list.RemoveHead();
        EXPECT_EQ(S_OK, Read(batch, 0x80, nullptr)); // nothing to read, nothing asked
        EXPECT_EQ(1, nav.Count("GetConfigurationNames"));
    }
}

TEST_F(Variables, DeletedPropertiesReachTheVaultAsEmptyValuesWhereTheRulesAllow) {
    struct Case {
        const wchar_t* path;
        bool flag;
        const wchar_t* gone;                      // the values of Gone
        const wchar_t* block = L"CustomProperty"; // of its first attribute
    } cases[] = {
        {L"C:\\v\\gear.mrdprt", false, L""},
        {L"C:\\v\\gear.MRDPRT", true,
         L"[@:30=<empty>/set][Blue:20=<empty>/set][Default:10=<empty>/set]"}, // the last one, Summary
        {L"C:\\v\\notes.txt", true, L""},                                     // no CAD file
        {L"C:\\v\\gear.mrddrw", true, L"[@:30=<empty>/set]"}, // drawings: CustomProperty in "@" only
        {L"C:\\v\\gear.mrddrw", true, L"[@:30=<empty>/set]", L"customPROPERTY"}, // in any letter case
        {L"C:\\v\\gear.mrddrw", true, L"", L"Custom"},
        {L"C:\\v.drw\\gear", true, L""}, // no extension
    };
    for (bool batch : {false, true})
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << batch << " " << ffmtest::Utf8(c.path) << " " << ffmtest::Utf8(c.block));
            Make(c.path);
            Standard();
            VariableData& gone = *vars.list.GetTail()->element;
            gone.moAttributes.GetHead()->element->moBlock = c.block;
            card->navigator->Put(L"@", c.block, L"Gone", L"x");
            card->navigator->attributes.erase(DataCardNavigator::Key(L"@", c.block, L"Gone"));
            gone.moAttributes.GetTail()->element->mbFlag = true;
            manager.mhSetUpdateDeletedVarsFlag(c.flag);
            EXPECT_EQ(batch ? S_OK : S_FALSE, Read(batch, 0x80, nullptr));
            EXPECT_EQ(c.gone, Values(gone));
            vars.Clear();
        }
}

TEST_F(Variables, ModeVariablesAskThePluginForDrawingsAndAssembliesInTheAtConfigurationOnly) {
    struct Case {
        const wchar_t* path;
        const wchar_t* variable;
        bool preset_bool;
        const wchar_t* expected;
        long queries;
    } cases[] = {
        {L"a.mrddrw", L"_MX_Detailing_Mode_", false, L"[@:30=i1/f/set]", 1},
        {L"a.DRW", L"_MX_Detailing_Mode_", true, L"[@:30=true/f/set]", 1},
        {L"a.mrdasm", L"_MX_LDR_Mode_", false, L"[@:30=i0/f/set]", 1},
        {L"a.mrdasm", L"_MX_LDR_Mode_", true, L"[@:30=false/f/set]", 1},
        {L"a.mrdprt", L"_MX_LDR_Mode_", false, L"", 0},
        {L"a.mrdasm", L"_MX_Detailing_Mode_", false, L"", 0},
        {L"a.mrdasm", L"_mx_ldr_mode_", false, L"", 0}, // an ordinary variable without attributes
    };
    for (bool batch : {false, true})
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << batch << " " << ffmtest::Utf8(c.path));
            DataCardNavigator& nav = Make(c.path);
            VariableData* v = vars.Add(NewVariable(c.variable, {}));
            if (c.preset_bool) {
                VariableValue* at = v->GetValue(L"@", 30, true);
                V_VT(at->mpoValue) = VT_BOOL;
            }
            EXPECT_EQ(S_OK, Read(batch, 0x80, nullptr));
            EXPECT_EQ(c.expected, Values(*v));
            EXPECT_EQ(c.queries, nav.Count("Query5") + nav.Count("Query7"));
            if (c.queries) {
                EXPECT_EQ(L"", nav.lastQueryInput);
            }
            delete vars.list.RemoveHead();
        }
}

TEST_F(Variables, DispatchToTheBatchFormFollowsTheSwitchAndTheBatchInterface) {
    for (DWORD sw : {1u, 0u})
        for (bool batchInterface : {true, false}) {
            SCOPED_TRACE(testing::Message() << sw << " " << batchInterface);
            ffmtest::RegistrySandbox::SetDWord(HKEY_LOCAL_MACHINE,
                                               L"Software\\Mordane\\Applications\\Quillan\\Namespace",
                                               L"BatchAttributes", sw);
            FileFormatMgr initialised;
            ASSERT_EQ(S_OK, initialised.mhInitialize(nullptr));
            for (Records records : {Records::First, Records::Second}) {
                DataCardNavigator& nav = Make(L"C:\\v\\gear.mrdprt", records, batchInterface);
                Standard();
                // The batch interface extends the second record version's navigator.
                const bool batched = sw && batchInterface && records == Records::Second;
                EXPECT_EQ(batched ? S_OK : S_FALSE,
                          initialised.mhGetVars(Nav(), 0x80, vars.list, nullptr, true));
                const long reads = nav.Count("GetAttributes") + nav.Count("GetAttributes2");
                EXPECT_EQ(batched ? 3 : 9, reads);
                EXPECT_EQ(records == Records::First ? 0 : reads, nav.Count("GetAttributes2"));
                EXPECT_EQ(L"[@:30=P-@/set][Blue:20=N-Blue/set][Default:10=P-Default/set]",
                          Values(*vars.list.GetHead()->next->element));
                EXPECT_EQ(S_OK, initialised.mhSetVars(Nav(), 0, 5, vars.list, true));
                EXPECT_EQ(batched ? 3 : 6, nav.Count("SetAttributes") + nav.Count("SetAttributes2"));
                EXPECT_EQ(1, nav.saves);
                for (VariableData* v : vars.list)
                    delete v;
                vars.list.RemoveAll();
            }
        }
}

TEST_F(Variables, EveryPluginMethodFailingInTurnGivesItsCodeOrLetsTheBatchGoOn) {
    struct Case {
        const char* method;
        HRESULT code;
        HRESULT perConfig, batch; // results of the two forms
    } cases[] = {
        {"GetFilePath", E_ACCESSDENIED, E_ACCESSDENIED, E_ACCESSDENIED},
        {"Query3", STG_E_FILENOTFOUND, STG_E_FILENOTFOUND, STG_E_FILENOTFOUND},
        {"GetAttributes2", E_FAIL, E_FAIL, S_OK},
        {"Query5", E_ABORT, E_ABORT, E_ABORT},
    };
    for (bool batch : {false, true})
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << batch << " " << c.method);
            DataCardNavigator& nav = Make(L"C:\\v\\a.mrddrw");
            nav.failures[c.method] = c.code;
            ComMemoryLedger ledger;
            Standard();
            vars.Add(NewVariable(L"_MX_Detailing_Mode_", {}));
            EXPECT_EQ(batch ? c.batch : c.perConfig, Read(batch, 0x80, nullptr));
            EXPECT_EQ(1u, nav.RefCount());
            if (c.method == std::string("GetAttributes2")) { // the batch still tried each configuration
                EXPECT_EQ(batch ? 3 : 1, nav.Count("GetAttributes2"));
            }
            vars.Clear();
            EXPECT_EQ("", ledger.Problems());
        }
    // Without the query interface, the mode has no answer; another query failure is passed on.
    for (HRESULT query : {E_NOINTERFACE, E_UNEXPECTED}) {
        DataCardNavigator& nav = Make(L"C:\\v\\a.mrdasm");
        nav.queryFailure = {__uuidof(ITovFileQuery), query};
        vars.Add(NewVariable(L"_MX_LDR_Mode_", {}));
        OwnedConfigs given;
        given.AddTail(new ConfigData(L"@", 1));
        EXPECT_EQ(query == E_NOINTERFACE ? E_POINTER : query, Read(false, 0x80, &given));
        EXPECT_EQ(query == E_NOINTERFACE ? E_POINTER : query, Read(true, 0x80, &given));
        delete vars.list.RemoveHead();
    }
    EXPECT_EQ(E_POINTER, manager.mhGetVars(nullptr, 0x80, vars.list, nullptr, true));
    EXPECT_EQ(E_POINTER, manager.mhSetVars(nullptr, 0, 0, vars.list, true));
}

TEST_F(Variables, BadInputGivesAClearResultAndLeavesTheFileAlone) {
    DataCardNavigator& nav = Make();
    nav.Put(L"Blue", L"CustomProperty", L"Odd", L"odd");
    nav.badType = {DataCardNavigator::Key(L"Blue", L"CustomProperty", L"Odd")};
    vars.Add(NewVariable(L"", {{L"", L""}, {nullptr, nullptr}})); // empty and null names
    vars.Add(NewVariable(L"Odd", {{L"CustomProperty", L"Odd"}}));
    for (bool batch : {false, true}) {
        OwnedConfigs duplicates;
        duplicates.AddTail(new ConfigData(L"Blue", 1));
        duplicates.AddTail(new ConfigData(L"BLUE", 2));
        ComMemoryLedger ledger;
        EXPECT_EQ(DISP_E_BADVARTYPE, Read(batch, 0x80, &duplicates));
        EXPECT_EQ("", ledger.Problems());
        EXPECT_EQ(L"", Values(*vars.list.GetHead()->element));
    }
    EXPECT_EQ(0, nav.Count("SetAttributes2") + nav.saves);
    EXPECT_EQ(L"Gear Blue", nav.Get(L"Blue", L"CustomProperty", L"Title"));
}

// ---- Writing --------------------------------------------------------------------------------

TEST_F(Variables, WritingGoesPerVariableAndConfigurationOrOncePerConfigurationName) {
    for (bool batch : {false, true}) {
        SCOPED_TRACE(batch);
        DataCardNavigator& nav = Make();
        VariableData* title = vars.Add(NewVariable(L"Title", {{L"CustomProperty", L"Title"}}));
        VariableData* number =
            vars.Add(NewVariable(L"Number", {{L"CustomProperty", L"Number"}, {L"Summary", L"PartNo"}}));
        vars.Add(NewVariable(L"_MX_LDR_Mode_", {{L"CustomProperty", L"Mode"}}))->GetValue(L"b", 0, true);
        for (const wchar_t* config : {L"b", L"A", L"a1"})
            Assign(title->GetValue(config, 0, true), (std::wstring(L"T-") + config).c_str());
        Assign(number->GetValue(L"a1", 0, true), L"N1");
        Assign(number->GetValue(L"B", 0, true), L"NB"); // "b" for the map, "B" for the batch
        number->moAttributes.GetTail()->element->mbFound = true;
        nav.refuse = {L"PartNo"};
        ComMemoryLedger ledger;
        EXPECT_EQ(S_OK, batch ? manager.mhSetVars2(Nav(), 1, 77, vars.list, true)
                              : manager.mhSetVars(Nav(), 1, 77, vars.list, true));
        EXPECT_EQ("", ledger.Problems());
        std::vector<std::wstring> order;
        for (const DataCardNavigator::Call& call : nav.calls) {
            order.push_back(call.config + L"#" + std::to_wstring(call.count));
            EXPECT_EQ(77, call.number);
            EXPECT_EQ(batch ? 0 : 1, call.option);
        }
        const std::vector<std::wstring> expected =
            batch ? std::vector<std::wstring>{L"A#1", L"B#2", L"a1#3", L"b#1"}
                  : std::vector<std::wstring>{L"A#1", L"a1#1", L"b#1", L"a1#2", L"B#2"};
        EXPECT_EQ(expected, order);
        EXPECT_EQ(1, nav.saves);
        EXPECT_EQ(L"T-a1", nav.Get(L"a1", L"CustomProperty", L"Title"));
        EXPECT_EQ(L"NB", nav.Get(L"B", L"CustomProperty", L"Number"));
        EXPECT_EQ(L"<none>", nav.Get(L"b", L"CustomProperty", L"Mode"));
        EXPECT_EQ(L"NB", Text(number->moAttributes.GetTail()->element->mpoValue)); // the last value copied
        // mbFound of the caller's records: the last write's in the per-variable form, untouched by the batch
        EXPECT_EQ(batch, number->moAttributes.GetTail()->element->mbFound);
        for (VariableData* v : vars.list)
            delete v;
        vars.list.RemoveAll();
    }
}

TEST_F(Variables, NothingWrittenGivesOneWithoutSaveAndFailuresEndTheWriting) {
    struct Case {
        const char* name;
        std::function<void(DataCardNavigator&)> arrange;
        HRESULT expected;
        long saves;
        const char* set; // mbSet of the two values
    } cases[] = {
        {"nothing taken", [](DataCardNavigator& n) { n.refuse = {L"Title"}; }, S_FALSE, 0, "00"},
        {"write fails", [](DataCardNavigator& n) { n.failures["SetAttributes2"] = E_ACCESSDENIED; },
         E_ACCESSDENIED, 0, "00"},
        {"save fails", [](DataCardNavigator& n) { n.failures["Save"] = STG_E_WRITEFAULT; }, STG_E_WRITEFAULT,
         0, "11"},
    };
    for (bool batch : {false, true})
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << batch << " " << c.name);
            DataCardNavigator& nav = Make();
            c.arrange(nav);
            VariableData* v = vars.Add(NewVariable(L"Title", {{L"CustomProperty", L"Title"}}));
            v->GetValue(L"Default", 0, true);
            v->GetValue(L"Blue", 0, true);
            ComMemoryLedger ledger;
            EXPECT_EQ(c.expected, batch ? manager.mhSetVars2(Nav(), 0, 0, vars.list, true)
                                        : manager.mhSetVars(Nav(), 0, 0, vars.list, true));
            EXPECT_EQ("", ledger.Problems());
            EXPECT_EQ(c.saves, nav.saves);
            std::string set;
            ValuePos pos;
            for (v->First(pos); !v->AtEnd(pos);)
                set += v->Next(pos)->mbSet ? '1' : '0';
            EXPECT_EQ(c.set, set);
            delete vars.list.RemoveHead();
        }
    DataCardNavigator& nav = Make();
    EXPECT_EQ(S_FALSE, manager.mhSetVars(Nav(), 0, 0, vars.list, true)); // empty list
    vars.Add(NewVariable(L"Title", {{L"CustomProperty", L"Title"}}));    // no values
    EXPECT_EQ(S_FALSE, manager.mhSetVars2(Nav(), 0, 0, vars.list, true));
    EXPECT_TRUE(nav.calls.empty());
    EXPECT_EQ(0, nav.saves);
}

TEST_F(Variables, RunningOutOfMemoryAnywhereGivesOutOfMemoryLeaksNothingAndKeepsTheCallersRecords) {
    for (bool batch : {false, true}) {
        SCOPED_TRACE(batch);
        DataCardNavigator& nav = Make(L"C:\\v\\a.mrddrw");
        nav.logCalls = false;
        manager.mhSetUpdateDeletedVarsFlag(true);
        std::optional<ComMemoryLedger> ledger;
        std::optional<OwnedConfigs> configs;
        HRESULT hr = S_OK;
        bool withValues = false;
        // The caller's records are made and deleted under the ledger, so what the call adds to
        // them is accounted for too.
        const auto setup = [&] {
            ledger.emplace();
            configs.emplace();
            Standard();
            vars.Add(NewVariable(L"_MX_Detailing_Mode_", {}));
            if (withValues)
                for (VariableData* v : vars.list)
                    for (const wchar_t* config : {L"Default", L"@"})
                        Assign(v->GetValue(config, 1, true), config);
        };
        const auto check = [&](int) {
            EXPECT_TRUE(hr == S_FALSE || hr == S_OK || hr == E_OUTOFMEMORY) << std::hex << hr;
            for (const VariableData* v : vars.list)
                EXPECT_TRUE(v->moName.W() && v->mpoValues && v->moAttributes.GetCount() <= 2);
            configs.reset();
            vars.Clear();
            EXPECT_EQ("", ledger->Problems());
            ledger.reset();
        };
        EXPECT_GE(ffmtest::ForEachAllocationFailure(
                      setup, [&](int) { hr = Read(batch, 0x80, &*configs); }, check),
                  20);
        EXPECT_EQ(batch ? S_OK : S_FALSE, hr);
        withValues = true;
        EXPECT_GE(ffmtest::ForEachAllocationFailure(
                      setup,
                      [&](int) {
                          hr = batch ? manager.mhSetVars2(&nav, 0, 0, vars.list, true)
                                     : manager.mhSetVars(&nav, 0, 0, vars.list, true);
                      },
                      check),
                  10);
        EXPECT_EQ(S_OK, hr);
    }
}

} // namespace
