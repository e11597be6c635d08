#include "UserHiveBlocker.h"
#include "foundation/Handles.h"
#include "plugins/TovReg.h"
#include "support/Sandbox.h"

#include <FileFmtMgr/ResultCodes.h>
#include <gtest/gtest.h>

using ffm::UniqueBstr;
using ffmtest::RegistrySandbox;

namespace {

const std::wstring kPlugins = std::wstring(kVendorRoot) + L"\\FileFormatPlugins";
const std::wstring kMordane = kPlugins + L"\\MORDANE";

class TovRegTest : public ffmtest::SandboxedTest {
  protected:
    static UniqueBstr Bstr(const wchar_t* text) { return UniqueBstr(SysAllocString(text)); }
    static HRESULT GetString(ITovRegistry* reg, const wchar_t* name, std::wstring& text) {
        UniqueBstr out;
        const HRESULT hr = reg->GetStringValue(Bstr(name).get(), out.put());
        text = out ? std::wstring(out.get(), SysStringLen(out.get())) : L"<null>";
        return hr;
    }
};

} // namespace

TEST_F(TovRegTest, QueryInterfaceCountsAndRefusesOtherInterfaces) {
    ffm::ComPtr<ITovRegistry> reg = TovReg::Create(L"MORDANE");
    ASSERT_TRUE(reg);
    EXPECT_EQ(2u, reg->AddRef()) << "created with one reference";
    EXPECT_EQ(1u, reg->Release());

    for (const IID& iid : {IID_IUnknown, __uuidof(ITovRegistry)}) {
        void* out = nullptr;
        ASSERT_EQ(S_OK, reg->QueryInterface(iid, &out));
        EXPECT_EQ(static_cast<IUnknown*>(reg.get()), out);
        EXPECT_EQ(1u, static_cast<IUnknown*>(out)->Release()) << "the query added one reference";
    }
    for (const IID& iid : {IID_IDispatch, IID_IClassFactory, __uuidof(ITovCallback)}) {
        void* out = reinterpret_cast<void*>(0xdeadbeef);
        EXPECT_EQ(E_NOINTERFACE, reg->QueryInterface(iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(E_POINTER, reg->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(0u, reg.detach()->Release());
}

TEST_F(TovRegTest, ValuesRoundTripUnderThePluginSubkey) {
    ffm::ComPtr<ITovRegistry> reg = TovReg::Create(L"MORDANE");
    EXPECT_EQ(S_OK, reg->SetIntValue(Bstr(L"Count").get(), -7));
    EXPECT_EQ(S_OK, reg->SetStringValue(Bstr(L"Name").get(), Bstr(L"Ä text").get()));

    long number = 0;
    std::wstring text;
    EXPECT_EQ(S_OK, reg->GetIntValue(Bstr(L"Count").get(), &number));
    EXPECT_EQ(S_OK, GetString(reg.get(), L"Name", text));
    EXPECT_EQ(-7, number);
    EXPECT_EQ(L"Ä text", text);

    // Where a plug-in's values live is part of the installed layout.
    DWORD raw = 0, size = sizeof(raw);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, kMordane.c_str(), L"Count", RRF_RT_REG_DWORD,
                                          nullptr, &raw, &size));
    EXPECT_EQ(static_cast<DWORD>(-7), raw);
    DWORD type = 0;
    size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, kMordane.c_str(), L"Name",
                                          RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(14u, size) << "six characters and the terminator";
}

TEST_F(TovRegTest, EmptySubkeyNameWorksOnThePluginsKeyItself) {
    ffm::ComPtr<ITovRegistry> reg = TovReg::Create(L"");
    ASSERT_EQ(S_OK, reg->SetIntValue(Bstr(L"Shared").get(), 5));
    DWORD raw = 0, size = sizeof(raw);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, kPlugins.c_str(), L"Shared", RRF_RT_REG_DWORD,
                                          nullptr, &raw, &size));
    EXPECT_EQ(5u, raw);
}

TEST_F(TovRegTest, HostileOrMissingValuesAreReportedMissing) {
    const BYTE threeBytes[] = {1, 2, 3};
    const BYTE eightBytes[] = {1, 0, 0, 0, 0, 0, 0, 0};
    const BYTE bigEndian[] = {0xFF, 0xFF, 0xFF, 0xFE};
    RegistrySandbox::SetRaw(HKEY_CURRENT_USER, kMordane, L"Short", REG_DWORD, threeBytes, 3);
    RegistrySandbox::SetRaw(HKEY_CURRENT_USER, kMordane, L"Long", REG_DWORD, eightBytes, 8);
    RegistrySandbox::SetRaw(HKEY_CURRENT_USER, kMordane, L"Big", REG_DWORD_BIG_ENDIAN, bigEndian, 4);
    RegistrySandbox::SetString(HKEY_CURRENT_USER, kMordane, L"Text", L"12");
    RegistrySandbox::SetString(HKEY_CURRENT_USER, kMordane, L"Path", L"%TEMP%", REG_EXPAND_SZ);
    ffm::ComPtr<ITovRegistry> reg = TovReg::Create(L"MORDANE");

    for (const wchar_t* name : {L"Short", L"Long", L"Text", L"Missing"}) {
        long number = 42;
        EXPECT_EQ(ffm::FFM_E_REG_VALUE_MISSING, reg->GetIntValue(Bstr(name).get(), &number)) << name;
        EXPECT_EQ(42, number) << "a plug-in's preset default survives: " << name;
    }
    long number = 0;
    EXPECT_EQ(S_OK, reg->GetIntValue(Bstr(L"Big").get(), &number));
    EXPECT_EQ(-2, number);

    std::wstring text;
    for (const wchar_t* name : {L"Short", L"Missing"})
        EXPECT_EQ(ffm::FFM_E_REG_VALUE_MISSING, GetString(reg.get(), name, text)) << name;
    EXPECT_EQ(S_OK, GetString(reg.get(), L"Path", text));
    EXPECT_EQ(std::wstring::npos, text.find(L'%')) << "expanded";

    EXPECT_EQ(E_POINTER, reg->GetIntValue(Bstr(L"Big").get(), nullptr));
    EXPECT_EQ(E_POINTER, reg->GetStringValue(Bstr(L"Path").get(), nullptr));
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
