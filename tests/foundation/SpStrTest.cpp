#include "support/Raised.h"
#include "foundation/Alloc.h"
#include "foundation/Handles.h"
#include "support/Sandbox.h"
#include <FileFmtMgr/SpStr.h>
#include <FileFmtMgr/Values.h>
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
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const int sign = c.a.Compare(c.b), reverse = c.b.Compare(c.a);
        EXPECT_EQ((sign > 0) - (sign < 0), c.sign);
        EXPECT_EQ((reverse > 0) - (reverse < 0), -c.sign);
        const bool ops[] = {(c.a == c.b), (c.a != c.b), (c.a < c.b), (c.a <= c.b), (c.a > c.b), (c.a >= c.b)};
        const bool expected[] = {c.sign == 0, c.sign != 0,  (c.sign < 0),
                                 c.sign <= 0, (c.sign > 0), c.sign >= 0};
        EXPECT_TRUE(std::equal(ops, ops + 6, expected));
    }
}

TEST(SpStr, CopiesShareOneBlockAndSelfAssignmentChangesNothing) {
    SpStr a(L"text");
    SpStr b(a);
    EXPECT_EQ(b.Bstr(), a.Bstr());
    const SpStr& alias = a;
    a = alias;
    a = a.W();
    EXPECT_EQ(a.Bstr(), b.Bstr());
    EXPECT_EQ(a.ShareCount(), 2);
    b = L"other";
    EXPECT_EQ(a.ShareCount(), 1);
    EXPECT_EQ(SpStr(std::move(b)), SpStr(L"other"));
    EXPECT_EQ(b.W(), nullptr);
    EXPECT_EQ(SpStr(L"").W(), nullptr);
    EXPECT_EQ(SpStr(static_cast<const wchar_t*>(nullptr)).Length(), 0u);
    EXPECT_EQ(SysStringLen(Make(L"a\0b"s).Bstr()), 3u);
    EXPECT_EQ(SpStr(L"abcdef", 2), SpStr(L"ab"));
}

TEST(SpStr, NarrowCopyUsesTheAnsiCodePageAndIsKept) {
    const wchar_t* wide = L"Stra\u00DFe caf\u00E9";
    char expected[64] = {};
    WideCharToMultiByte(CP_ACP, 0, wide, -1, expected, sizeof expected, nullptr, nullptr);
    const SpStr s(wide), share(s);
    const char* narrow = s.A();
    EXPECT_STREQ(narrow, expected);
    EXPECT_EQ(s.A(), narrow);
    EXPECT_EQ(share.A(), narrow);
    EXPECT_EQ(SpStr(narrow), s);
    EXPECT_STREQ(SpStr().A(), "");
    EXPECT_EQ(SpStr("").W(), nullptr);
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
    EXPECT_EQ(Raised([&] { SpStr s(null); }), expected);
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

TEST(SpStr, NoMemoryRaisesOutOfMemory) {
    VARIANT number{};
    number.vt = VT_I4;
    number.lVal = 1234;
    const std::function<void()> builds[] = {
        [] { SpStr s(L"wide"); }, [] { SpStr s(L"wide", 3); },     [] { SpStr s("narrow"); },
        [&] { SpStr s(number); }, [] { SpStr(L"converted").A(); },
    };
    for (const auto& build : builds) {
        HRESULT results[16] = {}; // nothing may allocate here but the build itself
        const int points = ffmtest::ForEachAllocationFailure([&](int point) {
            try {
                results[point] = Raised(build);
            } catch (const std::bad_alloc&) {
                results[point] = E_ABORT;
            }
        });
        ASSERT_GE(points, 2);
        EXPECT_EQ(results[points + 1], S_OK);
        for (int point = 1; point <= points; ++point)
            EXPECT_EQ(results[point], E_OUTOFMEMORY) << "point " << point << " of build " << &build - builds;
    }
}

TEST(StrTok, SkipsEveryRunOfDelimiters) {
    const struct {
        const wchar_t *text, *delimiters;
        std::vector<std::wstring> tokens;
    } cases[] = {
        {L"", L";", {}},
        {L";;, ;", L"; ,", {}},
        {L"one", L";", {L"one"}},
        {L"one", L"", {L"one"}},
        {L";a;;b, c;", L"; ,", {L"a", L"b", L"c"}},
        {L".dwg .DXF\t.pdf", L" \t", {L".dwg", L".DXF", L".pdf"}},
    };
    for (const auto& c : cases) {
        ffm::StrTok tok(c.text, c.delimiters);
        std::vector<std::wstring> got;
        std::wstring token;
        while (tok.Next(token))
            got.push_back(token);
        EXPECT_EQ(got, c.tokens) << ffmtest::Utf8(c.text);
        EXPECT_FALSE(tok.Next(token));
    }
}

TEST(BinBlock, SizesDataAndCopies) {
    const char bytes[] = {1, 2, 3, 4};
    EXPECT_EQ(ffm::BinBlock(bytes, 0).Data(), nullptr);
    EXPECT_EQ(ffm::BinBlock(bytes, -5).Size(), 0);
    const ffm::BinBlock zeros(nullptr, 3);
    ASSERT_EQ(zeros.Size(), 3);
    EXPECT_EQ(std::memcmp(zeros.Data(), "\0\0\0", 3), 0);

    ffm::BinBlock a(bytes, 4), b(a), c;
    c = a;
    a = ffm::BinBlock(bytes, 2);
    EXPECT_NE(b.Data(), c.Data());
    for (const auto* block : {&b, &c})
        EXPECT_TRUE(block->Size() == 4 && std::memcmp(block->Data(), bytes, 4) == 0);
}
