#pragma once
// SAFEARRAYs of the contract's fixed-layout records. The arrays are made with a record
// description of our own (IRecordInfo), so that whoever destroys them, SafeArrayDestroy or
// VariantClear, also frees the strings inside the elements.
#include <FileFmtMgr/TovContract.h>
#include <cstdint>

namespace mrd {

// Element of the configuration query (kind 3): a 64-bit value and the configuration's name.
#pragma pack(push, 1)
struct ConfigElement {
    std::int64_t mlValue;
    BSTR mbsName;
};
#pragma pack(pop)
static_assert(sizeof(ConfigElement) == 16, "ConfigElement layout");

// A zeroed one-dimensional array of count elements; raises Failure(E_OUTOFMEMORY) when it cannot
// be made.
SAFEARRAY* NewRefConfigArray(ULONG count);
SAFEARRAY* NewConfigArray(ULONG count);

} // namespace mrd
