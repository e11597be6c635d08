#include "content/ContentTestKit.h"

using namespace ffmtest;
using namespace ffmtest::cards;

namespace {

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

class Variables : public SandboxedTest {
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
    HRESULT Read(bool batch, long flags, ConfigDataLst* configs) {
        return batch ? manager.mhGetVars2(Nav(), flags, vars.list, configs, true)
                     : manager.mhGetVars(Nav(), flags, vars.list, configs, true);
    }
    HRESULT Write(bool batch, long number) {
        return batch ? manager.mhSetVars2(Nav(), 1, number, vars.list, true)
                     : manager.mhSetVars(Nav(), 1, number, vars.list, true);
    }

    std::optional<HeldCard> card;
    VariableList vars;
    FileFormatMgr manager;
};

// Every configuration of the file is read (and handed to the caller) unless the caller names them
// or does not ask for every one; then the names given, or the empty one, are read. Title, Number
// and Gone are read, and a variable without attributes that asks for nothing and gets nothing.
TEST_F(Variables, BothFormsReadTheConfigurationsOfTheFileTheGivenOnesOrTheEmptyOne) {
    const std::wstring title = L"[@:30=Gear @/f/set][Blue:20=Gear Blue/f/set][Default:10=Gear Default/f/set]";
    const std::wstring number = L"[@:30=P-@/set][Blue:20=N-Blue/set][Default:10=P-Default/set]";
    struct Case {
        const char* what;
        long flags;
        const wchar_t* given; // a configuration the caller's list holds, tag 99
        bool none;            // the file has no configurations
        const wchar_t* read;  // the configuration of the first request, when known
        HRESULT batch;        // the per-configuration form gives S_OK: its last request asks nothing
        long perConfigReads, batchReads; // requests for attributes
        std::vector<std::wstring> values;
        std::wstring configs; // the caller's list afterwards
    };
    const std::vector<std::wstring> unnamed = {L"[:0=unnamed/set]", L"[:0=P-/set]", L"", L""};
    // clang-format off
    const Case cases[] = {
        {"every configuration", 0x80, nullptr, false, L"Default", S_OK, 9, 3, {title, number, L"", L""},
         L"[Default:10][Blue:20][@:30]"},
        {"given ones", 0x80, L"BLUE", false, L"BLUE", S_FALSE, 3, 1, {L"", L"", L"", L""}, L"[BLUE:99]"},
        {"not every one", 0, L"Blue", false, L"<null>", S_OK, 3, 1, unnamed, L"[Blue:99]"},
        {"a file without any", 0x80, nullptr, true, nullptr, S_OK, 3, 1, unnamed, L"[:0]"},
    };
    // clang-format on
    for (bool batch : {false, true})
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << batch << " " << c.what);
            DataCardNavigator& nav = Make();
            nav.Put(L"", L"CustomProperty", L"Title", L"unnamed");
            nav.Put(L"", L"Summary", L"PartNo", L"P-");
            nav.configsByQuery = !c.none;
            {
                ComMemoryLedger ledger; // what the call creates goes with the caller's records
                {
                    Standard();
                    vars.Add(new VariableData);
                    OwnedConfigs configs;
                    if (c.given)
                        configs.AddTail(new ConfigData(c.given, 99));
                    EXPECT_EQ(batch ? c.batch : S_OK, Read(batch, c.flags, &configs));
                    EXPECT_EQ(c.values, All());
                    EXPECT_EQ(c.configs, Describe(configs));
                    VariableData& first = *vars.list.GetHead()->element;
                    first.mpoValues2 = new VariableValueMap; // released with the variable, like the first map
                    first.mpoValues2->moItems.emplace(L"x", new VariableValue(L"X", 1));
                    vars.Clear();
                }
                EXPECT_EQ("", ledger.Problems());
            }
            EXPECT_EQ(batch ? c.batchReads : c.perConfigReads, nav.Count("GetAttributes2"));
            EXPECT_EQ(c.flags && !c.given ? 1 : 0, nav.Count("Query3"));
            if (c.read) {
                EXPECT_EQ(0u, nav.calls[0].find(L"GetAttributes2(" + std::wstring(c.read) +
                                                (batch ? L",0," : L",1,")));
            }
            EXPECT_EQ(1u, nav.RefCount());
        }
    DataCardNavigator& nav = Make();
    EXPECT_EQ(S_OK, Read(false, 0x80, nullptr)); // nothing to read, nothing asked
    EXPECT_EQ(S_OK, Read(true, 0x80, nullptr));
    EXPECT_EQ(0, nav.Count("Query3"));
    EXPECT_TRUE(nav.calls.empty());
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
            SCOPED_TRACE(testing::Message() << batch << " " << Utf8(c.path) << " " << Utf8(c.block));
            Make(c.path);
            Standard();
            VariableData& gone = *vars.list.GetTail()->element;
            gone.moAttributes.GetHead()->element->moBlock = c.block;
            gone.moAttributes.GetTail()->element->mbFlag = true;
            manager.mhSetUpdateDeletedVarsFlag(c.flag);
            EXPECT_EQ(batch ? S_OK : S_FALSE, Read(batch, 0x80, nullptr));
            EXPECT_EQ(c.gone, Values(gone));
            vars.Clear();
        }
}

// Mode variables ask the plug-in, for drawings and assemblies, in the "@" configuration only; every
// plug-in method failing in turn gives its code, except that the batch goes on past a configuration
// it cannot read. Title, Number and Gone are read beside the mode variable.
TEST_F(Variables, ModeVariablesAndEveryPluginMethodFailingInTurn) {
    struct Case {
        const char* what;
        const wchar_t* path;
        const wchar_t* variable;
        std::function<void(DataCardNavigator&, VariableData&)> arrange;
        HRESULT perConfig, batch;       // results of the two forms
        const wchar_t* value = nullptr; // of the mode variable, when it is to be checked
    };
    const wchar_t* const detailing = L"_MX_Detailing_Mode_";
    const wchar_t* const ldr = L"_MX_LDR_Mode_";
    const auto none = [](DataCardNavigator&, VariableData&) {};
    const auto asBool = [](DataCardNavigator&, VariableData& v) {
        V_VT(v.GetValue(L"@", 30, true)->mpoValue) = VT_BOOL; // the value keeps its type
    };
    const auto fail = [](const char* method, HRESULT code) {
        return [=](DataCardNavigator& n, VariableData&) { n.Fail(method, code); };
    };
    const auto noQuery = [](HRESULT failure) {
        return [=](DataCardNavigator& n, VariableData&) {
            n.Hide(__uuidof(ITovFileQuery));
            n.SetQueryFailure(failure);
            n.configNames = L"@";
        };
    };
    // clang-format off
    const Case cases[] = {
        {"drawing", L"a.mrddrw", detailing, none, S_FALSE, S_OK, L"[@:30=i1/f/set]"},
        {"drawing, Boolean", L"a.DRW", detailing, asBool, S_FALSE, S_OK, L"[@:30=true/f/set]"},
        {"assembly", L"a.mrdasm", ldr, none, S_FALSE, S_OK, L"[@:30=i0/f/set]"},
        {"assembly, Boolean", L"a.mrdasm", ldr, asBool, S_FALSE, S_OK, L"[@:30=false/f/set]"},
        {"no LDR mode for a part", L"a.mrdprt", ldr, none, S_FALSE, S_OK, L""},
        {"no detailing mode for an assembly", L"a.mrdasm", detailing, none, S_FALSE, S_OK, L""},
        {"another letter case: an ordinary variable", L"a.mrdasm", L"_mx_ldr_mode_", none, S_OK, S_OK, L""},
        {"GetFilePath", L"a.mrddrw", detailing, fail("GetFilePath", E_ACCESSDENIED), E_ACCESSDENIED, E_ACCESSDENIED},
        {"Query3", L"a.mrddrw", detailing, fail("Query3", STG_E_FILENOTFOUND), STG_E_FILENOTFOUND, STG_E_FILENOTFOUND},
        {"GetAttributes2", L"a.mrddrw", detailing, fail("GetAttributes2", E_FAIL), E_FAIL, S_OK},
        {"Query5", L"a.mrddrw", detailing, fail("Query5", E_ABORT), E_ABORT, E_ABORT},
        // Without the query interface the mode has no answer; another query failure is passed on.
        {"no query interface", L"a.mrddrw", detailing, noQuery(E_NOINTERFACE), E_POINTER, E_POINTER},
        {"query interface fails", L"a.mrddrw", detailing, noQuery(E_UNEXPECTED), E_UNEXPECTED, E_UNEXPECTED},
        {"a value of no known type", L"a.mrddrw", detailing, [](DataCardNavigator& n, VariableData&) {
             n.badType = {DataCardNavigator::Key(L"Blue", L"CustomProperty", L"Title")};
         }, DISP_E_BADVARTYPE, DISP_E_BADVARTYPE},
    };
    // clang-format on
    for (bool batch : {false, true})
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << batch << " " << c.what);
            DataCardNavigator& nav = Make(c.path);
            ComMemoryLedger ledger;
            Standard();
            c.arrange(nav, *vars.Add(NewVariable(c.variable, {})));
            EXPECT_EQ(batch ? c.batch : c.perConfig, Read(batch, 0x80, nullptr));
            if (c.value) {
                EXPECT_EQ(c.value, Values(*vars.list.GetTail()->element));
                EXPECT_EQ(*c.value ? 1 : 0, nav.Count("Query5") + nav.Count("Query7"));
                EXPECT_EQ(*c.value ? L"" : L"<empty>", nav.lastQueryInput); // an empty string goes in
            }
            if (c.what == std::string("GetAttributes2")) { // the batch still tried each configuration
                EXPECT_EQ(batch ? 3 : 1, nav.Count("GetAttributes2"));
            }
            EXPECT_EQ(1u, nav.RefCount());
            vars.Clear();
            EXPECT_EQ("", ledger.Problems());
        }
    EXPECT_EQ(E_POINTER, manager.mhGetVars(nullptr, 0x80, vars.list, nullptr, true));
    EXPECT_EQ(E_POINTER, manager.mhSetVars(nullptr, 0, 0, vars.list, true));
}

TEST_F(Variables, DispatchToTheBatchFormFollowsTheSwitchAndTheBatchInterface) {
    for (DWORD sw : {1u, 0u}) {
        RegistrySandbox::SetDWord(HKEY_LOCAL_MACHINE, L"Software\\Mordane\\Applications\\Quillan\\Namespace",
                                  L"BatchAttributes", sw);
        FileFormatMgr initialised;
        ASSERT_EQ(S_OK, initialised.mhInitialize(nullptr));
        for (bool batchInterface : {true, false})
            for (Records records : {Records::First, Records::Second}) {
                SCOPED_TRACE(testing::Message() << sw << " " << batchInterface << static_cast<int>(records));
                DataCardNavigator& nav = Make(L"C:\\v\\gear.mrdprt", records, batchInterface);
                Standard();
                // The batch interface extends the second record version's navigator.
                const bool batched = sw && batchInterface && records == Records::Second;
                EXPECT_EQ(batched ? S_OK : S_FALSE,
                          initialised.mhGetVars(Nav(), 0x80, vars.list, nullptr, true));
                const long reads = nav.Count("GetAttributes") + nav.Count("GetAttributes2");
                EXPECT_EQ(batched ? 3 : 9, reads);
                EXPECT_EQ(records == Records::First ? 0 : reads, nav.Count("GetAttributes2"));
                EXPECT_EQ(S_OK, initialised.mhSetVars(Nav(), 0, 5, vars.list, true));
                EXPECT_EQ(batched ? 3 : 6, nav.Count("SetAttributes") + nav.Count("SetAttributes2"));
                vars.Clear();
            }
    }
}

// ---- Writing
// --------------------------------------------------------------------------------

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
        AttributeData& partNo = *number->moAttributes.GetTail()->element;
        partNo.mbFound = true;
        nav.refuse = {L"PartNo"};
        ComMemoryLedger ledger;
        EXPECT_EQ(S_OK, Write(batch, 77));
        EXPECT_EQ("", ledger.Problems());
        const std::vector<std::wstring> expected =
            batch
                ? std::vector<std::wstring>{L"SetAttributes2(A,0,1,77:0)", L"SetAttributes2(B,0,2,77:0 0)",
                                            L"SetAttributes2(a1,0,3,77:0 0 0)", L"SetAttributes2(b,0,1,77:0)"}
                : std::vector<std::wstring>{L"SetAttributes2(A,1,1,77:0)", L"SetAttributes2(a1,1,1,77:0)",
                                            L"SetAttributes2(b,1,1,77:0)", L"SetAttributes2(a1,1,2,77:0 0)",
                                            L"SetAttributes2(B,1,2,77:0 0)"};
        EXPECT_EQ(expected, nav.calls);
        EXPECT_EQ(1, nav.saves);
        EXPECT_EQ(L"T-a1", nav.Get(L"a1", L"CustomProperty", L"Title"));
        EXPECT_EQ(L"NB", nav.Get(L"B", L"CustomProperty", L"Number"));
        EXPECT_EQ(L"<none>", nav.Get(L"b", L"CustomProperty", L"Mode"));
        EXPECT_EQ(L"NB", Text(partNo.mpoValue)); // the last value copied
        // mbFound of the caller's records: the last write's in the per-variable form, untouched by
        // the batch
        EXPECT_EQ(batch, partNo.mbFound);
        vars.Clear();
    }
}

TEST_F(Variables, NothingWrittenGivesOneWithoutSaveAndFailuresEndTheWriting) {
    struct Case {
        const char* name;
        std::function<void(DataCardNavigator&)> arrange;
        HRESULT expected;
        const wchar_t* values;
    };
    // clang-format off
    const Case cases[] = {
        {"nothing taken", [](DataCardNavigator& n) { n.refuse = {L"Title"}; }, S_FALSE, L"[Blue:0=<empty>][Default:0=<empty>]"},
        {"write fails", [](DataCardNavigator& n) { n.Fail("SetAttributes2", E_ACCESSDENIED); }, E_ACCESSDENIED,
         L"[Blue:0=<empty>][Default:0=<empty>]"},
        {"save fails", [](DataCardNavigator& n) { n.Fail("Save", STG_E_WRITEFAULT); }, STG_E_WRITEFAULT,
         L"[Blue:0=<empty>/set][Default:0=<empty>/set]"},
    };
    // clang-format on
    for (bool batch : {false, true})
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << batch << " " << c.name);
            DataCardNavigator& nav = Make();
            c.arrange(nav);
            VariableData* v = vars.Add(NewVariable(L"Title", {{L"CustomProperty", L"Title"}}));
            v->GetValue(L"Default", 0, true);
            v->GetValue(L"Blue", 0, true);
            ComMemoryLedger ledger;
            EXPECT_EQ(c.expected, Write(batch, 0));
            EXPECT_EQ("", ledger.Problems());
            EXPECT_EQ(0, nav.saves);
            EXPECT_EQ(c.values, Values(*v)); // set only where written
            vars.Clear();
        }
    DataCardNavigator& nav = Make();
    EXPECT_EQ(S_FALSE, Write(false, 0));                              // empty list
    vars.Add(NewVariable(L"Title", {{L"CustomProperty", L"Title"}})); // no values
    EXPECT_EQ(S_FALSE, Write(true, 0));
    EXPECT_TRUE(nav.calls.empty());
    EXPECT_EQ(0, nav.saves);
}

TEST_F(Variables, RunningOutOfMemoryAnywhereGivesOutOfMemoryLeaksNothingAndKeepsTheCallersRecords) {
    for (bool batch : {false, true}) {
        SCOPED_TRACE(batch);
        DataCardNavigator& nav = Make(L"C:\\v\\a.mrddrw");
        nav.logCalls = false;
        manager.mhSetUpdateDeletedVarsFlag(true);
        std::optional<OwnedConfigs> configs;
        bool withValues = false;
        // The caller's records are made and deleted under the ledger, so what the call adds to them
        // is accounted for too.
        const auto setup = [&] {
            configs.emplace();
            Standard();
            vars.Add(NewVariable(L"_MX_Detailing_Mode_", {}));
            if (withValues)
                for (VariableData* v : vars.list)
                    for (const wchar_t* config : {L"Default", L"@"})
                        Assign(v->GetValue(config, 1, true), config);
        };
        const auto done = [&](HRESULT) {
            for (const VariableData* v : vars.list)
                EXPECT_TRUE(v->moName.W() && v->mpoValues && v->moAttributes.GetCount() <= 2);
            configs.reset();
            vars.Clear();
        };
        HRESULT last = E_FAIL;
        EXPECT_GE(LedgerSweep(
                      setup, [&] { return Read(batch, 0x80, &*configs); }, done, &last),
                  20);
        EXPECT_EQ(batch ? S_OK : S_FALSE, last);
        withValues = true;
        EXPECT_GE(LedgerSweep(
                      setup, [&] { return Write(batch, 0); }, done, &last),
                  10);
        EXPECT_EQ(S_OK, last);
    }
}

} // namespace
