#include "plugins/Registry.h"
#include "support/Sandbox.h"
#include <gtest/gtest.h>

using ffmtest::RegistrySandbox;

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
