// The manager's part of previews: one preview object per preview-capable plug-in, registered
// with a host's preview window under every extension the plug-in serves.
#include <FileFmtMgr/FileFormatMgr.h>
#include <FileFmtMgr/FilePreviewWnd.h>

#include "foundation/Errors.h"
#include "plugins/PluginTable.h"

using ffm::ComPtr;

namespace {
constexpr HRESULT kStopCreation = ffm::FFM_E_STOP_PREVIEWS;
}

HRESULT FileFormatMgr::mhCreatePreview(FilePreviewWnd& window, HWND parent, const RECT* rect,
                                       ITovCallback* callback) {
    return mhDoCreatePreview(window, parent, nullptr, rect, callback);
}

HRESULT FileFormatMgr::mhCreatePreview2(FilePreviewWnd& window, HWND parent, IUnknown* context,
                                        const RECT* rect, ITovCallback* callback) {
    return mhDoCreatePreview(window, parent, context, rect, callback);
}

HRESULT FileFormatMgr::mhDoCreatePreview(FilePreviewWnd& window, HWND parent, IUnknown* context,
                                         const RECT* rect, ITovCallback* callback) {
    TovRect area{};
    if (rect) {
        area = TovRect{rect->left, rect->top, rect->right, rect->bottom};
    } else {
        RECT client{};
        ::GetClientRect(parent, &client);
        area = TovRect{0, 0, client.right - client.left, client.bottom - client.top};
    }
    const auto recordParent = [&] {
        auto windowLock = window.moLock.Lock();
        window.mhParent = parent;
    };

    auto lock = moLock.Lock();
    try {
        mvInit(callback);
        PreviewByFormat previews;
        ExtraArgs extra{ComPtr<ITovCallback>(callback), ComPtr<IUnknown>(context)};
        mpoPluginTable->mvVisitPreviewCapable(
            [&](ComPtr<ITovFileFormat>& format, const std::wstring& extension, unsigned long mask) {
                mvAddPreview(&window, format, extension.c_str(), static_cast<long>(mask), parent, &area,
                             &extra, previews);
            });
        if (callback)
            callback->SetProgress(0);
        recordParent();
        return S_OK;
    } catch (const ffm::ComError& e) {
        if (e.Error() == E_OUTOFMEMORY)
            return E_OUTOFMEMORY;
        if (e.Error() != kStopCreation)
            return S_OK; // keeps whatever was registered; the pane works with fewer previews
        recordParent();
        return kStopCreation;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void FileFormatMgr::mvAddPreview(FilePreviewWnd* window, ComPtr<ITovFileFormat>& format,
                                 const wchar_t* extension, long mask, HWND parent, TovRect* rect,
                                 ExtraArgs* extra, PreviewByFormat& previews) {
    try {
        ComPtr<ITovFilePreview>& preview = previews[format.get()];
        if (!preview) {
            // Plug-ins take the parent window as a 32-bit number.
            const long parentId = static_cast<long>(reinterpret_cast<LONG_PTR>(parent));
            ComPtr<ITovFilePreview> created;
            HRESULT hr;
            if (const auto factory = format.try_query<ITovPreviewFactory>())
                hr = factory->CreatePreviewEx(parentId, rect, extra->callback.get(), mpoRegistry.get(),
                                              extra->context.get(), created.put());
            else
                hr = format->CreatePreview(parentId, rect, extra->callback.get(), mpoRegistry.get(),
                                           created.put());
            ffm::ThrowIfFailed(hr, format.get(), __uuidof(ITovFileFormat));
            preview = std::move(created);
        }
        std::wstring normalised = extension ? extension : L"";
        normalised.erase(0, normalised.find_first_not_of(L'.'));
        if (!normalised.empty())
            ::CharUpperBuffW(normalised.data(), static_cast<DWORD>(normalised.size()));
        window->mvAddPreview(preview, mpoRegistry.get(), normalised.c_str(), mask, normalised == L"*");
    } catch (const ffm::ComError& e) {
        // One plug-in's failure costs only its own preview; the next extension it serves tries again.
        if (e.Error() == kStopCreation)
            throw;
    }
}
