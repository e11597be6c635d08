#include <FileFmtMgr/FileFmtRegistryAccess.h>
#include "plugins/Registry.h"
#include "support/FakeCom.h"
#include "support/Sandbox.h"
#include <FileFmtMgr/ComError.h>
#include <gtest/gtest.h>
#include <tuple>
#include <vector>

using namespace ffmtest;

namespace {

const std::wstring kFormats = std::wstring(kVendorRoot) + L"\\FileFormats";

using Record = std::tuple<std::wstring, std::wstring, unsigned long>;

std::vector<Record> RecordsOf(FileFmtRegistryAccess& store) {
    ExtensionRecordList list;
    store.GetExtensionRecords(list);
    std::vector<Record> out;
    for (const auto& r : list)
        out.emplace_back(r.moExtension.Text(), r.moPluginName.Text(), r.mlMask);
    return out;
}

// Name, class identifier and component of each plug-in.
std::vector<std::tuple<std::wstring, std::wstring, std::wstring>> PluginsOf(FileFmtRegistryAccess& store) {
    FileFormatPluginList list;
    store.GetPlugins(list);
    std::vector<std::tuple<std::wstring, std::wstring, std::wstring>> out;
    for (const auto& p : list)
        out.emplace_back(p->mbsName.Text(), ClsidText(p->moClsid), p->mbsComponent.Text());
    return out;
}

std::wstring UniqueProgId() {
    return L"FfmStoreTest." + std::to_wstring(NewClsid().Data1);
}

// COM reads ProgIDs from the real HKEY_CLASSES_ROOT, which the sandbox leaves alone, so the
// registration goes there under a unique name and is removed afterwards.
struct RegisteredProgId {
    RegisteredProgId() {
        RegistrySandbox::SetString(HKEY_CLASSES_ROOT, name + L"\\CLSID", L"", ClsidText(NewClsid()));
    }
    ~RegisteredProgId() { RegDeleteTreeW(HKEY_CLASSES_ROOT, name.c_str()); }
    const std::wstring name = UniqueProgId();
};

class RegistrationStoreTest : public SandboxedTest {
  protected:
    static void Plugin(const std::wstring& name, const std::wstring& clsid, const std::wstring& component) {
        RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kFormats + L"\\" + name, L"", component);
        RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kFormats + L"\\" + name, L"CLSID", clsid);
    }
    static void Capability(const std::wstring& extension, const std::wstring& mask,
                           const std::vector<std::wstring>& candidates) {
        RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, kFormats + L"\\" + extension, mask.c_str(),
                                        candidates);
    }
};

// Which values RegistryKey reads is left to its tests; here the store's stricter rule for strings
// (a whole number of characters ending in NUL, where RegistryKey would terminate the text itself).
TEST_F(RegistrationStoreTest, PluginKeysNeedAComponentAndAParsableClsidStoredWhole) {
    const CLSID a = NewClsid(), b = NewClsid(), c = NewClsid();
    Plugin(L"A.dll", ClsidText(a), L"{COMPONENT-A}");
    Plugin(L"B%d.exe", ClsidText(b, false), L""); // opened by name, not as a format
    Plugin(L"C.dll", L"{{" + ClsidText(c, false) + L"}", L"c");
    Plugin(L"D.dll", L"{not-a-guid}", L"d");
    Plugin(L"E.dll", ClsidText(a, false) + L"0", L"e");
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kFormats + L"\\F.dll", L"CLSID", ClsidText(a));
    Plugin(L"G.dll", L"{0fedcba9-8765-4321-abcd-ef0123456789}", L"g"); // lower-case digits, every letter
    Plugin(L"H.dll", L"", L"h");
    Plugin(L"{I}", ClsidText(a), L"i");
    // Text past the byte count keeps the registry from adding a terminator of its own.
    const std::wstring clsid = ClsidText(a), cut = clsid + L"X", odd = clsid + std::wstring(L"\0X", 2);
    const DWORD chars = static_cast<DWORD>(clsid.size() * sizeof(wchar_t));
    Plugin(L"J.dll", L"", L"");
    RegistrySandbox::SetRaw(HKEY_LOCAL_MACHINE, kFormats + L"\\J.dll", L"CLSID", REG_SZ, cut.data(),
                            chars); // unterminated
    Plugin(L"K.dll", L"", L"");
    RegistrySandbox::SetRaw(HKEY_LOCAL_MACHINE, kFormats + L"\\K.dll", L"CLSID", REG_SZ, odd.data(),
                            chars + sizeof(wchar_t) + 1); // terminated, then an odd byte
    Plugin(L"L.dll", clsid, L"");
    RegistrySandbox::SetRaw(HKEY_LOCAL_MACHINE, kFormats + L"\\L.dll", L"", REG_EXPAND_SZ, L"lX", 2);

    FileFmtRegistryAccess store;
    EXPECT_EQ(PluginsOf(store),
              (decltype(PluginsOf(store)){{L"A.dll", ClsidText(a), L"{COMPONENT-A}"},
                                          {L"B%d.exe", ClsidText(b), L""},
                                          {L"C.dll", ClsidText(c), L"c"},
                                          {L"G.dll", L"{0FEDCBA9-8765-4321-ABCD-EF0123456789}", L"g"}}));
}

TEST_F(RegistrationStoreTest, ExtensionRecordsFollowCandidatesMasksAndValueOrder) {
    const RegisteredProgId registered;
    const std::wstring missing = UniqueProgId();
    // "Plugin@ProgID" counts only with a registered ProgID; Solid Edge extensions keep every
    // candidate, others the first usable one.
    Capability(L".DFT", L"1", {L"A@" + registered.name, L"B"});
    Capability(L".dwg", L"1", {L"A@" + registered.name, L"B"});
    Capability(L".dxf", L"1", {L"A@" + missing, L"B"});
    Capability(L".psm", L"1", {L"A@" + missing, L"B"});
    Capability(L".x.pcf", L"1", {L"A", L"B"});
    Capability(L".pcfx", L"1", {L"A", L"B"});
    // Created in name order: the registry may enumerate values by creation or by name.
    const std::wstring key = L".stp";
    Capability(key, L"", {L"Default"});
    Capability(key, L" 12abc", {L"P"});
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kFormats + L"\\" + key, L"1", L"Plain");
    Capability(key, L"16384", {L"P"});
    Capability(key, L"5", {L"@Lead", L"Q"});
    Capability(key, L"6", {L"Tail@", L"Q"});
    Capability(key, L"x7", {L"P"});
    // Masks: leading blanks, then decimal digits; no sign; past 32 bits only the low 32 bits count.
    const std::wstring numbers = L".num";
    for (const wchar_t* name : {L"\t8", L"+4", L"-1", L"18446744073709551621", L"4294967295", L"4294967297"})
        Capability(numbers, name, {name});
    // A value name too long for the buffer (260 characters with the terminator) ends the walk of
    // its key only. The names sort between "1" and "2", longest first.
    const std::wstring longest = L"1" + std::wstring(258, L'x'), overlong = L"1" + std::wstring(259, L'x');
    for (const wchar_t* extension : {L".aaa", L".SE.par"}) {
        Capability(extension, L"1", {L"Before", L"Edge"});
        Capability(extension, longest, {L"Longest"});
        Capability(extension, overlong, {L"Overlong"});
        Capability(extension, L"2", {L"After"});
    }

    FileFmtRegistryAccess store;
    const std::vector<Record> expected = {
        {L".aaa", L"Before", 1},
        {L".aaa", L"Longest", 1},
        {L".DFT", L"A", 1},
        {L".DFT", L"B", 1},
        {L".dwg", L"A", 1},
        {L".dxf", L"B", 1},
        {numbers, L"\t8", 8},
        {numbers, L"+4", 0},
        {numbers, L"-1", 0},
        {numbers, L"18446744073709551621", 5},
        {numbers, L"4294967295", 0xFFFFFFFF},
        {numbers, L"4294967297", 1},
        {L".pcfx", L"A", 1},
        {L".psm", L"B", 1},
        {L".SE.par", L"Before", 1},
        {L".SE.par", L"Edge", 1},
        {L".SE.par", L"Longest", 1},
        {key, L"P", 12},
        {key, L"P", 0x4000},
        {key, L"@Lead", 5},
        {key, L"Tail@", 6},
        {key, L"P", 0},
        {L".x.pcf", L"A", 1},
        {L".x.pcf", L"B", 1},
    };
    EXPECT_EQ(RecordsOf(store), expected);
}

// A store reads the registry once, at its first request, and replaces the caller's lists.
TEST_F(RegistrationStoreTest, ReadsTheRegistryOnceAndReplacesTheCallersLists) {
    FileFmtRegistryAccess before; // no FileFormats key yet
    FileFormatPluginList plugins{std::make_shared<FileFormatPlugin>()};
    ExtensionRecordList records{ExtensionRecord{}};
    before.GetPlugins(plugins);
    before.GetExtensionRecords(records);
    EXPECT_TRUE(plugins.empty());
    EXPECT_TRUE(records.empty());

    Plugin(L"A.dll", ClsidText(NewClsid()), L"");
    Capability(L".dwg", L"1", {L"A.dll"});
    FileFmtRegistryAccess store;
    const std::vector<Record> first = RecordsOf(store);
    Plugin(L"B.dll", ClsidText(NewClsid()), L"");
    Capability(L".dxf", L"1", {L"B.dll"});
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kFormats + L"\\.dwg").c_str());
    EXPECT_EQ(RecordsOf(store), first);
    EXPECT_EQ(PluginsOf(store).size(), 1u);
    EXPECT_TRUE(PluginsOf(before).empty());
    FileFmtRegistryAccess fresh;
    EXPECT_EQ(PluginsOf(fresh).size(), 2u);
    EXPECT_EQ(RecordsOf(fresh), std::vector<Record>{Record(L".dxf", L"B.dll", 1)});
}

// Registry failures are absorbed, so an allocation failure must not be: each run either
// reports it or delivers everything.
TEST_F(RegistrationStoreTest, AllocationFailureEscapesInsteadOfShorteningTheLists) {
    const RegisteredProgId registered;
    Plugin(L"A.dll", ClsidText(NewClsid()), L"{C}");
    Plugin(L"B.dll", ClsidText(NewClsid()), L"");
    Capability(L".dwg", L"1", {L"A.dll@" + registered.name, L"B.dll"});
    Capability(L".par", L"4", {L"A.dll", L"B.dll"});
    const int points = ForEachAllocationFailure([&](int) {
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
        EXPECT_EQ(plugins.size(), 2u);
        EXPECT_EQ(records.size(), 3u);
    });
    EXPECT_GT(points, 10);
}

} // namespace
