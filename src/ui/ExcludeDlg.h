#pragma once
// ExcludeDlg: the "Excluded File Types" dialog, in which the user edits the extensions kept out of
// the preview pane. Lives for one modal run: construction opens the manager's key and loads the
// header picture, destruction releases both.
#include "foundation/Handles.h"
#include "plugins/Registry.h"
#include "preview/Dib.h"
#include <exception>
#include <memory>
#include <string>
#include <windows.h>

class ExcludeDlg {
  public:
    ExcludeDlg();
    ExcludeDlg(const ExcludeDlg&) = delete;
    ExcludeDlg& operator=(const ExcludeDlg&) = delete;
    ~ExcludeDlg();

    // Runs the dialog modally with parent as owner: IDOK, IDCANCEL (or another closing id), or -1
    // when the dialog could not be created. A failure raised while the dialog ran (memory
    // exhaustion while copying its texts) ends it and is raised again from here.
    INT_PTR miDoModal(HWND parent);

    // The resource library holding the header picture, or null when it could not be loaded.
    HMODULE mhGetResourceLibrary() const noexcept { return mhResources.get(); }
    // The header picture with its palette, or null: then the dialog has no white header band.
    const CDib* mpoGetPicture() const noexcept { return mpoPicture.get(); }

  private:
    static INT_PTR CALLBACK zDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR miHandle(UINT message, WPARAM wParam, LPARAM lParam);
    void mvLoadPicture();
    void mvOnInitDialog();
    void mvOnPaint();
    void mvOnCommand(int id);

    HWND mhWnd = nullptr;             // while the dialog runs
    Registry moKey;                   // the manager's per-user key, read and write
    ffm::UniqueHModule mhResources;   // "PreviewView.dll" loaded as a data file
    std::unique_ptr<CDib> mpoPicture; // bitmap 4027 of the resource library, with a palette
    std::exception_ptr moFailure;     // raised inside a message handler, raised again by miDoModal
};

// The edited field as it is stored: the runs between commas (adjacent commas give none), each
// without surrounding white space and one leading dot, joined by commas.
std::wstring moJoinExtensionList(const wchar_t* field);
