#include "content/ContentTestKit.h"
#include "foundation/Handles.h"
#include "support/LiteralReferences.h"
#include "support/ReferenceFakes.h"
#include <memory>
#include <random>

using namespace ffmtest::refs;
using ffm::ComPtr;
using ffmtest::ComMemoryLedger;
using Reference = FileFormatMgr::Reference;

namespace {

const std::vector<PluginRef> kThree = {
    {L"ref-a", L"C:\\v\\a.prt", L"AB", L"text-a", true, 2, 7, 1.5, 9, 11, 0},
    {L"ref-b", L"", L"", L"", false, 3, 8, 2.5, 10, 12, 1},
    {L"ref-c", L"C:\\v\\c.asm", L"xyz", L"text-c", true, 4, 9, 3.5, 11, 13, 5},
};
// Counted per reference path and pair of names, both ignoring case.
const std::vector<ConfigElement> kConfigs = {
    {L"REF-A", L"Default", L"A", VARIANT_TRUE, VARIANT_TRUE},  // both flags: first flag only
    {L"ref-a", L"default", L"a", VARIANT_FALSE, VARIANT_TRUE}, // same pair, second flag only
    {L"ref-a", L"Default", L"B", 1, VARIANT_TRUE},             // neither flag is -1/0 as counted
    {L"Ref-A", L"Alt", L"x", VARIANT_FALSE, VARIANT_FALSE},
    {L"ref-b", L"Other", L"y", VARIANT_TRUE, VARIANT_FALSE},
    {L"ref-d", L"Default", L"A", VARIANT_TRUE, VARIANT_FALSE}, // no such reference
};
const wchar_t* const kPairs[] = {L"(Alt,x,1,0,0)(Default,A,2,1,1)(Default,B,1,0,0)", L"(Other,y,1,1,0)", L""};

std::wstring Describe(const std::vector<XRefConfigInfo>& pairs) {
    std::wstring text;
    for (const XRefConfigInfo& p : pairs)
        text += L"(" + p.mbsConfig1 + L"," + p.mbsConfig2 + L"," + std::to_wstring(p.mlCount) + L"," +
                std::to_wstring(p.mlFlag1Count) + L"," + std::to_wstring(p.mlFlag2OnlyCount) + L")";
    return text;
}

class ReferenceReading : public ::testing::Test {
  protected:
    PluginNavigator& Make(Generation generation, std::vector<PluginRef> refs = {}) {
        held = HeldNavigator(generation, std::move(refs));
        navigator = held.navigator;
        target = RecordingTarget();
        progress = ComPtr<ffmtest::RecordingCallback>(new ffmtest::RecordingCallback);
        return *navigator;
    }
    // Reads into target as a host does, and checks that every block handed over on the way was
    // freed exactly once (and that the ledger saw them) and that no navigator reference is left.
    HRESULT Read() {
        ComMemoryLedger ledger;
        const HRESULT hr = manager.mhGetReferences(navigator, &target, progress.get());
        EXPECT_EQ("", ledger.Problems());
        if (SUCCEEDED(hr)) {
            EXPECT_GE(ledger.Allocations(), static_cast<long>(navigator->refs.size()));
        }
        EXPECT_EQ(1u, navigator->RefCount());
        return hr;
    }
    HeldNavigator held{Generation::Records};
    PluginNavigator* navigator = nullptr;
    RecordingTarget target;
    ComPtr<ffmtest::RecordingCallback> progress;
    FileFormatMgr manager;
};

// Both forms of the reading, the target's and the list's, for each generation of plug-in.
TEST_F(ReferenceReading, EveryGenerationDeliversEachReferenceOnceWithItsFieldsAndPairs) {
    for (Generation generation : {Generation::Records2, Generation::Records, Generation::Indexed})
        for (const std::vector<PluginRef>& refs : {kThree, std::vector<PluginRef>{}}) {
            SCOPED_TRACE(testing::Message() << static_cast<int>(generation) << " with " << refs.size());
            Make(generation, refs).configs = kConfigs;
            navigator->lowerBound = 5;
            ASSERT_EQ(S_OK, Read());
            EXPECT_EQ(std::vector<long>{0}, progress->progress);
            EXPECT_EQ(generation == Generation::Records2 ? 0 : 1, navigator->Count("GetReferences"));
            EXPECT_EQ(refs.empty() ? 0 : 1, navigator->Count("GetReferenceConfigurations"));
            FileFormatMgr::ReferenceList list{new Reference{L"kept", L"", L"", {}, 0, 0, 0, 0, false}};
            ASSERT_EQ(S_OK, manager.mhGetReferences(navigator, list, nullptr));
            const std::vector<std::unique_ptr<Reference>> listed(list.begin(), list.end());
            EXPECT_EQ(L"kept", listed[0]->moRefPath);
            ASSERT_EQ(refs.size(), target.deliveries.size());
            ASSERT_EQ(refs.size() + 1, listed.size());
            for (std::size_t i = 0; i < refs.size(); ++i) {
                const PluginRef& sent = navigator->refs[i];
                PluginRef expected = sent;
                expected.flag = generation == Generation::Records2 ? sent.flag != 0 : 1;
                if (generation == Generation::Indexed) { // the data string comes with its terminating zero
                    expected = {
                        sent.refPath, sent.filePath, sent.data, L"", false, sent.numberA, 0, 0, 1, 0, 1};
                    if (!sent.data.empty())
                        expected.data.push_back(L'\0');
                }
                const Delivery& d = target.deliveries[i];
                EXPECT_EQ(expected.Fields(), d.ref.Fields());
                EXPECT_EQ(navigator->refPathsHandedOut[i], d.refPathBlock); // handed on, not copied
                EXPECT_EQ(expected.hasText ? sent.text.c_str() : nullptr, d.text);
                EXPECT_EQ(kPairs[i], Describe(d.pairs));
                const Reference& r = *listed[i + 1]; // keeps neither the last number nor a null text
                const std::wstring data(reinterpret_cast<const wchar_t*>(r.moData.Data()),
                                        r.moData.Size() / 2);
                const PluginRef fromList{r.moRefPath,      r.moFilePath,     data,        r.moText,
                                         expected.hasText, r.mlNumberA,      r.mlNumberB, r.mdNumber,
                                         r.mlNumberC,      expected.numberD, r.mbFlag};
                EXPECT_EQ(expected.Fields(), fromList.Fields());
            }
        }
}

// Plug-in and target failures come back unchanged and end the delivery, an unreadable configuration
// array ends the operation with its description, and a plug-in without configuration information
// still delivers its references.
TEST_F(ReferenceReading, FailuresComeBackUnchangedAndLeaveNothingBehind) {
    struct Case {
        const char* name;
        Generation generation;
        std::function<void()> arrange;
        HRESULT expected;
        std::size_t deliveries = 0;
        const wchar_t* description = nullptr; // of the thread's error information
    };
    SAFEARRAY* locked = nullptr; // a locked array cannot be destroyed: the test does it
    const auto lockArray = [&](const wchar_t* pluginDescription) {
        navigator->onArray = [&locked, pluginDescription](SAFEARRAY* array) {
            locked = array;
            array->cLocks = 0xFFFF; // the next lock fails
            if (!pluginDescription)
                return;
            ComPtr<ICreateErrorInfo> create;
            CreateErrorInfo(create.put());
            create->SetDescription(const_cast<LPOLESTR>(pluginDescription));
            SetErrorInfo(0, create.try_query<IErrorInfo>().get());
        };
    };
    const IID navigator2 = __uuidof(ITovFileNavigator2);
    const auto fail = [&](const char* method, HRESULT code) {
        return [this, method, code] { navigator->Fail(method, code); };
    };
    // clang-format off
    const Case cases[] = {
        {"GetReferences2", Generation::Records2, fail("GetReferences2", E_ACCESSDENIED), E_ACCESSDENIED},
        {"GetReferences", Generation::Records, fail("GetReferences", STG_E_FILENOTFOUND), STG_E_FILENOTFOUND},
        {"GetReferenceCount", Generation::Indexed, fail("GetReferenceCount", E_ABORT), E_ABORT},
        {"third GetReference", Generation::Indexed, [&] { navigator->failIndex = 2; }, E_FAIL},
        {"query other than E_NOINTERFACE", Generation::Records,
         [&] { navigator->Hide(navigator2); navigator->SetQueryFailure(E_ACCESSDENIED); }, E_ACCESSDENIED},
        {"second delivery", Generation::Records2, [&] { target.failAt = 1; }, E_ABORT, 2},
        {"first delivery", Generation::Indexed, [&] { target.failAt = 0; }, E_ABORT, 1},
        {"GetReferenceConfigurations", Generation::Records2,
         [&] { navigator->configs = kConfigs; navigator->Fail("GetReferenceConfigurations", E_FAIL); }, S_OK, 3},
        {"no ITovFileNavigator2", Generation::Records2,
         [&] { navigator->configs = kConfigs; navigator->Hide(navigator2); }, S_OK, 3},
        // Without its dimension the array is destroyed as if it held one element.
        {"array without dimension", Generation::Records2,
         [&] { navigator->configs = {kConfigs[0]}; navigator->onArray = [](SAFEARRAY* a) { a->cDims = 0; }; },
         DISP_E_BADINDEX, 0, L"Could not get lower bound of array"},
        {"locked array", Generation::Records2, [&] { lockArray(nullptr); }, E_UNEXPECTED, 0,
         L"Could not lock safe array."},
        {"locked array, plug-in's error", Generation::Records2, [&] { lockArray(L"plug-in detail"); },
         E_UNEXPECTED, 0, L"plug-in detail"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetErrorInfo(0, nullptr);
        Make(c.generation, kThree);
        c.arrange();
        EXPECT_EQ(c.expected, Read());
        EXPECT_EQ(c.deliveries, target.deliveries.size());
        EXPECT_EQ(SUCCEEDED(c.expected), !progress->progress.empty());
        for (const Delivery& d : target.deliveries)
            EXPECT_TRUE(d.pairs.empty());
        if (c.description) {
            ComPtr<IErrorInfo> info;
            ffm::UniqueBstr description;
            ASSERT_EQ(S_OK, GetErrorInfo(0, info.put()));
            info->GetDescription(description.put());
            EXPECT_STREQ(c.description, description.get());
        }
        if (locked) {
            locked->cLocks = 0;
            EXPECT_EQ(S_OK, SafeArrayDestroy(std::exchange(locked, nullptr)));
        }
    }
    EXPECT_EQ(E_POINTER, manager.mhGetReferences(nullptr, &target, nullptr));
    EXPECT_EQ(E_POINTER, manager.mhGetReferences(navigator, nullptr, nullptr));
}

TEST_F(ReferenceReading, PairSummaryMatchesTheElementByElementOneOnRandomInput) {
    // Paths and names that a case-insensitive linguistic comparison groups in less obvious ways.
    // clang-format off
    const wchar_t* paths[] = {L"", L"C:\\Parts\\Bolt.prt", L"c:\\PARTS\\bolt.PRT", L"C:\\Parts\\Nut.prt",
                              L"C:\\\u00C4x\\Stra\u00DFe.prt", L"c:\\\u00E4X\\STRASSE.PRT", L"a\u00ADb",
                              L"ab", L"AB"};
    const wchar_t* names[] = {L"", L"Default", L"DEFAULT", L"default", L"Alt", L"ALT", L"Zeta",
                              L"\u00E9t\u00E9", L"\u00C9T\u00C9"};
    // clang-format on
    const VARIANT_BOOL flags[] = {VARIANT_FALSE, VARIANT_TRUE, 1};
    std::mt19937 random(20240611);
    const auto pick = [&](auto& values) { return values[random() % std::size(values)]; };
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE(round);
        Make(round % 2 ? Generation::Records : Generation::Records2);
        for (int i = 0, n = random() % 8; i < n; ++i)
            navigator->refs.push_back({pick(paths), L"f"});
        for (int i = 0, n = random() % 24; i < n; ++i)
            navigator->configs.push_back({pick(paths), pick(names), pick(names), pick(flags), pick(flags)});
        std::vector<std::wstring> expected; // per reference, from the array the library receives
        navigator->onArray = [&](SAFEARRAY* array) {
            const auto* elements = static_cast<const TovRefConfigData*>(array->pvData);
            const long count = static_cast<long>(array->rgsabound[0].cElements);
            for (const PluginRef& ref : navigator->refs) {
                const ffm::UniqueBstr refPath(SysAllocString(ref.refPath.c_str()));
                expected.push_back(Describe(ffmliteral::ConfigPairs(elements, count, refPath.get())));
            }
        };
        ASSERT_EQ(S_OK, Read());
        ASSERT_EQ(expected.size(), target.deliveries.size());
        for (std::size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(expected[i], Describe(target.deliveries[i].pairs)) << target.deliveries[i].ref.refPath;
    }
}

TEST_F(ReferenceReading, ShortPathComponentsAreDeliveredAsTheirLongNames) {
    ffmtest::TempFolder folder;
    const std::wstring longPath = folder.WriteFile(L"Long Folder Name\\A Long File Name.txt", "x");
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_NE(0u, GetShortPathNameW(longPath.c_str(), shortPath, MAX_PATH));
    ASSERT_NE(nullptr, wcschr(shortPath, L'~')) << shortPath;
    const std::wstring missing = folder.Path() + L"\\MISSIN~1\\file.txt";
    Make(Generation::Records, {{L"a", shortPath}, {L"b", missing}});
    ASSERT_EQ(S_OK, Read());
    const std::wstring& expanded = target.deliveries[0].ref.filePath;
    EXPECT_EQ(0, lstrcmpiW(longPath.c_str(), expanded.c_str())) << expanded;
    EXPECT_NE(std::wstring::npos, expanded.find(L"\\Long Folder Name\\A Long File Name.txt")) << expanded;
    EXPECT_EQ(missing, target.deliveries[1].ref.filePath); // unchanged where nothing is found
}

TEST_F(ReferenceReading, SetReferencePathsWritesBuiltRecordsAndSavesOnlyWhenAskedAfterSuccess) {
    Reference withData{L"r1", L"C:\\a.prt", L"t", ffm::BinBlock("\x01\x02\x03", 3), 5, 6, 7, 8, true};
    Reference plain{L"r2", L"C:\\b.prt", L"", {}, 0, 0, 0, 0, false};
    const FileFormatMgr::ReferenceList list{&withData, &plain};
    struct Case {
        bool save;
        HRESULT write, saveResult, expected;
        const char* calls;
    } cases[] = {
        {false, S_OK, S_OK, S_OK, "SetReferences"},
        {true, S_FALSE, S_OK, S_OK, "SetReferences Save"},
        {true, E_ACCESSDENIED, S_OK, E_ACCESSDENIED, "SetReferences"},
        {true, S_OK, STG_E_WRITEFAULT, STG_E_WRITEFAULT, "SetReferences Save"},
    };
    for (const Case& c : cases) {
        Make(Generation::Records).Fail("SetReferences", c.write);
        navigator->Fail("Save", c.saveResult);
        ComMemoryLedger ledger;
        EXPECT_EQ(c.expected, manager.mhSetReferencePaths(navigator, list, progress.get(), c.save));
        EXPECT_EQ("", ledger.Problems()); // the library freed what it built
        EXPECT_EQ(c.calls, navigator->Calls());
        EXPECT_EQ(SUCCEEDED(c.expected), !progress->progress.empty());
        ASSERT_EQ(2u, navigator->written.size());
        const WrittenRef& w = navigator->written[0];
        EXPECT_EQ(std::make_tuple(std::wstring(L"r1"), std::wstring(L"C:\\a.prt"), 1L, 0L, 0L, 0.0, nullptr),
                  std::make_tuple(w.refPath, w.filePath, w.raw.mlNumberC, w.raw.mlNumberA, w.raw.mlNumberB,
                                  w.raw.mdNumber, w.raw.mpwText));
        EXPECT_EQ((std::vector<unsigned char>{1, 2, 3}), w.data);
        EXPECT_EQ(nullptr, navigator->written[1].raw.mpcData);
    }
    EXPECT_EQ(3, withData.moData.Size()); // the caller's records stay as they were
    EXPECT_EQ(E_POINTER, manager.mhSetReferencePaths(nullptr, list, nullptr, true));
    // A null record in the caller's list is refused before the plug-in hears of it.
    navigator->calls.clear();
    EXPECT_EQ(E_POINTER, manager.mhSetReferencePaths(navigator, {&withData, nullptr}, nullptr, true));
    EXPECT_EQ("", navigator->Calls());
}

TEST_F(ReferenceReading, RunningOutOfMemoryAnywhereGivesOutOfMemoryAndLeaksNothing) {
    Reference record{L"r", L"p", L"", ffm::BinBlock("d", 1), 0, 0, 0, 0, false};
    const FileFormatMgr::ReferenceList toWrite{&record}; // made before any allocation can fail
    for (Generation generation : {Generation::Records2, Generation::Indexed}) {
        SCOPED_TRACE(static_cast<int>(generation));
        Make(generation, kThree).configs = kConfigs;
        FileFormatMgr::ReferenceList list;
        const auto setup = [&] { navigator->calls.clear(); };
        const auto done = [&](HRESULT) {
            for (Reference* r : list)
                delete r;
            list.clear();
        };
        HRESULT last = E_FAIL;
        EXPECT_GT(ffmtest::LedgerSweep(
                      setup, [&] { return manager.mhGetReferences(navigator, list, nullptr); }, done, &last),
                  5);
        EXPECT_EQ(S_OK, last);
        EXPECT_GT(ffmtest::LedgerSweep(
                      setup, [&] { return manager.mhSetReferencePaths(navigator, toWrite, nullptr, true); },
                      done, &last),
                  3);
        EXPECT_EQ(S_OK, last);
    }
}

} // namespace
