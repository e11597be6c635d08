#include "foundation/Errors.h"

#include <FileFmtMgr/ComPtr.h>
#include <oleauto.h>

namespace ffm {

ComError::ComError(HRESULT hr, IErrorInfo* info) noexcept : m_hr(hr), m_info(info) {
    if (m_info)
        m_info->AddRef();
}

ComError::ComError(const ComError& other) noexcept : ComError(other.m_hr, other.m_info) {}

ComError& ComError::operator=(const ComError& other) noexcept {
    if (this != &other) {
        if (other.m_info)
            other.m_info->AddRef();
        if (m_info)
            m_info->Release();
        m_hr = other.m_hr;
        m_info = other.m_info;
    }
    return *this;
}

ComError::~ComError() {
    if (m_info)
        m_info->Release();
}

void RaiseDescribed(HRESULT hr, const wchar_t* description) {
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(::CreateErrorInfo(create.put())) || !create)
        throw ComError(hr);
    create->SetDescription(const_cast<LPOLESTR>(description));
    auto info = create.try_query<IErrorInfo>();
    throw ComError(hr, info.get());
}

void RaiseFailure(HRESULT hr, IUnknown* object, REFIID iid) {
    ComPtr<ISupportErrorInfo> support;
    if (object && SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, support.put_void())) && support &&
        support->InterfaceSupportsErrorInfo(iid) == S_OK) {
        ComPtr<IErrorInfo> info;
        if (::GetErrorInfo(0, info.put()) == S_OK)
            throw ComError(hr, info.get());
    }
    throw ComError(hr);
}

} // namespace ffm
