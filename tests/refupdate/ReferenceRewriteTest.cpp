#include "support/ComMemoryLedger.h"
#include "support/LiteralReferences.h"
#include "support/ReferenceFakes.h"
#include "support/Sandbox.h"
#include "content/References.h"
#include "refupdate/ReferenceRewrite.h"
#include <gtest/gtest.h>
#include <optional>
#include <random>

using namespace ffmtest::refs;
using ffmtest::ComMemoryLedger;
using Written = std::vector<std::pair<std::wstring, std::wstring>>; // reference path, new file path

namespace {

// The caller's moves; the list points into records, so it is neither copied nor moved.
struct MoveList {
    explicit MoveList(std::vector<MoveRef> moves, const std::vector<int>& repeat = {})
        : records(std::move(moves)) {
        for (MoveRef& r : records)
            list.AddTail(&r);
        for (int i : repeat)
            list.AddTail(&records[i]);
    }
    MoveList(const MoveList&) = delete;
    std::vector<MoveRef> records;
    ffm::Lst<MoveRef*> list;
};

PluginRef Ref(std::size_t i, const std::wstring& path, long numberA = 0) {
    return {L"r" + std::to_wstring(i), path, L"", L"", false, numberA};
}

Written WrittenBy(const PluginNavigator& navigator) {
    Written written;
    for (const WrittenRef& w : navigator.written)
        written.emplace_back(w.refPath, w.filePath);
    return written;
}

TEST(ReferenceRewrite, WrittenRecordsShareWhatWasReadAndEverythingIsFreedOnce) {
    const MoveList moves(std::vector<MoveRef>{{L"C:\\a\\x.ipt", L"C:\\b\\x.ipt"}});
    for (Generation generation : {Generation::Records, Generation::Indexed}) {
        ComMemoryLedger ledger;
        HeldNavigator held(generation, {{L"r0", L"C:\\a\\x.ipt", L"data", L"t", true, 1, 4, 2.5, 6},
                                        Ref(1, L"C:\\a\\y.ipt")});
        ASSERT_EQ(S_OK, ghUpdateReferences(held.navigator, moves.list, nullptr, nullptr, nullptr));
        ASSERT_EQ(1u, held->written.size());
        const TovRefData& w = held->written[0].raw;
        EXPECT_EQ(held->refPathsHandedOut[0], w.mbsRefPath);
        if (generation == Generation::Records) {
            EXPECT_EQ(held->dataHandedOut[0], w.mpcData);
            EXPECT_EQ(std::make_tuple(4L, 2.5, 6L, held->refs[0].text.c_str()),
                      std::make_tuple(w.mlNumberB, w.mdNumber, w.mlNumberC, w.mpwText));
        } else { // read one by one: the data string with its terminating zero, fixed numbers
            EXPECT_EQ(10L, w.mlDataSize);
            EXPECT_EQ(0, std::memcmp(L"data", held->written[0].data.data(), 10));
            EXPECT_EQ(std::make_tuple(0L, 1L, 1L), std::make_tuple(w.mlNumberB, w.mlNumberC, w.mlNumberA));
        }
        EXPECT_EQ("", ledger.Problems());
    }
}

TEST(ReferenceRewrite, PluginResultsDecideTheResultAndNothingFollowsAFailure) {
    struct Case {
        Generation generation;
        std::size_t refs; // how many of x.ipt (moved) and y.ipt
        HRESULT read, write, save;
        long failIndex;
        HRESULT expected;
        const char* calls;
    };
    const Generation records = Generation::Records, indexed = Generation::Indexed;
    // clang-format off
    const Case cases[] = {
        {records, 1, E_ACCESSDENIED, S_OK, S_OK, -1, E_ACCESSDENIED, "GetReferences"},
        {records, 1, S_OK, STG_E_WRITEFAULT, S_OK, -1, STG_E_WRITEFAULT, "GetReferences SetReferences"},
        {records, 1, S_OK, S_FALSE, S_FALSE, -1, S_FALSE, "GetReferences SetReferences Save"},
        {records, 1, S_FALSE, S_OK, E_ABORT, -1, E_ABORT, "GetReferences SetReferences Save"},
        // Nothing to change: the reading's own code.
        {records, 0, S_FALSE, S_OK, S_OK, -1, S_FALSE, "GetReferences"},
        {indexed, 0, S_FALSE, S_OK, S_OK, -1, S_FALSE, "GetReferences GetReferenceCount"},
        {indexed, 2, S_OK, S_OK, S_OK, 1, E_FAIL,
         "GetReferences GetReferenceCount GetReference GetReference"},
    };
    // clang-format on
    const MoveList moves(std::vector<MoveRef>{{L"C:\\a\\x.ipt", L"C:\\b\\x.ipt"}});
    for (const Case& c : cases) {
        ComMemoryLedger ledger;
        const PluginRef refs[] = {Ref(0, L"C:\\a\\x.ipt"), Ref(1, L"C:\\a\\y.ipt")};
        HeldNavigator held(c.generation, std::vector<PluginRef>(refs, refs + c.refs));
        for (const char* read : {"GetReferences", "GetReferenceCount"})
            held->Fail(read, c.read);
        held->Fail("SetReferences", c.write);
        held->Fail("Save", c.save);
        held->failIndex = c.failIndex;
        EXPECT_EQ(c.expected, ghUpdateReferences(held.navigator, moves.list, nullptr, nullptr, nullptr));
        EXPECT_EQ(c.calls, held->Calls());
        EXPECT_EQ("", ledger.Problems());
    }
    // A null move in the caller's list is refused before the plug-in hears of anything.
    MoveList withNull(std::vector<MoveRef>{{L"C:\\a\\x.ipt", L"C:\\b\\x.ipt"}});
    withNull.list.AddTail(nullptr);
    HeldNavigator held(Generation::Records, {Ref(0, L"C:\\a\\x.ipt")});
    EXPECT_EQ(E_POINTER, ghUpdateReferences(held.navigator, withNull.list, nullptr, nullptr, nullptr));
    EXPECT_EQ("", held->Calls());
}

std::wstring RandomPath(std::mt19937& random) {
    static const wchar_t* folders[] = {
        L"C:\\Vault", L"c:\\vault\\Sub", L"C:\\VAULT\\sub", L"D:\\Other", L"\\\\srv\\share", L"D:\\N", L""};
    // Every extension class: each protected CAD extension in some letter case, near misses, none.
    static const wchar_t* names[] = {L"a.ipt",    L"A.IPT",     L"b.mrdprt",  L"B.PRT",      L"c.asm",
                                     L"C.MRDASM", L"d.txt",     L"e.drw",     L"E.MrdDrw",   L"f.mrdprtx",
                                     L"F.LFP",    L"h.mrdlfp",  L"g",         L"\u00E4.ipt", L"\u00C4.IPT",
                                     L"i.prt.x",  L"j.mrdasm2", L"k.DRW.bak", L"l."};
    if (random() % 12 == 0)
        return L"";
    std::wstring path =
        std::wstring(folders[random() % std::size(folders)]) + L"\\" + names[random() % std::size(names)];
    if (random() % 4 == 0)
        for (wchar_t& ch : path)
            ch = random() % 2 ? towupper(ch) : towlower(ch);
    return path;
}

TEST(ReferenceRewrite, RewriteMatchesTheLiteralPassesOnRandomInputForEveryRootCombination) {
    const wchar_t* roots[] = {nullptr,        L"",          L"\\",          L"C:\\Vault",
                              L"C:\\Vault\\", L"c:\\VAULT", L"D:\\Other\\", L"D:\\N"};
    std::mt19937 random(1234);
    for (int round = 0; round < 8 * 8 * 8 * 3; ++round) {
        const wchar_t* newRoot = roots[round % 8];
        const wchar_t* oldRoot = roots[round / 8 % 8];
        const wchar_t* altRoot = roots[round / 64 % 8];
        std::vector<PluginRef> refs;
        // Reference kinds 0 to 3; kind 2 (a view) is the one protection looks at, so it comes often.
        for (int i = 0, n = random() % 12; i < n; ++i)
            refs.push_back(Ref(i, RandomPath(random), random() % 2 ? 2 : random() % 4));
        std::vector<MoveRef> moveRecords;
        std::vector<int> repeat;
        for (int i = 0, n = random() % 10; i < n; ++i) {
            // Half the moves name a reference's exact path, in another letter case at times.
            std::wstring old = RandomPath(random);
            if (!refs.empty() && random() % 2) {
                old = refs[random() % refs.size()].filePath;
                if (random() % 3 == 0)
                    for (wchar_t& ch : old)
                        ch = towupper(ch);
            }
            moveRecords.push_back(
                {old, random() % 2 ? RandomPath(random) : L"N:\\new\\" + std::to_wstring(i)});
            if (random() % 5 == 0)
                repeat.push_back(i); // the same record twice in the list
        }
        const MoveList moves(moveRecords, repeat);

        long count = 0;
        TovRefData* records = nullptr; // as the plug-in hands them over, for the literal passes
        HeldNavigator(Generation::Records, refs)->GetReferences(nullptr, &count, &records);
        const ffm::RefRecordArray<TovRefData> literal(records, count);
        Written expected; // a changed record always has a path
        for (long i : ffmliteral::ApplyMoves(records, count, moves.list, newRoot, oldRoot, altRoot))
            expected.emplace_back(refs[i].refPath, literal[i].mbsFilePath);
        HeldNavigator held(Generation::Records, refs);
        ASSERT_EQ(S_OK, ghUpdateReferences(held.navigator, moves.list, newRoot, oldRoot, altRoot));
        ASSERT_EQ(expected, WrittenBy(*held.navigator)) << round;
    }
}

TEST(ReferenceRewrite, RunningOutOfMemoryRaisesOutOfMemoryAndLeaksNothing) {
    const MoveList moves(
        std::vector<MoveRef>{{L"C:\\x\\m.ipt", L"C:\\Old\\m2.ipt"}, {L"C:\\z\\n.ipt", L"C:\\w\\n.ipt"}});
    for (Generation generation : {Generation::Records, Generation::Indexed}) {
        SCOPED_TRACE(static_cast<int>(generation));
        HeldNavigator held(generation,
                           {Ref(0, L"C:\\Old\\a.ipt"), Ref(1, L"C:\\x\\m.ipt"), Ref(2, L"C:\\y\\n.ipt")});
        held->refs[1].data = L"payload";
        std::optional<ComMemoryLedger> ledger;
        HRESULT hr = S_OK;
        bool raised = false;
        const auto setup = [&] {
            held->calls.clear();
            ledger.emplace();
        };
        const auto rewrite = [&](int) {
            try {
                raised = false;
                hr = ghUpdateReferences(held.navigator, moves.list, L"D:\\N", L"C:\\Old", L"");
            } catch (const ffm::ComError& e) {
                hr = e.Error();
                raised = true;
            }
        };
        const auto check = [&](int) {
            EXPECT_EQ(raised ? E_OUTOFMEMORY : S_OK, hr);
            EXPECT_EQ(raised ? 0 : 1, held->Count("Save"));
            EXPECT_EQ("", ledger->Problems());
            ledger.reset();
        };
        EXPECT_GT(ffmtest::ForEachAllocationFailure(setup, rewrite, check), 5);
        EXPECT_FALSE(raised);
    }
}

} // namespace
