#pragma once
// AttributeData: one named attribute of a file inside a named block, with its value in one
// configuration. Callers build lists of them for the attribute and variable operations.
#include <FileFmtMgr/SpStr.h>
#include <FileFmtMgr/TaskAllocated.h>
#include <oaidl.h>

struct FFM_API AttributeData : ffm::TaskAllocated {
    AttributeData();
    AttributeData(const ffm::SpStr& block, const ffm::SpStr& name);
    // Shares the names and copies the value, number and both flags; raises the VariantCopy
    // failure as a COM error.
    AttributeData(const AttributeData& other);
    AttributeData& operator=(const AttributeData&) = delete;
    ~AttributeData();

    ffm::SpStr moBlock;
    ffm::SpStr moName;
    VARIANT* mpoValue;    // owned, never null
    long mlNumber = 0;    // handed to plug-ins of the second record version
    bool mbFound = false; // after a read: the plug-in reported a value; after a write: it wrote it
    bool mbFlag = false;  // reported by the plug-in on a read
};
