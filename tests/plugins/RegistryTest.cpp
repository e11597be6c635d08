#include "plugins/Registry.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using ffmtest::RegistrySandbox;

namespace {

const std::wstring kKey = L"Software\\RegistryTest";

struct RawValue {
    const char* label;
    DWORD type;
    std::vector<BYTE> bytes;
};

std::vector<BYTE> Utf16Bytes(const std::wstring& text, size_t extraBytes = 0) {
    const auto* p = reinterpret_cast<const BYTE*>(text.data());
    std::vector<BYTE> bytes(p, p + text.size() * sizeof(wchar_t));
    bytes.resize(bytes.size() + extraBytes, 0);
    return bytes;
}

class RegistryRead : public ffmtest::SandboxedTest {
  protected:
    void Store(const RawValue& v) {
        RegistrySandbox::SetRaw(HKEY_CURRENT_USER, kKey, L"v", v.type, v.bytes.data(),
                                static_cast<DWORD>(v.bytes.size()));
    }
    Registry& Open() {
        RegistrySandbox::CreateKey(HKEY_CURRENT_USER, kKey);
        EXPECT_TRUE(key.mbOpen(HKEY_CURRENT_USER, kKey.c_str(), KEY_READ | KEY_WRITE));
        return key;
    }
    Registry key;
};

} // namespace

TEST_F(RegistryRead, DWordNeedsExactlyFourBytesOfANumberType) {
    struct Case {
        RawValue raw;
        bool found;
        DWORD value;
    };
    const Case cases[] = {
        {{"little-endian", REG_DWORD, {0x78, 0x56, 0x34, 0x12}}, true, 0x12345678},
        {{"big-endian", REG_DWORD_BIG_ENDIAN, {0x12, 0x34, 0x56, 0x78}}, true, 0x12345678},
        {{"3 bytes", REG_DWORD, {1, 0, 0}}, false, 0},
        {{"8 bytes", REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}}, false, 0},
        {{"big-endian 8 bytes", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 0, 0, 0, 0, 1}}, false, 0},
        {{"binary of 4 bytes", REG_BINARY, {1, 0, 0, 0}}, false, 0},
        {{"string", REG_SZ, Utf16Bytes(L"7", 2)}, false, 0},
    };
    Registry& reg = Open();
    for (const auto& c : cases) {
        Store(c.raw);
        DWORD value = 0xdeadbeef;
        EXPECT_EQ(c.found, reg.mbGetDWord(L"v", value)) << c.raw.label;
        EXPECT_EQ(c.found ? c.value : 0xdeadbeef, value) << c.raw.label;
    }
    DWORD value = 0;
    EXPECT_FALSE(reg.mbGetDWord(L"missing", value));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, reg.mlStatus());
}

TEST_F(RegistryRead, StringsReadWholeWhateverTheirTermination) {
    struct Case {
        RawValue raw;
        bool found;
        std::wstring text;
    };
    const Case cases[] = {
        {{"terminated", REG_SZ, Utf16Bytes(L"abc", 2)}, true, L"abc"},
        {{"unterminated", REG_SZ, Utf16Bytes(L"abc")}, true, L"abc"},
        // The odd byte becomes the low byte of one more character.
        {{"odd byte count", REG_SZ, {'a', 0, 'b', 0, 'c', 0, 'd'}}, true, L"abcd"},
        {{"empty, no bytes", REG_SZ, {}}, true, L""},
        {{"unterminated expandable", REG_EXPAND_SZ, Utf16Bytes(L"x%ffm_none%y")}, true, L"x%ffm_none%y"},
        {{"number", REG_DWORD, {1, 0, 0, 0}}, false, L"marker"},
        {{"multi-string", REG_MULTI_SZ, Utf16Bytes(L"a", 4)}, false, L"marker"},
    };
    Registry& reg = Open();
    for (const auto& c : cases) {
        Store(c.raw);
        std::wstring text = L"marker";
        EXPECT_EQ(c.found, reg.mbGetString(L"v", text)) << c.raw.label;
        EXPECT_EQ(c.text, text) << c.raw.label;
    }
}

TEST_F(RegistryRead, ExpandableStringsExpandPlainOnesDoNot) {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH), 0u);
    RegistrySandbox::SetString(HKEY_CURRENT_USER, kKey, L"expand", L"%TEMP%\\x", REG_EXPAND_SZ);
    RegistrySandbox::SetString(HKEY_CURRENT_USER, kKey, L"plain", L"%TEMP%\\x", REG_SZ);
    Registry& reg = Open();
    std::wstring expanded, plain;
    ASSERT_TRUE(reg.mbGetString(L"expand", expanded));
    ASSERT_TRUE(reg.mbGetString(L"plain", plain));
    EXPECT_EQ(std::wstring(temp) + L"\\x", expanded);
    EXPECT_EQ(L"%TEMP%\\x", plain);
}

TEST_F(RegistryRead, MachineSwitchIsOnUnlessAFourByteNumberSaysZero) {
    const std::wstring ns = std::wstring(kVendorRoot) + L"\\Namespace";
    struct Case {
        RawValue raw;
        bool on;
    };
    const Case cases[] = {
        {{"dword 0", REG_DWORD, {0, 0, 0, 0}}, false},
        {{"dword 2", REG_DWORD, {2, 0, 0, 0}}, true},
        {{"big-endian 0", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 0}}, false},
        {{"big-endian 1", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}}, true},
        {{"string 0", REG_SZ, Utf16Bytes(L"0", 2)}, true},
        {{"8-byte 0", REG_DWORD, {0, 0, 0, 0, 0, 0, 0, 0}}, true},
    };
    EXPECT_TRUE(gbReadMachineSwitch(L"BatchAttributes")) << "missing key";
    for (const auto& c : cases) {
        RegistrySandbox::SetRaw(HKEY_LOCAL_MACHINE, ns, L"BatchAttributes", c.raw.type, c.raw.bytes.data(),
                                static_cast<DWORD>(c.raw.bytes.size()));
        EXPECT_EQ(c.on, gbReadMachineSwitch(L"BatchAttributes")) << c.raw.label;
    }
    EXPECT_TRUE(gbReadMachineSwitch(L"UseSeparatedProcessing")) << "missing value";
}
