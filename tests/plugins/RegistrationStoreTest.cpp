#include <FileFmtMgr/FileFmtRegistryAccess.h>
#include "plugins/Registry.h"
#include "support/FakeCom.h"
#include "support/Sandbox.h"
#include <FileFmtMgr/ComError.h>
#include <cstdio>
#include <gtest/gtest.h>
#include <tuple>
#include <vector>

using ffmtest::RegistrySandbox;

namespace {

const HKEY kMachine = HKEY_LOCAL_MACHINE;
const std::wstring kFormats = std::wstring(kVendorRoot) + L"\\FileFormats";

using Record = std::tuple<std::wstring, std::wstring, unsigned long>;

std::wstring Text(const ffm::SpStr& s) {
    return s.W() ? s.W() : L"";
}

std::vector<Record> RecordsOf(FileFmtRegistryAccess& store) {
    ExtensionRecordList list;
    store.GetExtensionRecords(list);
    std::vector<Record> out;
    for (const auto& r : list)
        out.emplace_back(Text(r.moExtension), Text(r.moPluginName), r.mlMask);
    return out;
}

std::vector<std::wstring> PluginNamesOf(FileFmtRegistryAccess& store) {
    FileFormatPluginList list;
    store.GetPlugins(list);
    std::vector<std::wstring> out;
    for (const auto& p : list)
        out.push_back(Text(p->mbsName));
    return out;
}

std::wstring UniqueProgId() {
    wchar_t text[40];
    swprintf(text, 40, L"FfmStoreTest.%08lX", static_cast<unsigned long>(ffmtest::NewClsid().Data1));
    return text;
}

// COM reads ProgIDs from the real HKEY_CLASSES_ROOT, which the sandbox leaves alone, so the
// registration goes there under a unique name and is removed however the test ends.
class RegisteredProgId {
  public:
    RegisteredProgId() {
        try {
            RegistrySandbox::SetString(HKEY_CLASSES_ROOT, name + L"\\CLSID", L"",
                                       ffmtest::ClsidText(ffmtest::NewClsid()));
        } catch (...) {
            RegDeleteTreeW(HKEY_CLASSES_ROOT, name.c_str());
            throw;
        }
    }
    RegisteredProgId(const RegisteredProgId&) = delete;
    RegisteredProgId& operator=(const RegisteredProgId&) = delete;
    ~RegisteredProgId() { RegDeleteTreeW(HKEY_CLASSES_ROOT, name.c_str()); }
    const std::wstring name = UniqueProgId();
};

class RegistrationStoreTest : public ffmtest::SandboxedTest {
  protected:
    static void Plugin(const std::wstring& name, const std::wstring& clsid, const std::wstring& component) {
        RegistrySandbox::SetString(kMachine, kFormats + L"\\" + name, L"", component);
        RegistrySandbox::SetString(kMachine, kFormats + L"\\" + name, L"CLSID", clsid);
    }
    static void Capability(const std::wstring& extension, const std::wstring& mask,
                           const std::vector<std::wstring>& candidates) {
        RegistrySandbox::SetMultiString(kMachine, kFormats + L"\\" + extension, mask.c_str(), candidates);
    }
    static void Raw(const std::wstring& key, const wchar_t* name, DWORD type, const std::wstring& data,
                    DWORD bytes) {
        RegistrySandbox::SetRaw(kMachine, kFormats + L"\\" + key, name, type, data.data(), bytes);
    }
};

TEST_F(RegistrationStoreTest, PluginKeysNeedAComponentAndAParsableClsid) {
    const CLSID a = ffmtest::NewClsid(), b = ffmtest::NewClsid(), c = ffmtest::NewClsid();
    Plugin(L"A.dll", ffmtest::ClsidText(a), L"{COMPONENT-A}");
    Plugin(L"B.exe", ffmtest::ClsidText(b, false), L"");
    Plugin(L"C.dll", L"{{" + ffmtest::ClsidText(c, false) + L"}", L"c");
    Plugin(L"D.dll", L"{not-a-guid}", L"d");
    Plugin(L"E.dll", ffmtest::ClsidText(a, false) + L"0", L"e");
    RegistrySandbox::SetString(kMachine, kFormats + L"\\F.dll", L"CLSID", ffmtest::ClsidText(a));
    Plugin(L"G.dll", ffmtest::ClsidText(a), L"g");
    Raw(L"G.dll", L"", REG_SZ, L"gX", 2); // default value without its terminator
    Plugin(L"H.dll", L"", L"h");
    Plugin(L"{I}", ffmtest::ClsidText(a), L"i");

    FileFmtRegistryAccess store;
    FileFormatPluginList plugins;
    store.GetPlugins(plugins);
    ASSERT_EQ(plugins.size(), 3u);
    const std::vector<std::tuple<std::wstring, CLSID, std::wstring>> expected = {
        {L"A.dll", a, L"{COMPONENT-A}"}, {L"B.exe", b, L""}, {L"C.dll", c, L"c"}};
    auto it = plugins.begin();
    for (const auto& [name, clsid, component] : expected) {
        const FileFormatPlugin& p = **it++;
        EXPECT_EQ(Text(p.mbsName), name);
        EXPECT_TRUE(IsEqualGUID(p.moClsid, clsid)) << ffmtest::Utf8(name);
        EXPECT_EQ(Text(p.mbsComponent), component);
    }
}

TEST_F(RegistrationStoreTest, AtCandidateCountsOnlyWithARegisteredProgIdAndSolidEdgeKeepsAll) {
    const RegisteredProgId registered;
    const std::wstring missing = UniqueProgId();
    Capability(L".DFT", L"1", {L"A@" + registered.name, L"B"});
    Capability(L".dwg", L"1", {L"A@" + registered.name, L"B"});
    Capability(L".dxf", L"1", {L"A@" + missing, L"B"});
    Capability(L".par", L"1", {L"A@" + registered.name, L"B"});
    Capability(L".psm", L"1", {L"A@" + missing, L"B"});
    Capability(L".x.pcf", L"1", {L"A", L"B"});
    Capability(L".pcfx", L"1", {L"A", L"B"});

    FileFmtRegistryAccess store;
    const std::vector<Record> expected = {
        {L".DFT", L"A", 1},   {L".DFT", L"B", 1},   {L".dwg", L"A", 1},  {L".dxf", L"B", 1},
        {L".par", L"A", 1},   {L".par", L"B", 1},   {L".pcfx", L"A", 1}, {L".psm", L"B", 1},
        {L".x.pcf", L"A", 1}, {L".x.pcf", L"B", 1},
    };
    EXPECT_EQ(RecordsOf(store), expected);
}

TEST_F(RegistrationStoreTest, CapabilityValuesKeepValueOrderAndSkipWhatIsNotAMultiString) {
    // Created in name order: the registry may enumerate values by creation or by name.
    const std::wstring key = L".stp";
    Capability(key, L"", {L"Default"});
    Capability(key, L" 12abc", {L"P"});
    RegistrySandbox::SetString(kMachine, kFormats + L"\\" + key, L"1", L"Plain");
    Capability(key, L"16384", {L"P"});
    Raw(key, L"2", REG_MULTI_SZ, std::wstring(L"Odd\0\0X", 6), 11);
    Raw(key, L"3", REG_MULTI_SZ, std::wstring(L"One\0Nul\0", 8), 16);
    Capability(key, L"4", {L"P"});
    Capability(key, L"5", {L"@Lead", L"Q"});
    Capability(key, L"6", {L"Tail@", L"Q"});
    Capability(key, L"8", {L"First", L"", L"Hidden"});
    Capability(key, L"x7", {L"P"});

    FileFmtRegistryAccess store;
    const std::vector<Record> expected = {
        {key, L"P", 12},    {key, L"P", 0x4000}, {key, L"P", 4}, {key, L"@Lead", 5},
        {key, L"Tail@", 6}, {key, L"First", 8},  {key, L"P", 0},
    };
    EXPECT_EQ(RecordsOf(store), expected);
}

TEST_F(RegistrationStoreTest, OverlongValueNameDropsOnlyTheRestOfItsExtensionKey) {
    // Sorts between "1" and "2" whether values enumerate by creation or by name.
    const std::wstring overlong = L"1" + std::wstring(299, L'x');
    Capability(L".aaa", L"1", {L"Before"});
    Capability(L".aaa", overlong, {L"Overlong"});
    Capability(L".aaa", L"2", {L"After"});
    Capability(L".bbb", L"1", {L"Other"});
    Capability(L".SE.par", L"1", {L"Solid", L"Edge"});
    Capability(L".SE.par", overlong, {L"Overlong"});

    FileFmtRegistryAccess store;
    const std::vector<Record> expected = {
        {L".aaa", L"Before", 1}, {L".bbb", L"Other", 1}, {L".SE.par", L"Solid", 1}, {L".SE.par", L"Edge", 1}};
    EXPECT_EQ(RecordsOf(store), expected);
}

TEST_F(RegistrationStoreTest, ReadsTheRegistryOnceAndSharesItsRecords) {
    Plugin(L"A.dll", ffmtest::ClsidText(ffmtest::NewClsid()), L"");
    Capability(L".dwg", L"1", {L"A.dll"});

    FileFmtRegistryAccess store;
    const std::vector<Record> before = RecordsOf(store);
    Plugin(L"B.dll", ffmtest::ClsidText(ffmtest::NewClsid()), L"");
    Capability(L".dxf", L"1", {L"B.dll"});
    RegDeleteTreeW(kMachine, (kFormats + L"\\.dwg").c_str());

    EXPECT_EQ(RecordsOf(store), before);
    EXPECT_EQ(PluginNamesOf(store), std::vector<std::wstring>{L"A.dll"});

    FileFormatPluginList first, second{std::make_shared<FileFormatPlugin>()};
    store.GetPlugins(first);
    store.GetPlugins(second);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first.front().get(), second.front().get());

    FileFmtRegistryAccess fresh;
    EXPECT_EQ(PluginNamesOf(fresh), (std::vector<std::wstring>{L"A.dll", L"B.dll"}));
    EXPECT_EQ(RecordsOf(fresh), std::vector<Record>{Record(L".dxf", L"B.dll", 1)});
}

TEST_F(RegistrationStoreTest, MissingFormatsKeyGivesEmptyListsAndTheStoreIsAStackObject) {
    FileFmtRegistryAccess store;
    FileFormatPluginList plugins{std::make_shared<FileFormatPlugin>()};
    ExtensionRecordList records{ExtensionRecord{}};
    store.GetPlugins(plugins);
    store.GetExtensionRecords(records);
    EXPECT_TRUE(plugins.empty());
    EXPECT_TRUE(records.empty());

    unsigned long a = 0xdeadbeef, b = 0xdeadbeef;
    EXPECT_EQ(store.GetFormatContext(&a, &b), S_OK);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(b, 0u);
    void* out = &a;
    EXPECT_EQ(store.QueryInterface(IID_IUnknown, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(store.AddRef(), 0u);
    EXPECT_EQ(store.Release(), 0u);
}

// Registry failures are absorbed, so an allocation failure must not be: each run either
// reports it or delivers everything.
TEST_F(RegistrationStoreTest, AllocationFailureEscapesInsteadOfShorteningTheLists) {
    const RegisteredProgId registered;
    Plugin(L"A.dll", ffmtest::ClsidText(ffmtest::NewClsid()), L"{C}");
    Plugin(L"B.dll", ffmtest::ClsidText(ffmtest::NewClsid()), L"");
    Capability(L".dwg", L"1", {L"A.dll@" + registered.name, L"B.dll"});
    Capability(L".par", L"4", {L"A.dll", L"B.dll"});
    FileFmtRegistryAccess reference;
    const std::vector<std::wstring> allPlugins = PluginNamesOf(reference);
    const std::vector<Record> allRecords = RecordsOf(reference);
    ASSERT_EQ(allRecords.size(), 3u);

    const int points = ffmtest::ForEachAllocationFailure([&](int) {
        FileFmtRegistryAccess store;
        FileFormatPluginList plugins;
        ExtensionRecordList records;
        try {
            store.GetPlugins(plugins);
            store.GetExtensionRecords(records);
        } catch (const std::bad_alloc&) {
            return;
        } catch (const ffm::ComError& e) {
            EXPECT_EQ(e.Error(), E_OUTOFMEMORY);
            return;
        }
        EXPECT_EQ(plugins.size(), allPlugins.size());
        EXPECT_EQ(records.size(), allRecords.size());
    });
    EXPECT_GT(points, 10);
}

} // namespace
