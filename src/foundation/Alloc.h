#pragma once
// The library's allocation points for memory that crosses the boundary (task allocator blocks
// and BSTRs). Tests arm a countdown on their thread to make the N-th allocation fail, and so run
// an operation with a failure at every allocation point in turn.
#include <FileFmtMgr/Api.h>
#include <oaidl.h>
#include <string>
#include <windows.h>

namespace ffm {

namespace fault {
// Arms the countdown on the calling thread: the n-th allocation from now fails (0 disarms).
void ArmAllocationFailure(long n) noexcept;
// Consumed by every allocation point; true when this allocation is the one to fail.
bool AllocationShouldFail() noexcept;
// How many allocation points were passed since the last arm (for tests that sweep them all).
long AllocationsSinceArm() noexcept;
} // namespace fault

// BSTR copies; null when no memory is left. A null text gives an empty BSTR.
BSTR AllocBstr(const wchar_t* text) noexcept;
BSTR AllocBstrLen(const wchar_t* text, UINT length) noexcept;

// Throwing forms: raise 0x8007000E instead of returning null.
BSTR NewBstr(const wchar_t* text);
BSTR NewBstr(const std::wstring& text);
// A copy of a BSTR that keeps its byte length (embedded zeros, odd byte counts); null stays null.
BSTR NewBstrCopy(BSTR source);
// A task-allocator block of the given size, zero-filled; raises 0x8007000E.
void* NewTaskBlock(std::size_t bytes);

// How many elements of elementSize bytes a task-allocator block that a plug-in handed out can
// hold, at most count: a count larger than the block is not believed. 0 for a null block or a
// count below 1; count itself when the block did not come from the task allocator.
long TaskBlockCapacity(const void* block, long count, std::size_t elementSize) noexcept;

} // namespace ffm
