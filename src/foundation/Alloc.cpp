#include "foundation/Alloc.h"

#include <FileFmtMgr/ComError.h>
#include <algorithm>
#include <cstring>
#include <objbase.h>

namespace ffm {

namespace {
thread_local long tCountdown = 0;
thread_local long tPassed = 0;
} // namespace

void fault::ArmAllocationFailure(long n) noexcept {
    tCountdown = n;
    tPassed = 0;
}

bool fault::AllocationShouldFail() noexcept {
    ++tPassed;
    if (tCountdown <= 0)
        return false;
    return --tCountdown == 0;
}

long fault::AllocationsSinceArm() noexcept {
    return tPassed;
}

void* TaskAlloc(std::size_t bytes) noexcept {
    if (fault::AllocationShouldFail())
        return nullptr;
    return CoTaskMemAlloc(bytes);
}

BSTR AllocBstr(const wchar_t* text) noexcept {
    if (fault::AllocationShouldFail())
        return nullptr;
    return SysAllocString(text ? text : L"");
}

BSTR AllocBstrLen(const wchar_t* text, UINT length) noexcept {
    if (fault::AllocationShouldFail())
        return nullptr;
    return SysAllocStringLen(text, length);
}

BSTR NewBstr(const wchar_t* text) {
    BSTR b = AllocBstr(text);
    if (!b)
        throw ComError(E_OUTOFMEMORY);
    return b;
}

BSTR NewBstr(const std::wstring& text) {
    BSTR b = AllocBstrLen(text.c_str(), static_cast<UINT>(text.size()));
    if (!b)
        throw ComError(E_OUTOFMEMORY);
    return b;
}

BSTR NewBstrCopy(BSTR source) {
    if (!source)
        return nullptr;
    BSTR b = fault::AllocationShouldFail()
                 ? nullptr
                 : SysAllocStringByteLen(reinterpret_cast<const char*>(source), SysStringByteLen(source));
    if (!b)
        throw ComError(E_OUTOFMEMORY);
    return b;
}

void* NewTaskBlock(std::size_t bytes) {
    void* p = TaskAlloc(bytes ? bytes : 1);
    if (!p)
        throw ComError(E_OUTOFMEMORY);
    std::memset(p, 0, bytes);
    return p;
}

long TaskBlockCapacity(const void* block, long count, std::size_t elementSize) noexcept {
    if (!block || count <= 0 || elementSize == 0)
        return 0;
    IMalloc* malloc = nullptr;
    if (FAILED(::CoGetMalloc(1, &malloc)) || !malloc)
        return count;
    const SIZE_T bytes = malloc->GetSize(const_cast<void*>(block));
    malloc->Release();
    if (bytes == static_cast<SIZE_T>(-1))
        return count; // not a task-allocator block: nothing better to go by
    return static_cast<long>(std::min<SIZE_T>(static_cast<SIZE_T>(count), bytes / elementSize));
}

} // namespace ffm
