#pragma once
// A host pane filled with the plug-ins' previews and showing one file, as the vault client's
// preview pane would: used to take a picture of a preview and to ask for the pane's view menu.
#include "HostCallbacks.h"
#include "Report.h"
#include <FileFmtMgr/FilePreviewWnd.h>
#include <FileFmtMgr/Handles.h>
#include <string>

namespace fmtmgr {

class PreviewPane {
  public:
    // A top-level window whose client area is width x height shows file; raises CommandError
    // when there is no display, no preview for the file's extension, or none could show it.
    PreviewPane(const Output& out, const std::wstring& file, int width, int height);
    PreviewPane(const PreviewPane&) = delete;
    PreviewPane& operator=(const PreviewPane&) = delete;
    ~PreviewPane();

    HWND Window() const noexcept { return m_window.get(); }
    FilePreviewWnd& Previews() noexcept { return m_previews; }

  private:
    ProgressCallback m_callback;
    ffm::UniqueHwnd m_window;
    FilePreviewWnd m_previews; // destroyed before the window it lives in
};

} // namespace fmtmgr
