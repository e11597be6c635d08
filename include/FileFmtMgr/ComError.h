#pragma once
// The one exception type that carries a failure through an operation: a COM result code and,
// optionally, the error-information object describing it. Exported operations turn it back into
// their result code at their boundary.
#include <FileFmtMgr/Api.h>
#include <FileFmtMgr/ComPtr.h>
#include <exception>
#include <oaidl.h>
#include <windows.h>

namespace ffm {

class FFM_API ComError : public std::exception {
  public:
    explicit ComError(HRESULT hr, IErrorInfo* info = nullptr) noexcept;
    ~ComError() override;

    HRESULT Error() const noexcept { return m_hr; }
    // The attached description object, or null; not add-ref'ed.
    IErrorInfo* ErrorInfo() const noexcept { return m_info.get(); }
    const char* what() const noexcept override { return "ffm::ComError"; }

  private:
    HRESULT m_hr;
    ComPtr<IErrorInfo> m_info; // may be null
};

} // namespace ffm
