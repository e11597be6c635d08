#include "WindowCapture.h"

#include <FileFmtMgr/ComPtr.h>
#include <cstring>
#include <wincodec.h>

namespace capture {

void PumpMessages(DWORD ms) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    for (;;) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        const ULONGLONG now = ::GetTickCount64();
        if (now >= end)
            return;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

Image CaptureClient(HWND w) {
    Image image;
    RECT client{};
    if (!::GetClientRect(w, &client) || client.right <= 0 || client.bottom <= 0)
        return image;
    const int width = client.right, height = client.bottom;
    HDC source = ::GetDC(w);
    if (!source)
        return image;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC memory = ::CreateCompatibleDC(source);
    HBITMAP section = ::CreateDIBSection(source, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (memory && section && bits) {
        HGDIOBJ old = ::SelectObject(memory, section);
        if (::BitBlt(memory, 0, 0, width, height, source, 0, 0, SRCCOPY)) {
            ::GdiFlush();
            image.width = width;
            image.height = height;
            image.pixels.resize(static_cast<size_t>(width) * height);
            std::memcpy(image.pixels.data(), bits, image.pixels.size() * 4);
            for (auto& p : image.pixels)
                p &= 0x00FFFFFF;
        }
        ::SelectObject(memory, old);
    }
    if (section)
        ::DeleteObject(section);
    if (memory)
        ::DeleteDC(memory);
    ::ReleaseDC(w, source);
    return image;
}

HRESULT SavePng(const Image& image, const std::wstring& path) {
    if (image.width <= 0 || image.height <= 0)
        return E_INVALIDARG;
    ffm::ComPtr<IWICImagingFactory> factory;
    HRESULT hr = ::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put()));
    if (FAILED(hr))
        return hr;
    ffm::ComPtr<IWICBitmap> bitmap;
    hr = factory->CreateBitmapFromMemory(
        image.width, image.height, GUID_WICPixelFormat32bppBGR, image.width * 4,
        static_cast<UINT>(image.pixels.size() * 4),
        reinterpret_cast<BYTE*>(const_cast<std::uint32_t*>(image.pixels.data())), bitmap.put());
    ffm::ComPtr<IWICStream> stream;
    if (SUCCEEDED(hr))
        hr = factory->CreateStream(stream.put());
    if (SUCCEEDED(hr))
        hr = stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE);
    ffm::ComPtr<IWICBitmapEncoder> encoder;
    if (SUCCEEDED(hr))
        hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put());
    if (SUCCEEDED(hr))
        hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
    ffm::ComPtr<IWICBitmapFrameEncode> frame;
    if (SUCCEEDED(hr))
        hr = encoder->CreateNewFrame(frame.put(), nullptr);
    if (SUCCEEDED(hr))
        hr = frame->Initialize(nullptr);
    if (SUCCEEDED(hr))
        hr = frame->SetSize(image.width, image.height);
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    if (SUCCEEDED(hr))
        hr = frame->SetPixelFormat(&format);
    if (SUCCEEDED(hr))
        hr = frame->WriteSource(bitmap.get(), nullptr);
    if (SUCCEEDED(hr))
        hr = frame->Commit();
    if (SUCCEEDED(hr))
        hr = encoder->Commit();
    return hr;
}

} // namespace capture
