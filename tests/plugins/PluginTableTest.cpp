#include "plugins/PluginTable.h"

#include "plugins/Registry.h"
#include "support/FakePlugins.h"
#include <thread>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

const std::wstring kFormats = std::wstring(kVendorRoot) + L"\\FileFormats";

class PluginTableTest : public SandboxedTest {
  protected:
    void SetUp() override {
        PluginTable::zvResetMatchingList();
        RegistrySandbox::CreateKey(HKEY_LOCAL_MACHINE, kFormats); // defaults of the matching list
    }
    void TearDown() override { PluginTable::zvResetMatchingList(); }
    FakePluginClass& Plugin(const std::wstring& name,
                            std::initializer_list<std::pair<std::wstring, unsigned long>> exts) {
        classes.push_back(std::make_unique<FakePluginClass>());
        store->AddPlugin(name, classes.back()->clsid);
        for (const auto& [ext, mask] : exts)
            store->AddExtension(ext, name, mask);
        return *classes.back();
    }
    void Build() { table = std::make_unique<PluginTable>(store.get()); }
    // Which plug-in's object a lookup gives, and the mask it reports.
    std::pair<int, unsigned long> Choose(const wchar_t* path, unsigned long request) {
        unsigned long mask = request;
        ComPtr<ITovFileFormat> format = table->moLookup(path, mask);
        for (size_t i = 0; i < classes.size(); ++i)
            if (classes[i]->last == static_cast<FakeFormat*>(format.get()))
                return {static_cast<int>(i), mask};
        return {-1, mask};
    }

    std::vector<std::unique_ptr<FakePluginClass>> classes;
    ComPtr<TestStore> store{new TestStore};
    std::unique_ptr<PluginTable> table;
};

} // namespace

TEST_F(PluginTableTest, MatchingListPicksTheMostCapableEntry) {
    Plugin(L"P1.dll", {{L".ipt", 0x1}, {L".xyz", 0x1}});
    Plugin(L"P7.dll", {{L".ipt", 0x7}, {L".xyz", 0x7}});
    Plugin(L"P3.dll", {{L".ipt", 0x3}, {L".xyz", 0x3}, {L".iam", 0x3}, {L".idw", 0x3}});
    Plugin(L"Q7.dll", {{L".iam", 0x7}});
    Plugin(L"T3.dll", {{L".idw", 0x3}});
    Build();
    struct Case {
        const wchar_t* path;
        unsigned long request;
        int plugin;
        unsigned long mask;
    } const cases[] = {
        {L"a.ipt", 0x2, 1, 0x7}, // greatest sharing mask
        {L"a.IPT", 0x3, 1, 0x7}, // the exact 0x3 comes after a greater kept mask
        {L"a.iam", 0x3, 2, 0x3}, // exact match first: stop walking
        {L"a.idw", 0x2, 2, 0x3}, // equal masks: the first one stays kept
        {L"a.xyz", 0x2, 1, 0x7}, // not in the list: first entry sharing a bit
        {L"a.xyz", 0x1, 0, 0x1},
    };
    for (const Case& c : cases) {
        const auto [plugin, mask] = Choose(c.path, c.request);
        EXPECT_EQ(c.plugin, plugin) << c.path << " " << c.request;
        EXPECT_EQ(c.mask, mask) << c.path << " " << c.request;
    }
    unsigned long mask = 0x8;
    EXPECT_THROW(table->moLookup(L"a.xyz", mask), ffm::ComError);
    EXPECT_EQ(0x7u, mask);
}

// Without a FileFormats key the list stays empty and is tried again; once read it is kept for the
// process, as written; a value of another type gives the six defaults.
TEST_F(PluginTableTest, MatchingListFromRegistryIsTakenAsWrittenAndKept) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kFormats.c_str());
    Plugin(L"P1.dll", {{L".ipt", 0x1}, {L".abc", 0x1}});
    Plugin(L"P7.dll", {{L".ipt", 0x7}, {L".abc", 0x7}});
    Build();
    EXPECT_EQ(0, Choose(L"f.abc", 0x3).first);
    EXPECT_TRUE(PluginTable::zoMatchingList().empty());
    RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, kFormats, L"MatchingPluginExtList",
                                    {L".ipt", L".ABC"});
    EXPECT_EQ(0, Choose(L"f.ipt", 0x3).first) << "lower-case list entries never match";
    EXPECT_EQ(1, Choose(L"f.abc", 0x3).first);
    EXPECT_EQ((std::vector<std::wstring>{L".ipt", L".ABC"}), PluginTable::zoMatchingList());
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kFormats, L"MatchingPluginExtList", L".IPT");
    EXPECT_EQ(0, Choose(L"f.ipt", 0x3).first);

    PluginTable::zvResetMatchingList();
    EXPECT_EQ(1, Choose(L"f.ipt", 0x3).first);
    EXPECT_EQ(6u, PluginTable::zoMatchingList().size());
}

TEST_F(PluginTableTest, RecordsForUnknownPluginsAreSkippedAndKeysIgnoreCase) {
    Plugin(L"Known.DLL", {{L".dwg", 0x1}});
    store->AddExtension(L".DWG", L"known.dll", 0x2);
    store->AddExtension(L".dwg", L"Ghost.dll", 0x4);
    store->AddExtension(L".ghost", L"Ghost.dll", 0x4);
    Build();
    EXPECT_EQ((std::vector<std::wstring>{L".dwg"}), table->moCollectExtensions(0xff));
    unsigned long mask = 0x4;
    EXPECT_THROW(table->moLookup(L"b.DWG", mask), ffm::ComError);
    EXPECT_EQ(0x3u, mask);
    EXPECT_EQ(0x2u, Choose(L"b.Dwg", 0x2).second);
}

// Many threads sharing the table are the manager suite's; here the name that makes a server an
// executable one, in any letter case.
TEST_F(PluginTableTest, ExecutableServersGetAnObjectPerThread) {
    auto& exe = Plugin(L"Server.EXE", {{L".srv", 1}});
    Build();
    unsigned long mask = 1;
    table->moLookup(L"a.srv", mask);
    std::thread([&] {
        ComApartment com;
        unsigned long own = 1;
        table->moLookup(L"b.srv", own);
    }).join();
    table->moLookup(L"c.srv", mask); // the first thread again: a new object, the other one released
    table->moLookup(L"d.srv", mask); // and now cached
    EXPECT_EQ(3, exe.Activations());
    EXPECT_EQ(1, exe.formats.alive);
    table.reset();
    EXPECT_EQ(0, exe.formats.alive);
}

TEST_F(PluginTableTest, PreviewVisitSkipsExtensionsLedByInsoPluginAndPluginsThatCannotBeMade) {
    Plugin(L"InsoPlugin.dll", {{L".doc", 0x4}, {L".txt", 0x1}});
    // Its class answers, but not with a format object: one broken plug-in must not hide the rest.
    auto& broken = Plugin(L"Broken.dll", {{L".abc", 0x4}, {L".bmp", 0x4}});
    broken.setup = [](FakeFormat& f) { f.Hide(__uuidof(ITovFileFormat)); };
    Plugin(L"Viewer.dll", {{L".doc", 0x4}, {L".txt", 0x14}, {L".bmp", 0x4}, {L".dat", 0x1}});
    Build();
    std::vector<std::pair<std::wstring, unsigned long>> seen;
    table->mvVisitPreviewCapable(
        [&](ComPtr<ITovFileFormat>& format, const std::wstring& ext, unsigned long mask) {
            EXPECT_TRUE(format);
            seen.emplace_back(ext, mask);
        });
    // .doc and .txt are led by the built-in viewer plug-in: nothing of theirs is visited.
    EXPECT_EQ((std::vector<std::pair<std::wstring, unsigned long>>{{L".bmp", 0x4}}), seen);
    EXPECT_EQ(2, broken.Activations()) << "each of its entries tries again";
    EXPECT_EQ(0, broken.formats.alive);
}

TEST_F(PluginTableTest, ExcludedExtensionsSplitAtSeparatorsWithoutRepeats) {
    RegistrySandbox::SetString(HKEY_CURRENT_USER, std::wstring(kVendorRoot) + L"\\FileFmtMgr",
                               L"ExcludeExtList", L"  .dwg,,.DXF\t.dwg\n,pdf");
    Build();
    EXPECT_TRUE(table->mbIsExcluded(L".dxf"));
    EXPECT_TRUE(table->mbIsExcluded(L".DWG"));
    EXPECT_TRUE(table->mbIsExcluded(L"PDF"));
    EXPECT_FALSE(table->mbIsExcluded(L"dwg")) << "no dot is added or removed";
    EXPECT_FALSE(table->mbIsExcluded(nullptr));
    RegistrySandbox::SetString(HKEY_CURRENT_USER, std::wstring(kVendorRoot) + L"\\FileFmtMgr",
                               L"ExcludeExtList", L".txt");
    table->mvReloadExcluded();
    EXPECT_FALSE(table->mbIsExcluded(L".dwg"));
    EXPECT_TRUE(table->mbIsExcluded(L".TXT"));
}
