// The registry wrappers: RegistryKey (the store's reader), Registry's machine switches, and TovReg,
// the registry object plug-ins get.
#include "UserHiveBlocker.h"
#include "plugins/Registry.h"
#include "plugins/RegistryKey.h"
#include "plugins/TovReg.h"
#include "support/Raised.h"
#include "support/Sandbox.h"
#include <FileFmtMgr/Handles.h>
#include <FileFmtMgr/ResultCodes.h>
#include <gtest/gtest.h>

using namespace ffmtest;
using ffm::UniqueBstr;

namespace {

const std::wstring kKey = std::wstring(kVendorRoot) + L"\\KeyTest";

class RegistryKeyTest : public SandboxedTest {
  protected:
    void OpenTestKey() {
        RegistrySandbox::CreateKey(HKEY_LOCAL_MACHINE, kKey);
        key.mvOpen(HKEY_LOCAL_MACHINE, KEY_READ, L"%ls\\%ls", kVendorRoot, L"KeyTest");
    }
    RegistryKey key;
};

// Formatting, opening below a parent and enumerating are covered through the registration store,
// and so is reading plain strings, which it does with its own stricter rule.
TEST_F(RegistryKeyTest, FailuresRaiseAndLeaveTheKeyAndTheNameAlone) {
    const std::wstring tooLong(260, L't'); // no room for the terminator
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kKey, tooLong.c_str(), L"old");
    OpenTestKey();
    EXPECT_EQ(Raised([&] { key.mvOpen(HKEY_LOCAL_MACHINE, KEY_READ, L"%ls\\Missing", kKey.c_str()); }),
              ffm::FFM_E_REG_OPEN);
    std::wstring name = L"kept";
    EXPECT_EQ(Raised([&] { key.mbEnumValueName(0, name); }), ffm::FFM_E_REG_READ);
    EXPECT_EQ(name, L"kept");
}

// Text past the byte count keeps the registry from adding a terminator it thinks was forgotten.
TEST_F(RegistryKeyTest, MultiStringsMustBeWhole) {
    const DWORD number = 0x01020304;
    const struct {
        DWORD type;
        std::wstring data;
        DWORD bytes;
        std::list<std::wstring> strings; // appended to the list; empty: raises
    } cases[] = {
        {REG_SZ, std::wstring(L"text\0", 5), 10, {}},
        {REG_DWORD, std::wstring(reinterpret_cast<const wchar_t*>(&number), 2), 4, {}},
        {REG_MULTI_SZ, std::wstring(L"A\0B\0\0", 5), 10, {L"A", L"B"}},
        {REG_MULTI_SZ, std::wstring(L"\0", 1), 2, {L""}},
        {REG_MULTI_SZ, std::wstring(L"\0\0", 2), 4, {L""}},
        {REG_MULTI_SZ, std::wstring(L"A\0\0B\0\0", 7), 14, {L"A"}},
        {REG_MULTI_SZ, std::wstring(L"\0A\0\0", 4), 8, {L""}},
        {REG_MULTI_SZ, L"X", 0, {}},
        {REG_MULTI_SZ, std::wstring(L"A\0\0X", 4), 7, {}}, // odd byte count
        {REG_MULTI_SZ, std::wstring(L"A\0B\0", 4), 8, {}}, // one final NUL
        {REG_MULTI_SZ, std::wstring(L"A\0BX", 4), 6, {}},
        {REG_MULTI_SZ, L"AX", 2, {}}, // a single character
    };
    OpenTestKey();
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        RegistrySandbox::SetRaw(HKEY_LOCAL_MACHINE, kKey, L"v", c.type, c.data.data(), c.bytes);
        std::list<std::wstring> list{L"kept"}, expected = c.strings;
        expected.push_front(L"kept");
        EXPECT_EQ(Raised([&] { key.mvGetMultiStringList(L"v", list); }),
                  c.strings.empty() ? ffm::FFM_E_REG_READ : S_OK);
        EXPECT_EQ(list, expected);
    }
    std::list<std::wstring> list;
    EXPECT_EQ(Raised([&] { key.mvGetMultiStringList(L"missing", list); }), ffm::FFM_E_REG_READ);
}

// Which data counts as a number is covered through TovReg, which reads with the same class.
TEST(Registry, MachineSwitchIsOnUnlessANumberSaysZero) {
    RegistrySandbox sandbox;
    const std::wstring ns = std::wstring(kVendorRoot) + L"\\Namespace";
    EXPECT_TRUE(gbReadMachineSwitch(L"BatchAttributes")) << "missing key";
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, ns, L"BatchAttributes", L"0");
    EXPECT_TRUE(gbReadMachineSwitch(L"BatchAttributes")) << "not a number";
    RegistrySandbox::SetDWord(HKEY_LOCAL_MACHINE, ns, L"BatchAttributes", 2);
    EXPECT_TRUE(gbReadMachineSwitch(L"BatchAttributes"));
    RegistrySandbox::SetDWord(HKEY_LOCAL_MACHINE, ns, L"BatchAttributes", 0);
    EXPECT_FALSE(gbReadMachineSwitch(L"BatchAttributes"));
    EXPECT_TRUE(gbReadMachineSwitch(L"UseSeparatedProcessing")) << "missing value";
}

const std::wstring kPlugins = std::wstring(kVendorRoot) + L"\\FileFormatPlugins";
const std::wstring kMordane = kPlugins + L"\\MORDANE";

std::vector<BYTE> Bytes(const std::wstring& text, size_t extraBytes = 0) {
    const auto* p = reinterpret_cast<const BYTE*>(text.data());
    std::vector<BYTE> bytes(p, p + text.size() * sizeof(wchar_t));
    bytes.resize(bytes.size() + extraBytes, 0);
    return bytes;
}

UniqueBstr Bstr(const wchar_t* text) {
    return UniqueBstr(SysAllocString(text));
}

// The text read, or "<missing>" when reported missing with nothing handed out.
std::wstring ReadText(ITovRegistry* reg, const wchar_t* name) {
    UniqueBstr out;
    const HRESULT hr = reg->GetStringValue(Bstr(name).get(), out.put());
    if (hr != S_OK)
        return hr == ffm::FFM_E_REG_VALUE_MISSING && !out ? L"<missing>" : HexCode(hr);
    return std::wstring(out.get(), SysStringLen(out.get()));
}

class TovRegTest : public SandboxedTest {};

// Where a plug-in's values live, and in which form, is part of the installed layout.
TEST_F(TovRegTest, ValuesRoundTripUnderThePluginSubkeyOrThePluginsKeyItself) {
    for (const wchar_t* subkey : {L"MORDANE", L""}) {
        ffm::ComPtr<ITovRegistry> reg = TovReg::Create(subkey);
        EXPECT_EQ(S_OK, reg->SetIntValue(Bstr(L"Count").get(), -7));
        EXPECT_EQ(S_OK, reg->SetStringValue(Bstr(L"Name").get(), Bstr(L"Ä text").get()));
        EXPECT_EQ(L"Ä text", ReadText(reg.get(), L"Name"));

        const std::wstring key = *subkey ? kMordane : kPlugins;
        DWORD raw = 0, type = 0, size = sizeof(raw);
        EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Count", RRF_RT_REG_DWORD,
                                              nullptr, &raw, &size));
        EXPECT_EQ(static_cast<DWORD>(-7), raw);
        size = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Name",
                                              RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size));
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
        EXPECT_EQ(14u, size) << "six characters and the terminator";
    }
}

// Hostile data: a number is exactly 4 bytes of a number type, in either byte order; a text is
// whatever REG_SZ or REG_EXPAND_SZ data holds, terminated or not, and expandable ones expand.
TEST_F(TovRegTest, ReadsWholeValuesAndReportsTheRestMissing) {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH), 0u);
    const HRESULT missing = ffm::FFM_E_REG_VALUE_MISSING;
    const struct {
        DWORD type;
        std::vector<BYTE> bytes;
        HRESULT numberResult;
        long number; // the preset 42 when missing
        std::wstring text;
    } cases[] = {
        {REG_DWORD, {0xF9, 0xFF, 0xFF, 0xFF}, S_OK, -7, L"<missing>"},
        {REG_DWORD_BIG_ENDIAN, {0xFF, 0xFF, 0xFF, 0xFE}, S_OK, -2, L"<missing>"},
        {REG_DWORD, {1, 0, 0}, missing, 42, L"<missing>"},
        {REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}, missing, 42, L"<missing>"},
        {REG_DWORD_BIG_ENDIAN, {0, 0, 0, 0, 0, 0, 0, 1}, missing, 42, L"<missing>"},
        {REG_BINARY, {1, 0, 0, 0}, missing, 42, L"<missing>"},
        {REG_MULTI_SZ, Bytes(L"a", 4), missing, 42, L"<missing>"},
        {REG_SZ, Bytes(L"12", 2), missing, 42, L"12"},
        {REG_SZ, Bytes(L"abc"), missing, 42, L"abc"},
        {REG_SZ, {'a', 0, 'b', 0, 'c', 0, 'd'}, missing, 42, L"abcd"}, // odd byte: one more character
        {REG_SZ, {}, missing, 42, L""},
        {REG_SZ, Bytes(L"%TEMP%\\x", 2), missing, 42, L"%TEMP%\\x"},
        {REG_EXPAND_SZ, Bytes(L"%TEMP%\\x"), missing, 42, std::wstring(temp) + L"\\x"},
    };
    ffm::ComPtr<ITovRegistry> reg = TovReg::Create(L"MORDANE");
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        RegistrySandbox::SetRaw(HKEY_CURRENT_USER, kMordane, L"v", c.type, c.bytes.data(),
                                static_cast<DWORD>(c.bytes.size()));
        long number = 42;
        EXPECT_EQ(c.numberResult, reg->GetIntValue(Bstr(L"v").get(), &number));
        EXPECT_EQ(c.number, number);
        EXPECT_EQ(c.text, ReadText(reg.get(), L"v"));
    }
    long number = 42;
    EXPECT_EQ(missing, reg->GetIntValue(Bstr(L"absent").get(), &number));
    EXPECT_EQ(L"<missing>", ReadText(reg.get(), L"absent"));
    EXPECT_EQ(E_POINTER, reg->GetIntValue(Bstr(L"v").get(), nullptr));
    EXPECT_EQ(E_POINTER, reg->GetStringValue(Bstr(L"v").get(), nullptr));
}

TEST_F(TovRegTest, ObjectWithoutKeyRefusesWrites) {
    BlockUserHive();
    ffm::ComPtr<ITovRegistry> reg = TovReg::Create(L"MORDANE");
    ASSERT_TRUE(reg) << "construction never fails";
    EXPECT_EQ(E_FAIL, reg->SetIntValue(Bstr(L"n").get(), 1));
    EXPECT_EQ(E_FAIL, reg->SetStringValue(Bstr(L"s").get(), Bstr(L"x").get()));
    long number = 0;
    EXPECT_EQ(ffm::FFM_E_REG_VALUE_MISSING, reg->GetIntValue(Bstr(L"n").get(), &number));
}

TEST_F(TovRegTest, StringCopyFailureGivesOutOfMemory) {
    RegistrySandbox::SetString(HKEY_CURRENT_USER, kMordane, L"Name", L"value");
    ffm::ComPtr<ITovRegistry> reg = TovReg::Create(L"MORDANE");
    const UniqueBstr name = Bstr(L"Name");
    const int points = ForEachAllocationFailure([&](int point) {
        BSTR out = reinterpret_cast<BSTR>(0x1);
        const HRESULT hr = reg->GetStringValue(name.get(), &out);
        if (hr == S_OK) {
            EXPECT_STREQ(L"value", out);
            SysFreeString(out);
        } else {
            EXPECT_EQ(E_OUTOFMEMORY, hr) << "point " << point;
            EXPECT_EQ(reinterpret_cast<BSTR>(0x1), out);
        }
    });
    EXPECT_GE(points, 2) << "the read buffer and the BSTR";
}

} // namespace
