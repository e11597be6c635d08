// Real activation: a COM server DLL registered in the prefix's class registry, found through
// the built-in registration store; and many threads resolving at once.
#include "ManagerTestKit.h"

#include "plugins/Registry.h"
#include <atomic>
#include <thread>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

using CountsFn = void(__stdcall*)(long*, long*, long*);

struct ServerCounts {
    long created = 0, alive = 0, opened = 0;
};

ServerCounts ReadCounts() {
    ServerCounts c;
    if (HMODULE server = GetModuleHandleW(L"FakeFormatServer.dll"))
        if (auto fn = reinterpret_cast<CountsFn>(
                reinterpret_cast<void*>(GetProcAddress(server, "FakeServerCounts"))))
            fn(&c.created, &c.alive, &c.opened);
    return c;
}

std::wstring BinFolder() {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path = exe;
    return path.substr(0, path.find_last_of(L'\\'));
}

// The COM class goes to the prefix's real class registry (COM ignores redirected hives) under
// a fresh identifier, and is removed again.
class ServerClass {
  public:
    ServerClass() : clsid(ClsidText(NewClsid())) {
        const std::wstring key = L"CLSID\\" + clsid + L"\\InprocServer32";
        HKEY k = nullptr;
        RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
        const std::wstring dll = BinFolder() + L"\\FakeFormatServer.dll";
        RegSetValueExW(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()),
                       static_cast<DWORD>((dll.size() + 1) * 2));
        RegSetValueExW(k, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"Both"), 10);
        RegCloseKey(k);
    }
    ~ServerClass() { RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid).c_str()); }
    const std::wstring clsid;
};

} // namespace

TEST_F(ManagerTest, RealServerIsActivatedOnceThroughTheRegistry) {
    ServerClass server;
    const std::wstring formats = std::wstring(kVendorRoot) + L"\\FileFormats";
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, formats + L"\\FakeFormatServer.dll", nullptr, L"");
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, formats + L"\\FakeFormatServer.dll", L"CLSID",
                               server.clsid);
    RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, formats + L"\\.fk1", L"1", {L"FakeFormatServer.dll"});
    RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, formats + L"\\.fk1", L"16384",
                                    {L"FakeFormatServer.dll"});

    const ServerCounts before = ReadCounts();
    for (int i = 0; i < 20; ++i) {
        ComPtr<ITovFileNavigator> nav;
        unsigned long mask = 0;
        const std::wstring path = L"C:\\vault\\part" + std::to_wstring(i) + L".FK1";
        ASSERT_EQ(S_OK, mgr->mhGetNavigator(nav.put(), path.c_str(), 1, nullptr, &mask, nullptr));
        EXPECT_EQ(1u, mask);
        BSTR opened = nullptr;
        ASSERT_EQ(S_OK, nav->GetFilePath(&opened));
        EXPECT_EQ(path, opened);
        SysFreeString(opened);
    }
    ServerCounts after = ReadCounts();
    EXPECT_EQ(1, after.created - before.created);
    EXPECT_EQ(20, after.opened - before.opened);
    EXPECT_EQ(1, after.alive) << "only the cached format object";
    std::list<std::wstring> exts;
    ASSERT_EQ(S_OK, mgr->mhGetExtensions(0x4000, exts, nullptr));
    EXPECT_EQ(std::list<std::wstring>{L"FK1"}, exts);

    mgr->mvUninitialize();
    EXPECT_EQ(0, ReadCounts().alive);
}

TEST_F(ManagerTest, ManyThreadsResolveWithoutDeadlockOrDoubleCreation) {
    auto& shared = Plugin(L"Shared.dll", {{L".shr", 0x3}});
    auto& perThread = Plugin(L"Server.exe", {{L".srv", 0x3}});
    UseStore();
    constexpr int kThreads = 6, kRounds = 150;
    std::atomic<int> failures{0}, wrongThread{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            ComApartment com;
            for (int i = 0; i < kRounds; ++i) {
                ComPtr<ITovFileNavigator> nav;
                const wchar_t* path = (i + t) % 2 ? L"a.shr" : L"b.srv";
                if (mgr->mhGetNavigator(nav.put(), path, 1, nullptr, nullptr, nullptr) != S_OK || !nav)
                    ++failures;
                ComPtr<ITovFileFormat> format;
                if (mgr->mhGetFormat(L"c.srv", format.put(), 2, nullptr, nullptr, true) != S_OK)
                    ++failures;
                else if (static_cast<FakeFormat*>(format.get())->createdOn != GetCurrentThreadId())
                    ++wrongThread;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(0, failures);
    EXPECT_EQ(0, wrongThread) << "an executable server's object is only used by the thread that made it";
    EXPECT_EQ(1, shared.Activations());
    EXPECT_GE(perThread.Activations(), kThreads);
    EXPECT_EQ(1, perThread.formats.alive);
    EXPECT_EQ(0, shared.navigators.alive + perThread.navigators.alive);
}
