#pragma once
#include <FileFmtMgr/ComError.h>

namespace ffmtest {
// The result code an operation raised as a COM error; S_OK when it returned.
template <class Op> HRESULT Raised(Op&& op) {
    try {
        op();
    } catch (const ffm::ComError& e) {
        return e.Error();
    }
    return S_OK;
}
} // namespace ffmtest
