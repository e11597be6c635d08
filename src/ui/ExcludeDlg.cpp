#include "ui/ExcludeDlg.h"

#include "foundation/Module.h"
#include "plugins/SettingsLight.h"
#include "ui/LocalizedStrings.h"
#include "ui/UiResources.h"
#include <cstdlib>
#include <cwctype>

namespace {

// The edit field is read through a buffer of this many characters, terminator included.
constexpr int kFieldCapacity = 4096;
// The header picture stands at (7, 3); the white band under it ends 13 pixels below its height.
constexpr int kPictureLeft = 7, kPictureTop = 3, kBandBelowPicture = 13;

bool IsBlank(wchar_t c) {
    return std::iswspace(c) != 0;
}

RECT WorkAreaOf(HWND window) {
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    ::GetMonitorInfoW(::MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &info);
    return info.rcWork;
}

// Centres the dialog over its owner (over the work area when the owner is hidden or minimised),
// kept inside the monitor's work area.
void CentreOverOwner(HWND dialog) {
    HWND owner = ::GetWindow(dialog, GW_OWNER);
    if (!owner)
        owner = ::GetParent(dialog);
    const RECT work = WorkAreaOf(owner ? owner : dialog);
    RECT area = work;
    if (owner && ::IsWindowVisible(owner) && !::IsIconic(owner))
        ::GetWindowRect(owner, &area);
    RECT own{};
    ::GetWindowRect(dialog, &own);
    const long width = own.right - own.left, height = own.bottom - own.top;
    long x = area.left + ((area.right - area.left) - width) / 2;
    long y = area.top + ((area.bottom - area.top) - height) / 2;
    // Right and bottom first, so a dialog larger than the work area keeps its caption visible.
    x = std::max<long>(work.left, std::min<long>(x, work.right - width));
    y = std::max<long>(work.top, std::min<long>(y, work.bottom - height));
    ::SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SetText(HWND dialog, int id, const std::wstring& text) {
    if (id == 0)
        ::SetWindowTextW(dialog, text.c_str());
    else
        ::SetDlgItemTextW(dialog, id, text.c_str());
}

} // namespace

std::wstring moJoinExtensionList(const wchar_t* field) {
    std::wstring list;
    if (!field)
        return list;
    const wchar_t* p = field;
    while (*p) {
        if (*p == L',') {
            ++p;
            continue;
        }
        const wchar_t* end = p;
        while (*end && *end != L',')
            ++end;
        const wchar_t* first = p;
        const wchar_t* last = end;
        while (first < last && IsBlank(*first))
            ++first;
        while (last > first && IsBlank(last[-1]))
            --last;
        if (first < last && *first == L'.')
            ++first;
        if (!list.empty())
            list += L',';
        list.append(first, last);
        p = end;
    }
    return list;
}

ExcludeDlg::ExcludeDlg() {
    moKey.mbCreate(HKEY_CURRENT_USER, kManagerKey, KEY_READ | KEY_WRITE);
    SettingsLight settings;
    const std::wstring shared = settings.moGetPath(SharedLocation);
    // Only from the installation folder: a bare name would be searched for along the DLL path.
    if (!shared.empty())
        mhResources.reset(
            ::LoadLibraryExW((shared + L"PreviewView.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (mhResources)
        mvLoadPicture();
}

// Without a usable picture and palette the dialog simply has no header.
void ExcludeDlg::mvLoadPicture() {
    const auto bitmap = static_cast<HBITMAP>(::LoadImageW(
        mhResources.get(), MAKEINTRESOURCEW(IDB_EXCLUDE_HEADER), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    if (!bitmap)
        return;
    auto picture = std::make_unique<CDib>();
    if (!picture->mbAttach(bitmap)) {
        ::DeleteObject(bitmap);
        return;
    }
    if (!picture->mhGetPalette()) {
        RGBQUAD first;
        if (picture->miGetColorTable(&first, 1) > 0)
            return; // it has colours, but no palette could be made of them
        HDC screen = ::GetDC(nullptr);
        HPALETTE halftone = ::CreateHalftonePalette(screen);
        ::ReleaseDC(nullptr, screen);
        if (!halftone)
            return;
        picture->mvSetPalette(halftone);
    }
    mpoPicture = std::move(picture);
}

ExcludeDlg::~ExcludeDlg() = default;

INT_PTR ExcludeDlg::miDoModal(HWND parent) {
    if (!parent)
        parent = ::GetActiveWindow();
    moFailure = nullptr;
    const INT_PTR result = ::DialogBoxParamW(ffm::ModuleHandle(), MAKEINTRESOURCEW(IDD_EXCLUDE_TYPES), parent,
                                             &ExcludeDlg::zDialogProc, reinterpret_cast<LPARAM>(this));
    mhWnd = nullptr;
    if (moFailure)
        std::rethrow_exception(std::exchange(moFailure, nullptr));
    return result <= 0 ? -1 : result;
}

INT_PTR CALLBACK ExcludeDlg::zDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
        reinterpret_cast<ExcludeDlg*>(lParam)->mhWnd = window;
    }
    auto* self = reinterpret_cast<ExcludeDlg*>(::GetWindowLongPtrW(window, DWLP_USER));
    if (!self)
        return FALSE;
    // Nothing may unwind through the system's dialog code: keep the failure and end the dialog.
    try {
        return self->miHandle(message, wParam, lParam);
    } catch (...) {
        self->moFailure = std::current_exception();
        ::EndDialog(window, -1);
        return TRUE;
    }
}

INT_PTR ExcludeDlg::miHandle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        mvOnInitDialog();
        return TRUE; // the system gives the focus to the first tab stop, the field
    case WM_PAINT:
        if (!mpoPicture)
            return FALSE;
        mvOnPaint();
        return TRUE;
    case WM_CTLCOLORSTATIC:
        if (::GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) != IDC_EXCLUDE_MESSAGE)
            return FALSE;
        // The explanation stands on the white band of the header picture.
        ::SetBkColor(reinterpret_cast<HDC>(wParam), RGB(255, 255, 255));
        return reinterpret_cast<INT_PTR>(::GetStockObject(WHITE_BRUSH));
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (id < 1 || id > 7)
            return FALSE;
        mvOnCommand(id);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

void ExcludeDlg::mvOnInitDialog() {
    CentreOverOwner(mhWnd);
    SetText(mhWnd, 0, ffm::moGetTsText(ffm::TsDialogCaption));
    SetText(mhWnd, IDC_EXCLUDE_LIST_LABEL, ffm::moGetTsText(ffm::TsListLabel));
    SetText(mhWnd, IDOK, ffm::moGetTsText(ffm::TsOk));
    SetText(mhWnd, IDCANCEL, ffm::moGetTsText(ffm::TsCancel));
    std::wstring list;
    if (!moKey.mbGetString(kExcludeListValue, list))
        list.clear();
    SetText(mhWnd, IDC_EXCLUDE_LIST, list);
    SetText(mhWnd, IDC_EXCLUDE_MESSAGE, ffm::moGetTsText(ffm::TsMessage));
}

void ExcludeDlg::mvOnPaint() {
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(mhWnd, &paint);
    RECT client{};
    ::GetClientRect(mhWnd, &client);
    const BITMAP& bitmap = mpoPicture->moGetDescription();
    const long width = bitmap.bmWidth, height = std::labs(bitmap.bmHeight); // negative: top-down rows
    const long band = height + kBandBelowPicture;
    const RECT white{0, 0, client.right, band};
    const RECT shadow{0, band, client.right, band + 1};
    const RECT highlight{0, band + 1, client.right, band + 2};
    ::FillRect(dc, &white, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    ::FillRect(dc, &shadow, ::GetSysColorBrush(COLOR_BTNSHADOW));
    ::FillRect(dc, &highlight, ::GetSysColorBrush(COLOR_BTNHIGHLIGHT));
    const RECT picture{kPictureLeft, kPictureTop, kPictureLeft + width, kPictureTop + height};
    mpoPicture->Draw(dc, &picture, nullptr, true, nullptr, false);
    ::EndPaint(mhWnd, &paint);
}

void ExcludeDlg::mvOnCommand(int id) {
    if (id != IDOK) {
        ::EndDialog(mhWnd, id);
        return;
    }
    wchar_t field[kFieldCapacity] = {};
    ::GetDlgItemTextW(mhWnd, IDC_EXCLUDE_LIST, field, kFieldCapacity);
    // A failed write is not reported: the dialog closes as confirmed either way.
    moKey.mbSetString(kExcludeListValue, moJoinExtensionList(field).c_str());
    ::EndDialog(mhWnd, IDOK);
}
