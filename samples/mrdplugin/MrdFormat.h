#pragma once
// The plug-in's format object. The manager creates it once through the class factory, caches it,
// and calls it from any thread: it keeps no state, so it may open files on several threads at once.
#include "MrdCom.h"

namespace mrd {

// Capability masks registered for each of our extensions (one registry value each).
constexpr unsigned long kCapReferenceUpdate = 0x1; // rewrites reference paths after moves
constexpr unsigned long kCapRead = 0x2;            // references, configurations, properties
constexpr unsigned long kCapPreview = 0x4;         // a preview window (MrdPreview.h)
constexpr unsigned long kCapMenuItems = 0x10;      // the preview adds items to the pane's view menu
constexpr unsigned long kCapSizeAndDate = 0x4000;  // ITovFileQuery kind 1
// The preview is registered with its menu bit in one mask, so the pane's holder of it has both.
constexpr unsigned long kCapabilities[] = {kCapReferenceUpdate, kCapRead, kCapPreview | kCapMenuItems,
                                           kCapSizeAndDate};

// Previews come from MrdPreview.h through CreatePreview.
class Format final
    : public ffm::ComObject<ffm::FormatBase, ITovFileQuery, ITovProductModules, ISupportErrorInfo> {
  public:
    // The manager asks while it builds its extension table: the union of our capabilities for
    // mrdasm, mrdprt and mrddrw (with or without the dot); MRD_E_NOT_MRD_FILE for others.
    HRESULT STDMETHODCALLTYPE GetExtensionFlags(BSTR extension, unsigned long* mask) override;
    // The manager opens every file of ours through it. The file is read whole into a new
    // navigator and closed again before this returns; the caller owns the navigator's reference.
    HRESULT STDMETHODCALLTYPE OpenFile(BSTR path, ITovCallback* callback,
                                       ITovFileNavigator** navigator) override;
    // The manager asks once per preview pane: a preview drawing in a child window of parentWindow
    // (MrdPreview.h); the caller owns its reference.
    HRESULT STDMETHODCALLTYPE CreatePreview(long parentWindow, TovRect* rect, ITovCallback* callback,
                                            ITovRegistry* registry, ITovFilePreview** preview) override;
    // The manager asks for size and date (kind 1, the path as a string in input) without opening
    // the file. result and second are the caller's: cleared and filled on success.
    HRESULT STDMETHODCALLTYPE Query(long kind, VARIANT input, VARIANT* result, VARIANT* second) override;
    // Folders where the files an MRD file refers to are kept by convention: the "parts" folder
    // beside the file given as argument (a file path), separated by ';'. Empty for no argument.
    HRESULT STDMETHODCALLTYPE GetSearchPaths(BSTR argument, BSTR* paths) override;
    // The product modules a host needs for a file type (extension without its dot), separated by
    // ';': a drawing needs all three, an assembly its parts too.
    HRESULT STDMETHODCALLTYPE GetModuleList(long mask, BSTR extension, BSTR* modules) override;

  private:
    ffm::ModuleLock m_module; // the DLL stays loaded while the manager caches the object
};

} // namespace mrd
