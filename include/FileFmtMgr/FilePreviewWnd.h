#pragma once
// FilePreviewWnd: shows one file at a time in a host window through the plug-ins' previews. The
// manager registers every plug-in preview once (FileFormatMgr::mhCreatePreview); then the host
// calls mhShow per selected file, mvResize when the pane changes size, mvHide / mbReleaseFile to
// let a file go. The window owns no window of its own: previews draw child windows inside the
// host's parent window. Every operation except mbTranslateAccelerator holds the window's lock,
// also while plug-ins are called; fill a window before showing files in it, never both at once.
#include <FileFmtMgr/Api.h>
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/CriticalSection.h>
#include <FileFmtMgr/TovContract.h>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The vault's kind of a file; passed through to preview plug-ins unchanged.
enum TovFileVaultType : long {};

class FileFormatMgr;
class MenuExtension;
class CDwgPreviewCallback;
namespace ffm {
class PreviewWindowLink;
}

class FFM_API FilePreviewWnd {
  public:
    // One registration of a plug-in preview.
    class PreviewHolder {
      public:
        ffm::ComPtr<ITovFilePreview> preview;
        ffm::ComPtr<ITovRegistry> registry; // handed to the preview with every call
        long mask = 0;                      // 0x10: the preview contributes menu items
        // The reshow callback last handed to this preview; kept so that a plug-in may call it
        // after the show returned, until the preview is given another one.
        ffm::ComPtr<ITovPluginPreviewCallbackInternal> reshow;
    };

    // Raises the system's error when the lock cannot be made (memory: std::bad_alloc).
    FilePreviewWnd();
    FilePreviewWnd(const FilePreviewWnd&) = delete;
    FilePreviewWnd& operator=(const FilePreviewWnd&) = delete;
    // Releases every preview without calling Hide or ReleaseFile; a reshow callback still held
    // by a plug-in no longer reaches this window.
    virtual ~FilePreviewWnd();

    // Shows path with the first preview registered for its extension (or the wildcard one) that
    // accepts it. 0, also when the window has no area yet (then the show is repeated by the
    // next mvResize with an area); 0x8004022A no preview; 0x8004023C excluded extension;
    // 0x800402BF a PDF while an outside PDF view is open; 0x8004020B, 0x80040223, 0x80040245
    // passed on from the last preview tried; 0x80040229 every other failure of the previews;
    // 0x8007000E memory.
    long mhShow(const std::wstring& path, TovFileVaultType type, ITovCallback* callback,
                ITovFileNavigator* navigator, bool ignoreExclusion, long reshowCode);
    // New rectangle for every preview (null: the parent's client area). Raises ffm::ComError.
    void mvResize(const RECT* rect);
    // Hides the current preview; unless keepFile, it also lets its file go and is forgotten.
    // Raises ffm::ComError.
    void mvHide(bool keepFile);
    void mvRefresh(ITovCallback* callback);
    // True when the current preview let go of path.
    bool mbReleaseFile(const wchar_t* path);
    // True when the current preview used the keyboard message. Takes no lock.
    bool mbTranslateAccelerator(MSG& message);

    // Fills extension for the pane's view menu: the built-in "Excluded File Types..." item,
    // then the items of every preview with the menu bit (0x10), each preview object once, from
    // firstId and position (-1: append) on. True; raises a failed identity query of a preview
    // and memory exhaustion (ffm::ComError).
    bool mbGetViewMenuExtension(HMENU menu, MenuExtension& extension, int firstId, int position);

    HWND mhGetParent() const noexcept { return mhParent; }

  protected:
    // Registers one preview under extension (upper case, no dot); wildcard: also as the
    // preview for extensions nobody else serves.
    void mvAddPreview(ffm::ComPtr<ITovFilePreview> preview, ITovRegistry* registry, const wchar_t* extension,
                      long mask, bool wildcard);
    // True when the window has an area; otherwise the show is kept as the pending one.
    bool mbCheckSize(const std::wstring& path, TovFileVaultType type, ITovFileNavigator* navigator);

  private:
    friend class FileFormatMgr; // fills the window and records its parent
    struct ExtensionLess {
        bool operator()(const std::wstring& a, const std::wstring& b) const noexcept;
    };
    using Candidates = std::vector<PreviewHolder*>;

    long mhShowLocked(const std::wstring& path, TovFileVaultType type, ITovCallback* callback,
                      ITovFileNavigator* navigator, bool ignoreExclusion, long reshowCode);
    HRESULT mhTryCandidate(PreviewHolder& candidate, const std::wstring& path, TovFileVaultType type,
                           ITovCallback* callback, ITovFileNavigator* navigator, bool skipDirect,
                           CDwgPreviewCallback* reshow, PreviewHolder*& shower);
    Candidates moCandidatesFor(const std::wstring& extension) const;
    bool mbAdobeViewOpen() const;

    std::map<std::wstring, Candidates, ExtensionLess> moExtensions; // not owning
    std::vector<std::unique_ptr<PreviewHolder>> moHolders;          // owns, registration order
    PreviewHolder* mpoWildcard = nullptr;
    std::atomic<PreviewHolder*> mpoCurrent{nullptr}; // read without the lock by mbTranslateAccelerator
    ffm::CriticalSection moLock;                     // recursive
    HWND mhParent = nullptr;
    std::wstring moPendingPath;
    TovFileVaultType mlPendingType{};
    ffm::ComPtr<ITovFileNavigator> mpoPendingNavigator;
    bool mbPending = false;
    bool mbHidden = false;
    std::atomic<long> mlWidth{0}; // written by mvResize before it takes the lock
    std::atomic<long> mlHeight{0};
    ffm::ComPtr<ITovFilePreview> mpoMenuHandler;    // the built-in menu item's handler, made on first use
    std::shared_ptr<ffm::PreviewWindowLink> moLink; // reshow callbacks reach the window through it
};
