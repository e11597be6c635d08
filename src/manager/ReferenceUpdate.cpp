// The reference update of one file after moves: prepares the file (time, read-only attribute,
// working copy), lets the rewrite change the references, copies the result back and puts the
// file back as it was in every other respect, on every road.
#include "manager/ReferenceUpdate.h"

#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include "plugins/Registry.h"
#include "refupdate/ReferenceRewrite.h"
#include "refupdate/TempFolderMgr.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <algorithm>

using ffm::ComPtr;

namespace ffm::refupdate {

namespace {

constexpr unsigned long kReferenceUpdateMask = 0x1;
constexpr unsigned long kFormatMask = 0x9;
constexpr long kUpdateOption = 4711;

std::wstring WithoutQuotesAndArrows(std::wstring text) {
    text.erase(std::remove_if(text.begin(), text.end(), [](wchar_t c) { return c == L'"' || c == L'>'; }),
               text.end());
    return text;
}

BOOL CALLBACK ReadSettingOnce(PINIT_ONCE, PVOID, PVOID* context) {
    *context = reinterpret_cast<PVOID>(static_cast<INT_PTR>(ReadTempDirForSEFiles() ? 1 : 2));
    return TRUE;
}

bool IsOneOf(const wchar_t* extension, std::initializer_list<const wchar_t*> candidates) {
    return std::any_of(candidates.begin(), candidates.end(),
                       [&](const wchar_t* c) { return PathEquals(extension, c); });
}

// Whether the plug-in works on a private copy, from the extension of the argument as passed.
bool WorkOnCopy(const std::wstring& argument) {
    const wchar_t* extension = ExtensionOf(argument.c_str());
    if (IsOneOf(extension, {L".iam", L".ipt", L".idw"}))
        return true;
    if (PathEquals(extension, L".dwg")) {
        ComPtr<ITovFileFormat> format;
        ThrowIfFailed(goFileFormatMgr.mhGetFormat(argument, format, kFormatMask, nullptr, nullptr, false));
        ComPtr<ITovFileNavigator> navigator;
        ThrowIfFailed(goFileFormatMgr.mhGetNavigator(argument, navigator, kReferenceUpdateMask, nullptr,
                                                     nullptr, format.get()));
        return static_cast<bool>(navigator.try_query<ITovWorkOnCopy>());
    }
    const std::wstring cut(extension, std::min<std::size_t>(std::wcslen(extension), 8));
    return IsOneOf(cut.c_str(), {L".par", L".asm", L".dft", L".psm", L".pwd", L".pcf"}) &&
           TempDirForSEFiles();
}

// The kept file's read-only attribute and last-write time: taken before the update, given back
// when it ends, whatever happened in between.
class KeptFileState {
  public:
    KeptFileState(std::wstring path, bool keepTime) : m_path(std::move(path)), m_keepTime(keepTime) {}
    KeptFileState(const KeptFileState&) = delete;
    KeptFileState& operator=(const KeptFileState&) = delete;
    ~KeptFileState() { mvRestore(); }

    // Saves the time (when kept) and lifts a read-only attribute; false when the file cannot
    // be read or changed, and then nothing was changed.
    bool mbPrepare() {
        if (m_keepTime) {
            const UniqueFile file(::CreateFileW(m_path.c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                                nullptr));
            FILETIME created, accessed, written;
            if (!file || !::GetFileTime(file.get(), &created, &accessed, &written) ||
                !::FileTimeToSystemTime(&written, &m_time))
                return false;
            // Whole even seconds, as the vault stores file times.
            m_time.wMilliseconds = 0;
            m_time.wSecond &= ~1;
        }
        m_attributes = ::GetFileAttributesW(m_path.c_str());
        if (m_attributes == INVALID_FILE_ATTRIBUTES)
            return false;
        if (m_attributes & FILE_ATTRIBUTE_READONLY) {
            if (!::SetFileAttributesW(m_path.c_str(), m_attributes & ~FILE_ATTRIBUTE_READONLY))
                return false;
            m_readOnlyCleared = true;
        }
        m_prepared = true;
        return true;
    }

  private:
    void mvRestore() noexcept {
        if (!m_prepared)
            return;
        if (m_readOnlyCleared)
            ::SetFileAttributesW(m_path.c_str(), m_attributes);
        if (!m_keepTime)
            return;
        FILETIME written;
        if (!::SystemTimeToFileTime(&m_time, &written))
            return;
        const DWORD attributes = ::GetFileAttributesW(m_path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return;
        if (attributes & FILE_ATTRIBUTE_READONLY)
            ::SetFileAttributesW(m_path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        {
            const UniqueFile file(::CreateFileW(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
            if (file)
                ::SetFileTime(file.get(), nullptr, nullptr, &written);
        }
        if (attributes & FILE_ATTRIBUTE_READONLY)
            ::SetFileAttributesW(m_path.c_str(), attributes);
    }

    const std::wstring m_path;
    const bool m_keepTime;
    SYSTEMTIME m_time{};
    DWORD m_attributes = INVALID_FILE_ATTRIBUTES;
    bool m_readOnlyCleared = false;
    bool m_prepared = false;
};

const wchar_t* OrEmpty(const wchar_t* text) {
    return text ? text : L"";
}

// Steps from the copy decision to the copy-back; raises on failure.
HRESULT Update(const std::wstring& argument, const FileArgument& paths, const wchar_t* newRoot,
               const wchar_t* oldRoot, const wchar_t* altOldRoot, const Lst<MoveRef*>& moves,
               ITovFileFormat* given) {
    // Declared first, so it is destroyed (its copies deleted) after the plug-in let go of them.
    TempFolderMgr folder(paths.openPath, OrEmpty(oldRoot), OrEmpty(altOldRoot), OrEmpty(newRoot), moves,
                         WorkOnCopy(argument));

    ComPtr<ITovFileFormat> format(given);
    if (!format) {
        unsigned long chosen = 0;
        ThrowIfFailed(
            goFileFormatMgr.mhGetFormat(paths.openPath, format, kFormatMask, nullptr, &chosen, true));
        if (!(chosen & kReferenceUpdateMask))
            return FFM_E_NO_PLUGIN;
    }
    ComPtr<ITovFileNavigator> navigator;
    ThrowIfFailed(goFileFormatMgr.mhGetNavigator(folder.moWorkPath, navigator, kReferenceUpdateMask, nullptr,
                                                 nullptr, format.get()));
    if (!navigator)
        return E_POINTER;
    ThrowIfFailed(navigator->SetOption(kUpdateOption, 1), navigator.get(), __uuidof(ITovFileNavigator));
    if (paths.keptPath != paths.openPath) {
        if (auto named = navigator.try_query<ITovFileNavigator2>()) {
            UniqueBstr kept(NewBstr(paths.keptPath));
            named->SetFilePath(kept.get());
        }
    }

    const HRESULT hr = ghUpdateReferences(navigator.get(), moves, newRoot, oldRoot, altOldRoot);
    if (SUCCEEDED(hr))
        folder.mvCopyBack();
    return hr;
}

} // namespace

FileArgument SplitFileArgument(const std::wstring& argument) {
    const std::size_t arrow = argument.find(L'>');
    if (arrow == std::wstring::npos)
        return {argument, argument};
    FileArgument paths{WithoutQuotesAndArrows(argument.substr(0, arrow)),
                       WithoutQuotesAndArrows(argument.substr(arrow + 1))};
    constexpr const wchar_t* kBlanks = L" \t\r\n\v\f";
    std::wstring& kept = paths.keptPath;
    kept.erase(0, std::min(kept.size(), kept.find_first_not_of(kBlanks)));
    kept.erase(kept.find_last_not_of(kBlanks) + 1);
    return paths;
}

bool ReadTempDirForSEFiles() {
    Registry key;
    DWORD value = 0;
    if (!key.mbOpen(HKEY_CURRENT_USER, VendorKey(L"FileFmtMgr").c_str(), KEY_READ) ||
        !key.mbGetDWord(L"TempDirForSEFiles", value))
        return true;
    return value != 0;
}

bool TempDirForSEFiles() {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    PVOID answer = nullptr;
    if (!::InitOnceExecuteOnce(&once, ReadSettingOnce, nullptr, &answer))
        return true;
    return reinterpret_cast<INT_PTR>(answer) == 1;
}

} // namespace ffm::refupdate

HRESULT ghUpdateXRefPaths(const wchar_t* file, const wchar_t* newRoot, const wchar_t* oldRoot,
                          const wchar_t* altOldRoot, const ffm::Lst<MoveRef*>& moves, unsigned long options,
                          ITovFileFormat* format) {
    using namespace ffm::refupdate;
    if (!file)
        return E_POINTER;
    try {
        const std::wstring argument(file);
        const FileArgument paths = SplitFileArgument(argument);
        if (!*ExtensionOf(paths.openPath.c_str()) ||
            std::wcscmp(ExtensionOf(paths.openPath.c_str()), L".") == 0)
            return S_FALSE;
        KeptFileState kept(paths.keptPath, (options & ffm::kKeepLastWriteTime) != 0);
        if (!kept.mbPrepare())
            return ffm::FFM_E_FILE_NOT_PREPARED;
        try {
            return ffm::Boundary(
                [&] { return Update(argument, paths, newRoot, oldRoot, altOldRoot, moves, format); });
        } catch (...) {
            return E_FAIL;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
