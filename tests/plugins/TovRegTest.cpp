#include "UserHiveBlocker.h"
#include "foundation/Handles.h"
#include "plugins/TovReg.h"
#include "support/Sandbox.h"
#include <FileFmtMgr/ResultCodes.h>
#include <gtest/gtest.h>
#include <vector>

using ffm::UniqueBstr;
using ffmtest::RegistrySandbox;

namespace {

const std::wstring kPlugins = std::wstring(kVendorRoot) + L"\\FileFormatPlugins";
const std::wstring kMordane = kPlugins + L"\\MORDANE";

std::vector<BYTE> Utf16(const std::wstring& text, size_t extraBytes = 0) {
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
        return hr == ffm::FFM_E_REG_VALUE_MISSING && !out ? L"<missing>" : ffmtest::HexCode(hr);
    return std::wstring(out.get(), SysStringLen(out.get()));
}

class TovRegTest : public ffmtest::SandboxedTest {};

} // namespace

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
        {REG_MULTI_SZ, Utf16(L"a", 4), missing, 42, L"<missing>"},
        {REG_SZ, Utf16(L"12", 2), missing, 42, L"12"},
        {REG_SZ, Utf16(L"abc"), missing, 42, L"abc"},
        {REG_SZ, {'a', 0, 'b', 0, 'c', 0, 'd'}, missing, 42, L"abcd"}, // odd byte: one more character
        {REG_SZ, {}, missing, 42, L""},
        {REG_SZ, Utf16(L"%TEMP%\\x", 2), missing, 42, L"%TEMP%\\x"},
        {REG_EXPAND_SZ, Utf16(L"%TEMP%\\x"), missing, 42, std::wstring(temp) + L"\\x"},
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
    ffmtest::BlockUserHive();
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
    const int points = ffmtest::ForEachAllocationFailure([&](int point) {
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
