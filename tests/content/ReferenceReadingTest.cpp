#include "support/ComMemoryLedger.h"
#include "support/FakeCom.h"
#include "support/LiteralReferences.h"
#include "support/ReferenceFakes.h"
#include "support/Sandbox.h"
#include "content/References.h"
#include "foundation/Alloc.h"
#include <gtest/gtest.h>
#include <random>

using namespace ffmtest::refs;
using ffm::ComPtr;
using ffmtest::ComMemoryLedger;

namespace {

std::vector<PluginRef> ThreeRefs() {
    PluginRef a{L"ref-a", L"C:\\v\\a.prt", L"AB", L"text-a", true, 2, 7, 1.5, 9, 11, 0};
    PluginRef b{L"ref-b", L"", L"", L"", false, 3, 8, 2.5, 10, 12, 1};
    PluginRef c{L"ref-c", L"C:\\v\\c.asm", L"xyz", L"text-c", true, 4, 9, 3.5, 11, 13, 5};
    return {a, b, c};
}

std::wstring Describe(const std::vector<XRefConfigInfo>& pairs) {
    std::wstring text;
    for (const XRefConfigInfo& p : pairs)
        text += L"(" + p.mbsConfig1 + L"," + p.mbsConfig2 + L"," + std::to_wstring(p.mlCount) + L"," +
                std::to_wstring(p.mlFlag1Count) + L"," + std::to_wstring(p.mlFlag2OnlyCount) + L")";
    return text;
}

std::wstring ErrorDescription() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK || !info)
        return L"<none>";
    BSTR text = nullptr;
    info->GetDescription(&text);
    std::wstring description = text ? text : L"";
    SysFreeString(text);
    return description;
}

class ReferenceReading : public ::testing::Test {
  protected:
    void SetUp() override { SetErrorInfo(0, nullptr); }
    PluginNavigator* Make(Generation generation) {
        navigator = new PluginNavigator(generation, &live);
        hold = ComPtr<ITovFileNavigator>(navigator);
        return navigator;
    }
    ffmtest::LiveCounter live;
    PluginNavigator* navigator = nullptr;
    ComPtr<ITovFileNavigator> hold;
    FileFormatMgr manager;
};

TEST_F(ReferenceReading, EveryGenerationDeliversEachReferenceOnceAndFreesWhatItWasHanded) {
    for (Generation generation : {Generation::Records2, Generation::Records, Generation::Indexed}) {
        SCOPED_TRACE(static_cast<int>(generation));
        RecordingTarget target;
        auto* progress = new ffmtest::RecordingCallback;
        ComPtr<ITovCallback> holdProgress(progress);
        ComMemoryLedger ledger;
        Make(generation)->refs = ThreeRefs();
        navigator->configs = {{L"REF-A", L"Default", L"", VARIANT_TRUE, VARIANT_FALSE}};

        ASSERT_EQ(S_OK, manager.mhGetReferences(navigator, &target, progress));

        EXPECT_GE(ledger.Allocations(), 9); // the plug-in's arrays and strings were watched
        EXPECT_TRUE(ledger.Live().empty());
        EXPECT_EQ(0, ledger.DoubleFrees());
        EXPECT_EQ(1u, navigator->RefCount());
        EXPECT_EQ(std::vector<long>{0}, progress->progress);
        EXPECT_EQ(generation == Generation::Records2 ? 0 : 1, navigator->Count("GetReferences"));
        ASSERT_EQ(3u, target.deliveries.size());
        const bool indexed = generation == Generation::Indexed;
        for (std::size_t i = 0; i < 3; ++i) {
            const Delivery& d = target.deliveries[i];
            const PluginRef& r = navigator->refs[i];
            EXPECT_EQ(navigator->refPathsHandedOut[i], d.refPathBlock); // handed on, not copied
            EXPECT_EQ(r.refPath, d.refPath);
            EXPECT_EQ(r.filePath, d.filePath);
            EXPECT_EQ(r.numberA, d.numberA);
            EXPECT_EQ(indexed ? 0 : r.numberB, d.numberB);
            EXPECT_EQ(indexed ? 0 : r.number, d.number);
            EXPECT_EQ(indexed ? 1 : r.numberC, d.numberC);
            EXPECT_EQ(indexed ? 0 : r.numberD, d.numberD);
            EXPECT_EQ(generation == Generation::Records2 ? r.flag != 0 : true, d.flag);
            EXPECT_EQ(indexed || !r.hasText ? nullptr : r.text.c_str(), d.text);
            // Indexed data is the plug-in's string with its terminating zero.
            std::wstring bytes = r.data;
            if (indexed && !bytes.empty())
                bytes.push_back(L'\0');
            EXPECT_EQ(static_cast<long>(bytes.size() * 2), d.dataSize);
            EXPECT_EQ(0, std::memcmp(bytes.data(), d.data.data(), d.data.size()));
            EXPECT_EQ(i == 0 ? L"(Default,,1,1,0)" : L"", Describe(d.pairs));
        }
    }
    hold.reset();
    EXPECT_EQ(0, live.alive);
}

TEST_F(ReferenceReading, NoReferencesStillReportsProgressAndAsksNoConfigurations) {
    for (Generation generation : {Generation::Records2, Generation::Records, Generation::Indexed}) {
        RecordingTarget target;
        auto* progress = new ffmtest::RecordingCallback;
        ComPtr<ITovCallback> holdProgress(progress);
        EXPECT_EQ(S_OK, manager.mhGetReferences(Make(generation), &target, progress));
        EXPECT_TRUE(target.deliveries.empty());
        EXPECT_EQ(std::vector<long>{0}, progress->progress);
        EXPECT_EQ(0, navigator->Count("GetReferenceConfigurations"));
    }
}

TEST_F(ReferenceReading, PluginFailuresComeBackUnchangedAndNothingLeaks) {
    struct Case {
        Generation generation;
        HRESULT readResult;
        long failIndex;
        HRESULT queryNavigator2;
        HRESULT expected;
    } cases[] = {
        {Generation::Records2, E_ACCESSDENIED, -1, S_OK, E_ACCESSDENIED},
        {Generation::Records, STG_E_FILENOTFOUND, -1, S_OK, STG_E_FILENOTFOUND},
        {Generation::Indexed, E_ABORT, -1, S_OK, E_ABORT},               // GetReferenceCount
        {Generation::Indexed, S_OK, 2, S_OK, E_FAIL},                    // GetReference of the third
        {Generation::Records, S_OK, -1, E_ACCESSDENIED, E_ACCESSDENIED}, // query other than E_NOINTERFACE
    };
    for (const Case& c : cases) {
        RecordingTarget target;
        auto* progress = new ffmtest::RecordingCallback;
        ComPtr<ITovCallback> holdProgress(progress);
        ComMemoryLedger ledger;
        Make(c.generation)->refs = ThreeRefs();
        navigator->readResult = c.readResult;
        navigator->failIndex = c.failIndex;
        if (c.queryNavigator2 != S_OK)
            navigator->queryFailures = {{__uuidof(ITovFileNavigator2), c.queryNavigator2}};
        EXPECT_EQ(c.expected, manager.mhGetReferences(navigator, &target, progress));
        EXPECT_TRUE(target.deliveries.empty());
        EXPECT_TRUE(progress->progress.empty());
        EXPECT_TRUE(ledger.Live().empty());
        EXPECT_EQ(0, ledger.DoubleFrees());
    }
    RecordingTarget target;
    EXPECT_EQ(E_POINTER, manager.mhGetReferences(nullptr, &target, nullptr));
    EXPECT_EQ(E_POINTER, manager.mhGetReferences(Make(Generation::Records), nullptr, nullptr));
}

TEST_F(ReferenceReading, FailedDeliveryStopsTheRestWhichTheLibraryFrees) {
    RecordingTarget target;
    target.failAt = 1;
    target.failure = E_ABORT;
    auto* progress = new ffmtest::RecordingCallback;
    ComPtr<ITovCallback> holdProgress(progress);
    ComMemoryLedger ledger;
    Make(Generation::Records2)->refs = {ThreeRefs()[0], ThreeRefs()[1], ThreeRefs()[2], ThreeRefs()[0],
                                        ThreeRefs()[2]};

    EXPECT_EQ(E_ABORT, manager.mhGetReferences(navigator, &target, progress));
    EXPECT_EQ(2u, target.deliveries.size());
    EXPECT_TRUE(progress->progress.empty());
    for (BSTR handed : navigator->refPathsHandedOut)
        EXPECT_EQ(1, ledger.Frees(handed));
    EXPECT_TRUE(ledger.Live().empty());
}

TEST_F(ReferenceReading, ConfigurationPairsAreCountedPerReferenceIgnoringCase) {
    Make(Generation::Records)->refs = {ThreeRefs()[0], ThreeRefs()[1]};
    navigator->lowerBound = 5;
    navigator->configs = {
        {L"REF-A", L"Default", L"A", VARIANT_TRUE, VARIANT_TRUE},  // both flags: first flag only
        {L"ref-a", L"default", L"a", VARIANT_FALSE, VARIANT_TRUE}, // same pair, second flag only
        {L"ref-a", L"Default", L"B", 1, VARIANT_TRUE},             // neither flag is -1/0 as counted
        {L"Ref-A", L"Alt", L"x", VARIANT_FALSE, VARIANT_FALSE},
        {L"ref-b", L"Other", L"y", VARIANT_TRUE, VARIANT_FALSE},
        {L"ref-c", L"Default", L"A", VARIANT_TRUE, VARIANT_FALSE}, // no such reference
    };
    RecordingTarget target;
    ASSERT_EQ(S_OK, manager.mhGetReferences(navigator, &target, nullptr));
    ASSERT_EQ(2u, target.deliveries.size());
    EXPECT_EQ(L"(Alt,x,1,0,0)(Default,A,2,1,1)(Default,B,1,0,0)", Describe(target.deliveries[0].pairs));
    EXPECT_EQ(L"(Other,y,1,1,0)", Describe(target.deliveries[1].pairs));

    // Without configuration information the references still arrive, with empty lists.
    for (int variant = 0; variant < 2; ++variant) {
        RecordingTarget bare;
        Make(Generation::Records2)->refs = ThreeRefs();
        navigator->configs = {{L"ref-a", L"Default", L"A", VARIANT_TRUE, VARIANT_TRUE}};
        if (variant == 0) {
            navigator->offersConfigurations = false;
            navigator->configResult = E_FAIL;
        } else {
            navigator->Hide(__uuidof(ITovFileNavigator2));
        }
        EXPECT_EQ(S_OK, manager.mhGetReferences(navigator, &bare, nullptr));
        ASSERT_EQ(3u, bare.deliveries.size());
        for (const Delivery& d : bare.deliveries)
            EXPECT_TRUE(d.pairs.empty());
        EXPECT_EQ(variant == 0 ? 1 : 0, navigator->Count("GetReferenceConfigurations"));
    }
}

// Paths and names that a case-insensitive linguistic comparison groups in less obvious ways.
TEST_F(ReferenceReading, IndexedPairSummaryMatchesTheElementByElementOneOnRandomInput) {
    const wchar_t* paths[] = {L"",
                              L"C:\\Parts\\Bolt.prt",
                              L"c:\\PARTS\\bolt.PRT",
                              L"C:\\Parts\\Nut.prt",
                              L"C:\\\x00C4x\\Stra\x00DF"
                              L"e.prt",
                              L"c:\\\x00E4X\\STRASSE.PRT",
                              L"a\x00AD"
                              L"b",
                              L"ab",
                              L"AB"};
    const wchar_t* names[] = {L"",    L"Default", L"DEFAULT",       L"default",      L"Alt",
                              L"ALT", L"Zeta",    L"\x00E9t\x00E9", L"\x00C9T\x00C9"};
    const VARIANT_BOOL flags[] = {VARIANT_FALSE, VARIANT_TRUE, 1};
    std::mt19937 random(20240611);
    const auto pick = [&](auto& values) { return values[random() % std::size(values)]; };
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE(round);
        Make(round % 2 ? Generation::Records : Generation::Records2);
        for (int i = 0, n = random() % 8; i < n; ++i)
            navigator->refs.push_back(PluginRef{pick(paths), L"f", L"", L"", false, 0, 0, 0, 0, 0, 0});
        std::vector<TovRefConfigData> elements;
        for (int i = 0, n = random() % 24; i < n; ++i) {
            navigator->configs.push_back({pick(paths), pick(names), pick(names), pick(flags), pick(flags)});
            const ConfigElement& c = navigator->configs.back();
            elements.push_back(
                {BstrOrNull(c.path), {}, BstrOrNull(c.config1), BstrOrNull(c.config2), c.flag1, c.flag2});
        }
        RecordingTarget target;
        ASSERT_EQ(S_OK, manager.mhGetReferences(navigator, &target, nullptr));
        ASSERT_EQ(navigator->refs.size(), target.deliveries.size());
        ffm::ConfigPairIndex index(elements.data(), static_cast<long>(elements.size()));
        for (const Delivery& d : target.deliveries) {
            BSTR refPath = SysAllocString(d.refPath.c_str());
            const std::wstring expected = Describe(
                ffmliteral::ConfigPairs(elements.data(), static_cast<long>(elements.size()), refPath));
            EXPECT_EQ(expected, Describe(d.pairs)) << d.refPath;
            ffm::XRefConfigList direct;
            index.AppendPairs(refPath, direct.List());
            std::vector<XRefConfigInfo> copied;
            for (XRefConfigInfo* info : direct.List())
                copied.push_back(*info);
            EXPECT_EQ(expected, Describe(copied));
            SysFreeString(refPath);
        }
        for (TovRefConfigData& e : elements) {
            SysFreeString(e.mbsPath);
            SysFreeString(e.mbsConfig1);
            SysFreeString(e.mbsConfig2);
        }
    }
}

TEST_F(ReferenceReading, UnreadableConfigurationArrayEndsTheOperationWithItsDescription) {
    struct Case {
        bool breakLock;
        bool pluginErrorInfo;
        HRESULT expected;
        const wchar_t* description;
    } cases[] = {
        {true, false, E_UNEXPECTED, L"Could not lock safe array."},
        {true, true, E_UNEXPECTED, L"plug-in detail"},
        {false, false, DISP_E_BADINDEX, L"Could not get lower bound of array"},
    };
    for (const Case& c : cases) {
        SetErrorInfo(0, nullptr);
        RecordingTarget target;
        ComMemoryLedger ledger;
        Make(Generation::Records2)->refs = ThreeRefs();
        navigator->configs = {{L"ref-a", L"Default", L"A", VARIANT_TRUE, VARIANT_TRUE}};
        SAFEARRAY* handed = nullptr;
        navigator->tamperArray = [&](SAFEARRAY* array) {
            handed = array;
            if (c.breakLock)
                array->cLocks = 0xFFFF; // the next lock fails
            else
                array->cDims = 0; // no dimension 1 to measure
            if (c.pluginErrorInfo) {
                ComPtr<ICreateErrorInfo> create;
                CreateErrorInfo(create.put());
                create->SetDescription(const_cast<LPOLESTR>(L"plug-in detail"));
                SetErrorInfo(0, create.try_query<IErrorInfo>().get());
            }
        };
        EXPECT_EQ(c.expected, manager.mhGetReferences(navigator, &target, nullptr));
        EXPECT_EQ(c.description, ErrorDescription());
        EXPECT_TRUE(target.deliveries.empty());
        if (c.breakLock) { // a locked array cannot be destroyed: the test does it
            handed->cLocks = 0;
            EXPECT_EQ(S_OK, SafeArrayDestroy(handed));
        }
        EXPECT_TRUE(ledger.Live().empty());
        EXPECT_EQ(0, ledger.DoubleFrees());
    }
}

TEST_F(ReferenceReading, ShortPathComponentsAreExpandedToTheirLongNames) {
    ffmtest::TempFolder folder;
    const std::wstring longPath = folder.WriteFile(L"Long Folder Name\\A Long File Name.txt", "x");
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_NE(0u, GetShortPathNameW(longPath.c_str(), shortPath, MAX_PATH));
    ASSERT_NE(nullptr, wcschr(shortPath, L'~')) << shortPath;

    std::wstring out = L"stale";
    ASSERT_TRUE(ffm::ExpandShortPath(shortPath, out));
    EXPECT_EQ(0, lstrcmpiW(longPath.c_str(), out.c_str())) << out;
    EXPECT_NE(std::wstring::npos, out.find(L"\\Long Folder Name\\A Long File Name.txt")) << out;

    const std::wstring missing = folder.Path() + L"\\MISSIN~1\\file.txt";
    EXPECT_FALSE(ffm::ExpandShortPath(missing, out));
    EXPECT_EQ(L"", out);
    ASSERT_TRUE(ffm::ExpandShortPath(L"C:\\plain\\path.txt", out));
    EXPECT_EQ(L"C:\\plain\\path.txt", out);

    // Delivered: expanded where it exists, unchanged where it does not.
    Make(Generation::Records)->refs = {ThreeRefs()[0], ThreeRefs()[2]};
    navigator->refs[0].filePath = shortPath;
    navigator->refs[1].filePath = missing;
    RecordingTarget target;
    ASSERT_EQ(S_OK, manager.mhGetReferences(navigator, &target, nullptr));
    EXPECT_EQ(0, lstrcmpiW(longPath.c_str(), target.deliveries[0].filePath.c_str()));
    EXPECT_EQ(missing, target.deliveries[1].filePath);
}

TEST_F(ReferenceReading, ListFormAppendsCompleteRecordsToWhatTheListHolds) {
    FileFormatMgr::ReferenceList list{new FileFormatMgr::Reference{L"kept", L"", L"", {}, 0, 0, 0, 0, false}};
    Make(Generation::Records2)->refs = {ThreeRefs()[0], ThreeRefs()[1]};
    ASSERT_EQ(S_OK, manager.mhGetReferences(navigator, list, nullptr));
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ(L"kept", list.front()->moRefPath);
    const FileFormatMgr::Reference& a = **std::next(list.begin());
    EXPECT_EQ(L"ref-a", a.moRefPath);
    EXPECT_EQ(L"C:\\v\\a.prt", a.moFilePath);
    EXPECT_EQ(L"text-a", a.moText);
    ASSERT_EQ(4, a.moData.Size());
    EXPECT_EQ(0, std::memcmp(L"AB", a.moData.Data(), 4));
    EXPECT_EQ(std::make_tuple(7L, 2L, 1.5, 9L, false),
              std::make_tuple(a.mlNumberB, a.mlNumberA, a.mdNumber, a.mlNumberC, a.mbFlag));
    const FileFormatMgr::Reference& b = *list.back();
    EXPECT_EQ(std::make_tuple(std::wstring(L"ref-b"), std::wstring(), std::wstring(), 0L, true),
              std::make_tuple(b.moRefPath, b.moFilePath, b.moText, b.moData.Size(), b.mbFlag));
    for (auto* r : list)
        delete r;
}

TEST_F(ReferenceReading, SetReferencePathsWritesBuiltRecordsAndSavesOnlyWhenAskedAfterSuccess) {
    FileFormatMgr::Reference withData{L"r1", L"C:\\a.prt", L"t", ffm::BinBlock("\x01\x02\x03", 3), 5, 6, 7,
                                      8,     true};
    FileFormatMgr::Reference plain{L"r2", L"C:\\b.prt", L"", {}, 0, 0, 0, 0, false};
    const FileFormatMgr::ReferenceList list{&withData, &plain};
    struct Case {
        bool save;
        HRESULT write;
        HRESULT saveResult;
        HRESULT expected;
        std::vector<std::string> calls;
        bool progress;
    } cases[] = {
        {false, S_OK, S_OK, S_OK, {"SetReferences"}, true},
        {true, S_FALSE, S_OK, S_OK, {"SetReferences", "Save"}, true},
        {true, E_ACCESSDENIED, S_OK, E_ACCESSDENIED, {"SetReferences"}, false},
        {true, S_OK, STG_E_WRITEFAULT, STG_E_WRITEFAULT, {"SetReferences", "Save"}, false},
    };
    for (const Case& c : cases) {
        auto* progress = new ffmtest::RecordingCallback;
        ComPtr<ITovCallback> holdProgress(progress);
        ComMemoryLedger ledger;
        Make(Generation::Records);
        navigator->writeResult = c.write;
        navigator->saveResult = c.saveResult;
        EXPECT_EQ(c.expected, manager.mhSetReferencePaths(navigator, list, progress, c.save));
        EXPECT_EQ(c.calls, navigator->calls);
        EXPECT_EQ(c.progress, !progress->progress.empty());
        EXPECT_TRUE(ledger.Live().empty()); // the library freed what it built
        EXPECT_EQ(0, ledger.DoubleFrees());
        ASSERT_EQ(2u, navigator->written.size());
        const WrittenRef& w = navigator->written[0];
        EXPECT_EQ(std::make_tuple(std::wstring(L"r1"), std::wstring(L"C:\\a.prt"), 3L, 1L, 0L, 0L, 0.0),
                  std::make_tuple(w.refPath, w.filePath, w.raw.mlDataSize, w.raw.mlNumberC, w.raw.mlNumberA,
                                  w.raw.mlNumberB, w.raw.mdNumber));
        EXPECT_EQ((std::vector<unsigned char>{1, 2, 3}), w.data);
        EXPECT_EQ(nullptr, w.raw.mpwText);
        EXPECT_EQ(std::make_tuple(0L, (unsigned char*)nullptr),
                  std::make_tuple(navigator->written[1].raw.mlDataSize, navigator->written[1].raw.mpcData));
    }
    EXPECT_EQ(L"r1", withData.moRefPath); // the caller's records stay as they were
    EXPECT_EQ(3, withData.moData.Size());
    EXPECT_EQ(E_POINTER, manager.mhSetReferencePaths(nullptr, list, nullptr, true));
}

TEST_F(ReferenceReading, RunningOutOfMemoryAnywhereGivesOutOfMemoryAndLeaksNothing) {
    struct Outcome {
        HRESULT hr;
        std::size_t live;
        long doubleFrees;
    };
    for (Generation generation : {Generation::Records2, Generation::Indexed}) {
        Make(generation)->refs = ThreeRefs();
        navigator->configs = {{L"ref-a", L"Default", L"A", VARIANT_TRUE, VARIANT_TRUE},
                              {L"REF-C", L"Alt", L"B", VARIANT_FALSE, VARIANT_TRUE}};
        navigator->calls.reserve(10000);
        navigator->refPathsHandedOut.reserve(10000);
        navigator->dataHandedOut.reserve(10000);
        navigator->recordWrites = false;
        const FileFormatMgr::ReferenceList toWrite{
            new FileFormatMgr::Reference{L"r", L"p", L"", ffm::BinBlock("d", 1), 0, 0, 0, 0, false}};
        std::vector<Outcome> outcomes;
        outcomes.reserve(10000);
        FileFormatMgr::ReferenceList list;
        const int points = ffmtest::ForEachAllocationFailure([&](int) {
            ComMemoryLedger ledger;
            const HRESULT read = manager.mhGetReferences(navigator, list, nullptr);
            outcomes.push_back({read, ledger.LiveCount(), ledger.DoubleFrees()});
            for (auto* r : list)
                delete r;
            list.clear();
        });
        const int writePoints = ffmtest::ForEachAllocationFailure([&](int) {
            ComMemoryLedger ledger;
            const HRESULT hr = manager.mhSetReferencePaths(navigator, toWrite, nullptr, true);
            outcomes.push_back({hr, ledger.LiveCount(), ledger.DoubleFrees()});
        });
        EXPECT_GT(points, 5);
        EXPECT_GT(writePoints, 3);
        for (const Outcome& o : outcomes) {
            EXPECT_TRUE(o.hr == S_OK || o.hr == E_OUTOFMEMORY) << std::hex << o.hr;
            EXPECT_EQ(0u, o.live);
            EXPECT_EQ(0, o.doubleFrees);
        }
        delete toWrite.front();
    }
}

} // namespace
