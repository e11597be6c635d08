#pragma once
// Linkage of the library's exported functions, classes and data.
// FFM_BUILDING: compiling the library itself. FFM_STATIC: linking the core library directly
// (the unit tests). Otherwise the declarations are imports from FileFmtMgr.dll.
#if defined(FFM_BUILDING)
#define FFM_API __declspec(dllexport)
#elif defined(FFM_STATIC)
#define FFM_API
#else
#define FFM_API __declspec(dllimport)
#endif

#include <cstddef>

namespace ffm {
// Allocates from the COM task allocator, so any module may free the block with CoTaskMemFree.
// Returns null when no memory is left. Every block the library hands across the boundary comes
// from here (list nodes, records, arrays given to plug-ins).
FFM_API void* TaskAlloc(std::size_t bytes) noexcept;
} // namespace ffm
