#include "preview/Dib.h"

#include <vector>

namespace {

// Selects an object into a DC for one scope.
class Selected {
  public:
    Selected(HDC dc, HGDIOBJ object) : m_dc(dc), m_old(::SelectObject(dc, object)) {}
    Selected(const Selected&) = delete;
    Selected& operator=(const Selected&) = delete;
    ~Selected() { ::SelectObject(m_dc, m_old); }

  private:
    HDC m_dc;
    HGDIOBJ m_old;
};

class MemoryDc {
  public:
    explicit MemoryDc(HDC compatibleWith) : m_dc(::CreateCompatibleDC(compatibleWith)) {}
    MemoryDc(const MemoryDc&) = delete;
    MemoryDc& operator=(const MemoryDc&) = delete;
    ~MemoryDc() {
        if (m_dc)
            ::DeleteDC(m_dc);
    }
    HDC get() const noexcept { return m_dc; }

  private:
    HDC m_dc;
};

long Width(const RECT& r) {
    return r.right - r.left;
}
long Height(const RECT& r) {
    return r.bottom - r.top;
}

} // namespace

CDib::~CDib() {
    mvClear();
}

void CDib::mvClear() noexcept {
    if (mhPalette)
        ::DeleteObject(mhPalette);
    mhPalette = nullptr;
    if (mhDrawDib)
        ::DrawDibClose(mhDrawDib);
    mhDrawDib = nullptr;
    moBitmap = BITMAP{};
    if (mhBitmap)
        ::DeleteObject(mhBitmap);
    mhBitmap = nullptr;
}

bool CDib::mbAttach(HBITMAP bitmap) {
    BITMAP description{};
    if (!bitmap || ::GetObjectW(bitmap, sizeof description, &description) != sizeof description)
        return false;
    mvClear();
    mhBitmap = bitmap;
    moBitmap = description;
    RGBQUAD colours[256];
    const UINT count = miGetColorTable(colours, 256);
    if (count == 0)
        return true;
    std::vector<BYTE> block(sizeof(LOGPALETTE) + count * sizeof(PALETTEENTRY));
    auto* logical = reinterpret_cast<LOGPALETTE*>(block.data());
    logical->palVersion = 0x300;
    logical->palNumEntries = static_cast<WORD>(count);
    for (UINT i = 0; i < count; ++i)
        logical->palPalEntry[i] = PALETTEENTRY{colours[i].rgbRed, colours[i].rgbGreen, colours[i].rgbBlue, 0};
    mhPalette = ::CreatePalette(logical);
    return true;
}

void CDib::mvSetPalette(HPALETTE palette) noexcept {
    if (mhPalette && mhPalette != palette)
        ::DeleteObject(mhPalette);
    mhPalette = palette;
}

UINT CDib::miGetColorTable(RGBQUAD* entries, UINT maxCount) const {
    if (!mhBitmap)
        return 0;
    MemoryDc dc(nullptr);
    if (!dc.get())
        return 0;
    Selected bitmap(dc.get(), mhBitmap);
    return ::GetDIBColorTable(dc.get(), 0, maxCount, entries);
}

BOOL CDib::Draw(HDC dc, const RECT* dest, const RECT* src, bool useDrawDib, HPALETTE palette,
                bool foreground) {
    if (!mhBitmap)
        return FALSE;
    HPALETTE use = palette ? palette : mhPalette;
    HPALETTE previous = nullptr;
    if (use) {
        previous = ::SelectPalette(dc, use, !foreground);
        ::RealizePalette(dc);
    }

    BOOL drawn = FALSE;
    if (useDrawDib) {
        // -1 for width and height stands for the whole picture.
        const RECT from = src ? *src : RECT{0, 0, -1, -1};
        const RECT to = dest ? *dest : from;
        if (!mhDrawDib)
            mhDrawDib = ::DrawDibOpen();
        DIBSECTION section{};
        if (mhDrawDib && ::GetObjectW(mhBitmap, sizeof section, &section) == sizeof section) {
            struct {
                BITMAPINFOHEADER header;
                RGBQUAD colours[256];
            } info{};
            info.header = section.dsBmih;
            miGetColorTable(info.colours, 256);
            drawn = ::DrawDibDraw(mhDrawDib, dc, to.left, to.top, Width(to), Height(to), &info.header,
                                  section.dsBm.bmBits, from.left, from.top, Width(from), Height(from),
                                  foreground ? 0 : DDF_BACKGROUNDPAL);
        }
    } else {
        const RECT from = src ? *src : RECT{0, 0, moBitmap.bmWidth, moBitmap.bmHeight};
        const RECT to = dest ? *dest : from;
        MemoryDc memory(dc);
        if (memory.get()) {
            Selected bitmap(memory.get(), mhBitmap);
            if (Width(to) != Width(from) || Height(to) != Height(from)) {
                ::SetStretchBltMode(dc, COLORONCOLOR);
                drawn = ::StretchBlt(dc, to.left, to.top, Width(to), Height(to), memory.get(), from.left,
                                     from.top, Width(from), Height(from), SRCCOPY);
            } else {
                drawn = ::BitBlt(dc, to.left, to.top, Width(to), Height(to), memory.get(), from.left,
                                 from.top, SRCCOPY);
            }
        }
    }

    if (use)
        ::SelectPalette(dc, previous, TRUE);
    return drawn;
}
