#pragma once
// CDib: a device-independent bitmap (a DIB section) with its own palette, drawn through the
// DrawDib service of Video for Windows or by plain bit-block transfer. User-interface thread only.
#include <windows.h>
#include <vfw.h>

class CDib {
  public:
    CDib() = default;
    CDib(const CDib&) = delete;
    CDib& operator=(const CDib&) = delete;
    // Deletes the palette, closes DrawDib, deletes the bitmap.
    ~CDib();

    // Takes ownership of a DIB section (for example from LoadImageW with LR_CREATEDIBSECTION) and
    // makes the own palette from its colour table when it has one. False, and nothing kept, for a
    // handle that is not a bitmap.
    bool mbAttach(HBITMAP bitmap);
    HBITMAP mhGetBitmap() const noexcept { return mhBitmap; }
    const BITMAP& moGetDescription() const noexcept { return moBitmap; }
    HPALETTE mhGetPalette() const noexcept { return mhPalette; }
    // Takes ownership of palette in place of the own one (for a bitmap without colour table).
    void mvSetPalette(HPALETTE palette) noexcept;
    static const char* zpcClassName() noexcept { return "CDib"; }

    // Reads at most maxCount colour-table entries; returns how many were read.
    UINT miGetColorTable(RGBQUAD* entries, UINT maxCount) const;
    // Draws src of the bitmap (null: all of it) to dest (null: the same rectangle) of dc, with
    // palette (null: the own one) realised in the foreground or background. Nonzero on success;
    // 0 without a bitmap or, with DrawDib, without a DIB section.
    BOOL Draw(HDC dc, const RECT* dest, const RECT* src, bool useDrawDib, HPALETTE palette, bool foreground);

  private:
    void mvClear() noexcept;

    HBITMAP mhBitmap = nullptr; // owned
    BITMAP moBitmap{};
    HPALETTE mhPalette = nullptr; // owned
    HDRAWDIB mhDrawDib = nullptr; // opened on first use
};
