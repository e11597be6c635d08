// The sample plug-in's preview in a real pane: registered with its own DllRegisterServer, created
// by the manager, drawing an assembly, a part and a drawing the way a person recognises them; a
// drawing that is really a part goes through the redirection; the pane's view menu switches the
// preview between its two layouts.
#include "PreviewKit.h"

#include "WindowCapture.h"
#include "support/SamplePlugin.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <FileFmtMgr/MenuExtension.h>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

constexpr int kWidth = 480, kHeight = 320;
constexpr std::uint32_t kBand = 0x28466E, kBox = 0xE8EEF6, kMissing = 0xFAE6E6, kInk = 0x1E1E1E;
constexpr std::uint32_t kGrey = 0x808080;

constexpr char kPart[] = "MRD 1 part\r\n[Configurations]\r\nZ32\r\nZ40\r\n"
                         "[Properties]\r\nCustomProperty:Material = C45\r\n"
                         "[Properties Z32]\r\nCustomProperty:Title = Spur gear, 32 teeth\r\n";
constexpr char kDrawing[] =
    "MRD 1 drawing\r\n[Configurations]\r\nSheet1\r\n[Settings]\r\nDetailingMode = yes\r\n"
    "[Properties Sheet1]\r\nCustomProperty:Title = Gear box\r\nCustomProperty:Sheet = 1 of 1\r\n"
    "[Reference Front]\r\nPath = box.mrdasm\r\nKind = view\r\nUse = Sheet1 > Default\r\n";

// Whether the colour shows anywhere in the rectangle [x0, x1) x [y0, y1).
bool Shows(const capture::Image& image, int x0, int y0, int x1, int y1, std::uint32_t colour) {
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            if (image.At(x, y) == colour)
                return true;
    return false;
}

class SamplePreviewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, plugin.registered);
        ASSERT_NE(nullptr, host.get());
        ASSERT_EQ(S_OK, mgr.mhCreatePreview(window, host.get(), nullptr, nullptr));
        window.mvResize(nullptr);
    }
    void TearDown() override { mgr.mvUninitialize(); }

    long Show(const std::wstring& path) {
        return window.mhShow(path, TovFileVaultType{}, nullptr, nullptr, false, 0);
    }
    capture::Image Look(const wchar_t* name) {
        capture::PumpMessages(200);
        capture::Image image = capture::CaptureClient(host.get());
        capture::SavePng(image, ExecutableFolder() + L"\\..\\preview-png\\sample-" + name + L".png");
        return image;
    }

    SamplePluginRegistration plugin;
    TempFolder folder;
    ffm::UniqueHwnd host{MakePane(kWidth, kHeight)};
    FileFormatMgr mgr;
    FilePreviewWnd window;
};

TEST_F(SamplePreviewTest, AnAssemblyAPartAndADrawingEvenOneThatIsAPartAreDrawnAsAPersonKnowsThem) {
    CreateDirectoryW((ExecutableFolder() + L"\\..\\preview-png").c_str(), nullptr);
    const std::wstring assembly = folder.WriteFile(L"box.mrdasm", kSampleAssembly);
    const std::wstring part = folder.WriteFile(L"gear.mrdprt", kPart);
    const std::wstring drawing = folder.WriteFile(L"box.mrddrw", kDrawing);

    ASSERT_EQ(S_OK, Show(assembly));
    const capture::Image tree = Look(L"assembly");
    ASSERT_EQ(kWidth, tree.width);
    EXPECT_EQ(kBand, tree.At(4, 4)) << "the title band";
    EXPECT_EQ(kBox, tree.At(16, 52)) << "the assembly at the root of the tree";
    EXPECT_EQ(kMissing, tree.At(60, 126)) << "the first reference's file is not there: marked";
    EXPECT_EQ(kBand, tree.At(28, 110)) << "the branch to it";

    ASSERT_EQ(S_OK, Show(part));
    const capture::Image table = Look(L"part");
    EXPECT_EQ(kBand, table.At(14, 110)) << "the properties table's head";
    EXPECT_NE(kBox, table.At(16, 52));

    ASSERT_EQ(S_OK, Show(drawing));
    const capture::Image sheet = Look(L"drawing");
    EXPECT_TRUE(Shows(sheet, 6, 200, 16, 201, kInk)) << "the sheet's border";
    EXPECT_TRUE(Shows(sheet, kWidth - 24, kHeight - 60, kWidth - 14, kHeight - 59, kInk))
        << "the title block's frame, bottom right";
    EXPECT_FALSE(Shows(sheet, 6, 200, 16, 201, kBox));
    // A drawing that is really a part goes through the redirection to the part's preview.
    ASSERT_EQ(S_OK, Show(folder.WriteFile(L"gear.mrddrw", kPart)));
    const capture::Image redirected = Look(L"redirected");
    EXPECT_EQ(kBand, redirected.At(14, 110)) << "drawn as a part: the properties table";
    EXPECT_FALSE(Shows(redirected, 6, 200, 16, 201, kInk)) << "not as a sheet";

    window.mvHide(true);
    EXPECT_EQ(kGrey, Look(L"hidden").At(4, 4)) << "hidden: the pane shows";
    EXPECT_TRUE(window.mbReleaseFile(drawing.c_str())) << "the sample keeps no file open";
    const RECT half{0, 0, kWidth / 2, kHeight};
    window.mvResize(&half);
    ASSERT_EQ(S_OK, Show(assembly));
    const capture::Image narrow = Look(L"narrow");
    EXPECT_EQ(kBand, narrow.At(4, 4));
    EXPECT_EQ(kGrey, narrow.At(kWidth - 4, 4)) << "the preview keeps to its rectangle";
}

TEST_F(SamplePreviewTest, TheViewMenuSwitchesBetweenTheDetailedAndTheCompactLayout) {
    const std::wstring assembly = folder.WriteFile(L"box.mrdasm", kSampleAssembly);
    ASSERT_EQ(S_OK, Show(assembly));
    const capture::Image detailed = Look(L"detailed");

    // The view menu as the pane offers it each time it opens: the built-in item, then the two layouts.
    ffm::UniqueHMenu menu;
    MenuExtension extension;
    const auto checked = [&](UINT id) {
        menu.reset(CreatePopupMenu());
        EXPECT_TRUE(window.mbGetViewMenuExtension(menu.get(), extension, 40000, -1));
        EXPECT_EQ(3, GetMenuItemCount(menu.get()));
        return (GetMenuState(menu.get(), id, MF_BYCOMMAND) & MF_CHECKED) != 0;
    };
    EXPECT_TRUE(checked(40001)) << "detailed";

    bool refresh = true;
    ASSERT_TRUE(extension.mbOnMenuItem(40002, menu.get(), host.get(), nullptr, &refresh));
    EXPECT_FALSE(refresh) << "the preview redraws by itself";
    const capture::Image compact = Look(L"compact");
    EXPECT_EQ(kBand, compact.At(4, 4));
    EXPECT_NE(detailed.pixels, compact.pixels) << "the boxes lose their second line";

    // The next menu shows the layout in use; picking the other brings the first picture back.
    EXPECT_TRUE(checked(40002)) << "compact";
    ASSERT_TRUE(extension.mbOnMenuItem(40001, menu.get(), host.get(), nullptr, &refresh));
    EXPECT_EQ(detailed.pixels, Look(L"detailed-again").pixels);
    window.mvHide(false);
}

} // namespace
