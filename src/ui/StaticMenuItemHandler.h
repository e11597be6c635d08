#pragma once
// StaticMenuItemHandler: the handler of the library's built-in view-menu item. It stands in the
// menu extension where a plug-in's preview would, so it answers the preview interface, but only
// its menu command does anything: command 1 opens the Excluded File Types dialog.
#include <FileFmtMgr/ComObject.h>
#include <FileFmtMgr/ContractBases.h>

class StaticMenuItemHandler final : public ffm::ComObject<ffm::PreviewBase> {
  public:
    // A new handler with one reference for the caller; raises std::bad_alloc.
    static ffm::ComPtr<ITovFilePreview> zoCreate();

    // Called by the menu extension when the user picks the built-in item. Command 1 runs the
    // dialog over window and answers 0 whatever the user chose; 2 does nothing; others fail.
    HRESULT STDMETHODCALLTYPE OnMenuCommand(long id, long command, long menu, long window,
                                            ITovRegistry* registry) override;
};
