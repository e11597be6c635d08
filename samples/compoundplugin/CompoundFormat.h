#pragma once
// The format object: created once by the manager and cached; it keeps no state, so several
// threads may open documents through it at once.
#include "CfbCommon.h"
#include <FileFmtMgr/ComObject.h>
#include <FileFmtMgr/ContractBases.h>

namespace cfb {

class Format final : public ffm::ComObject<ffm::FormatBase, ITovFileQuery> {
  public:
    // Our capabilities for the extensions we are registered for (with or without the dot).
    HRESULT STDMETHODCALLTYPE GetExtensionFlags(BSTR extension, unsigned long* mask) override;
    // Checks that the file is a compound document and hands out a navigator on its root; the
    // file is closed again before this returns.
    HRESULT STDMETHODCALLTYPE OpenFile(BSTR path, ITovCallback* callback,
                                       ITovFileNavigator** navigator) override;
    // Kind 1: size and date of the path in input (a container, or "container|inner\path").
    HRESULT STDMETHODCALLTYPE Query(long kind, VARIANT input, VARIANT* result, VARIANT* second) override;
};

} // namespace cfb
