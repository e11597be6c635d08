#pragma once
// Ownership checks for memory that crosses the plug-in boundary. While a ledger lives, every
// BSTR and task-allocator block allocated on its thread by code in this executable (the library
// core and the test's fakes alike) is recorded, and every free of a recorded block on that thread
// is counted. Freed blocks are held back until the ledger goes, so an address is never reused
// while it is watched and a second free is counted instead of corrupting the heap.
//
// It works by redirecting the executable's imports of SysAllocString, SysAllocStringLen,
// SysAllocStringByteLen, SysFreeString, CoTaskMemAlloc and CoTaskMemFree; allocations made inside
// system DLLs (SAFEARRAY internals, error objects) are not seen.
#include <string>

namespace ffmtest {

class ComMemoryLedger {
  public:
    ComMemoryLedger();
    ComMemoryLedger(const ComMemoryLedger&) = delete;
    ComMemoryLedger& operator=(const ComMemoryLedger&) = delete;
    ~ComMemoryLedger();

    // Empty when every block allocated under the ledger was freed exactly once; otherwise how
    // many are still live and how many frees were repeated. Allocates: call it with no
    // allocation failure armed.
    std::string Problems() const;
    long Allocations() const;
};

} // namespace ffmtest
