// Previews in real windows: preview plug-ins served by a real COM server DLL draw into child
// windows of a real host window on the X display; the tests pump messages, capture the host's
// pixels and check known colours in known places. The pictures are also written as PNG files to
// the build tree's folder "preview-png", for a person to look at.
#include "PreviewKit.h"

#include "WindowCapture.h"
#include "fakes/preview/FakePreviewClasses.h"
#include "support/SamplePlugin.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <atomic>
#include <thread>

using namespace ffmtest;
using namespace fakepreview;

namespace {

constexpr std::uint32_t kHostGrey = 0x808080;
constexpr int kWidth = 320, kHeight = 240;
const RECT kAll{0, 0, kWidth, kHeight};

// The server's DllCanUnloadNow: S_OK once none of its objects and windows is left.
HRESULT CanUnloadServer() {
    using Fn = HRESULT(STDAPICALLTYPE*)();
    const HMODULE server = GetModuleHandleW(L"FakePreviewServer.dll");
    const auto fn =
        server ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(server, "DllCanUnloadNow")))
               : nullptr;
    return fn ? fn() : E_FAIL;
}

class PreviewPixelsTest : public ::testing::Test {
  protected:
    PreviewPixelsTest() {
        store->AddRef();
        CreateDirectoryW((ExecutableFolder() + L"\\..\\preview-png").c_str(), nullptr);
    }
    ~PreviewPixelsTest() override {
        window.reset();
        mgr->mvUninitialize();
        mgr.reset();
        host.reset();
        capture::PumpMessages(50);
        store->Release();
        EXPECT_EQ(S_OK, CanUnloadServer()) << "formats, previews or windows of the server left";
    }

    void Plugin(const std::wstring& name, const CLSID& clsid,
                std::initializer_list<const wchar_t*> extensions) {
        store->AddPlugin(name, clsid);
        for (const wchar_t* extension : extensions)
            store->AddExtension(extension, name, 0x4);
    }
    void Fill() {
        ASSERT_EQ(S_OK, server.registered);
        ASSERT_EQ(S_OK, mgr->mhSetRegAccess(store));
        ASSERT_EQ(S_OK, mgr->mhCreatePreview(*window, host.get(), nullptr, nullptr));
        window->mvResize(nullptr);
    }
    long Show(const std::wstring& path) {
        return window->mhShow(path, TovFileVaultType{}, nullptr, nullptr, false, 0);
    }
    // A file the good preview draws: background and a block of the mark colour.
    std::wstring Picture(const std::wstring& name, std::uint32_t fill, std::uint32_t mark) {
        char text[32];
        snprintf(text, sizeof text, "FILL %06X\nMARK %06X\n", fill, mark);
        return files.WriteFile(name, text);
    }
    capture::Image Look(const std::wstring& pngName) {
        capture::PumpMessages(150);
        capture::Image image = capture::CaptureClient(host.get());
        EXPECT_EQ(S_OK,
                  capture::SavePng(image, ExecutableFolder() + L"\\..\\preview-png\\" + pngName + L".png"));
        return image;
    }
    // The block of the mark colour and the background, relative to the area the preview was given.
    static void ExpectDrawn(const capture::Image& image, const RECT& area, std::uint32_t fill,
                            std::uint32_t mark) {
        ASSERT_EQ(kWidth, image.width);
        const long w = area.right - area.left, h = area.bottom - area.top;
        EXPECT_EQ(mark, image.At(area.left + w / 4, area.top + h / 4));
        EXPECT_EQ(fill, image.At(area.left + 3 * w / 4, area.top + 3 * h / 4));
        EXPECT_EQ(fill, image.At(area.left + w - 2, area.top + 2));
    }

    // The host window comes before the registry sandbox: Wine reads the user's window settings
    // when it makes the first top-level window of the thread.
    ffm::UniqueHwnd host{MakePane(kWidth, kHeight)};
    RegistrySandbox registry;
    SamplePluginRegistration server{L"FakePreviewServer.dll"};
    TempFolder files;
    TestStore* store = new TestStore;
    std::unique_ptr<FileFormatMgr> mgr = std::make_unique<FileFormatMgr>();
    std::unique_ptr<FilePreviewWnd> window = std::make_unique<FilePreviewWnd>();
};

TEST_F(PreviewPixelsTest, APreviewIsShownResizedHiddenReshownAndSwitched) {
    Plugin(L"First.dll", kClsid<Good>, {L".pva"});
    Plugin(L"Second.dll", kClsid<OtherGood>, {L".pvb"});
    Fill();
    ASSERT_EQ(S_OK, Show(Picture(L"red.pva", 0xE02020, 0x2020E0)));
    ExpectDrawn(Look(L"shown"), kAll, 0xE02020, 0x2020E0);

    const RECT half{0, 0, kWidth / 2, kHeight / 2};
    window->mvResize(&half);
    const capture::Image resized = Look(L"resized");
    ExpectDrawn(resized, half, 0xE02020, 0x2020E0);
    EXPECT_EQ(kHostGrey, resized.At(3 * kWidth / 4, 3 * kHeight / 4)) << "the pane shows outside the preview";

    window->mvResize(nullptr);
    window->mvHide(true);
    EXPECT_EQ(kHostGrey, Look(L"hidden").At(kWidth / 4, kHeight / 4));

    // Shown again, another file of the same plug-in, a file of the other plug-in, and back.
    const struct {
        const wchar_t* file;
        std::uint32_t fill, mark;
    } shows[] = {{L"red.pva", 0xE02020, 0x2020E0},
                 {L"yellow.pva", 0xE0E020, 0x202020},
                 {L"green.pvb", 0x20C040, 0xE020E0},
                 {L"red.pva", 0xE02020, 0x2020E0}};
    for (const auto& s : shows) {
        SCOPED_TRACE(Utf8(s.file));
        ASSERT_EQ(S_OK, Show(Picture(s.file, s.fill, s.mark)));
        ExpectDrawn(Look(s.file), kAll, s.fill, s.mark);
    }
}

// One thread shows files, one resizes, refreshes, lets files go and hides; the window's thread
// pumps messages, as a host's does. Every show asks the process's manager whether the
// extension is excluded, taking its lock inside the window's.
TEST_F(PreviewPixelsTest, ThreadsShowingResizingAndReleasingNeitherDeadlockNorLeak) {
    Plugin(L"First.dll", kClsid<Good>, {L".pva"});
    Plugin(L"Second.dll", kClsid<OtherGood>, {L".pvb"});
    Fill();
    const std::wstring paths[] = {Picture(L"s1.pva", 0xC02020, 0x2020C0),
                                  Picture(L"s2.pvb", 0x20C020, 0xC020C0)};

    std::atomic<bool> stop{false};
    std::atomic<long> shows{0}, badShows{0}, rounds{0}, finished{0};
    std::vector<std::thread> threads;
    const auto worker = [&](std::function<void(int)> step) {
        threads.emplace_back([&, step] {
            ComApartment com;
            for (int i = 0; !stop; ++i)
                step(i);
            ++finished;
        });
    };
    worker([&](int i) { ++(Show(paths[i % 2]) == S_OK ? shows : badShows); });
    worker([&](int i) {
        const RECT r{0, 0, kWidth - i % 50, kHeight - i % 30};
        window->mvResize(i % 7 ? &r : nullptr);
        window->mvRefresh(nullptr);
        window->mbReleaseFile(paths[i % 2].c_str());
        if (i % 5 == 0)
            window->mvHide(i % 3 == 0);
        MSG msg{host.get(), WM_KEYDOWN, VK_F5, 0, 0, {0, 0}};
        window->mbTranslateAccelerator(msg);
        ++rounds;
    });
    capture::PumpMessages(3000);
    stop = true;
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (finished < 2 && GetTickCount64() < deadline)
        capture::PumpMessages(20);
    if (finished < 2) {
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
    ASSERT_EQ(S_OK, Show(paths[1]));
    ExpectDrawn(Look(L"stress-after"), kAll, 0x20C020, 0xC020C0);
}

} // namespace
