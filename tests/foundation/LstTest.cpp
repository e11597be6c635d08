#include "support/Raised.h"
#include "foundation/Alloc.h"
#include "support/Sandbox.h"
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/Lst.h>
#include <FileFmtMgr/SpStr.h>
#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <stdexcept>

using ffm::Lst;
using ffm::SpStr;
using ffmtest::Raised;
using V = std::vector<int>;

// The elements from the head, after checking that both directions, both ends and the count agree
// and that every node is a task-allocator block (which any module or thread can free).
template <class T> static std::vector<T> Walk(const Lst<T>& list) {
    ffm::ComPtr<IMalloc> malloc;
    EXPECT_EQ(CoGetMalloc(1, malloc.put()), S_OK);
    EXPECT_EQ(malloc->DidAlloc(const_cast<Lst<T>*>(&list)), 0); // the allocator can tell
    std::vector<T> forward, backward;
    for (auto* n = list.GetHead(); n; n = n->next) {
        EXPECT_EQ(n->next ? n->next->prev : list.GetTail(), n);
        EXPECT_EQ(malloc->DidAlloc(n), 1);
        forward.push_back(n->element);
    }
    for (auto* n = list.GetTail(); n; n = n->prev)
        backward.insert(backward.begin(), n->element);
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(list.GetCount(), static_cast<long>(forward.size()));
    EXPECT_EQ(list.GetHead() ? list.GetHead()->prev : nullptr, nullptr);
    return forward;
}

TEST(Lst, InsertAndRemoveKeepEndsLinksAndCount) {
    Lst<int> l;
    auto* two = l.AddTail(2);
    l.InsertBefore(two, 1); // before the head
    l.InsertAfter(two, 4);  // after the tail
    l.InsertAfter(two, 3);
    l.AddHead(0);
    l.AddTail(5);
    ffm::fault::ArmAllocationFailure(1);
    EXPECT_EQ(Raised([&] { l.InsertAfter(two, 9); }), E_OUTOFMEMORY);
    EXPECT_EQ(Walk(l), (V{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(l.RemoveAt(two), 2);
    EXPECT_EQ(l.RemoveHead(), 0);
    EXPECT_EQ(l.RemoveTail(), 5);
    EXPECT_EQ(Walk(l), (V{1, 3, 4}));
    l.RemoveAll();
    EXPECT_TRUE(Walk(l).empty());
}

TEST(Lst, SortIsStableLikeStdStableSortAndAThrowingCompareLosesNothing) {
    using Item = std::pair<int, int>; // key, original position
    std::vector<V> cases = {{}, {5}, {3, 1, 2, 1, 3, 0, 2}, {3, 2, 1}, V(300)};
    std::mt19937 random(7);
    for (int& k : cases.back())
        k = static_cast<int>(random() % 10) - 5;
    for (const auto& keys : cases) {
        Lst<Item> l;
        std::vector<Item> expected;
        for (int k : keys) {
            expected.emplace_back(k, static_cast<int>(expected.size()));
            l.AddTail(expected.back());
        }
        // Large magnitudes: only the sign may count.
        l.Sort([](const Item& a, const Item& b) { return (a.first - b.first) * 100000; });
        std::stable_sort(expected.begin(), expected.end(),
                         [](const Item& a, const Item& b) { return a.first < b.first; });
        EXPECT_EQ(Walk(l), expected) << keys.size() << " elements";
    }

    Lst<int> l;
    for (int k : {4, 2, 5, 1, 3})
        l.AddTail(k);
    int calls = 0;
    EXPECT_THROW(l.Sort([&](int a, int b) { return ++calls == 3 ? throw std::runtime_error("") : a - b; }),
                 std::runtime_error);
    auto left = Walk(l);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (V{1, 2, 3, 4, 5}));
}

TEST(Lst, CopiesShareStringsAndAFailedCopyGivesThemBack) {
    const SpStr shared(L"shared");
    Lst<SpStr> a, c;
    for (int i = 0; i < 3; ++i)
        a.AddTail(shared);
    {
        Lst<SpStr> b(a);
        EXPECT_EQ(shared.ShareCount(), 7);
        EXPECT_EQ(b.GetHead()->element.Bstr(), a.GetHead()->element.Bstr());
        const Lst<SpStr>& alias = b;
        b = alias;
        EXPECT_EQ(Walk(b), Walk(a));
        EXPECT_EQ(b.RemoveAt(b.GetTail()), shared);
        EXPECT_EQ(shared.ShareCount(), 6);
    }
    EXPECT_EQ(shared.ShareCount(), 4);

    // Fails part-way at each node: the target stays as it was.
    c.AddTail(SpStr(L"old"));
    const int points = ffmtest::ForEachAllocationFailure([&](int) {
        const HRESULT hr = Raised([&] { c = a; });
        if (hr != S_OK) {
            EXPECT_EQ(hr, E_OUTOFMEMORY);
            EXPECT_EQ(Walk(c), std::vector<SpStr>{SpStr(L"old")});
            EXPECT_EQ(shared.ShareCount(), 4);
        }
    });
    EXPECT_EQ(points, 3);
    EXPECT_EQ(Walk(c), Walk(a));
    a.RemoveAll();
    EXPECT_EQ(shared.ShareCount(), 4);
}
