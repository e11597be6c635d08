// What the Excluded File Types dialog looks like: a screenshot of the open dialog (through the
// window capture the previews use) against the header picture of PreviewView.dll and the
// template's control rectangles; and the picture's GDI objects released with the dialog.
#include "UiTestKit.h"

#include "ui/ExcludeDlg.h"
#include "ui/UiResources.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <WindowCapture.h>
#include <gtest/gtest.h>

using namespace ffmtest;

namespace {

// The header picture as the resource library holds it, as top-down 0x00RRGGBB pixels.
capture::Image HeaderPicture() {
    capture::Image image;
    HMODULE library =
        LoadLibraryExW((BinFolder() + L"\\PreviewView.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    auto bitmap = static_cast<HBITMAP>(
        LoadImageW(library, MAKEINTRESOURCEW(IDB_EXCLUDE_HEADER), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    BITMAP description{};
    if (bitmap && GetObjectW(bitmap, sizeof description, &description)) {
        image.width = description.bmWidth;
        image.height = std::abs(description.bmHeight);
        image.pixels.resize(size_t(image.width) * image.height);
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), image.width, -image.height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        HDC screen = GetDC(nullptr);
        GetDIBits(screen, bitmap, 0, image.height, image.pixels.data(), &info, DIB_RGB_COLORS);
        ReleaseDC(nullptr, screen);
        for (auto& p : image.pixels)
            p &= 0x00FFFFFF;
    }
    if (bitmap)
        DeleteObject(bitmap);
    if (library)
        FreeLibrary(library);
    return image;
}

std::uint32_t Rgb(COLORREF c) {
    return (std::uint32_t(GetRValue(c)) << 16) | (std::uint32_t(GetGValue(c)) << 8) | GetBValue(c);
}

struct Shot {
    capture::Image image;
    std::vector<std::pair<int, RECT>> controls; // template rectangles mapped to client pixels
};

class ExcludeDialogPicture : public UiTest {
  protected:
    Shot Open() {
        Shot shot;
        DialogDriver driver(L"Excluded File Types", [&](HWND dialog) {
            RedrawWindow(dialog, nullptr, nullptr,
                         RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
            Sleep(200);
            shot.image = capture::CaptureClient(dialog);
            const struct {
                int id;
                RECT units; // x, y, width, height
            } layout[] = {{IDC_EXCLUDE_MESSAGE, {72, 7, 271, 39}},
                          {IDC_EXCLUDE_LIST_LABEL, {7, 69, 336, 8}},
                          {IDC_EXCLUDE_LIST, {7, 79, 336, 14}},
                          {IDOK, {241, 103, 50, 14}},
                          {IDCANCEL, {293, 103, 50, 14}}};
            for (const auto& c : layout) {
                RECT r = c.units;
                MapDialogRect(dialog, &r);
                shot.controls.push_back({c.id, {r.left, r.top, r.left + r.right, r.top + r.bottom}});
            }
            Click(dialog, IDCANCEL);
        });
        EXPECT_FALSE(goFileFormatMgr.mbEditExcludedExtensions(host.Get()));
        EXPECT_TRUE(driver.Finish());
        return shot;
    }

    HostWindow host;
};

} // namespace

TEST_F(ExcludeDialogPicture, ShowsTheHeaderPictureOnAWhiteBandAboveTheTemplatesControls) {
    StoreList(L"exe,dll,tmp");
    const Shot shot = Open();
    const capture::Image& image = shot.image;
    ASSERT_GT(image.width, 0);
    // Kept in the build tree for a person to look at.
    EXPECT_EQ(S_OK, capture::SavePng(image, BinFolder() + L"\\excluded-types-dialog.png"));

    const capture::Image header = HeaderPicture();
    ASSERT_EQ(64, header.width);
    ASSERT_EQ(64, header.height);
    long wrong = 0;
    for (int y = 0; y < header.height; ++y)
        for (int x = 0; x < header.width; ++x)
            wrong += image.At(7 + x, 3 + y) != header.At(x, y);
    EXPECT_EQ(0, wrong) << "pixels of the header picture at (7, 3) that differ from bitmap 4027";

    const int band = header.height + 13;
    const std::uint32_t white = 0xFFFFFF, face = Rgb(GetSysColor(COLOR_BTNFACE));
    for (int x : {0, 3, 80, image.width - 2}) {
        SCOPED_TRACE(x);
        EXPECT_EQ(white, image.At(x, 0));
        EXPECT_EQ(white, image.At(x, band - 1));
        EXPECT_EQ(Rgb(GetSysColor(COLOR_BTNSHADOW)), image.At(x, band));
        EXPECT_EQ(Rgb(GetSysColor(COLOR_BTNHIGHLIGHT)), image.At(x, band + 1));
        EXPECT_EQ(face, image.At(x, band + 3));
    }
    for (const auto& [id, r] : shot.controls) {
        SCOPED_TRACE(id);
        const int middle = (r.top + r.bottom) / 2;
        if (id == IDC_EXCLUDE_LIST || id == IDOK || id == IDCANCEL) {
            // Framed controls: the frame lies on the rectangle, the dialog's face just outside it.
            EXPECT_EQ(face, image.At(r.left - 1, middle));
            EXPECT_NE(face, image.At(r.left, middle));
            EXPECT_NE(face, image.At(r.right - 1, middle));
            EXPECT_EQ(face, image.At(r.right, middle));
            continue;
        }
        // Texts: dark pixels inside the rectangle, on white for the explanation.
        long dark = 0;
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x)
                dark += (image.At(x, y) & 0xFF) < 0x60;
        EXPECT_GT(dark, 20);
        const std::uint32_t background = id == IDC_EXCLUDE_MESSAGE ? white : face;
        EXPECT_EQ(background, image.At(r.right - 2, r.bottom - 2));
    }
}

TEST_F(ExcludeDialogPicture, WithoutTheResourceLibraryThereIsNoHeaderBand) {
    HideResourceLibrary();
    const capture::Image image = Open().image;
    ASSERT_GT(image.width, 0);
    const std::uint32_t face = Rgb(GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(face, image.At(3, 3));
    EXPECT_EQ(face, image.At(image.width - 2, 0));
    EXPECT_EQ(face, image.At(40, 40)) << "no picture where it would stand";
}

TEST_F(ExcludeDialogPicture, EveryPictureAndPaletteIsReleasedWithItsDialog) {
    HostWindow host2;
    std::vector<std::pair<HBITMAP, HPALETTE>> objects;
    for (int i = 0; i < 20; ++i) {
        ExcludeDlg dialog;
        ASSERT_NE(nullptr, dialog.mpoGetPicture());
        objects.push_back({dialog.mpoGetPicture()->mhGetBitmap(), dialog.mpoGetPicture()->mhGetPalette()});
        EXPECT_EQ(DWORD(OBJ_BITMAP), GetObjectType(objects.back().first));
        EXPECT_EQ(DWORD(OBJ_PAL), GetObjectType(objects.back().second));
        DialogDriver driver(L"Excluded File Types", [i](HWND d) { Click(d, i % 2 ? IDOK : IDCANCEL); });
        dialog.miDoModal(host2.Get());
        EXPECT_TRUE(driver.Finish());
    }
    for (const auto& [bitmap, palette] : objects) {
        EXPECT_EQ(0u, GetObjectType(bitmap));
        EXPECT_EQ(0u, GetObjectType(palette));
    }
}
