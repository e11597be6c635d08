#include "support/ComMemoryLedger.h"
#include "support/LiteralReferences.h"
#include "support/ReferenceFakes.h"
#include "support/Sandbox.h"
#include "content/References.h"
#include "refupdate/ReferenceRewrite.h"
#include <gtest/gtest.h>
#include <random>

using namespace ffmtest::refs;
using ffm::ComPtr;
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
    return PluginRef{L"r" + std::to_wstring(i), path, L"", L"", false, numberA, 0, 0, 0, 0, 0};
}

Written WrittenBy(const PluginNavigator& navigator) {
    Written written;
    for (const WrittenRef& w : navigator.written)
        written.emplace_back(w.refPath, w.filePath);
    return written;
}

struct Rewrite {
    explicit Rewrite(Generation generation = Generation::Records)
        : navigator(new PluginNavigator(generation)) {
        hold = ComPtr<ITovFileNavigator>(navigator);
    }
    HRESULT Run(const MoveList& moves, const wchar_t* newRoot = nullptr, const wchar_t* oldRoot = nullptr,
                const wchar_t* altOldRoot = nullptr) {
        return ghUpdateReferences(navigator, moves.list, newRoot, oldRoot, altOldRoot);
    }
    PluginNavigator* navigator;
    ComPtr<ITovFileNavigator> hold;
};

TEST(ReferenceRewrite, PassesDecideWhatIsWrittenAndInWhichOrder) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::wstring, long>> refs; // file path, mlNumberA; reference path "r<i>"
        std::vector<MoveRef> moves;
        std::vector<const wchar_t*> roots;
        Written written;
    } cases[] = {
        {"no matching move and no roots",
         {{L"C:\\a\\x.ipt", 0}},
         {{L"C:\\a\\y.ipt", L"C:\\b\\y.ipt"}},
         {},
         {}},
        {"exact path, ignoring case",
         {{L"C:\\a\\x.ipt", 0}},
         {{L"c:\\A\\X.IPT", L"C:\\b\\x.ipt"}},
         {},
         {{L"r0", L"C:\\b\\x.ipt"}}},
        {"protected CAD reference keeps its path",
         {{L"C:\\a\\p.mrdprt", 2}, {L"C:\\a\\q.PRT", 2}, {L"C:\\a\\s.asm", 1}},
         {{L"C:\\a\\p.mrdprt", L"C:\\b\\p.mrdprt"},
          {L"C:\\a\\q.prt", L"C:\\b\\q.prt"},
          {L"C:\\a\\s.asm", L"C:\\b\\s.asm"}},
         {},
         {{L"r2", L"C:\\b\\s.asm"}}},
        {"protected CAD reference is still rebased",
         {{L"C:\\Vault\\p.mrdprt", 2}},
         {{L"C:\\Vault\\p.mrdprt", L"C:\\b\\p.mrdprt"}},
         {L"D:\\Vault", L"C:\\Vault", L""},
         {{L"r0", L"D:\\Vault\\p.mrdprt"}}},
        {"one move for a name changes only the first such reference",
         {{L"C:\\a\\x.ipt", 0}, {L"C:\\b\\x.ipt", 0}},
         {{L"C:\\z\\X.IPT", L"C:\\n\\x.ipt"}},
         {},
         {{L"r0", L"C:\\n\\x.ipt"}}},
        {"a move used by its exact path is not used again by name",
         {{L"C:\\a\\x.ipt", 0}, {L"C:\\b\\x.ipt", 0}},
         {{L"C:\\b\\x.ipt", L"C:\\n\\x.ipt"}},
         {},
         {{L"r1", L"C:\\n\\x.ipt"}}},
        {"roots with and without backslash",
         {{L"C:\\VAULT\\a\\b.ipt", 0}, {L"D:\\Vault\\c.ipt", 0}, {L"E:\\o.ipt", 0}},
         {},
         {L"D:\\Vault", L"C:\\Vault\\", L""},
         {{L"r0", L"D:\\Vault\\a\\b.ipt"}}},
        {"alternative old root is cut over its own length",
         {{L"C:\\Vault\\a.ipt", 0}},
         {},
         {L"D:\\N", L"C:\\Vx", L"C:\\Vault"},
         {{L"r0", L"D:\\N\\a.ipt"}}},
        {"empty old root matches paths that begin with a backslash",
         {{L"\\\\srv\\a.ipt", 0}, {L"C:\\a.ipt", 0}},
         {},
         {L"D:\\N", L"", L""},
         {{L"r0", L"D:\\N\\\\srv\\a.ipt"}}},
        {"a missing root turns rebasing off",
         {{L"C:\\Vault\\a.ipt", 0}},
         {},
         {L"D:\\N", L"C:\\Vault", nullptr},
         {}},
        {"records first changed by rebasing go to the head, last first",
         {{L"C:\\Old\\a.ipt", 0}, {L"C:\\x\\m.ipt", 0}, {L"C:\\Old\\b.ipt", 0}},
         {{L"C:\\x\\m.ipt", L"C:\\Old\\m2.ipt"}},
         {L"D:\\N", L"C:\\Old", L""},
         {{L"r2", L"D:\\N\\b.ipt"}, {L"r0", L"D:\\N\\a.ipt"}, {L"r1", L"D:\\N\\m2.ipt"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rewrite rewrite;
        for (const auto& [path, numberA] : c.refs)
            rewrite.navigator->refs.push_back(Ref(rewrite.navigator->refs.size(), path, numberA));
        const MoveList moves(c.moves);
        const wchar_t* roots[3] = {};
        std::copy(c.roots.begin(), c.roots.end(), roots);
        EXPECT_EQ(S_OK, rewrite.Run(moves, roots[0], roots[1], roots[2]));
        EXPECT_EQ(c.written, WrittenBy(*rewrite.navigator));
        const std::vector<std::string> calls =
            c.written.empty() ? std::vector<std::string>{"GetReferences"}
                              : std::vector<std::string>{"GetReferences", "SetReferences", "Save"};
        EXPECT_EQ(calls, rewrite.navigator->calls);
    }
}

TEST(ReferenceRewrite, WrittenRecordsShareWhatWasReadAndEverythingIsFreedOnce) {
    const MoveList moves(std::vector<MoveRef>{{L"C:\\a\\x.ipt", L"C:\\b\\x.ipt"}});
    for (Generation generation : {Generation::Records, Generation::Indexed}) {
        ComMemoryLedger ledger;
        Rewrite rewrite(generation);
        rewrite.navigator->refs = {PluginRef{L"r0", L"C:\\a\\x.ipt", L"data", L"t", true, 1, 4, 2.5, 6, 0, 0},
                                   Ref(1, L"C:\\a\\y.ipt")};
        ASSERT_EQ(S_OK, rewrite.Run(moves));
        ASSERT_EQ(1u, rewrite.navigator->written.size());
        const WrittenRef& w = rewrite.navigator->written[0];
        EXPECT_EQ(rewrite.navigator->refPathsHandedOut[0], w.raw.mbsRefPath);
        if (generation == Generation::Records) {
            EXPECT_EQ(rewrite.navigator->dataHandedOut[0], w.raw.mpcData);
            EXPECT_EQ(std::make_tuple(4L, 2.5, 6L, rewrite.navigator->refs[0].text.c_str()),
                      std::make_tuple(w.raw.mlNumberB, w.raw.mdNumber, w.raw.mlNumberC, w.raw.mpwText));
        } else { // read one by one: the data string with its terminating zero, fixed numbers
            EXPECT_EQ(10L, w.raw.mlDataSize);
            EXPECT_EQ(0, std::memcmp(L"data", w.data.data(), 10));
            EXPECT_EQ(std::make_tuple(0L, 1L, 1L),
                      std::make_tuple(w.raw.mlNumberB, w.raw.mlNumberC, w.raw.mlNumberA));
        }
        EXPECT_TRUE(ledger.Live().empty());
        EXPECT_EQ(0, ledger.DoubleFrees());
    }
}

TEST(ReferenceRewrite, PluginResultsDecideTheResultAndNothingIsSavedAfterAFailedWrite) {
    struct Case {
        HRESULT read, write, save, expected;
        std::vector<std::string> calls;
    } cases[] = {
        {E_ACCESSDENIED, S_OK, S_OK, E_ACCESSDENIED, {"GetReferences"}},
        {S_OK, STG_E_WRITEFAULT, S_OK, STG_E_WRITEFAULT, {"GetReferences", "SetReferences"}},
        {S_OK, S_FALSE, S_FALSE, S_FALSE, {"GetReferences", "SetReferences", "Save"}},
        {S_FALSE, S_OK, E_ABORT, E_ABORT, {"GetReferences", "SetReferences", "Save"}},
    };
    const MoveList moves(std::vector<MoveRef>{{L"C:\\a\\x.ipt", L"C:\\b\\x.ipt"}});
    for (const Case& c : cases) {
        Rewrite rewrite;
        rewrite.navigator->refs = {Ref(0, L"C:\\a\\x.ipt")};
        rewrite.navigator->readResult = c.read;
        rewrite.navigator->writeResult = c.write;
        rewrite.navigator->saveResult = c.save;
        EXPECT_EQ(c.expected, rewrite.Run(moves));
        EXPECT_EQ(c.calls, rewrite.navigator->calls);
    }
    // Nothing to change: the reading's own success code.
    for (Generation generation : {Generation::Records, Generation::Indexed}) {
        Rewrite rewrite(generation);
        rewrite.navigator->readResult = S_FALSE;
        EXPECT_EQ(S_FALSE, rewrite.Run(moves));
        EXPECT_EQ(0, rewrite.navigator->Count("SetReferences"));
    }
    Rewrite failing(Generation::Indexed);
    failing.navigator->refs = {Ref(0, L"C:\\a\\x.ipt"), Ref(1, L"C:\\a\\y.ipt")};
    failing.navigator->failIndex = 1;
    EXPECT_EQ(E_FAIL, failing.Run(moves));
    EXPECT_EQ(0, failing.navigator->Count("SetReferences"));
}

std::wstring RandomPath(std::mt19937& random) {
    static const wchar_t* folders[] = {
        L"C:\\Vault", L"c:\\vault\\Sub", L"C:\\VAULT\\sub", L"D:\\Other", L"\\\\srv\\share", L"D:\\N", L""};
    static const wchar_t* names[] = {L"a.ipt", L"A.IPT",      L"b.mrdprt",  L"B.PRT",
                                     L"c.asm", L"d.txt",      L"e.drw",     L"f.mrdprtx",
                                     L"g",     L"\x00E4.ipt", L"\x00C4.IPT"};
    if (random() % 12 == 0)
        return L"";
    std::wstring path =
        std::wstring(folders[random() % std::size(folders)]) + L"\\" + names[random() % std::size(names)];
    if (random() % 4 == 0)
        for (wchar_t& ch : path)
            ch = random() % 2 ? towupper(ch) : towlower(ch);
    return path;
}

// Records as the plug-in would hand them over, for calling the passes directly.
struct Records {
    explicit Records(const std::vector<PluginRef>& refs) : v(refs.size()) {
        for (std::size_t i = 0; i < refs.size(); ++i) {
            v[i].mbsFilePath = BstrOrNull(refs[i].filePath);
            v[i].mlNumberA = refs[i].numberA;
        }
    }
    ~Records() {
        for (TovRefData& r : v)
            ffm::FreeRefRecord(r);
    }
    std::wstring Path(long i) const { return v[i].mbsFilePath ? v[i].mbsFilePath : L""; }
    std::vector<TovRefData> v;
};

TEST(ReferenceRewrite, IndexedPassesMatchTheLiteralOnesOnRandomInputForEveryRootCombination) {
    const wchar_t* roots[] = {nullptr,        L"",          L"\\",          L"C:\\Vault",
                              L"C:\\Vault\\", L"c:\\VAULT", L"D:\\Other\\", L"D:\\N"};
    std::mt19937 random(1234);
    for (const wchar_t* newRoot : roots)
        for (const wchar_t* oldRoot : roots)
            for (const wchar_t* altRoot : roots)
                for (int round = 0; round < 3; ++round) {
                    std::vector<PluginRef> refs;
                    for (int i = 0, n = random() % 12; i < n; ++i)
                        refs.push_back(Ref(i, RandomPath(random), random() % 3));
                    std::vector<MoveRef> moveRecords;
                    std::vector<int> repeat;
                    for (int i = 0, n = random() % 10; i < n; ++i) {
                        moveRecords.push_back({RandomPath(random), random() % 2
                                                                       ? RandomPath(random)
                                                                       : L"N:\\new\\" + std::to_wstring(i)});
                        if (random() % 5 == 0)
                            repeat.push_back(i); // the same record twice in the list
                    }
                    const MoveList moves(moveRecords, repeat);

                    Records literal(refs), indexed(refs);
                    const long n = static_cast<long>(refs.size());
                    const std::vector<long> expected =
                        ffmliteral::ApplyMoves(literal.v.data(), n, moves.list, newRoot, oldRoot, altRoot);
                    ASSERT_EQ(expected, ffm::refupdate::ApplyMoves(indexed.v.data(), n, moves.list, newRoot,
                                                                   oldRoot, altRoot));
                    for (long i = 0; i < n; ++i)
                        ASSERT_EQ(literal.Path(i), indexed.Path(i));

                    Rewrite rewrite;
                    rewrite.navigator->refs = refs;
                    ASSERT_EQ(S_OK, rewrite.Run(moves, newRoot, oldRoot, altRoot));
                    Written written;
                    for (long i : expected)
                        written.emplace_back(refs[i].refPath, literal.Path(i));
                    ASSERT_EQ(written, WrittenBy(*rewrite.navigator));
                }
}

TEST(ReferenceRewrite, RunningOutOfMemoryRaisesOutOfMemoryAndLeaksNothing) {
    struct Outcome {
        HRESULT hr;
        bool raised;
        std::size_t live;
        long doubleFrees;
        long saves;
    };
    for (Generation generation : {Generation::Records, Generation::Indexed}) {
        Rewrite rewrite(generation);
        PluginNavigator& navigator = *rewrite.navigator;
        navigator.refs = {Ref(0, L"C:\\Old\\a.ipt"), Ref(1, L"C:\\x\\m.ipt"), Ref(2, L"C:\\y\\n.ipt")};
        navigator.refs[1].data = L"payload";
        navigator.recordWrites = false;
        navigator.calls.reserve(10000);
        navigator.refPathsHandedOut.reserve(10000);
        navigator.dataHandedOut.reserve(10000);
        const MoveList moves(
            std::vector<MoveRef>{{L"C:\\x\\m.ipt", L"C:\\Old\\m2.ipt"}, {L"C:\\z\\n.ipt", L"C:\\w\\n.ipt"}});
        std::vector<Outcome> outcomes;
        outcomes.reserve(10000);
        ffmtest::ForEachAllocationFailure([&](int) {
            ComMemoryLedger ledger;
            const long savesBefore = navigator.Count("Save");
            Outcome o{S_OK, false, 0, 0, 0};
            try {
                o.hr = rewrite.Run(moves, L"D:\\N", L"C:\\Old", L"");
            } catch (const ffm::ComError& e) {
                o.hr = e.Error();
                o.raised = true;
            }
            o.live = ledger.LiveCount();
            o.doubleFrees = ledger.DoubleFrees();
            o.saves = navigator.Count("Save") - savesBefore;
            outcomes.push_back(o);
        });
        ASSERT_GT(outcomes.size(), 5u);
        EXPECT_FALSE(outcomes.back().raised);
        for (const Outcome& o : outcomes) {
            EXPECT_EQ(o.raised ? E_OUTOFMEMORY : S_OK, o.hr);
            EXPECT_EQ(o.raised ? 0 : 1, o.saves);
            EXPECT_EQ(0u, o.live);
            EXPECT_EQ(0, o.doubleFrees);
        }
    }
}

} // namespace
