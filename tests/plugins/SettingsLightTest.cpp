#include "UserHiveBlocker.h"
#include "plugins/SettingsLight.h"
#include "support/Sandbox.h"
#include <gtest/gtest.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <vector>

using ffmtest::RegistrySandbox;

namespace {

const std::wstring kRoot = kVendorRoot;
const std::wstring kUserSettings = kRoot + L"\\Vaults\\_-Global\\Settings";

using Values = std::vector<std::pair<const wchar_t*, std::wstring>>;

void SetMachine(const Values& values) {
    for (const auto& [name, text] : values)
        RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kRoot, name, text);
}

std::wstring Read(HKEY hive, const std::wstring& key, const wchar_t* name) {
    wchar_t text[256] = L"<missing>";
    DWORD size = sizeof(text);
    RegGetValueW(hive, key.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &size);
    return text;
}

class SettingsLightTest : public ffmtest::SandboxedTest {};

} // namespace

// Every case on fresh, empty hives.
TEST(SettingsLightCases, PathsByKind) {
    struct Case {
        long kind;
        Values machine;
        std::wstring expected;
    };
    const Values vault = {{L"Location", L"C:\\Vault"}, {L"DefaultLanguage", L"DE"}};
    const Case cases[] = {
        {0, vault, L"C:\\Vault\\"},
        {5, {{L"Location", L""}}, L""},
        {1, {{L"SharedLocation", L"D:\\Share"}}, L"D:\\Share\\"},
        {4, {{L"SharedLocation", L"D:\\Share"}}, L"D:\\Share\\LanFiles\\"},
        {4, {{L"SharedLocation", L"D:\\Share"}, {L"LanFileDir", L"E:\\Lan"}}, L"E:\\Lan\\"},
        {6, {{L"SharedLocation", L"D:\\Share\\"}}, L"D:\\Share\\FileFormats\\InsoBin\\"},
        {8, vault, L"C:\\Vault\\Lang\\DE\\"},
        {8, {{L"LangDir", L"L:\\Lang"}, {L"DefaultLanguage", L"s"}}, L"L:\\Lang\\GB\\"},
        // The folder of each kind with a default, without and with its own value.
        {10, vault, L"C:\\Vault\\Default Data\\"},
        {10, {{L"DefaultDataDir", L"F:\\Data"}}, L"F:\\Data\\"},
        {11, vault, L"C:\\Vault\\Default Cards\\"},
        {11, {{L"DefaultCardDir", L"G:\\Cards"}}, L"G:\\Cards\\"},
        {13, vault, L"C:\\Vault\\Default Configurations\\"},
        {13, {{L"DefConfigDir", L"H:\\Conf\\"}}, L"H:\\Conf\\"},
        {12, {{L"SharedLocation", L"D:\\Share"}, {L"LanFileDir", L"E:\\Lan\\Files"}}, L"E:\\Lan\\"},
        {16, vault, L"C:\\Vault\\"},
        {12, {{L"SharedLocation", L"\\\\server\\share"}}, L"\\\\server\\share\\"},
        {13, {}, L"Default Configurations\\"},
        {14, vault, L"C:\\Vault\\Default Configurations\\VaultConfigurations.ini"},
        {17, vault, L""},
        {-1, vault, L""},
    };
    for (const auto& c : cases) {
        RegistrySandbox sandbox;
        SetMachine(c.machine);
        SettingsLight settings;
        EXPECT_EQ(c.expected, settings.moGetPath(c.kind)) << "kind " << c.kind;
    }
}

TEST_F(SettingsLightTest, CachedKindsKeepTheirFirstResultButRetryEmptyOnes) {
    SettingsLight settings;
    for (long kind : {Location, SharedLocation, Location64, Location32})
        EXPECT_EQ(L"", settings.moGetPath(kind)) << "no machine root yet, kind " << kind;

    const auto expectFirstPaths = [&] {
        for (long kind : {Location, Location2, Location5, Location64, Location32})
            EXPECT_EQ(L"C:\\One\\", settings.moGetPath(kind)) << "kind " << kind;
        EXPECT_EQ(L"D:\\One\\", settings.moGetPath(SharedLocation));
    };
    SetMachine({{L"Location", L"C:\\One"}, {L"SharedLocation", L"D:\\One"}, {L"LanFileDir", L"E:\\One"}});
    expectFirstPaths();
    SetMachine({{L"Location", L"C:\\Two"}, {L"SharedLocation", L"D:\\Two"}, {L"LanFileDir", L"E:\\Two"}});
    expectFirstPaths();
    EXPECT_EQ(L"E:\\Two\\", settings.moGetPath(LanFileDir)) << "not a cached kind";
    EXPECT_EQ(L"C:\\Two\\", SettingsLight().moGetPath(Location)) << "caches live per object";
}

TEST_F(SettingsLightTest, UserDataFolderIsMadeBelowLocalAppData) {
    ffmtest::TempFolder local;
    RegistrySandbox::SetString(HKEY_CURRENT_USER,
                               L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                               L"Local AppData", local.Path(), REG_EXPAND_SZ);
    std::wstring folder;
    ASSERT_TRUE(zbGetSpecialFolder(nullptr, folder, CSIDL_LOCAL_APPDATA, true));
    if (lstrcmpiW(folder.c_str(), local.Path().c_str()) != 0)
        GTEST_SKIP() << "the shell ignores the redirected hive for special folders";

    SettingsLight settings;
    const std::wstring expected = local.Path() + L"\\MORDANE\\MORDANE QVT\\";
    EXPECT_EQ(expected, settings.moGetPath(UserDataDir));
    EXPECT_TRUE(PathIsDirectoryW(expected.c_str()));
    EXPECT_EQ(expected, SettingsLight().moGetPath(UserDataDir)) << "existing folder";
}

TEST_F(SettingsLightTest, HelpFileFallsBackToEnglish) {
    ffmtest::TempFolder lang;
    SetMachine({{L"LangDir", lang.Path()}, {L"DefaultLanguage", L"DE"}});
    const std::wstring german = lang.Path() + L"\\DE\\FileExplorer.chm";
    const std::wstring english = lang.Path() + L"\\GB\\FileExplorer.chm";

    EXPECT_EQ(german, SettingsLight().moGetPath(HelpFile)) << "neither exists";
    lang.WriteFile(L"GB\\FileExplorer.chm", "en");
    EXPECT_EQ(english, SettingsLight().moGetPath(HelpFile));
    lang.WriteFile(L"DE\\FileExplorer.chm", "de");
    EXPECT_EQ(german, SettingsLight().moGetPath(HelpFile));
}

TEST(SettingsLightCases, LanguageResolutionAndPropagation) {
    const wchar_t* none = L"<missing>";
    struct Case {
        const char* label;
        const wchar_t* user;    // user "0" before
        const wchar_t* machine; // machine "DefaultLanguage" before
        const wchar_t* expected;
        const wchar_t* userAfter;
        const wchar_t* languageAfter; // user root "Language"
        const wchar_t* machineAfter;
    };
    const Case cases[] = {
        {"user value wins", L"FR", L"DE", L"FR", L"FR", none, L"DE"},
        {"lower-case s is ignored", L"s", L"DE", L"DE", L"DE", L"DE", L"DE"},
        {"machine S means GB", none, L"S", L"GB", L"GB", L"GB", L"GB"},
        {"machine value missing", none, none, L"GB", none, none, none},
    };
    for (const auto& c : cases) {
        RegistrySandbox sandbox;
        RegistrySandbox::CreateKey(HKEY_LOCAL_MACHINE, kRoot);
        if (c.user != none)
            RegistrySandbox::SetString(HKEY_CURRENT_USER, kUserSettings, L"0", c.user);
        if (c.machine != none)
            SetMachine({{L"DefaultLanguage", c.machine}});

        EXPECT_EQ(c.expected, SettingsLight().moGetLanguage()) << c.label;
        EXPECT_EQ(c.userAfter, Read(HKEY_CURRENT_USER, kUserSettings, L"0")) << c.label;
        EXPECT_EQ(c.languageAfter, Read(HKEY_CURRENT_USER, kRoot, L"Language")) << c.label;
        EXPECT_EQ(c.machineAfter, Read(HKEY_LOCAL_MACHINE, kRoot, L"DefaultLanguage")) << c.label;
    }
}

TEST_F(SettingsLightTest, LanguageIsGBWithoutAUserRootAndTheMachineIsLeftAlone) {
    SetMachine({{L"DefaultLanguage", L"DE"}});
    ffmtest::BlockUserHive();
    SettingsLight settings;
    EXPECT_EQ(nullptr, settings.mpoGetUserRoot());
    EXPECT_EQ(L"GB", settings.moGetLanguage());
    EXPECT_EQ(L"DE", Read(HKEY_LOCAL_MACHINE, kRoot, L"DefaultLanguage"));
}
