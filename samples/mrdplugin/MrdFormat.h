#pragma once
// The plug-in's format object: created once by the manager and cached, so it keeps no state and
// may open files on several threads at once.
#include "MrdCom.h"

namespace mrd {

// Capability masks registered for each of our extensions (one registry value each).
constexpr unsigned long kCapReferenceUpdate = 0x1; // rewrites reference paths after moves
constexpr unsigned long kCapRead = 0x2;            // references, configurations, properties
constexpr unsigned long kCapSizeAndDate = 0x4000;  // ITovFileQuery kind 1
constexpr unsigned long kCapabilities[] = {kCapReferenceUpdate, kCapRead, kCapSizeAndDate};

class Format final : public ITovFileFormat,
                     public ITovFileQuery,
                     public ISupportErrorInfo,
                     private RefCounted {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

    HRESULT STDMETHODCALLTYPE Unused3() override { return E_NOTIMPL; }
    // The union of our capabilities for mrdasm, mrdprt and mrddrw (with or without the dot).
    HRESULT STDMETHODCALLTYPE GetExtensionFlags(BSTR extension, unsigned long* mask) override;
    // Reads the file into a new navigator; the file is closed again before this returns.
    HRESULT STDMETHODCALLTYPE OpenFile(BSTR path, ITovCallback* callback,
                                       ITovFileNavigator** navigator) override;
    HRESULT STDMETHODCALLTYPE CreatePreview(long, TovRect*, ITovCallback*, ITovRegistry*,
                                            ITovFilePreview**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetSearchPaths(BSTR, BSTR*) override { return E_NOTIMPL; }

    // Kind 1 only: size and date of the path given as a string.
    HRESULT STDMETHODCALLTYPE Query(long kind, VARIANT input, VARIANT* result, VARIANT* second) override;
};

} // namespace mrd
