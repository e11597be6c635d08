#pragma once
// Base of the records that one module creates and another deletes: they live in the COM task
// allocator, so a delete in any module frees them correctly.
#include <FileFmtMgr/Api.h>
#include <cstddef>
#include <new>
#include <objbase.h>

namespace ffm {

struct TaskAllocated {
    static void* operator new(std::size_t bytes) {
        if (void* p = TaskAlloc(bytes))
            return p;
        throw std::bad_alloc();
    }
    static void operator delete(void* p) noexcept { ::CoTaskMemFree(p); }
};

} // namespace ffm
