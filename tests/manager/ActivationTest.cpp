// Many threads resolving at once. (Real activation of a registered server is the DLL suite's.)
#include "ManagerTestKit.h"

#include <atomic>
#include <thread>

using namespace ffmtest;
using ffm::ComPtr;

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
