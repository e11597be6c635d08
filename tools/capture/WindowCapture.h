#pragma once
// What a window shows, as pixels and as a PNG file: copied from the shown window's device context
// with BitBlt into a 32-bit DIB section (PrintWindow and WM_PRINT under Wine give only the
// background of windows that paint in WM_PAINT), written through the Windows Imaging Component.
// Used by the tests, by fmtmgr and by anything else that keeps a picture of a window.
#include <cstdint>
#include <string>
#include <vector>
#include <windows.h>

namespace capture {

// Top-down rows of 0x00RRGGBB pixels.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;
    std::uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// Dispatches the calling thread's messages for about ms milliseconds, so windows paint.
void PumpMessages(DWORD ms);
// The client area of w as it is on screen now (children included). Empty on failure.
Image CaptureClient(HWND w);
// Writes image as a PNG file; needs COM on the calling thread.
HRESULT SavePng(const Image& image, const std::wstring& path);

} // namespace capture
