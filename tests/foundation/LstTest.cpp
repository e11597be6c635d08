#include "support/Raised.h"
#include "foundation/Alloc.h"
#include "support/Sandbox.h"
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/Lst.h>
#include <FileFmtMgr/SpStr.h>
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>

using ffm::Lst;
using ffm::SpStr;
using ffmtest::Raised;
using V = std::vector<int>;

// The elements from the head, after checking that both directions, both ends and the count agree.
template <class T> static std::vector<T> Walk(const Lst<T>& list) {
    std::vector<T> forward, backward;
    for (auto* n = list.GetHead(); n; n = n->next) {
        EXPECT_EQ(n->next ? n->next->prev : list.GetTail(), n);
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
    l.InsertBefore(two, 1); // before the head of a one-element list
    l.InsertAfter(two, 4);  // after the tail
    l.InsertAfter(two, 3);
    l.AddHead(0);
    l.AddTail(5);
    EXPECT_EQ(Walk(l), (V{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(l.RemoveAt(two), 2);
    EXPECT_EQ(l.RemoveAt(l.GetHead()), 0);
    EXPECT_EQ(l.RemoveAt(l.GetTail()), 5);
    EXPECT_EQ(Walk(l), (V{1, 3, 4}));
    EXPECT_EQ(l.RemoveHead(), 1);
    EXPECT_EQ(l.RemoveTail(), 4);
    EXPECT_EQ(l.RemoveTail(), 3);
    EXPECT_TRUE(!l.GetHead() && !l.GetTail());

    l.InsertAfter(l.AddHead(7), 8); // the tail of a one-element list moves
    EXPECT_EQ(Walk(l), (V{7, 8}));
    l.RemoveAll();
    EXPECT_TRUE(Walk(l).empty() && !l.GetHead() && !l.GetTail());
}

TEST(Lst, SortIsStableLikeStdStableSort) {
    using Item = std::pair<int, int>; // key, original position
    std::vector<V> cases = {{}, {5}, {1, 1, 1, 1}, {3, 1, 2, 1, 3, 0, 2}, {1, 2, 3}, {3, 2, 1}, V(300)};
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

    Lst<int> l; // a compare that throws loses nothing
    for (int k : {4, 2, 5, 1, 3})
        l.AddTail(k);
    int calls = 0;
    const auto failing = [&](int a, int b) {
        return ++calls == 3 ? throw std::runtime_error("compare") : a - b;
    };
    EXPECT_THROW(l.Sort(failing), std::runtime_error);
    auto left = Walk(l);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (V{1, 2, 3, 4, 5}));
}

TEST(Lst, CopiesShareStringsAndGiveThemBack) {
    const SpStr shared(L"shared");
    {
        Lst<SpStr> a;
        for (int i = 0; i < 3; ++i)
            a.AddTail(shared);
        a.AddHead(SpStr(L"first"));
        Lst<SpStr> b(a);
        EXPECT_EQ(shared.ShareCount(), 7);
        EXPECT_EQ(Walk(b), Walk(a));
        EXPECT_EQ(b.GetHead()->element.Bstr(), a.GetHead()->element.Bstr());

        const Lst<SpStr>& alias = b;
        b = alias;
        EXPECT_EQ(Walk(b), Walk(a));
        Lst<SpStr> c;
        c.AddTail(SpStr(L"old"));
        c = a;
        EXPECT_EQ(Walk(c), Walk(a));
        EXPECT_EQ(shared.ShareCount(), 10);

        EXPECT_EQ(b.RemoveAt(b.GetTail()), shared);
        a.RemoveAll();
        EXPECT_EQ(shared.ShareCount(), 6);
    }
    EXPECT_EQ(shared.ShareCount(), 1);
}

TEST(Lst, NodesAreTaskAllocatorBlocksAnyThreadCanRelease) {
    ffm::ComPtr<IMalloc> malloc;
    ASSERT_EQ(CoGetMalloc(1, malloc.put()), S_OK);
    SpStr shared(L"shared");
    auto list = std::make_unique<Lst<SpStr>>();
    for (int i = 0; i < 4; ++i)
        list->AddTail(shared);
    for (auto* n = list->GetHead(); n; n = n->next)
        EXPECT_EQ(malloc->DidAlloc(n), 1);
    EXPECT_EQ(malloc->DidAlloc(&shared), 0);

    // Emptied and destroyed on another thread, as a caller does with the lists it receives.
    std::thread([&] {
        ffmtest::ComApartment com;
        list->RemoveHead();
        list.reset();
    }).join();
    EXPECT_EQ(shared.ShareCount(), 1);
}

TEST(Lst, AddingWithoutMemoryRaisesAndLeavesTheListAlone) {
    const SpStr shared(L"shared");
    Lst<SpStr> l;
    l.AddTail(SpStr(L"a"));
    l.AddTail(SpStr(L"b"));
    const auto before = Walk(l);
    const std::function<void()> adds[] = {
        [&] { l.AddHead(shared); },
        [&] { l.AddTail(shared); },
        [&] { l.InsertBefore(l.GetHead(), shared); },
        [&] { l.InsertAfter(l.GetTail(), shared); },
    };
    for (const auto& add : adds) {
        ffm::fault::ArmAllocationFailure(1);
        EXPECT_EQ(Raised(add), E_OUTOFMEMORY);
        ffm::fault::ArmAllocationFailure(0);
        EXPECT_EQ(Walk(l), before);
    }
    EXPECT_EQ(shared.ShareCount(), 1);

    // An assignment failing part-way gives back the shares it took and leaves the target as it was.
    Lst<SpStr> source;
    for (int i = 0; i < 3; ++i)
        source.AddTail(shared);
    const int points = ffmtest::ForEachAllocationFailure([&](int) {
        const HRESULT hr = Raised([&] { l = source; });
        if (hr != S_OK) {
            EXPECT_EQ(hr, E_OUTOFMEMORY);
            EXPECT_EQ(Walk(l), before);
            EXPECT_EQ(shared.ShareCount(), 4);
        }
    });
    EXPECT_EQ(points, 3);
    EXPECT_EQ(Walk(l), Walk(source));
}
