#include "plugins/Registry.h"
#include "plugins/RegistryKey.h"
#include "support/Raised.h"
#include "support/Sandbox.h"
#include <FileFmtMgr/ResultCodes.h>
#include <gtest/gtest.h>

using ffmtest::Raised;
using ffmtest::RegistrySandbox;

namespace {

const std::wstring kKey = std::wstring(kVendorRoot) + L"\\KeyTest";

class RegistryKeyTest : public ffmtest::SandboxedTest {
  protected:
    void OpenTestKey() {
        RegistrySandbox::CreateKey(HKEY_LOCAL_MACHINE, kKey);
        key.mvOpen(HKEY_LOCAL_MACHINE, KEY_READ, L"%ls\\%ls", kVendorRoot, L"KeyTest");
    }
    RegistryKey key;
};

// Formatting, opening below a parent and enumerating are covered through the registration store.
TEST_F(RegistryKeyTest, FailuresRaiseAndLeaveTheKeyAndTheNameAlone) {
    const std::wstring tooLong(260, L't'); // no room for the terminator
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kKey, tooLong.c_str(), L"old");
    OpenTestKey();
    EXPECT_EQ(Raised([&] { key.mvOpen(HKEY_LOCAL_MACHINE, KEY_READ, L"%ls\\Missing", kKey.c_str()); }),
              ffm::FFM_E_REG_OPEN);
    std::wstring name = L"kept";
    EXPECT_EQ(Raised([&] { key.mbEnumValueName(0, name); }), ffm::FFM_E_REG_READ);
    EXPECT_EQ(name, L"kept");
    EXPECT_EQ(key.moGetString(tooLong.c_str()), L"old");
}

// Each value is read both ways, so every row also checks that the other type is refused. Text past
// the byte count keeps the registry from adding a terminator it thinks was forgotten.
TEST_F(RegistryKeyTest, StringsAreTerminatedWhereStoredDataIsNotMultiStringsMustBeWhole) {
    const DWORD number = 0x01020304;
    const struct {
        DWORD type;
        std::wstring data;
        DWORD bytes;
        const wchar_t* text;             // moGetString; null: raises
        std::list<std::wstring> strings; // appended by mvGetMultiStringList; empty: raises
    } cases[] = {
        {REG_SZ, std::wstring(L"text\0", 5), 10, L"text", {}},
        {REG_EXPAND_SZ, std::wstring(L"%TEMP%\\x\0", 9), 18, L"%TEMP%\\x", {}}, // not expanded
        {REG_SZ, L"X", 0, L"", {}},
        {REG_SZ, std::wstring(L"a\0b\0", 4), 8, L"a", {}},
        {REG_SZ, L"abXX", 5, L"abX", {}},      // odd byte count: the last byte is a character of its own
        {REG_EXPAND_SZ, L"abX", 4, L"ab", {}}, // unterminated
        {REG_DWORD, std::wstring(reinterpret_cast<const wchar_t*>(&number), 2), 4, nullptr, {}},
        {REG_MULTI_SZ, std::wstring(L"A\0B\0\0", 5), 10, nullptr, {L"A", L"B"}},
        {REG_MULTI_SZ, std::wstring(L"\0", 1), 2, nullptr, {L""}},
        {REG_MULTI_SZ, std::wstring(L"\0\0", 2), 4, nullptr, {L""}},
        {REG_MULTI_SZ, std::wstring(L"A\0\0B\0\0", 7), 14, nullptr, {L"A"}},
        {REG_MULTI_SZ, std::wstring(L"\0A\0\0", 4), 8, nullptr, {L""}},
        {REG_MULTI_SZ, L"X", 0, nullptr, {}},
        {REG_MULTI_SZ, std::wstring(L"A\0\0X", 4), 7, nullptr, {}}, // odd byte count
        {REG_MULTI_SZ, std::wstring(L"A\0B\0", 4), 8, nullptr, {}}, // one final NUL
        {REG_MULTI_SZ, std::wstring(L"A\0BX", 4), 6, nullptr, {}},
        {REG_MULTI_SZ, L"AX", 2, nullptr, {}}, // a single character
    };
    OpenTestKey();
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        RegistrySandbox::SetRaw(HKEY_LOCAL_MACHINE, kKey, L"v", c.type, c.data.data(), c.bytes);
        std::wstring text = L"unchanged";
        EXPECT_EQ(Raised([&] { text = key.moGetString(L"v"); }), c.text ? S_OK : ffm::FFM_E_REG_READ);
        EXPECT_EQ(text, c.text ? c.text : L"unchanged");
        std::list<std::wstring> list{L"kept"}, expected = c.strings;
        expected.push_front(L"kept");
        EXPECT_EQ(Raised([&] { key.mvGetMultiStringList(L"v", list); }),
                  c.strings.empty() ? ffm::FFM_E_REG_READ : S_OK);
        EXPECT_EQ(list, expected);
    }
    std::list<std::wstring> list;
    EXPECT_EQ(Raised([&] { key.moGetString(L"missing"); }), ffm::FFM_E_REG_READ);
    EXPECT_EQ(Raised([&] { key.mvGetMultiStringList(L"missing", list); }), ffm::FFM_E_REG_READ);
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kKey, L"", L"component");
    EXPECT_EQ(key.moGetString(L""), L"component");
    EXPECT_EQ(key.moGetString(nullptr), L"component");
}

} // namespace
