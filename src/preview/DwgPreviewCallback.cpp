#include "preview/DwgPreviewCallback.h"

ffm::ComPtr<CDwgPreviewCallback> CDwgPreviewCallback::Create(std::shared_ptr<ffm::PreviewWindowLink> link,
                                                             std::wstring path, TovFileVaultType type,
                                                             ITovFileNavigator* navigator) {
    return ffm::Make<CDwgPreviewCallback>(std::move(link), std::move(path), type, navigator);
}

CDwgPreviewCallback::CDwgPreviewCallback(std::shared_ptr<ffm::PreviewWindowLink> link, std::wstring path,
                                         TovFileVaultType type, ITovFileNavigator* navigator)
    : moLink(std::move(link)), moPath(std::move(path)), mlType(type), mpoNavigator(navigator) {}

HRESULT CDwgPreviewCallback::QueryInterface(REFIID iid, void** out) {
    if (iid == IID_IDispatch) {
        if (out)
            *out = nullptr;
        return E_NOINTERFACE;
    }
    return ComObject::QueryInterface(iid, out);
}

HRESULT CDwgPreviewCallback::ReshowFile(long code) {
    if (!moLink)
        return E_NOTIMPL;
    // The new show replaces the window's reference to this object; stay alive until it returns.
    const ffm::ComPtr<CDwgPreviewCallback> self(this);
    FilePreviewWnd* window = moLink->Enter();
    if (!window)
        return E_NOTIMPL;
    struct Leave {
        ffm::PreviewWindowLink& link;
        ~Leave() { link.Leave(); }
    } leave{*moLink};
    window->mhShow(moPath, mlType, nullptr, mpoNavigator.get(), false, code);
    return S_OK;
}

namespace ffm {

FilePreviewWnd* PreviewWindowLink::Enter() {
    auto lock = m_lock.Lock();
    if (m_window)
        ++m_busy;
    return m_window;
}

void PreviewWindowLink::Cut() noexcept {
    {
        auto lock = m_lock.Lock();
        m_window = nullptr;
    }
    while (m_busy.load() > 0)
        ::Sleep(1);
}

} // namespace ffm
