#include "ManagerTestKit.h"

#include "foundation/Errors.h"

#include "foundation/Module.h"
#include "plugins/Registry.h"
#include <FileFmtMgr/ComPtr.h>
#include <thread>

using namespace ffmtest;
using ffm::ComPtr;

namespace {
const std::wstring kNamespace = std::wstring(kVendorRoot) + L"\\Namespace";
} // namespace

TEST_F(ManagerTest, InitializeTwiceBuildsOnceAndReportsProgressOnce) {
    auto* cb = new RecordingCallback;
    ComPtr<ITovCallback> callback(cb);
    UseStore();
    EXPECT_EQ(S_OK, mgr->mhInitialize(callback.get()));
    EXPECT_EQ(S_OK, mgr->mhInitialize(callback.get()));
    EXPECT_EQ(std::vector<long>{0}, cb->progress);
    EXPECT_EQ(1, store->builds);
    EXPECT_NE(nullptr, mgr->mpoGetRegistry());
    EXPECT_TRUE(mgr->mbIsInitialized());
}

TEST_F(ManagerTest, WithoutModuleHandleOperationsFailWithDescription) {
    ffm::SetModuleHandle(nullptr);
    ComPtr<ITovFileFormat> format;
    const HRESULT hr = mgr->mhGetFormat(std::wstring(L"a.dwg"), format, 1, nullptr, nullptr, true);
    ffm::SetModuleHandle(GetModuleHandleW(nullptr));
    EXPECT_EQ(E_FAIL, hr);
    EXPECT_EQ(L"Failed to initialize.", PendingDescription());
    EXPECT_FALSE(mgr->mbIsInitialized());
    // A pending description of the failure itself travels instead of the generic one, whether
    // the raise carried it or the store only left it on the thread.
    store->onGetPlugins = [] { ffm::RaiseDescribed(0x80041234, L"store is broken"); };
    UseStore();
    std::list<std::wstring> exts;
    EXPECT_EQ(static_cast<HRESULT>(0x80041234), mgr->mhGetExtensions(1, exts, nullptr));
    EXPECT_EQ(L"store is broken", PendingDescription());
    store->onGetPlugins = [] {
        ComPtr<ICreateErrorInfo> create;
        ASSERT_EQ(S_OK, CreateErrorInfo(create.put()));
        create->SetDescription(const_cast<LPOLESTR>(L"left by the store"));
        SetErrorInfo(0, create.query<IErrorInfo>().get());
        throw ffm::ComError(0x80041235);
    };
    EXPECT_EQ(static_cast<HRESULT>(0x80041235), mgr->mhGetExtensions(1, exts, nullptr));
    EXPECT_EQ(L"left by the store", PendingDescription());
}

TEST_F(ManagerTest, UninitializeReleasesPluginsAndNextOperationRebuilds) {
    auto& plugin = Plugin(L"A.dll", {{L".mrdprt", 1}});
    UseStore();
    RegistrySandbox::SetDWord(HKEY_LOCAL_MACHINE, kNamespace, L"BatchAttributes", 0);
    ComPtr<ITovFileFormat> format;
    ASSERT_EQ(S_OK, mgr->mhGetFormat(std::wstring(L"p.mrdprt"), format, 1, nullptr, nullptr, true));
    format.reset();
    EXPECT_FALSE(mgr->mbGetBatchAttributes());
    ITovRegistry* firstRegistry = mgr->mpoGetRegistry();

    mgr->mvUninitialize();
    EXPECT_FALSE(mgr->mbIsInitialized());
    EXPECT_EQ(0, plugin.formats.alive);
    // The outside store went with the table: the next build reads the (empty) built-in store.
    EXPECT_EQ(ffm::FFM_E_NO_PLUGIN,
              mgr->mhGetFormat(std::wstring(L"p.mrdprt"), format, 1, nullptr, nullptr, true));
    EXPECT_TRUE(mgr->mbIsInitialized());
    EXPECT_NE(firstRegistry, nullptr);

    RegistrySandbox::SetDWord(HKEY_LOCAL_MACHINE, kNamespace, L"BatchAttributes", 1);
    mgr->mvUninitialize();
    UseStore();
    ASSERT_EQ(S_OK, mgr->mhGetFormat(std::wstring(L"p.mrdprt"), format, 1, nullptr, nullptr, true));
    EXPECT_TRUE(mgr->mbGetBatchAttributes());
    EXPECT_EQ(2, plugin.formats.created);
}

TEST_F(ManagerTest, DisabledUninitializeLeavesPluginObjectsAlone) {
    auto& plugin = Plugin(L"A.dll", {{L".mrdprt", 1}});
    UseStore();
    ComPtr<ITovFileFormat> format;
    ASSERT_EQ(S_OK, mgr->mhGetFormat(std::wstring(L"p.mrdprt"), format, 1, nullptr, nullptr, true));
    format.reset();
    mgr->mvDisableUninitialize();
    mgr->mvUninitialize();
    EXPECT_FALSE(mgr->mbIsInitialized());
    EXPECT_EQ(1, plugin.formats.alive);
    ASSERT_EQ(S_OK, mgr->mhGetFormat(std::wstring(L"p.mrdprt"), format, 1, nullptr, nullptr, true));
    EXPECT_EQ(2, plugin.formats.created);
    format.reset();
    ASSERT_EQ(2u, store->RefCount());
    mgr.reset(); // the destructor leaves the live table and the outside store alone as well
    EXPECT_EQ(2, plugin.formats.alive);
    ASSERT_EQ(2u, store->RefCount());
    store->Release(); // the manager's reference, which its process would never give back
}

TEST_F(ManagerTest, SetRegAccessRecordsRebuildsAndKeepsOldTableOnFailure) {
    Plugin(L"A.dll", {{L".mrdprt", 1}});
    EXPECT_EQ(S_OK, mgr->mhSetRegAccess(store));
    EXPECT_EQ(0, store->builds) << "not initialised: only recorded";
    EXPECT_EQ(S_OK, mgr->mhSetRegAccess(store));
    EXPECT_EQ(2u, store->RefCount()) << "one reference of the manager's";
    ComPtr<ITovFileFormat> format;
    ASSERT_EQ(S_OK, mgr->mhGetFormat(std::wstring(L"p.mrdprt"), format, 1, nullptr, nullptr, true));
    EXPECT_EQ(1, store->builds);

    auto* broken = new TestStore;
    ComPtr<IFileFmtRegistryAccess> brokenRef(broken);
    broken->onGetPlugins = [] { throw ffm::ComError(0x80041111); };
    EXPECT_EQ(static_cast<HRESULT>(0x80041111), mgr->mhSetRegAccess(broken));
    EXPECT_EQ(S_OK, mgr->mhGetFormat(std::wstring(L"p.mrdprt"), format, 1, nullptr, nullptr, true))
        << "old table still installed";
    EXPECT_EQ(1u, store->RefCount());

    EXPECT_EQ(S_OK, mgr->mhSetRegAccess(nullptr));
    EXPECT_EQ(ffm::FFM_E_NO_PLUGIN,
              mgr->mhGetFormat(std::wstring(L"p.mrdprt"), format, 1, nullptr, nullptr, true));
}

TEST_F(ManagerTest, ForeignExceptionPassesAndLeavesLockFree) {
    store->onGetPlugins = [] { throw std::runtime_error("host bug"); };
    UseStore();
    std::list<std::wstring> exts;
    EXPECT_THROW(mgr->mhGetExtensions(1, exts, nullptr), std::runtime_error);
    store->onGetPlugins = nullptr;
    HRESULT other = E_UNEXPECTED;
    std::thread t([&] {
        ComApartment com;
        other = mgr->mhGetExtensions(1, exts, nullptr);
    });
    t.join(); // would hang if the lock had stayed with this thread
    EXPECT_EQ(S_OK, other);
}

// The reading rule itself is covered with the registry classes; here, that the exported switch
// reads its own value and takes a big-endian 0 as off and other sizes as on.
TEST(MachineSwitches, SeparatedProcessingReadsItsValue) {
    RegistrySandbox sandbox;
    EXPECT_TRUE(gbUseSeparatedProcessing()) << "no key";
    const BYTE zero[8] = {};
    RegistrySandbox::SetRaw(HKEY_LOCAL_MACHINE, kNamespace, L"UseSeparatedProcessing", REG_DWORD_BIG_ENDIAN,
                            zero, 4);
    EXPECT_FALSE(gbUseSeparatedProcessing());
    RegistrySandbox::SetRaw(HKEY_LOCAL_MACHINE, kNamespace, L"UseSeparatedProcessing", REG_DWORD, zero, 8);
    EXPECT_TRUE(gbUseSeparatedProcessing()) << "eight bytes are not a number";
}

TEST(FreeFunctions, CleanUpWithoutCadLibraryDoesNothingAndGlobalManagerIsStable) {
    gCleanUpMXDocMgrInstance(7);
    EXPECT_EQ(&goFileFormatMgr, gpoGetFileFormatMgr());
    EXPECT_EQ(S_OK, goFileFormatMgr.mhSetUpdateDeletedVarsFlag(true));
    EXPECT_TRUE(goFileFormatMgr.mbGetUpdateDeletedVars());
    EXPECT_STREQ("_MX_Detailing_Mode_", goFileFormatMgr.moGetDetailingModeName().A());
    EXPECT_STREQ("_MX_LDR_Mode_", goFileFormatMgr.moGetLdrModeName().A());
}
