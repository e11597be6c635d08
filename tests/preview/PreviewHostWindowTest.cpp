// What the window does with the host's real windows: the top-level window is disabled while a
// plug-in shows a file by path, and an outside PDF view open around the pane refuses PDF files.
#include "PreviewKit.h"

#include <FileFmtMgr/FileFormatMgr.h>

using namespace ffmtest;
using ffm::ComPtr;
using ffm::UniqueHwnd;

namespace {

const RECT kArea{0, 0, 200, 100};

HWND Window(const wchar_t* cls, const wchar_t* text, DWORD style, HWND parent, int x = 0, int y = 0) {
    return CreateWindowExW(0, cls, text, style, x, y, 200, 100, parent, nullptr, nullptr, nullptr);
}

class PreviewHostWindowTest : public ::testing::Test {
  protected:
    PreviewHostWindowTest() {
        // The window learns its parent from the manager's creation, here with no plug-ins at all.
        const ComPtr<TestStore> empty(new TestStore);
        EXPECT_EQ(S_OK, mgr.mhSetRegAccess(empty.get()));
        EXPECT_EQ(S_OK, mgr.mhCreatePreview(window, pane.get(), &kArea, nullptr));
        window.mvResize(&kArea);
    }
    ~PreviewHostWindowTest() override { mgr.mvUninitialize(); }
    long Show(const wchar_t* path) {
        return window.mhShow(path, TovFileVaultType{}, nullptr, nullptr, false, 0);
    }

    UniqueHwnd top{Window(L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, nullptr)};
    UniqueHwnd pane{Window(L"STATIC", L"pane", WS_CHILD | WS_VISIBLE, top.get())};
    Journal journal;
    FileFormatMgr mgr;
    TestWindow window;
};

TEST_F(PreviewHostWindowTest, TheHostIsDisabledWhileAPluginShowsAFileAndAnOutsidePdfViewRefusesPdfFiles) {
    ASSERT_EQ(pane.get(), window.mhGetParent());
    auto* p = new RecordingPreview(journal);
    ComPtr<ITovFilePreview> keep(p);
    window.Add(p, L"A");
    int enabledDuringShow = -1;
    p->onShow = [&](ITovCallback*) { enabledDuringShow = IsWindowEnabled(top.get()); };
    ASSERT_EQ(S_OK, Show(L"x.a"));
    EXPECT_EQ(0, enabledDuringShow);
    EXPECT_TRUE(IsWindowEnabled(top.get()));

    // A host that disabled its window itself keeps it disabled.
    EnableWindow(top.get(), FALSE);
    ASSERT_EQ(S_OK, Show(L"x.a"));
    EXPECT_FALSE(IsWindowEnabled(top.get()));
    EnableWindow(top.get(), TRUE);

    // An outside PDF view around the pane refuses PDF files.
    auto* pdf = new RecordingPreview(journal);
    ComPtr<ITovFilePreview> keepPdf(pdf);
    window.Add(pdf, L"PDF");
    constexpr HRESULT kViewOpen = static_cast<HRESULT>(0x800402BF);
    ASSERT_EQ(S_OK, Show(L"a.pdf"));

    // Registered the outside viewer's way: a class of that name with that window text.
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"avl_avview";
    RegisterClassW(&wc);

    // Inside the pane it is the preview's own business.
    UniqueHwnd inside{Window(L"AVL_AVView", L"AVToolBarHostView", WS_CHILD | WS_VISIBLE, pane.get())};
    EXPECT_EQ(S_OK, Show(L"a.pdf"));
    inside.reset();

    // Beside the pane, under the same top-level window: refused, and only for PDF files.
    UniqueHwnd side{Window(L"STATIC", L"side", WS_CHILD | WS_VISIBLE, top.get())};
    UniqueHwnd view{Window(L"AVL_AVView", L"avtoolbarhostview", WS_CHILD | WS_VISIBLE, side.get())};
    EXPECT_EQ(kViewOpen, Show(L"a.PDF"));
    ShowWindow(view.get(), SW_HIDE);
    EXPECT_EQ(S_OK, Show(L"a.pdf")) << "hidden views count not";
    view.reset();

    // In a window that owns the host's top-level window.
    UniqueHwnd owner{Window(L"STATIC", L"owner", WS_OVERLAPPED | WS_VISIBLE, nullptr)};
    SetWindowLongPtrW(top.get(), GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner.get()));
    UniqueHwnd owned{Window(L"AVL_AVView", L"AVToolBarHostView", WS_CHILD | WS_VISIBLE, owner.get())};
    EXPECT_EQ(kViewOpen, Show(L"a.pdf"));
    EXPECT_EQ(2, journal.Count(pdf, Call::Hide)) << "each refusal hides the preview shown before";
    SetWindowLongPtrW(top.get(), GWLP_HWNDPARENT, 0);
}

} // namespace
