#include "foundation/Errors.h"

#include <FileFmtMgr/ComPtr.h>
#include <oleauto.h>

namespace ffm {

ComError::ComError(HRESULT hr, IErrorInfo* info) noexcept : m_hr(hr), m_info(info) {}

ComError::~ComError() = default;

void RaiseComError(HRESULT hr) {
    throw ComError(hr);
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
