#include "support/Raised.h"
#include "foundation/Handles.h"
#include "support/Sandbox.h"
#include <FileFmtMgr/SpStr.h>
#include <FileFmtMgr/Values.h>
#include <array>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

using ffm::SpStr;
using ffmtest::Raised;
using namespace std::string_literals;

static SpStr Make(const std::wstring& s) {
    return SpStr(s.data(), static_cast<UINT>(s.size()));
}

TEST(SpStr, OrdinalOrderWithAllOperators) {
    const struct {
        SpStr a, b;
        int sign;
    } cases[] = {
        {SpStr(L""), SpStr(), 0},
        {SpStr(), SpStr(L"a"), -1},
        {SpStr(L"a"), SpStr(L"ab"), -1},
        {SpStr(L"B"), SpStr(L"a"), -1},
        {SpStr(L"abc"), SpStr(L"abd"), -1},
        {SpStr(L"\xFFFF"), SpStr(L"a"), 1}, // code units compare unsigned
        {SpStr(L"\xD800"), SpStr(L"\x7FFF"), 1},
        {Make(L"a\0b"s), SpStr(L"a"), 1}, // embedded zeros count
        {Make(L"a\0b"s), Make(L"a\0c"s), -1},
        {SpStr(L"same"), SpStr(L"same"), 0},
    };
    const auto sign = [](int v) { return (v > 0) - (v < 0); };
    for (const auto& [a, b, s] : cases) {
        SCOPED_TRACE(ffmtest::Utf8(a.W() ? a.W() : L"(null)"));
        EXPECT_EQ(sign(a.Compare(b)), s);
        EXPECT_EQ(sign(b.Compare(a)), -s);
        EXPECT_EQ((std::array<bool, 6>{a == b, a != b, (a < b), a <= b, (a > b), a >= b}),
                  (std::array<bool, 6>{s == 0, s != 0, (s < 0), s <= 0, (s > 0), s >= 0}));
    }
}

TEST(SpStr, CopiesShareOneBlockAndOneNarrowCopy) {
    const wchar_t* wide = L"Stra\u00DFe caf\u00E9";
    char expected[64] = {};
    WideCharToMultiByte(CP_ACP, 0, wide, -1, expected, sizeof expected, nullptr, nullptr);
    SpStr a(wide), b(a);
    const SpStr& alias = a;
    a = alias;
    a = a.W();
    EXPECT_EQ(a.Bstr(), b.Bstr());
    EXPECT_EQ(a.ShareCount(), 2);
    const char* narrow = a.A();
    EXPECT_STREQ(narrow, expected);
    EXPECT_EQ(b.A(), narrow);
    EXPECT_EQ(SpStr(narrow), a);

    b = L"other";
    EXPECT_EQ(a.ShareCount(), 1);
    EXPECT_EQ(SpStr(std::move(b)), SpStr(L"other"));
    EXPECT_EQ(b.W(), nullptr);
    EXPECT_EQ(SpStr(L"").W(), nullptr);
    EXPECT_EQ(SpStr("").W(), nullptr);
    EXPECT_STREQ(SpStr().A(), "");
    EXPECT_STREQ(SpStr().Text(), L"");
    EXPECT_EQ(a.Text(), a.W()) << "the stored text itself";
    EXPECT_EQ(SpStr(static_cast<const wchar_t*>(nullptr)).Length(), 0u);
    EXPECT_EQ(SpStr(L"abcdef", 2), SpStr(L"ab"));
}

TEST(SpStr, FromVariant) {
    VARIANT number{}, null{}, empty{};
    number.vt = VT_I4;
    number.lVal = 42;
    null.vt = VT_NULL;
    EXPECT_EQ(SpStr(number), SpStr(L"42"));
    EXPECT_EQ(SpStr(empty).W(), nullptr);
    ffm::UniqueVariant text, oddByte, converted;
    text->vt = oddByte->vt = VT_BSTR;
    text->bstrVal = SysAllocStringLen(L"x\0y", 3);
    oddByte->bstrVal = SysAllocStringByteLen("x", 1); // no whole code unit
    EXPECT_EQ(SpStr(*text.get()), Make(L"x\0y"s));
    EXPECT_NE(SpStr(*text.get()).Bstr(), text->bstrVal);
    EXPECT_EQ(SpStr(*oddByte.get()), SpStr());
    EXPECT_STREQ(SpStr(*oddByte.get()).A(), "");

    const HRESULT expected = VariantChangeType(converted.get(), &null, 0, VT_BSTR);
    ASSERT_TRUE(FAILED(expected));
    SpStr kept(L"kept");
    EXPECT_EQ(Raised([&] { kept = null; }), expected);
    EXPECT_EQ(kept, SpStr(L"kept"));
}

TEST(SpStr, SharesReleasedOnSeveralThreads) {
    const SpStr shared(L"shared between threads");
    const char* narrow[4] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::vector<SpStr> copies;
            for (int round = 0; round < 200; ++round)
                copies.assign(50, shared);
            narrow[t] = shared.A();
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(shared.ShareCount(), 1);
    EXPECT_EQ(std::count(narrow, narrow + 4, narrow[0]), 4); // one kept copy even when made at once
}

TEST(SpStr, NoMemoryRaisesOutOfMemoryAtEveryPoint) {
    VARIANT number{};
    number.vt = VT_I4;
    number.lVal = 1234;
    const std::function<void()> builds[] = {
        [] { SpStr s(L"wide"); }, [] { SpStr s(L"wide", 3); },     [] { SpStr s("narrow"); },
        [&] { SpStr s(number); }, [] { SpStr(L"converted").A(); },
    };
    for (const auto& build : builds) {
        int outOfMemory = 0; // a std::bad_alloc escaping fails the test
        const int points =
            ffmtest::ForEachAllocationFailure([&](int) { outOfMemory += Raised(build) == E_OUTOFMEMORY; });
        EXPECT_GE(points, 2);
        EXPECT_EQ(outOfMemory, points) << "build " << &build - builds;
    }
}

// Leading, trailing and repeated delimiters give no empty tokens.
TEST(StrTok, SkipsEveryRunOfDelimiters) {
    const std::pair<const wchar_t*, std::vector<std::wstring>> cases[] = {{L";;, ;", {}},
                                                                          {L";a;;b, c;", {L"a", L"b", L"c"}}};
    for (const auto& [text, tokens] : cases) {
        ffm::StrTok tok(text, L"; ,");
        std::vector<std::wstring> got;
        for (std::wstring token; tok.Next(token);)
            got.push_back(token);
        EXPECT_EQ(got, tokens);
    }
}

TEST(BinBlock, SizesDataAndCopies) {
    const char bytes[] = {1, 2, 3, 4};
    EXPECT_EQ(ffm::BinBlock(bytes, 0).Data(), nullptr);
    EXPECT_EQ(ffm::BinBlock(bytes, -5).Size(), 0);
    const ffm::BinBlock zeros(nullptr, 3);
    EXPECT_TRUE(zeros.Size() == 3 && std::memcmp(zeros.Data(), "\0\0\0", 3) == 0);
    ffm::BinBlock a(bytes, 4), b(a), c;
    c = a;
    a = ffm::BinBlock(bytes, 2);
    EXPECT_NE(b.Data(), c.Data());
    for (const auto* block : {&b, &c})
        EXPECT_TRUE(block->Size() == 4 && std::memcmp(block->Data(), bytes, 4) == 0);
}
