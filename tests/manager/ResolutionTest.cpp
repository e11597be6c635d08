#include "ManagerTestKit.h"

#include "foundation/Alloc.h"
#include "plugins/PluginTable.h"
#include <FileFmtMgr/ComPtr.h>

using namespace ffmtest;
using ffm::ComPtr;

namespace {
HRESULT GetFormat(FileFormatMgr& mgr, const wchar_t* path, unsigned long mask, unsigned long* out,
                  ComPtr<ITovFileFormat>* keep = nullptr) {
    ComPtr<ITovFileFormat> format;
    const HRESULT hr = mgr.mhGetFormat(path, format.put(), mask, nullptr, out, true);
    if (keep)
        *keep = format;
    return hr;
}
} // namespace

TEST_F(ManagerTest, FormatIsActivatedOnceAndMasksReachTheCaller) {
    auto& prt = Plugin(L"Prt.dll", {{L".mrdprt", 0x3}, {L".*", 0x1}});
    UseStore();
    unsigned long out = 0xdead;
    ComPtr<ITovFileFormat> first, second;
    EXPECT_EQ(S_OK, GetFormat(*mgr, L"C:\\a\\p1.MRDPRT", 0x2, &out, &first));
    EXPECT_EQ(0x3u, out);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(S_OK, GetFormat(*mgr, L"C:\\a\\other.mrdprt", 0x1, nullptr, &second));
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(1, prt.Activations());

    // No extension, or an unknown one: the wildcard entry.
    EXPECT_EQ(S_OK, GetFormat(*mgr, L"C:\\a.b\\noext", 0x1, &out));
    EXPECT_EQ(0x1u, out);
    EXPECT_EQ(S_OK, GetFormat(*mgr, L"x.unknown", 0x1, &out));
    // Entries that share no bit: the union of what the extension offers.
    EXPECT_EQ(ffm::FFM_E_NO_PLUGIN, GetFormat(*mgr, L"x.mrdprt", 0x8, &out));
    EXPECT_EQ(0x3u, out);
    EXPECT_EQ(E_POINTER, mgr->mhGetFormat(L"x.mrdprt", nullptr, 1, nullptr, &out, true));

    // Without a wildcard entry an unknown extension fails and the mask is the request.
    store->records.pop_back();
    ASSERT_EQ(S_OK, mgr->mhSetRegAccess(nullptr));
    ASSERT_EQ(S_OK, mgr->mhSetRegAccess(store));
    EXPECT_EQ(ffm::FFM_E_NO_PLUGIN, GetFormat(*mgr, L"x.txt", 0x6, &out));
    EXPECT_EQ(0x6u, out);
    EXPECT_EQ(E_POINTER, mgr->mhGetFormat(nullptr, first.put(), 1, nullptr, &out, true));
}

TEST_F(ManagerTest, ActivationFailureTriesInstallerRepairEveryTime) {
    store->AddPlugin(L"Missing.dll", NewClsid(), L"{11111111-2222-3333-4444-555555555555}");
    store->AddExtension(L".miss", L"Missing.dll", 1);
    UseStore();
    static int installs, enums;
    installs = enums = 0;
    InstallerApi saved = goInstallerApi();
    goInstallerApi().installMissingComponent = [](LPCWSTR, LPCWSTR, INSTALLSTATE) -> UINT {
        ++installs;
        return 1605; // unknown product: look for a related one
    };
    goInstallerApi().enumRelatedProducts = [](LPCWSTR, DWORD, DWORD, LPWSTR) -> UINT {
        ++enums;
        return 259;
    };
    EXPECT_EQ(REGDB_E_CLASSNOTREG, GetFormat(*mgr, L"f.miss", 1, nullptr));
    EXPECT_EQ(REGDB_E_CLASSNOTREG, GetFormat(*mgr, L"g.miss", 1, nullptr));
    goInstallerApi() = saved;
    EXPECT_EQ(2, installs);
    EXPECT_EQ(4, enums) << "both upgrade codes, at each lookup";
}

TEST_F(ManagerTest, FormatContextGoesToPluginsOfAnOutsideStore) {
    auto& plugin = Plugin(L"Ctx.dll", {{L".ctx", 0x3}});
    store->context[0] = 7;
    store->context[1] = 9;
    UseStore();
    ComPtr<ITovFileFormat> format;
    ASSERT_EQ(S_OK, GetFormat(*mgr, L"a.ctx", 1, nullptr, &format));
    EXPECT_EQ(std::make_pair(7ul, 9ul), plugin.last->contexts.back());
    EXPECT_TRUE(plugin.last->errorInfoAsked.empty());

    // A failed SetContext: its own code (also one that reads as out of memory), the chosen mask,
    // the plug-in's description, and the object stays with the caller, who releases it.
    plugin.last->failureDescription = L"context refused";
    for (const HRESULT failure : {static_cast<HRESULT>(0x80041001), E_OUTOFMEMORY}) {
        plugin.last->Fail("SetContext", failure);
        plugin.last->errorInfoAsked.clear();
        SetErrorInfo(0, nullptr);
        unsigned long out = 0xdead;
        EXPECT_EQ(failure, GetFormat(*mgr, L"a.ctx", 1, &out, &format)) << std::hex << failure;
        EXPECT_TRUE(format);
        EXPECT_EQ(0x3u, out);
        EXPECT_EQ(L"context refused", PendingDescription());
        EXPECT_EQ(std::vector<IID>{__uuidof(ITovFormatContext)}, plugin.last->errorInfoAsked);
    }
}

TEST_F(ManagerTest, NavigatorOpensWithCallbackAndReleasesOnFailure) {
    auto& plugin = Plugin(L"Prt.dll", {{L".mrdprt", 0x3}});
    UseStore();
    auto* cb = new RecordingCallback;
    ComPtr<ITovCallback> callback(cb);
    ComPtr<ITovFileNavigator> nav;
    unsigned long out = 0;
    ASSERT_EQ(S_OK, mgr->mhGetNavigator(nav.put(), L"C:\\x\\a.mrdprt", 1, callback.get(), &out, nullptr));
    EXPECT_TRUE(nav);
    EXPECT_EQ(0x3u, out);
    EXPECT_EQ((std::vector<std::wstring>{L"Opening file...", L""}), cb->status);
    EXPECT_EQ((std::vector<long>{0, 0}), cb->progress) << "one from initialising, one after opening";
    nav.reset();
    EXPECT_EQ(0, plugin.navigators.alive);

    plugin.last->Fail("OpenFile", 0x80041002);
    EXPECT_EQ(static_cast<HRESULT>(0x80041002),
              mgr->mhGetNavigator(nav.put(), L"b.mrdprt", 1, nullptr, nullptr, nullptr));
    EXPECT_FALSE(nav);

    cb->statusResult = 0x80041003;
    plugin.last->Fail("OpenFile", S_OK);
    const size_t opens = plugin.last->opened.size();
    EXPECT_EQ(static_cast<HRESULT>(0x80041003),
              mgr->mhGetNavigator(nav.put(), L"b.mrdprt", 1, callback.get(), nullptr, nullptr));
    EXPECT_EQ(opens, plugin.last->opened.size()) << "no open after the callback refused";
    EXPECT_EQ(E_POINTER, mgr->mhGetNavigator(nullptr, L"b.mrdprt", 1, nullptr, nullptr, nullptr));
}

TEST_F(ManagerTest, NoNavigatorAnswerDiffersBetweenTheTwoForms) {
    Plugin(L"Prt.dll", {{L".mrdprt", 1}}, [](FakeFormat& f) { f.Fail("OpenFile", ffm::FFM_E_NO_NAVIGATOR); });
    UseStore();
    ComPtr<ITovFileNavigator> nav;
    EXPECT_EQ(S_OK, mgr->mhGetNavigator(nav.put(), L"a.mrdprt", 1, nullptr, nullptr, nullptr));
    EXPECT_FALSE(nav);
    EXPECT_EQ(ffm::FFM_E_NO_NAVIGATOR,
              mgr->mhGetNavigator2(nav.put(), L"a.mrdprt", 1, nullptr, nullptr, nullptr));
    EXPECT_FALSE(nav);
}

TEST_F(ManagerTest, DeclinedFileIsOpenedByTheNamedFormat) {
    auto& asm_ = Plugin(L"Asm.dll", {{L".mrdasm", 0x1}}, [](FakeFormat& f) {
        f.Fail("OpenFile", ffm::FFM_E_OPEN_ELSEWHERE);
        f.redirectTo = L"dwg";
    });
    auto& dwg = Plugin(L"Dwg.dll", {{L".dwg", 0x5}});
    UseStore();
    ComPtr<ITovFileNavigator> nav;
    unsigned long out = 0;
    ASSERT_EQ(S_OK, mgr->mhGetNavigator(nav.put(), L"C:\\v\\a.mrdasm", 1, nullptr, &out, nullptr));
    EXPECT_TRUE(nav);
    EXPECT_EQ(0x5u, out);
    ASSERT_EQ(1u, dwg.last->opened.size());
    EXPECT_EQ(L"C:\\v\\a.mrdasm", dwg.last->opened[0]);
    nav.reset();

    dwg.last->Fail("OpenFile", 0x80041004);
    EXPECT_EQ(ffm::FFM_E_REDIRECT_FAILED,
              mgr->mhGetNavigator(nav.put(), L"a.mrdasm", 1, nullptr, nullptr, nullptr));
    asm_.last->Hide(__uuidof(ITovFormatRedirect));
    EXPECT_EQ(ffm::FFM_E_NO_PLUGIN,
              mgr->mhGetNavigator(nav.put(), L"a.mrdasm", 1, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, asm_.navigators.alive + dwg.navigators.alive);
}

TEST_F(ManagerTest, SuppliedFormatIsAskedForTheMaskOnlyWhenTheCallerHasNone) {
    LiveCounter formats, navigators;
    ComPtr<ITovFileFormat> format(new FakeFormat(&formats, &navigators));
    auto* fake = static_cast<FakeFormat*>(format.get());
    fake->extensionFlags = 0x21;
    ComPtr<ITovFileNavigator> nav;
    unsigned long out = 0;
    ASSERT_EQ(S_OK, mgr->mhGetNavigator(nav.put(), L"C:\\d.x\\part.MrdPrt", 1, nullptr, &out, format.get()));
    EXPECT_EQ(0x21u, out);
    EXPECT_EQ(std::vector<std::wstring>{L"MrdPrt"}, fake->flagRequests);
    out = 4;
    ASSERT_EQ(S_OK, mgr->mhGetNavigator(nav.put(), L"part.mrdprt", 1, nullptr, &out, format.get()));
    EXPECT_EQ(4u, out);
    EXPECT_EQ(1u, fake->flagRequests.size());
    EXPECT_FALSE(mgr->mbIsInitialized()) << "a supplied format needs no table";
}

TEST_F(ManagerTest, ExtensionsAreListedUpperCaseWithoutWildcard) {
    Plugin(L"A.dll",
           {{L".mrdprt", 0x3}, {L".*", 0x3}, {L".b", 0x4}, {L"..ab..", 0x1}, {L".DWG", 0x10}, {L"...", 0x1}});
    UseStore();
    std::list<std::wstring> exts{L"KEEP"};
    ASSERT_EQ(S_OK, mgr->mhGetExtensions(0x1, exts, nullptr));
    EXPECT_EQ((std::list<std::wstring>{L"KEEP", L"", L"AB", L"MRDPRT"}), exts) << "dots alone give \"\"";
    ASSERT_EQ(S_OK, mgr->mhGetExtensions(0x1000, exts, nullptr));
    EXPECT_EQ(4u, exts.size());
    exts.clear();
    ASSERT_EQ(S_OK, mgr->mhGetExtensions(0x14, exts, nullptr));
    EXPECT_EQ((std::list<std::wstring>{L"B", L"DWG"}), exts);
}

TEST_F(ManagerTest, OutOfMemoryAtEveryPointLeavesManagerUsable) {
    auto& plugin = Plugin(L"Prt.dll", {{L".mrdprt", 0x3}});
    unsigned long out = 0;
    const int points = ForEachAllocationFailure(
        [&] {
            mgr = std::make_unique<FileFormatMgr>();
            mgr->mhSetRegAccess(store);
        },
        [&](int) {
            ComPtr<ITovFileNavigator> nav;
            const HRESULT hr = mgr->mhGetNavigator(nav.put(), L"a.mrdprt", 1, nullptr, &out, nullptr);
            EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY) << std::hex << hr;
        },
        [&](int) {
            ComPtr<ITovFileNavigator> nav;
            EXPECT_EQ(S_OK, mgr->mhGetNavigator(nav.put(), L"a.mrdprt", 1, nullptr, &out, nullptr));
            EXPECT_EQ(0x3u, out);
        });
    EXPECT_GT(points, 5);
    mgr.reset();
    EXPECT_EQ(0, plugin.formats.alive);
    EXPECT_EQ(0, plugin.navigators.alive);
}

// Each plug-in and store method resolution calls fails in turn: its code reaches the caller, and
// nothing handed out stays alive.
TEST_F(ManagerTest, EveryPluginCallOfResolutionCanFailAndItsCodeComesBack) {
    struct Case {
        const char* method;
        bool store;      // a store method, not the format object's
        bool redirected; // the file is declined and named for another extension
        HRESULT expected;
    };
    constexpr HRESULT kCode = 0x80041234;
    const Case cases[] = {
        {"OpenFile", false, false, kCode},
        {"GetTargetExtension", false, true, kCode},
        {"SetContext", false, false, kCode},
        {"GetFormatContext", true, false, kCode},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        mgr = std::make_unique<FileFormatMgr>();
        store->Release();
        store = new TestStore;
        store->AddRef();
        auto& plugin = Plugin(L"Asm.dll", {{L".mrdasm", 0x1}}, [&](FakeFormat& f) {
            if (c.redirected) {
                f.Fail("OpenFile", ffm::FFM_E_OPEN_ELSEWHERE);
                f.redirectTo = L"dwg";
            }
            if (!c.store)
                f.Fail(c.method, c.expected);
        });
        auto& dwg = Plugin(L"Dwg.dll", {{L".dwg", 0x1}});
        if (c.store)
            store->Fail(c.method, c.expected);
        UseStore();
        ComPtr<ITovFileNavigator> nav;
        EXPECT_EQ(c.expected,
                  mgr->mhGetNavigator(nav.put(), L"C:\\v\\a.mrdasm", 1, nullptr, nullptr, nullptr));
        EXPECT_FALSE(nav);
        EXPECT_EQ(0u, dwg.last ? dwg.last->opened.size() : 0u) << "nothing opened elsewhere";
        mgr.reset();
        EXPECT_EQ(0, plugin.formats.alive + plugin.navigators.alive + dwg.formats.alive);
    }
}
