// Previews in real windows: preview plug-ins served by a real COM server DLL draw into child
// windows of a real host window on the X display; the tests pump messages, capture the host's
// pixels and check known colours in known places. The pictures are also written as PNG files to
// the build tree's folder "preview-png", for a person to look at.
#include "PreviewKit.h"

#include "WindowCapture.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <atomic>
#include <thread>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

constexpr std::uint32_t kHostGrey = 0x808080;
constexpr int kWidth = 320, kHeight = 240;

struct ServerCounts {
    long formats = 0, previews = 0, windows = 0, shows = 0;
};

ServerCounts ReadCounts() {
    using Fn = void(__stdcall*)(long*, long*, long*, long*);
    ServerCounts c;
    if (HMODULE server = GetModuleHandleW(L"FakePreviewServer.dll"))
        if (auto fn =
                reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(server, "FakePreviewCounts"))))
            fn(&c.formats, &c.previews, &c.windows, &c.shows);
    return c;
}

std::wstring BinFolder() {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const std::wstring path = exe;
    return path.substr(0, path.find_last_of(L'\\'));
}

// A class of the preview server, registered under a fresh identifier in the prefix's class
// registry (COM ignores redirected hives) with the behaviour its objects are to have.
class ServerClass {
  public:
    explicit ServerClass(const wchar_t* behaviour) : clsid(NewClsid()), key(L"CLSID\\" + ClsidText(clsid)) {
        const std::wstring dll = BinFolder() + L"\\FakePreviewServer.dll";
        RegSetKeyValueW(HKEY_CLASSES_ROOT, (key + L"\\InprocServer32").c_str(), nullptr, REG_SZ, dll.c_str(),
                        static_cast<DWORD>((dll.size() + 1) * 2));
        RegSetKeyValueW(HKEY_CLASSES_ROOT, (key + L"\\InprocServer32").c_str(), L"ThreadingModel", REG_SZ,
                        L"Both", 10);
        RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), L"Behaviour", REG_SZ, behaviour,
                        static_cast<DWORD>((wcslen(behaviour) + 1) * 2));
    }
    ~ServerClass() { RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str()); }
    const CLSID clsid;
    const std::wstring key;
};

class PreviewPixelsTest : public ::testing::Test {
  protected:
    PreviewPixelsTest() {
        store->AddRef();
        CreateDirectoryW((BinFolder() + L"\\..\\preview-png").c_str(), nullptr);
    }
    ~PreviewPixelsTest() override {
        window.reset();
        mgr->mvUninitialize();
        mgr.reset();
        host.reset();
        capture::PumpMessages(50);
        store->Release();
        const ServerCounts c = ReadCounts();
        EXPECT_EQ(0, c.formats);
        EXPECT_EQ(0, c.previews);
        EXPECT_EQ(0, c.windows) << "every child window is destroyed";
    }

    void Plugin(const std::wstring& name, const ServerClass* server,
                std::initializer_list<std::pair<std::wstring, unsigned long>> exts) {
        store->AddPlugin(name, server ? server->clsid : NewClsid());
        for (const auto& [ext, mask] : exts)
            store->AddExtension(ext, name, mask);
    }
    void Fill() {
        ASSERT_EQ(S_OK, mgr->mhSetRegAccess(store));
        ASSERT_EQ(S_OK, mgr->mhCreatePreview(*window, host.get(), nullptr, nullptr));
        window->mvResize(nullptr);
    }
    // A file the good preview draws: background, a block of the mark colour, a title.
    std::wstring Picture(const std::wstring& name, std::uint32_t fill, std::uint32_t mark) {
        char text[128];
        snprintf(text, sizeof text, "FILL %06X\nMARK %06X\nTITLE %s\n", fill, mark, Utf8(name).c_str());
        return files.WriteFile(name, text);
    }
    capture::Image Look(const wchar_t* pngName) {
        capture::PumpMessages(150);
        capture::Image image = capture::CaptureClient(host.get());
        EXPECT_EQ(S_OK, capture::SavePng(image, BinFolder() + L"\\..\\preview-png\\" + pngName + L".png"));
        return image;
    }
    // The block of the mark colour and the background, relative to the area the preview was given.
    static void ExpectDrawn(const capture::Image& image, const RECT& area, std::uint32_t fill,
                            std::uint32_t mark, const char* what) {
        ASSERT_EQ(kWidth, image.width) << what;
        const long w = area.right - area.left, h = area.bottom - area.top;
        EXPECT_EQ(mark, image.At(area.left + w / 4, area.top + h / 4)) << what;
        EXPECT_EQ(fill, image.At(area.left + 3 * w / 4, area.top + 3 * h / 4)) << what;
        EXPECT_EQ(fill, image.At(area.left + w - 2, area.top + 2)) << what;
    }

    // The host window comes before the registry sandbox: Wine reads the user's window settings
    // when it makes the first top-level window of the thread.
    ffm::UniqueHwnd host{MakePane(kWidth, kHeight)};
    RegistrySandbox registry;
    TempFolder files;
    TestStore* store = new TestStore;
    std::unique_ptr<FileFormatMgr> mgr = std::make_unique<FileFormatMgr>();
    std::unique_ptr<FilePreviewWnd> window = std::make_unique<FilePreviewWnd>();
};

TEST_F(PreviewPixelsTest, APreviewIsShownResizedHiddenReshownAndSwitched) {
    ServerClass first(L"good"), second(L"good");
    Plugin(L"First.dll", &first, {{L".pva", 0x4}});
    Plugin(L"Second.dll", &second, {{L".pvb", 0x4}});
    Fill();
    const std::wstring red = Picture(L"red.pva", 0xE02020, 0x2020E0);
    const std::wstring yellow = Picture(L"yellow.pva", 0xE0E020, 0x202020);
    const std::wstring green = Picture(L"green.pvb", 0x20C040, 0xE020E0);
    const RECT all{0, 0, kWidth, kHeight};

    ASSERT_EQ(S_OK, window->mhShow(red, TovFileVaultType{}, nullptr, nullptr, false, 0));
    ExpectDrawn(Look(L"1-shown"), all, 0xE02020, 0x2020E0, "shown");

    const RECT half{0, 0, kWidth / 2, kHeight / 2};
    window->mvResize(&half);
    const capture::Image resized = Look(L"2-resized");
    ExpectDrawn(resized, half, 0xE02020, 0x2020E0, "resized");
    EXPECT_EQ(kHostGrey, resized.At(3 * kWidth / 4, 3 * kHeight / 4)) << "the pane shows outside the preview";

    window->mvResize(nullptr);
    window->mvHide(true);
    const capture::Image hidden = Look(L"3-hidden");
    EXPECT_EQ(kHostGrey, hidden.At(kWidth / 4, kHeight / 4));
    EXPECT_EQ(kHostGrey, hidden.At(3 * kWidth / 4, 3 * kHeight / 4));

    ASSERT_EQ(S_OK, window->mhShow(red, TovFileVaultType{}, nullptr, nullptr, false, 0));
    ExpectDrawn(Look(L"4-reshown"), all, 0xE02020, 0x2020E0, "reshown");
    ASSERT_EQ(S_OK, window->mhShow(yellow, TovFileVaultType{}, nullptr, nullptr, false, 0));
    ExpectDrawn(Look(L"5-same-plugin-other-file"), all, 0xE0E020, 0x202020,
                "another file of the same plug-in");
    ASSERT_EQ(S_OK, window->mhShow(green, TovFileVaultType{}, nullptr, nullptr, false, 0));
    ExpectDrawn(Look(L"6-other-plugin"), all, 0x20C040, 0xE020E0, "a file of the other plug-in");
    ASSERT_EQ(S_OK, window->mhShow(red, TovFileVaultType{}, nullptr, nullptr, false, 0));
    ExpectDrawn(Look(L"7-back"), all, 0xE02020, 0x2020E0, "back to the first plug-in");
    EXPECT_EQ(2, ReadCounts().windows);
}

TEST_F(PreviewPixelsTest, BrokenPluginsNeverTakeThePaneDown) {
    ServerClass failing(L"create-fails 80004005"), hanging(L"hang 1500"), blank(L"blank"), good(L"good");
    // First in the table's order: a plug-in whose class is not registered at all.
    Plugin(L"Unregistered.dll", nullptr, {{L".pv0", 0x4}});
    Plugin(L"Failing.dll", &failing, {{L".pvc", 0x4}});
    Plugin(L"Hanging.dll", &hanging, {{L".pvh", 0x4}});
    Plugin(L"Blank.dll", &blank, {{L".pvk", 0x4}});
    Plugin(L"Good.dll", &good, {{L".pvh", 0x4}, {L".pvz", 0x4}});
    Fill();
    const RECT all{0, 0, kWidth, kHeight};

    const ULONGLONG start = GetTickCount64();
    ASSERT_EQ(S_OK, window->mhShow(Picture(L"slow.pvh", 0x3060C0, 0xF0F0F0), TovFileVaultType{}, nullptr,
                                   nullptr, false, 0));
    EXPECT_GE(GetTickCount64() - start, 1400u) << "the hanging preview was asked first";
    ExpectDrawn(Look(L"broken-1-after-hang"), all, 0x3060C0, 0xF0F0F0,
                "the good preview after the hanging one");

    EXPECT_EQ(static_cast<HRESULT>(0x8004022A),
              window->mhShow(Picture(L"x.pvc", 0, 0), TovFileVaultType{}, nullptr, nullptr, false, 0))
        << "a plug-in that made no preview shows nothing";
    EXPECT_EQ(S_OK, window->mhShow(Picture(L"x.pvk", 0, 0), TovFileVaultType{}, nullptr, nullptr, false, 0));
    const capture::Image empty = Look(L"broken-2-blank");
    EXPECT_EQ(kHostGrey, empty.At(kWidth / 2, kHeight / 2))
        << "the good preview was hidden for the blank one";

    ASSERT_EQ(S_OK, window->mhShow(Picture(L"after.pvz", 0x40A040, 0x101010), TovFileVaultType{}, nullptr,
                                   nullptr, false, 0));
    ExpectDrawn(Look(L"broken-3-good-again"), all, 0x40A040, 0x101010, "the pane still works");
}

TEST_F(PreviewPixelsTest, ARedirectedFileIsDrawnByThePreviewOfTheNamedExtension) {
    ServerClass drawing(L"redirects"), model(L"good");
    Plugin(L"Drawing.dll", &drawing, {{L".pvd", 0x4}});
    Plugin(L"Model.dll", &model, {{L".pvm", 0x4}});
    Fill();
    const std::wstring redirected =
        files.WriteFile(L"sheet.pvd", "REDIRECT pvm\nFILL 7030A0\nMARK 30A070\nTITLE sheet\n");
    ASSERT_EQ(S_OK, window->mhShow(redirected, TovFileVaultType{}, nullptr, nullptr, false, 0));
    ExpectDrawn(Look(L"redirected"), RECT{0, 0, kWidth, kHeight}, 0x7030A0, 0x30A070,
                "drawn by the model's preview");
}

// One thread shows files, one resizes, refreshes and hides, one lets files go; the window's
// thread pumps messages, as a host's does. Every show asks the process's manager whether the
// extension is excluded, taking its lock inside the window's.
TEST_F(PreviewPixelsTest, ThreadsShowingResizingAndReleasingNeitherDeadlockNorLeak) {
    ServerClass first(L"good"), second(L"good");
    Plugin(L"First.dll", &first, {{L".pva", 0x4}});
    Plugin(L"Second.dll", &second, {{L".pvb", 0x4}});
    Fill();
    const std::wstring paths[] = {Picture(L"s1.pva", 0xC02020, 0x2020C0),
                                  Picture(L"s2.pvb", 0x20C020, 0xC020C0)};

    std::atomic<bool> stop{false};
    std::atomic<long> shows{0}, badShows{0}, rounds{0}, finished{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        ComApartment com;
        for (int i = 0; !stop; ++i) {
            const long hr = window->mhShow(paths[i % 2], TovFileVaultType{}, nullptr, nullptr, false, 0);
            ++(hr == S_OK ? shows : badShows);
        }
        ++finished;
    });
    threads.emplace_back([&] {
        ComApartment com;
        for (int i = 0; !stop; ++i) {
            const RECT r{0, 0, kWidth - i % 50, kHeight - i % 30};
            window->mvResize(i % 7 ? &r : nullptr);
            window->mvRefresh(nullptr);
            if (i % 5 == 0)
                window->mvHide(true);
            ++rounds;
        }
        ++finished;
    });
    threads.emplace_back([&] {
        ComApartment com;
        for (int i = 0; !stop; ++i) {
            window->mbReleaseFile(paths[i % 2].c_str());
            if (i % 3 == 0)
                window->mvHide(false);
            MSG msg{host.get(), WM_KEYDOWN, VK_F5, 0, 0, {0, 0}};
            window->mbTranslateAccelerator(msg);
            ++rounds;
        }
        ++finished;
    });
    capture::PumpMessages(3000);
    stop = true;
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (finished < 3 && GetTickCount64() < deadline)
        capture::PumpMessages(20);
    if (finished < 3) {
        for (auto& t : threads)
            t.detach();
        FAIL() << "deadlock: the threads did not finish";
    }
    for (auto& t : threads)
        t.join();
    EXPECT_GT(shows, 20);
    EXPECT_EQ(0, badShows);
    EXPECT_GT(rounds, 100);
    // Still a working pane afterwards.
    window->mvResize(nullptr);
    ASSERT_EQ(S_OK, window->mhShow(paths[1], TovFileVaultType{}, nullptr, nullptr, false, 0));
    ExpectDrawn(Look(L"stress-after"), RECT{0, 0, kWidth, kHeight}, 0x20C020, 0xC020C0, "after the stress");
}

} // namespace
