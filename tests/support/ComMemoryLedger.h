#pragma once
// Ownership checks for memory that crosses the plug-in boundary. While a ledger lives, every
// BSTR and task-allocator block allocated on its thread by code in this executable (the library
// core and the test's fakes alike) is recorded, and every free of a recorded block is counted.
// Freed blocks are held back until the ledger goes, so an address is never reused while it is
// watched and a second free is counted instead of corrupting the heap.
//
// It works by redirecting the executable's imports of SysAllocString, SysAllocStringLen,
// SysAllocStringByteLen, SysFreeString, CoTaskMemAlloc and CoTaskMemFree; allocations made inside
// system DLLs (SAFEARRAY internals, error objects) are not seen.
#include <cstddef>
#include <set>

namespace ffmtest {

class ComMemoryLedger {
  public:
    ComMemoryLedger();
    ComMemoryLedger(const ComMemoryLedger&) = delete;
    ComMemoryLedger& operator=(const ComMemoryLedger&) = delete;
    ~ComMemoryLedger();

    // Blocks allocated under the ledger and not freed since.
    std::set<const void*> Live() const;
    // The same count without allocating (for use under an armed allocation failure).
    std::size_t LiveCount() const;
    // How often a block allocated under the ledger was freed (0 for unknown blocks).
    long Frees(const void* block) const;
    // Frees of blocks that had already been freed.
    long DoubleFrees() const;
    long Allocations() const;
};

} // namespace ffmtest
