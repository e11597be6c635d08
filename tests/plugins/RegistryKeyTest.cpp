#include "plugins/Registry.h"
#include "plugins/RegistryKey.h"
#include "support/Sandbox.h"
#include <FileFmtMgr/ComError.h>
#include <FileFmtMgr/ResultCodes.h>
#include <functional>
#include <gtest/gtest.h>

using ffmtest::RegistrySandbox;

namespace {

const std::wstring kKey = std::wstring(kVendorRoot) + L"\\KeyTest";

HRESULT CodeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const ffm::ComError& e) {
        return e.Error();
    }
    return S_OK;
}

// Raw value data; text past `bytes` keeps the registry from adding a terminator it thinks
// was forgotten.
struct RawValue {
    const char* label;
    DWORD type;
    std::wstring data;
    DWORD bytes;
};

void Store(const RawValue& v) {
    RegistrySandbox::SetRaw(HKEY_LOCAL_MACHINE, kKey, L"v", v.type, v.data.data(), v.bytes);
}

class RegistryKeyTest : public ffmtest::SandboxedTest {
  protected:
    void OpenTestKey() {
        RegistrySandbox::CreateKey(HKEY_LOCAL_MACHINE, kKey);
        key.mvOpen(HKEY_LOCAL_MACHINE, KEY_READ, L"%ls\\%ls", kVendorRoot, L"KeyTest");
    }
    RegistryKey key;
};

TEST_F(RegistryKeyTest, OpenFormatsThePathAndKeepsTheOldKeyWhenItFails) {
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kKey + L"\\A", L"n", L"a");
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kKey + L"\\B", L"n", L"b");
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kKey + L"\\100%d", L"n", L"percent");

    key.mvOpen(HKEY_LOCAL_MACHINE, KEY_READ, L"%ls\\KeyTest\\%ls", kVendorRoot, L"A");
    EXPECT_EQ(key.moGetString(L"n"), L"a");
    key.mvOpen(HKEY_LOCAL_MACHINE, KEY_READ | KEY_WOW64_64KEY, L"%ls\\KeyTest\\%c", kVendorRoot, L'B');
    EXPECT_EQ(key.moGetString(L"n"), L"b");
    EXPECT_EQ(key.mlViewFlags(), static_cast<REGSAM>(KEY_WOW64_64KEY));

    EXPECT_EQ(CodeOf([&] { key.mvOpen(HKEY_LOCAL_MACHINE, KEY_READ, L"%ls\\Missing", kKey.c_str()); }),
              ffm::FFM_E_REG_OPEN);
    EXPECT_EQ(key.moGetString(L"n"), L"b");

    RegistryKey parent;
    parent.mvOpen(HKEY_LOCAL_MACHINE, KEY_READ, L"%ls", kKey.c_str());
    key.mvOpen(parent.mhKey(), KEY_READ, L"%ls", L"100%d");
    EXPECT_EQ(key.moGetString(L"n"), L"percent");
}

TEST_F(RegistryKeyTest, EnumerationEndsWithFalseAndRaisesForNamesBeyondTheBuffer) {
    RegistrySandbox::CreateKey(HKEY_LOCAL_MACHINE, kKey + L"\\A");
    RegistrySandbox::CreateKey(HKEY_LOCAL_MACHINE, kKey + L"\\B");
    const std::wstring longest(259, L'n'), tooLong(260, L't');
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kKey, L"first", L"");
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kKey, longest.c_str(), L"");
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kKey, tooLong.c_str(), L"");
    OpenTestKey();

    std::wstring name;
    ASSERT_TRUE(key.mbEnumSubKey(0, name));
    EXPECT_EQ(name, L"A");
    ASSERT_TRUE(key.mbEnumSubKey(1, name));
    EXPECT_EQ(name, L"B");
    EXPECT_FALSE(key.mbEnumSubKey(2, name));
    EXPECT_EQ(name, L"B");

    ASSERT_TRUE(key.mbEnumValueName(0, name));
    EXPECT_EQ(name, L"first");
    ASSERT_TRUE(key.mbEnumValueName(1, name));
    EXPECT_EQ(name, longest);
    EXPECT_EQ(CodeOf([&] { key.mbEnumValueName(2, name); }), ffm::FFM_E_REG_READ);
    EXPECT_EQ(name, longest);
    EXPECT_FALSE(key.mbEnumValueName(3, name));
}

TEST_F(RegistryKeyTest, GetStringTakesOnlyWholeTerminatedTexts) {
    const DWORD temp = 0x01020304;
    const RawValue cases[] = {
        {"plain", REG_SZ, std::wstring(L"text\0", 5), 10},
        {"expandable stays unexpanded", REG_EXPAND_SZ, std::wstring(L"%TEMP%\\x\0", 9), 18},
        {"no data", REG_SZ, L"X", 0},
        {"stops at the first NUL", REG_SZ, std::wstring(L"a\0b\0", 4), 8},
        {"odd byte count", REG_SZ, L"abXX", 5},
        {"unterminated", REG_SZ, L"abX", 4},
        {"multi-string", REG_MULTI_SZ, std::wstring(L"a\0\0", 3), 6},
        {"number", REG_DWORD, std::wstring(reinterpret_cast<const wchar_t*>(&temp), 2), 4},
    };
    const wchar_t* expected[] = {L"text", L"%TEMP%\\x", L"", L"a", nullptr, nullptr, nullptr, nullptr};
    OpenTestKey();
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].label);
        Store(cases[i]);
        std::wstring text = L"unchanged";
        const HRESULT hr = CodeOf([&] { text = key.moGetString(L"v"); });
        if (expected[i]) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(text, expected[i]);
        } else {
            EXPECT_EQ(hr, ffm::FFM_E_REG_READ);
        }
    }
    EXPECT_EQ(CodeOf([&] { key.moGetString(L"missing"); }), ffm::FFM_E_REG_READ);
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kKey, L"", L"component");
    EXPECT_EQ(key.moGetString(L""), L"component");
    EXPECT_EQ(key.moGetString(nullptr), L"component");
}

TEST_F(RegistryKeyTest, MultiStringAppendsUpToTheFirstEmptyStringOrRaises) {
    const RawValue cases[] = {
        {"two strings", REG_MULTI_SZ, std::wstring(L"A\0B\0\0", 5), 10},
        {"single NUL", REG_MULTI_SZ, std::wstring(L"\0", 1), 2},
        {"empty multi-string", REG_MULTI_SZ, std::wstring(L"\0\0", 2), 4},
        {"empty string inside", REG_MULTI_SZ, std::wstring(L"A\0\0B\0\0", 7), 14},
        {"empty first string", REG_MULTI_SZ, std::wstring(L"\0A\0\0", 4), 8},
        {"no data", REG_MULTI_SZ, L"X", 0},
        {"odd byte count", REG_MULTI_SZ, std::wstring(L"A\0\0X", 4), 7},
        {"single final NUL", REG_MULTI_SZ, std::wstring(L"A\0B\0", 4), 8},
        {"unterminated", REG_MULTI_SZ, std::wstring(L"A\0BX", 4), 6},
        {"single character", REG_MULTI_SZ, L"AX", 2},
        {"plain string", REG_SZ, std::wstring(L"A\0\0", 3), 6},
    };
    const std::list<std::wstring> raises;
    const std::list<std::wstring> expected[] = {{L"A", L"B"}, {L""},  {L""},  {L"A"}, {L""}, raises,
                                                raises,       raises, raises, raises, raises};
    OpenTestKey();
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].label);
        Store(cases[i]);
        std::list<std::wstring> list{L"kept"};
        const HRESULT hr = CodeOf([&] { key.mvGetMultiStringList(L"v", list); });
        EXPECT_EQ(hr, expected[i].empty() ? ffm::FFM_E_REG_READ : S_OK);
        std::list<std::wstring> want{L"kept"};
        want.insert(want.end(), expected[i].begin(), expected[i].end());
        EXPECT_EQ(list, want);
    }
    std::list<std::wstring> list;
    EXPECT_EQ(CodeOf([&] { key.mvGetMultiStringList(L"missing", list); }), ffm::FFM_E_REG_READ);
}

} // namespace
