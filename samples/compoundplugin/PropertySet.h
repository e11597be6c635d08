#pragma once
// The property set streams of a compound document ("\005SummaryInformation" and
// "\005DocumentSummaryInformation", whose second section holds the user-defined properties), read
// and written here byte by byte: every offset is checked against the stream, and properties this
// code does not change are written back exactly as they were stored.
#include "CfbCommon.h"
#include <oaidl.h>

namespace cfb {

// One property as stored: its id and the bytes from its offset up to the next property (type,
// value, padding). The dictionary (id 0) has no type word.
struct StoredProperty {
    DWORD id = 0;
    std::vector<unsigned char> bytes;
};

struct Section {
    GUID fmtid{};
    std::vector<StoredProperty> properties;

    UINT CodePage() const; // 1252 when the set names none
    const StoredProperty* Find(DWORD id) const;
    // The id of a named (user-defined) property, or 0; names compare without case.
    DWORD IdOf(const std::wstring& name) const;
    // The value as a VARIANT: strings VT_BSTR, integers VT_I4, booleans VT_BOOL, floating point
    // VT_R8, times VT_DATE (UTC; spans shorter than the year 1601 as whole seconds in VT_I4).
    // False when absent or of a type not offered.
    bool Read(DWORD id, VARIANT* value) const;
    // Stores the value, keeping the stored type where the value fits it; VT_EMPTY removes the
    // property. Raises DISP_E_TYPEMISMATCH for values of other types.
    void Write(DWORD id, const VARIANT& value);
    // A user-defined property by name: its id, added to the dictionary when new.
    DWORD IdFor(const std::wstring& name);
    void Remove(DWORD id);
};

struct PropertySetStream {
    unsigned char header[24]{}; // byte order, format, system, class: kept as stored
    std::vector<Section> sections;

    // Raises CFB_E_BAD_PROPERTY_SET for anything that does not hold together.
    static PropertySetStream Parse(const std::vector<unsigned char>& bytes);
    static PropertySetStream Empty();
    std::vector<unsigned char> Serialize() const;
    Section* Find(REFGUID fmtid);
    // The section, added (empty, Unicode) when missing; the user-defined section always follows
    // the document summary's.
    Section& Get(REFGUID fmtid);
};

// Where a block's properties live.
struct Block {
    const wchar_t* name;
    const wchar_t* stream;
    const GUID* fmtid;
    bool named; // user-defined: properties are found by name in the dictionary
};
// The block with that name (without case), or null.
const Block* FindBlock(const std::wstring& name);
// The id of a standard property of a block ("Title", "Author", ...), or 0.
DWORD StandardId(const Block& block, const std::wstring& name);

} // namespace cfb
