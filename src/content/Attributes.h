#pragma once
// The attribute operations without their boundary, for the variable operations built on them:
// the plug-in's result comes back as a code, the library's own failures (memory, a value that
// cannot be copied) raise.
#include <FileFmtMgr/FileFormatMgr.h>

namespace ffm {

HRESULT ReadAttributes(const wchar_t* configuration, bool option, ITovFileNavigator* navigator,
                       Lst<AttributeData*>& attributes, ITovCallback* callback, bool revisionFlag);
HRESULT WriteAttributes(const wchar_t* configuration, bool option, long number, ITovFileNavigator* navigator,
                        Lst<AttributeData*>& attributes, ITovCallback* callback, bool save);

} // namespace ffm
