// The Excluded File Types dialog as a person meets it: a real modal dialog under the X server,
// worked from a second thread (find it by caption, read its texts, type, press a button), with
// the registry, the exclusion tests and the dialog's pixels checked afterwards.
#include "UiTestKit.h"

#include "ui/ExcludeDlg.h"
#include "ui/LocalizedStrings.h"
#include "ui/UiResources.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <FileFmtMgr/FilePreviewWnd.h>
#include <FileFmtMgr/MenuExtension.h>
#include <optional>

using namespace ffmtest;

namespace {

constexpr const wchar_t* kCaption = L"Excluded File Types";
constexpr const wchar_t* kGermanCaption = L"Ausgeschlossene Dateitypen";

void StoreList(const std::wstring& text) {
    RegistrySandbox::SetString(HKEY_CURRENT_USER, kManagerKey, kExcludeListValue, text);
}

void StoreRaw(DWORD type, const void* data, DWORD size) {
    RegistrySandbox::SetRaw(HKEY_CURRENT_USER, kManagerKey, kExcludeListValue, type, data, size);
}

std::uint32_t SysColour(int index) {
    const COLORREF c = GetSysColor(index);
    return (std::uint32_t(GetRValue(c)) << 16) | (std::uint32_t(GetGValue(c)) << 8) | GetBValue(c);
}

// The header picture as the resource library holds it, as top-down 0x00RRGGBB pixels.
capture::Image HeaderPicture() {
    capture::Image image;
    const ffm::UniqueHModule library(LoadLibraryExW((ExecutableFolder() + L"\\PreviewView.dll").c_str(),
                                                    nullptr, LOAD_LIBRARY_AS_DATAFILE));
    auto bitmap = static_cast<HBITMAP>(LoadImageW(library.get(), MAKEINTRESOURCEW(IDB_EXCLUDE_HEADER),
                                                  IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
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
    DeleteObject(bitmap);
    return image;
}

// What the dialog shows once it has painted.
capture::Image Shoot(HWND dialog) {
    RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Sleep(200);
    return capture::CaptureClient(dialog);
}

// Types into the list field, then closes the dialog with the button.
std::function<void(HWND)> Type(const std::wstring& text, int button = IDOK) {
    return [=](HWND dialog) {
        TypeInto(GetDlgItem(dialog, IDC_EXCLUDE_LIST), text);
        Click(dialog, button);
    };
}

class ExcludeDialog : public UiTest {
  protected:
    // Opens the dialog over the host through the manager while steps work it; returns what the
    // manager answered.
    bool Edit(const std::function<void(HWND)>& steps) {
        DialogDriver driver(kCaption, steps);
        const bool confirmed = goFileFormatMgr.mbEditExcludedExtensions(host.get());
        EXPECT_TRUE(driver.Finish()) << "the dialog was not found or had to be cancelled";
        return confirmed;
    }

    const ffm::UniqueHwnd host{CreateWindowExW(0, L"STATIC", L"Host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40,
                                               40, 800, 600, nullptr, nullptr, nullptr, nullptr)};
};

} // namespace

// Opened as a person opens it: the built-in item of a preview pane's view menu, over the host.
TEST_F(ExcludeDialog, ShowsTheTextsOfTheUsersLanguageAndStoresWhatWasTyped) {
    SetLanguage(L"DE");
    StoreList(L"dwg,pdf");
    FilePreviewWnd pane;
    MenuExtension extension;
    const ffm::UniqueHMenu menu(CreatePopupMenu());
    ASSERT_TRUE(pane.mbGetViewMenuExtension(menu.get(), extension, 40000, -1));
    // Longer than the field is wide: typing scrolls on.
    const std::wstring many(150, L'x');
    std::vector<std::wstring> shown;
    HWND owner = nullptr;
    bool fieldHasFocus = false;
    DialogDriver driver(kGermanCaption, [&](HWND dialog) {
        for (int id : {0, IDC_EXCLUDE_MESSAGE, IDC_EXCLUDE_LIST_LABEL, IDC_EXCLUDE_LIST, IDOK, IDCANCEL})
            shown.push_back(TextOf(id ? GetDlgItem(dialog, id) : dialog));
        owner = GetWindow(dialog, GW_OWNER);
        GUITHREADINFO info{};
        info.cbSize = sizeof(info);
        GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
        // Another test process on the same display may hold the activation; then no control has focus.
        fieldHasFocus = info.hwndFocus == GetDlgItem(dialog, IDC_EXCLUDE_LIST) || info.hwndActive != dialog;
        TypeInto(GetDlgItem(dialog, IDC_EXCLUDE_LIST), L" .exe ,DLL,,tmp ," + many);
        // Enter: the default button.
        PostMessageW(GetDlgItem(dialog, IDC_EXCLUDE_LIST), WM_KEYDOWN, VK_RETURN, 0);
    });
    bool refresh = true;
    EXPECT_TRUE(extension.mbOnMenuItem(40000, menu.get(), host.get(), nullptr, &refresh));
    EXPECT_TRUE(driver.Finish());
    EXPECT_FALSE(refresh);
    EXPECT_EQ(host.get(), owner);
    // The service has no German explanation: the library's own.
    const std::vector<std::wstring> german = {kGermanCaption,
                                              ffm::mpGetTsDefault(ffm::TsMessage),
                                              L"&Liste der Dateierweiterungen:",
                                              L"dwg,pdf",
                                              L"OK",
                                              L"Abbrechen"};
    EXPECT_EQ(german, shown);
    EXPECT_TRUE(fieldHasFocus);
    const StoredValue stored = ReadStored();
    EXPECT_EQ(DWORD(REG_SZ), stored.type);
    EXPECT_EQ(L"exe,DLL,tmp," + many, stored.text);
}

// OK writes back what the field could hold; Cancel, the system menu and Escape leave the value as it was.
TEST_F(ExcludeDialog, OkWritesHostileStoredValuesBackWithinTheFieldsReachAndEveryOtherCloseKeepsThem) {
    std::wstring many;
    for (int i = 0; i < 10000; ++i)
        many += (i ? L"," : L"") + std::to_wstring(i) + L"x";
    // What OK stores of a long list: the first 4095 characters, less a cut-off trailing comma.
    std::wstring manyStored = many.substr(0, 4095);
    if (manyStored.back() == L',')
        manyStored.pop_back();
    const std::wstring separators = L" exe ;\tdll\n, tmp,\r\n.bat, ,,..x,jp";
    const DWORD number = 42;
    const BYTE binary[] = {0x65, 0, 0x78, 0, 0x65}; // "ex" and half a character
    const BYTE multi[] = {'e', 0, 'x', 0, 'e', 0, 0, 0, 'd', 0, 'l', 0, 'l', 0, 0, 0, 0, 0};
    const auto typeThen = [](std::function<void(HWND)> close) {
        return [close](HWND d) {
            TypeInto(GetDlgItem(d, IDC_EXCLUDE_LIST), L"exe,dll");
            close(d);
        };
    };
    const struct {
        const char* name;
        std::function<void()> store;
        std::wstring shown;
        std::optional<std::wstring> stored; // none: left as it was
        std::function<void(HWND)> close;    // none: OK
    } cases[] = {
        {"10,000 extensions", [&] { StoreList(many); }, many, manyStored, {}},
        {"one entry longer than the field's reach",
         [&] { StoreList(std::wstring(100000, L'x')); },
         std::wstring(100000, L'x'),
         std::wstring(4095, L'x'),
         {}},
        {"separators of every kind",
         [&] { StoreList(separators); },
         separators,
         L"exe ;\tdll,tmp,bat,,.x,jp",
         {}},
        {"a number", [&] { StoreRaw(REG_DWORD, &number, 4); }, L"", L"", {}},
        {"binary data", [&] { StoreRaw(REG_BINARY, binary, sizeof binary); }, L"", L"", {}},
        {"a multi-string", [&] { StoreRaw(REG_MULTI_SZ, multi, sizeof multi); }, L"", L"", {}},
        // The half character is completed with a zero byte: "e".
        {"unterminated, odd length", [&] { StoreRaw(REG_SZ, binary, sizeof binary); }, L"exe", L"exe", {}},
        {"a number, cancelled", [&] { StoreRaw(REG_DWORD, &number, 4); }, L"", std::nullopt,
         typeThen([](HWND d) { Click(d, IDCANCEL); })},
        {"a string, system menu", [] { StoreList(L"dwg"); }, L"dwg", std::nullopt,
         typeThen([](HWND d) { PostMessageW(d, WM_SYSCOMMAND, SC_CLOSE, 0); })},
        {"missing, escape key", [] { RegDeleteKeyValueW(HKEY_CURRENT_USER, kManagerKey, kExcludeListValue); },
         L"", std::nullopt,
         typeThen([](HWND d) { PostMessageW(GetDlgItem(d, IDC_EXCLUDE_LIST), WM_KEYDOWN, VK_ESCAPE, 0); })},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.store();
        const StoredValue before = ReadStored();
        std::wstring shown;
        EXPECT_EQ(c.stored.has_value(), Edit([&](HWND dialog) {
                      shown = TextOf(GetDlgItem(dialog, IDC_EXCLUDE_LIST));
                      c.close ? c.close(dialog) : Click(dialog, IDOK);
                  }));
        // Compared without printing: the texts run to 100,000 characters.
        EXPECT_TRUE(c.shown == shown) << shown.size() << " characters shown";
        const StoredValue after = ReadStored();
        EXPECT_EQ(c.stored ? DWORD(REG_SZ) : before.type, after.type);
        EXPECT_TRUE(c.stored.value_or(before.text) == after.text)
            << after.text.size() << " characters stored";
    }
}

TEST_F(ExcludeDialog, OpensWithDefaultsWhenTheServiceAndTheResourceLibraryAreMissing) {
    SetLanguage(L"DE");
    FailServiceInit(true);
    const TempFolder withoutPreviewViewDll;
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, kVendorRoot, L"SharedLocation",
                               withoutPreviewViewDll.Path());
    StoreList(L"dwg");
    std::wstring field;
    capture::Image image;
    EXPECT_TRUE(Edit([&](HWND dialog) {
        field = TextOf(GetDlgItem(dialog, IDC_EXCLUDE_LIST));
        image = Shoot(dialog);
        Type(L"pdf")(dialog);
    }));
    EXPECT_EQ(L"dwg", field);
    EXPECT_EQ(L"pdf", ReadStored().text);
    ASSERT_GT(image.width, 0);
    for (const POINT p : {POINT{3, 3}, POINT{40, 40}, POINT{image.width - 2, 0}})
        EXPECT_EQ(SysColour(COLOR_BTNFACE), image.At(p.x, p.y)) << "no header picture, no white band";
}

TEST_F(ExcludeDialog, DrawsTheHeaderPictureOnAWhiteBandOverItsControlsCentredOverItsOwner) {
    StoreList(L"exe,dll,tmp");
    capture::Image image;
    RECT dialogRect{};
    std::vector<std::pair<int, RECT>> controls; // in client pixels
    EXPECT_FALSE(Edit([&](HWND dialog) {
        image = Shoot(dialog);
        GetWindowRect(dialog, &dialogRect);
        for (int id : {IDC_EXCLUDE_MESSAGE, IDC_EXCLUDE_LIST_LABEL, IDC_EXCLUDE_LIST, IDOK, IDCANCEL}) {
            RECT r{};
            GetWindowRect(GetDlgItem(dialog, id), &r);
            MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
            controls.push_back({id, r});
        }
        Click(dialog, IDCANCEL);
    }));
    RECT owner{};
    GetWindowRect(host.get(), &owner);
    EXPECT_NEAR((owner.left + owner.right) / 2, (dialogRect.left + dialogRect.right) / 2, 1);
    EXPECT_NEAR((owner.top + owner.bottom) / 2, (dialogRect.top + dialogRect.bottom) / 2, 1);
    ASSERT_GT(image.width, 0);
    // Kept in the build tree for a person to look at.
    EXPECT_EQ(S_OK, capture::SavePng(image, ExecutableFolder() + L"\\excluded-types-dialog.png"));

    const capture::Image header = HeaderPicture();
    ASSERT_EQ(64, header.width);
    ASSERT_EQ(64, header.height);
    long wrong = 0;
    for (int y = 0; y < header.height; ++y)
        for (int x = 0; x < header.width; ++x)
            wrong += image.At(7 + x, 3 + y) != header.At(x, y);
    EXPECT_EQ(0, wrong) << "pixels of the header picture at (7, 3) that differ from bitmap 4027";
    const int band = header.height + 13;
    const std::uint32_t white = 0xFFFFFF, face = SysColour(COLOR_BTNFACE);
    for (int x : {0, 3, 80, image.width - 2}) {
        SCOPED_TRACE(x);
        EXPECT_EQ(white, image.At(x, 0));
        EXPECT_EQ(white, image.At(x, band - 1));
        EXPECT_EQ(SysColour(COLOR_BTNSHADOW), image.At(x, band));
        EXPECT_EQ(SysColour(COLOR_BTNHIGHLIGHT), image.At(x, band + 1));
        EXPECT_EQ(face, image.At(x, band + 3));
    }

    for (const auto& [id, r] : controls) {
        SCOPED_TRACE(id);
        const int middle = (r.top + r.bottom) / 2;
        if (id == IDC_EXCLUDE_LIST || id == IDOK || id == IDCANCEL) {
            // Framed controls, under the band: the frame lies on the rectangle, the face just outside it.
            EXPECT_GT(r.top, band + 1);
            EXPECT_EQ(face, image.At(r.left - 1, middle));
            EXPECT_NE(face, image.At(r.left, middle));
            EXPECT_NE(face, image.At(r.right - 1, middle));
            EXPECT_EQ(face, image.At(r.right, middle));
            continue;
        }
        // Texts: dark pixels inside the rectangle, the explanation on the band beside the picture.
        long dark = 0;
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x)
                dark += (image.At(x, y) & 0xFF) < 0x60;
        EXPECT_GT(dark, 20);
        EXPECT_EQ(id == IDC_EXCLUDE_MESSAGE ? white : face, image.At(r.right - 2, r.bottom - 2));
    }
}

TEST_F(ExcludeDialog, StaysInsideTheWorkAreaWhenItsOwnerDoesNot) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(host.get(), MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT work = monitor.rcWork;
    const struct {
        int x, y;
        bool minimised; // then over the work area
    } owners[] = {{work.left - 700, 100, false}, {work.right - 100, work.bottom - 50, false}, {40, 40, true}};
    for (const auto& o : owners) {
        SCOPED_TRACE(testing::Message() << o.x << ", " << o.y);
        ShowWindow(host.get(), SW_RESTORE);
        SetWindowPos(host.get(), nullptr, o.x, o.y, 800, 600, SWP_NOZORDER);
        ShowWindow(host.get(), o.minimised ? SW_MINIMIZE : SW_SHOW);
        capture::PumpMessages(50);
        RECT shown{};
        EXPECT_FALSE(Edit([&](HWND dialog) {
            GetWindowRect(dialog, &shown);
            Click(dialog, IDCANCEL);
        }));
        EXPECT_GE(shown.left, work.left);
        EXPECT_GE(shown.top, work.top);
        EXPECT_LE(shown.right, work.right);
        EXPECT_LE(shown.bottom, work.bottom);
        if (o.minimised) {
            EXPECT_NEAR((work.left + work.right) / 2, (shown.left + shown.right) / 2, 1);
            EXPECT_NEAR((work.top + work.bottom) / 2, (shown.top + shown.bottom) / 2, 1);
        }
    }
}

// Every other time without an owner: the active window, the host, owns it then.
TEST_F(ExcludeDialog, ManyOpenCloseCyclesReleaseEveryPictureAndServiceObject) {
    SetLanguage(L"DE");
    StoreList(L"dwg");
    SetForegroundWindow(host.get());
    SetActiveWindow(host.get());
    capture::PumpMessages(50);
    std::vector<std::pair<HBITMAP, HPALETTE>> objects;
    for (int i = 0; i < 20; ++i) {
        ExcludeDlg dialog;
        ASSERT_NE(nullptr, dialog.mpoGetPicture());
        objects.push_back({dialog.mpoGetPicture()->mhGetBitmap(), dialog.mpoGetPicture()->mhGetPalette()});
        EXPECT_EQ(DWORD(OBJ_BITMAP), GetObjectType(objects.back().first));
        EXPECT_EQ(DWORD(OBJ_PAL), GetObjectType(objects.back().second));
        const int button = i % 2 ? IDOK : IDCANCEL;
        HWND owner = nullptr;
        DialogDriver driver(kGermanCaption, [&](HWND d) {
            owner = GetWindow(d, GW_OWNER);
            Click(d, button);
        });
        EXPECT_EQ(button, dialog.miDoModal(i % 2 ? host.get() : nullptr));
        EXPECT_TRUE(driver.Finish());
        EXPECT_EQ(host.get(), owner) << i;
    }
    for (const auto& [bitmap, palette] : objects) {
        EXPECT_EQ(0u, GetObjectType(bitmap));
        EXPECT_EQ(0u, GetObjectType(palette));
    }
    EXPECT_EQ(1, ReadServiceState().alive) << "the one binding of the process, nothing per dialog";
    EXPECT_EQ(L"dwg", ReadStored().text);
}
