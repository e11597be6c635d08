#include <FileFmtMgr/FilePreviewWnd.h>

#include <FileFmtMgr/FileFormatMgr.h>

#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include "preview/DwgPreviewCallback.h"
#include <algorithm>

using ffm::ComPtr;

namespace {

constexpr HRESULT kRedirect = ffm::FFM_E_OPEN_ELSEWHERE;
constexpr HRESULT kNoPreview = ffm::FFM_E_NO_PLUGIN;
constexpr HRESULT kExcluded = ffm::FFM_E_PREVIEW_EXCLUDED;
constexpr HRESULT kAdobeViewOpen = ffm::FFM_E_PDF_VIEW_OPEN;
constexpr HRESULT kPreviewFailed = ffm::FFM_E_REDIRECT_FAILED; // every preview failed

std::wstring Upper(std::wstring text) {
    if (!text.empty())
        ::CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

bool EqualNoCase(const wchar_t* a, const wchar_t* b) {
    return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// Codes the host knows how to explain; every other failure of the previews is reported as one.
HRESULT PassedOn(HRESULT hr) {
    switch (static_cast<unsigned long>(hr)) {
    case 0x8004020B:
    case 0x80040223:
    case 0x8004022A:
    case 0x80040245:
    case 0x800402BF:
        return hr;
    default:
        return kPreviewFailed;
    }
}

// The first window up the chain from w that is not a child window (or the last one reached).
HWND TopLevelOf(HWND w) {
    while (w && (::GetWindowLongPtrW(w, GWL_STYLE) & WS_CHILD)) {
        HWND up = ::GetParent(w);
        if (!up)
            break;
        w = up;
    }
    return w;
}

// Disables the host's top-level window while a plug-in shows a file by path (it may run its own
// message loop, and the user must not select another file meanwhile).
class DisabledWindow {
  public:
    explicit DisabledWindow(HWND w) : m_w(w && ::IsWindowEnabled(w) ? w : nullptr) {
        if (m_w)
            ::EnableWindow(m_w, FALSE);
    }
    DisabledWindow(const DisabledWindow&) = delete;
    DisabledWindow& operator=(const DisabledWindow&) = delete;
    ~DisabledWindow() {
        if (m_w)
            ::EnableWindow(m_w, TRUE);
    }

  private:
    HWND m_w;
};

// The outside PDF viewer's view window. Reads neither text nor class through messages, so the
// search never waits for another thread's message loop while the window's lock is held.
bool IsAdobeView(HWND w) {
    wchar_t className[256];
    if (!::GetClassNameW(w, className, 256) || !EqualNoCase(className, L"AVL_AVView"))
        return false;
    wchar_t text[32];
    const int length = ::InternalGetWindowText(w, text, 32);
    return length > 0 && EqualNoCase(text, L"AVToolBarHostView");
}

struct DescendantSearch {
    HWND parent;
    bool found = false;
};

BOOL CALLBACK TestDescendant(HWND w, LPARAM param) {
    auto* search = reinterpret_cast<DescendantSearch*>(param);
    if (w != search->parent && !::IsChild(search->parent, w) && ::IsWindowVisible(w) && IsAdobeView(w)) {
        search->found = true;
        return FALSE;
    }
    return TRUE;
}

ffm::UniqueBstr Bstr(const std::wstring& text) {
    return ffm::UniqueBstr(ffm::NewBstr(text));
}

} // namespace

bool FilePreviewWnd::ExtensionLess::operator()(const std::wstring& a, const std::wstring& b) const noexcept {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
}

FilePreviewWnd::FilePreviewWnd() : moLink(std::make_shared<ffm::PreviewWindowLink>(this)) {}

FilePreviewWnd::~FilePreviewWnd() {
    moLink->Cut();
    auto lock = moLock.Lock();
    mpoPendingNavigator.reset();
    mpoCurrent = nullptr;
    mpoWildcard = nullptr;
    moExtensions.clear();
    moHolders.clear();
    mpoMenuHandler.reset();
}

// ---- Registration ---------------------------------------------------------------------------

void FilePreviewWnd::mvAddPreview(ComPtr<ITovFilePreview> preview, ITovRegistry* registry,
                                  const wchar_t* extension, long mask, bool wildcard) {
    auto lock = moLock.Lock();
    auto holder = std::make_unique<PreviewHolder>();
    holder->preview = std::move(preview);
    holder->registry = ComPtr<ITovRegistry>(registry);
    holder->mask = mask;
    // Reserve first, so a failure leaves the window as it was.
    moHolders.reserve(moHolders.size() + 1);
    Candidates& list = moExtensions[extension ? extension : L""];
    list.push_back(holder.get());
    if (wildcard)
        mpoWildcard = holder.get();
    moHolders.push_back(std::move(holder));
}

// ---- Showing --------------------------------------------------------------------------------

long FilePreviewWnd::mhShow(const std::wstring& path, TovFileVaultType type, ITovCallback* callback,
                            ITovFileNavigator* navigator, bool ignoreExclusion, long reshowCode) {
    auto lock = moLock.Lock();
    return ffm::Boundary(
        [&] { return mhShowLocked(path, type, callback, navigator, ignoreExclusion, reshowCode); });
}

FilePreviewWnd::Candidates FilePreviewWnd::moCandidatesFor(const std::wstring& extension) const {
    const auto found = moExtensions.find(extension);
    if (found != moExtensions.end() && !found->second.empty())
        return found->second;
    if (mpoWildcard)
        return Candidates{mpoWildcard};
    return {};
}

long FilePreviewWnd::mhShowLocked(const std::wstring& path, TovFileVaultType type, ITovCallback* callback,
                                  ITovFileNavigator* navigator, bool ignoreExclusion, long reshowCode) {
    PreviewHolder* const previous = mpoCurrent.exchange(nullptr);
    const auto earlyFailure = [&](HRESULT hr) {
        if (previous)
            previous->preview->Hide();
        return hr;
    };

    const size_t dot = path.rfind(L'.');
    const std::wstring extension = dot == std::wstring::npos ? std::wstring() : Upper(path.substr(dot + 1));
    Candidates candidates;
    if (dot == std::wstring::npos) {
        if (!mpoWildcard)
            return earlyFailure(kNoPreview);
        candidates.push_back(mpoWildcard);
    } else {
        if (!ignoreExclusion && goFileFormatMgr.mbIsExcludedFromPreview(extension.c_str()))
            return earlyFailure(kExcluded);
        if (extension == L"PDF" && mbAdobeViewOpen())
            return earlyFailure(kAdobeViewOpen);
        candidates = moCandidatesFor(extension);
        if (candidates.empty())
            return earlyFailure(kNoPreview);
    }

    // CAD previews ask to be shown again through a callback of ours when the host gave none.
    const bool cad = extension == L"DWG" || extension == L"DXF";
    ComPtr<CDwgPreviewCallback> reshow;
    if (cad && reshowCode == 0 && !callback) {
        reshow = CDwgPreviewCallback::Create(moLink, path, type, navigator);
        callback = reshow.get();
    }
    const bool skipDirect = cad && reshowCode == kRedirect;

    HRESULT hr = kNoPreview;
    for (PreviewHolder* candidate : candidates) {
        if (candidate != previous && previous && !mbHidden) {
            mbHidden = true;
            previous->preview->Hide();
        }
        PreviewHolder* shower = candidate;
        hr = mhTryCandidate(*candidate, path, type, callback, navigator, skipDirect, reshow.get(), shower);
        if (SUCCEEDED(hr)) {
            if (mbCheckSize(path, type, navigator)) {
                mbHidden = false;
                mpoCurrent = shower;
            }
            return S_OK;
        }
        if (previous) {
            previous->preview->Hide();
            mbHidden = true;
        }
    }
    return PassedOn(hr);
}

HRESULT FilePreviewWnd::mhTryCandidate(PreviewHolder& candidate, const std::wstring& path,
                                       TovFileVaultType type, ITovCallback* callback,
                                       ITovFileNavigator* navigator, bool skipDirect,
                                       CDwgPreviewCallback* reshow, PreviewHolder*& shower) {
    const auto handOver = [&](PreviewHolder& holder) {
        if (reshow)
            holder.reshow = ComPtr<ITovPluginPreviewCallbackInternal>(reshow);
    };
    if (!candidate.preview)
        return E_POINTER;
    if (navigator) {
        handOver(candidate);
        return candidate.preview->ShowNavigator(candidate.registry.get(), navigator, callback);
    }

    const ffm::UniqueBstr bstrPath = Bstr(path);
    const DisabledWindow disabled(TopLevelOf(mhParent));
    if (!skipDirect) {
        handOver(candidate);
        const HRESULT hr = candidate.preview->ShowFile(candidate.registry.get(), bstrPath.get(), callback,
                                                       static_cast<long>(type));
        if (hr != kRedirect)
            return hr;
    }

    // The plug-in names the extension whose previews are to show this file.
    const auto redirect = candidate.preview.try_query<ITovFormatRedirect>();
    if (!redirect)
        return kNoPreview;
    ffm::UniqueBstr target;
    if (FAILED(redirect->GetTargetExtension(bstrPath.get(), target.put())) || !target ||
        ::SysStringLen(target.get()) == 0)
        return kNoPreview;
    const auto found = moExtensions.find(Upper(std::wstring(target.get(), ::SysStringLen(target.get()))));
    if (found == moExtensions.end() || found->second.empty())
        return kNoPreview;
    const Candidates targets = found->second;
    HRESULT hr = kNoPreview;
    for (PreviewHolder* holder : targets) {
        if (!holder->preview) {
            hr = E_POINTER;
            continue;
        }
        handOver(*holder);
        hr = holder->preview->ShowFile(holder->registry.get(), bstrPath.get(), callback,
                                       static_cast<long>(type));
        if (SUCCEEDED(hr)) {
            shower = holder;
            break;
        }
    }
    return hr;
}

bool FilePreviewWnd::mbCheckSize(const std::wstring& path, TovFileVaultType type,
                                 ITovFileNavigator* navigator) {
    auto lock = moLock.Lock();
    if (mlWidth >= 1 && mlHeight >= 1) {
        mpoPendingNavigator.reset();
        mbPending = false;
        return true;
    }
    std::wstring pending = path;
    mpoPendingNavigator = ComPtr<ITovFileNavigator>(navigator);
    moPendingPath = std::move(pending);
    mlPendingType = type;
    mbPending = true;
    return false;
}

// Window search for an outside PDF view: up the chain of parents and owners from the parent
// window; every window reached has its own descendants searched (we keep no window framework of
// our own, so every ancestor counts as a foreign one), except those inside the parent window.
bool FilePreviewWnd::mbAdobeViewOpen() const {
    HWND w = mhParent;
    while (w) {
        HWND next =
            (::GetWindowLongPtrW(w, GWL_STYLE) & WS_CHILD) ? ::GetParent(w) : ::GetWindow(w, GW_OWNER);
        if (!next)
            return false;
        if (IsAdobeView(next))
            return true;
        DescendantSearch search{mhParent};
        ::EnumChildWindows(next, TestDescendant, reinterpret_cast<LPARAM>(&search));
        if (search.found)
            return true;
        w = next;
    }
    return false;
}

// ---- Size, hiding, refresh ------------------------------------------------------------------

void FilePreviewWnd::mvResize(const RECT* rect) {
    RECT area{};
    if (rect)
        area = *rect;
    else if (mhParent)
        ::GetClientRect(mhParent, &area);
    TovRect tovRect{area.left, area.top, area.right, area.bottom};
    mlWidth = tovRect.right - tovRect.left;
    mlHeight = tovRect.bottom - tovRect.top;

    auto lock = moLock.Lock();
    if (mbPending && mlWidth >= 1 && mlHeight >= 1) {
        // The show releases the pending navigator: keep our own reference across it.
        const std::wstring path = moPendingPath;
        const ComPtr<ITovFileNavigator> navigator = mpoPendingNavigator;
        mhShow(path, mlPendingType, nullptr, navigator.get(), false, 0);
    }
    std::vector<IUnknown*> resized;
    resized.reserve(moHolders.size());
    for (const auto& holder : moHolders) {
        if (!holder->preview)
            throw ffm::ComError(E_POINTER);
        ComPtr<IUnknown> identity;
        ffm::ThrowIfFailed(holder->preview.query_to(identity));
        if (std::find(resized.begin(), resized.end(), identity.get()) != resized.end())
            continue;
        resized.push_back(identity.get());
        holder->preview->Resize(&tovRect);
    }
}

void FilePreviewWnd::mvHide(bool keepFile) {
    auto lock = moLock.Lock();
    PreviewHolder* current = mpoCurrent;
    if (!current)
        return;
    ffm::UniqueBstr empty;
    if (!keepFile)
        empty = Bstr(std::wstring());
    current->preview->Hide();
    mbHidden = true;
    if (keepFile)
        return;
    current->preview->ReleaseFile(empty.get());
    mpoCurrent = nullptr;
}

void FilePreviewWnd::mvRefresh(ITovCallback* callback) {
    auto lock = moLock.Lock();
    if (PreviewHolder* current = mpoCurrent)
        current->preview->Refresh(callback);
}

bool FilePreviewWnd::mbReleaseFile(const wchar_t* path) {
    auto lock = moLock.Lock();
    PreviewHolder* current = mpoCurrent;
    if (!current)
        return false;
    const ffm::UniqueBstr bstrPath(ffm::AllocBstr(path));
    return bstrPath && current->preview->ReleaseFile(bstrPath.get()) == S_OK;
}

bool FilePreviewWnd::mbTranslateAccelerator(MSG& message) {
    PreviewHolder* current = mpoCurrent;
    if (mlWidth < 1 || mlHeight < 1 || !current)
        return false;
    TovMessage record{static_cast<long>(reinterpret_cast<LONG_PTR>(message.hwnd)),
                      static_cast<long>(message.message),
                      static_cast<long>(message.wParam),
                      static_cast<long>(message.lParam),
                      static_cast<long>(message.time),
                      static_cast<long>(message.pt.x),
                      static_cast<long>(message.pt.y)};
    return current->preview->TranslateAccelerator(&record) == S_OK;
}
