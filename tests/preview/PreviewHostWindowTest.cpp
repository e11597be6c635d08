// What the window does with the host's real windows: the top-level window is disabled while a
// plug-in shows a file by path, an outside PDF view open around the pane refuses PDF files, and
// the bitmap class draws its pixels where asked, through DrawDib and without it.
#include "PreviewKit.h"

#include "preview/Dib.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <cstdint>
#include <cstring>

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
    EXPECT_EQ(2, pdf->N(Call::Hide)) << "each refusal hides the preview shown before";
    SetWindowLongPtrW(top.get(), GWLP_HWNDPARENT, 0);
}

// A 4x2 palette bitmap, bottom-up as bitmaps from resources are: a row of red, green, blue, white
// over a row of white, blue, green, red.
HBITMAP PaletteBitmap() {
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colours[4];
    } info{};
    info.header = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), 4, 2, 1, 8, BI_RGB, 0, 0, 0, 4, 0};
    info.colours[0] = RGBQUAD{0, 0, 255, 0};
    info.colours[1] = RGBQUAD{0, 255, 0, 0};
    info.colours[2] = RGBQUAD{255, 0, 0, 0};
    info.colours[3] = RGBQUAD{255, 255, 255, 0};
    void* bits = nullptr;
    HBITMAP bitmap =
        CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, &bits, nullptr, 0);
    const BYTE rows[2][4] = {{3, 2, 1, 0}, {0, 1, 2, 3}}; // bottom row first
    for (int y = 0; y < 2; ++y)
        memcpy(static_cast<BYTE*>(bits) + y * 4, rows[y], 4);
    return bitmap;
}

// A 16x8 canvas of 32-bit pixels filled with black.
struct Canvas {
    Canvas() {
        BITMAPINFO info{};
        info.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), 16, -8, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        bitmap =
            CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
        dc = CreateCompatibleDC(nullptr);
        old = SelectObject(dc, bitmap);
    }
    ~Canvas() {
        SelectObject(dc, old);
        DeleteDC(dc);
        DeleteObject(bitmap);
    }
    std::uint32_t At(int x, int y) {
        GdiFlush();
        return bits[y * 16 + x] & 0xFFFFFF;
    }
    HBITMAP bitmap;
    std::uint32_t* bits = nullptr;
    HDC dc;
    HGDIOBJ old;
};

TEST(Dib, DrawsThePictureUnscaledByBlitAndScaledThroughDrawDib) {
    CDib empty;
    Canvas canvas;
    EXPECT_EQ(FALSE, empty.Draw(canvas.dc, nullptr, nullptr, false, nullptr, true));
    EXPECT_EQ(FALSE, empty.Draw(canvas.dc, nullptr, nullptr, true, nullptr, true));

    CDib dib;
    ASSERT_TRUE(dib.mbAttach(PaletteBitmap()));
    EXPECT_STREQ("CDib", CDib::zpcClassName());
    EXPECT_EQ(4, dib.moGetDescription().bmWidth);
    RGBQUAD table[8];
    ASSERT_GE(dib.miGetColorTable(table, 8), 4u);
    EXPECT_EQ(255, table[0].rgbRed);
    EXPECT_EQ(255, table[2].rgbBlue);
    EXPECT_NE(nullptr, dib.mhGetPalette());

    // Without rectangles and without DrawDib: the whole bitmap at (0, 0), unscaled.
    EXPECT_NE(FALSE, dib.Draw(canvas.dc, nullptr, nullptr, false, nullptr, true));
    const std::uint32_t red = 0xFF0000, green = 0x00FF00, blue = 0x0000FF, white = 0xFFFFFF;
    const std::uint32_t top[] = {red, green, blue, white}, bottom[] = {white, blue, green, red};
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(top[x], canvas.At(x, 0)) << x;
        EXPECT_EQ(bottom[x], canvas.At(x, 1)) << x;
    }
    EXPECT_EQ(0u, canvas.At(4, 0)) << "nothing beyond the bitmap";
    EXPECT_EQ(0u, canvas.At(0, 2));

    // Through DrawDib, scaled twice into a rectangle at (8, 4).
    const RECT dest{8, 4, 16, 8};
    EXPECT_NE(FALSE, dib.Draw(canvas.dc, &dest, nullptr, true, nullptr, false));
    for (int x = 0; x < 8; ++x) {
        EXPECT_EQ(top[x / 2], canvas.At(8 + x, 4)) << x;
        EXPECT_EQ(bottom[x / 2], canvas.At(8 + x, 7)) << x;
    }
    // A part of the picture stretched by blit.
    const RECT part{1, 0, 3, 1}, wide{0, 6, 8, 8};
    EXPECT_NE(FALSE, dib.Draw(canvas.dc, &wide, &part, false, nullptr, true));
    EXPECT_EQ(green, canvas.At(0, 6));
    EXPECT_EQ(blue, canvas.At(7, 7));

    CDib notABitmap;
    EXPECT_FALSE(notABitmap.mbAttach(reinterpret_cast<HBITMAP>(GetStockObject(WHITE_BRUSH))));
}

} // namespace
