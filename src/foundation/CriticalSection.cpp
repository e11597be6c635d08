#include <FileFmtMgr/CriticalSection.h>

#include <FileFmtMgr/ComError.h>
#include <new>

namespace ffm {

CriticalSection::CriticalSection() {
    if (!::InitializeCriticalSectionAndSpinCount(&m_cs, 0)) {
        const DWORD err = ::GetLastError();
        if (err == ERROR_NOT_ENOUGH_MEMORY || err == ERROR_OUTOFMEMORY)
            throw std::bad_alloc();
        throw ComError(HRESULT_FROM_WIN32(err));
    }
}

} // namespace ffm
