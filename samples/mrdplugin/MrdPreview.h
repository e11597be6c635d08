#pragma once
// The plug-in's preview: a child window inside the host's preview pane that draws the file it is
// shown, the way a person recognises it: an assembly as a labelled tree of its references, a
// part as its name with its configurations and properties, a drawing as a sheet with its views
// and its title block. The manager creates one per pane and calls it from any thread; the window
// belongs to the thread that created the preview, and calls from other threads never wait for it.
#include "MrdCom.h"
#include "MrdDocument.h"
#include <memory>
#include <mutex>

namespace mrd {

class Preview final : public ffm::ComObject<ffm::PreviewBase, ITovFormatRedirect, ISupportErrorInfo> {
  public:
    // What the view draws, shared between the preview (any thread) and its window (one thread).
    struct State;

    // The manager asks once per pane (Format::CreatePreview): a hidden child window of parent at
    // rect. The caller owns the preview's reference.
    static ffm::ComPtr<Preview> Create(HWND parent, const TovRect& rect);

    // The pane shows a file. A file whose header names another kind than its extension is
    // declined with 0x8004027D: GetTargetExtension then names the extension of its real kind and
    // the pane shows it through that extension's previews (this one again, which then draws it).
    HRESULT STDMETHODCALLTYPE ShowFile(ITovRegistry* registry, BSTR path, ITovCallback* callback,
                                       long type) override;
    HRESULT STDMETHODCALLTYPE ShowNavigator(ITovRegistry* registry, ITovFileNavigator* navigator,
                                            ITovCallback* callback) override;
    HRESULT STDMETHODCALLTYPE Hide() override;
    // Reads the file again and redraws.
    HRESULT STDMETHODCALLTYPE Refresh(ITovCallback* callback) override;
    HRESULT STDMETHODCALLTYPE Resize(TovRect* rect) override;
    // F5 redraws (0); every other message is the host's (1).
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(TovMessage* message) override;
    // No file is kept open, so any file is let go at once (0); the picture stays until hidden.
    HRESULT STDMETHODCALLTYPE ReleaseFile(BSTR path) override;
    // The extension (without its dot) of the kind the file's header names.
    HRESULT STDMETHODCALLTYPE GetTargetExtension(BSTR path, BSTR* extension) override;
    // The host builds the pane's view menu: two layouts, the one in use checked. The host frees
    // the records and their strings.
    HRESULT STDMETHODCALLTYPE GetMenuItems(ITovRegistry* registry, long* count,
                                           TovPreviewMenuItem** items) override;
    // The user picked one of our items (command as GetMenuItems gave it): switches the layout and
    // redraws; 0x80070057 for a command we never offered.
    HRESULT STDMETHODCALLTYPE OnMenuCommand(long id, long command, long menu, long window,
                                            ITovRegistry* registry) override;

    explicit Preview(HWND view, std::shared_ptr<State> state);

  private:
    ~Preview() override;
    // Reads and lays out path; raises Failure.
    void Load(const std::wstring& path, bool redirected);

    ffm::ModuleLock m_module;
    HWND m_view;                    // owned by the thread that created the preview
    std::shared_ptr<State> m_state; // also held by the view
};

} // namespace mrd
