#include "refupdate/TempFolderMgr.h"

#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include "foundation/Module.h"
#include "refupdate/ReferenceRewrite.h"
#include <algorithm>
#include <shellapi.h>

namespace ffm::refupdate {

namespace {

constexpr long kFolderAttempts = 1000000;

bool Exists(const std::wstring& path) noexcept {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The folder part of a path, with its trailing separator ("" for a bare name).
std::wstring FolderOf(const std::wstring& path) {
    return path.substr(0, static_cast<std::size_t>(FileNameOf(path.c_str()) - path.c_str()));
}

std::wstring NameOf(const std::wstring& path) {
    return FileNameOf(path.c_str());
}

std::wstring TempPath() {
    std::wstring path(MAX_PATH + 1, L'\0');
    for (;;) {
        const DWORD length = ::GetTempPathW(static_cast<DWORD>(path.size()), path.data());
        if (length == 0)
            RaiseLastSystemError();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length + 1);
    }
}

// path with root (compared ignoring case) replaced by newRoot; false when it does not begin with root.
bool Rebase(const std::wstring& path, const std::wstring& root, const std::wstring& newRoot,
            std::wstring& result) {
    if (root.empty() || !PathStartsWith(path.c_str(), root))
        return false;
    result = newRoot + path.substr(root.size());
    return true;
}

// The named mutex that serialises requests to the local file service across processes; held
// for its lifetime when it could be had.
class ServiceLock {
  public:
    ServiceLock() {
        // A mutex made by a process with more rights may refuse full access; waiting and
        // releasing need only these two.
        for (;;) {
            m_mutex.reset(::CreateMutexW(nullptr, FALSE, kFileServiceMutex));
            if (!m_mutex && ::GetLastError() == ERROR_ACCESS_DENIED)
                m_mutex.reset(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kFileServiceMutex));
            if (m_mutex || ::GetLastError() != ERROR_ACCESS_DENIED)
                break;
            ::Sleep(0);
        }
        if (!m_mutex)
            return;
        const DWORD wait = ::WaitForSingleObject(m_mutex.get(), INFINITE);
        m_owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    ServiceLock(const ServiceLock&) = delete;
    ServiceLock& operator=(const ServiceLock&) = delete;
    ~ServiceLock() {
        if (m_owned)
            ::ReleaseMutex(m_mutex.get());
    }

  private:
    UniqueHandle m_mutex;
    bool m_owned = false;
};

// Asks the local file service to bring a file to the local disk. A service that is missing or
// busy, or a request that fails, is passed over: the caller carries on without the file.
void AskFileService(const std::wstring& path) {
    const std::vector<unsigned char> request = FileServiceRequest(path);
    const ServiceLock lock;
    const UniqueFile pipe(
        ::CreateFileW(kFileServicePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe)
        return;
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr))
        return;
    DWORD written = 0;
    if (!::WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &written, nullptr))
        return;
    unsigned char reply[kMaxReplyBytes];
    DWORD read = 0;
    ::ReadFile(pipe.get(), reply, sizeof reply, &read, nullptr);
}

// Deletes a file this object made; a read-only one (copied from a read-only source) too.
bool DeleteOwnFile(const std::wstring& path) noexcept {
    if (::DeleteFileW(path.c_str()))
        return true;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    return ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) &&
           ::DeleteFileW(path.c_str());
}

} // namespace

void RaiseLastSystemError() {
    const DWORD code = ::GetLastError();
    const auto value = static_cast<LONG>(code);
    if (value > 0)
        throw ComError(static_cast<HRESULT>(0x80070000u | (code & 0xFFFFu)));
    if (value < 0)
        throw ComError(static_cast<HRESULT>(value));
    throw ComError(FFM_E_COPY_FAILED);
}

std::vector<unsigned char> FileServiceRequest(const std::wstring& path) {
    const std::size_t chars = std::min(path.size(), kMaxRequestPathChars);
    std::vector<unsigned char> message(4 + 2 * chars + 2, 0);
    for (int i = 0; i < 4; ++i)
        message[i] = static_cast<unsigned char>((kFetchRequest >> (8 * i)) & 0xFF);
    for (std::size_t i = 0; i < chars; ++i) {
        const auto unit = static_cast<unsigned short>(path[i]);
        message[4 + 2 * i] = static_cast<unsigned char>(unit & 0xFF);
        message[5 + 2 * i] = static_cast<unsigned char>(unit >> 8);
    }
    return message;
}

std::wstring CreateUniqueFolder(const std::wstring& base, DWORD processId, DWORD threadId, DWORD tick) {
    const std::wstring prefix = base + L"QLN" + std::to_wstring(static_cast<int>(processId)) + L"-" +
                                std::to_wstring(static_cast<int>(threadId)) + L"-";
    for (long attempt = 0; attempt < kFolderAttempts; ++attempt, ++tick) {
        std::wstring folder = prefix + std::to_wstring(static_cast<int>(tick));
        if (::CreateDirectoryW(folder.c_str(), nullptr))
            return folder;
    }
    RaiseLastSystemError();
}

TempFolderMgr::TempFolderMgr(const std::wstring& filePath, const std::wstring& oldRoot,
                             const std::wstring& altOldRoot, const std::wstring& newRoot,
                             const Lst<MoveRef*>& moves, bool useCopy)
    : moWorkPath(filePath), moFilePath(filePath), moOldRoot(oldRoot), moAltOldRoot(altOldRoot),
      moNewRoot(newRoot) {
    if (useCopy)
        mvPrepare(moves);
}

void TempFolderMgr::mvCreateTempFolder() {
    moTempFolder.clear();
    std::wstring base = TempPath();
    while (!base.empty() && base.back() == L'\\')
        base.pop_back();
    base += L'\\';
    moTempFolder =
        CreateUniqueFolder(base, ::GetCurrentProcessId(), ::GetCurrentThreadId(), ::GetTickCount());
}

std::wstring TempFolderMgr::moMapPath(const std::wstring& path) const {
    std::wstring mapped;
    if (Rebase(path, moOldRoot, moNewRoot, mapped) || Rebase(path, moAltOldRoot, moNewRoot, mapped))
        return mapped;
    return path;
}

void TempFolderMgr::mvPrepare(const Lst<MoveRef*>& moves) {
    mvCreateTempFolder();
    moWorkPath = moTempFolder + L"\\" + NameOf(moFilePath);
    if (!::CopyFileW(moFilePath.c_str(), moWorkPath.c_str(), TRUE))
        RaiseLastSystemError();
    moFilesToDelete.push_back(moWorkPath);
    for (const MoveRef* move : moves)
        mvPlaceMovedFile(moMapPath(move->moNewPath), moMapPath(move->moOldPath));
    mbUseCopy = true;
}

void TempFolderMgr::mvPlaceMovedFile(const std::wstring& newLocal, const std::wstring& oldLocal) {
    // The CAD side may keep versions beside the moved file while it works on the copy.
    std::wstring oldVersions = FolderOf(newLocal) + L"OldVersions";
    std::wstring folded = oldVersions;
    std::transform(folded.begin(), folded.end(), folded.begin(), FoldChar);
    if (moCheckedOldVersions.insert(std::move(folded)).second && !Exists(oldVersions)) {
        oldVersions.reserve(oldVersions.size() + 2); // room for the shell's double terminator
        moFoldersToDelete.push_back(std::move(oldVersions));
    }

    const std::wstring target = moTempFolder + L"\\" + NameOf(oldLocal);
    std::wstring source = newLocal;
    if (!Exists(newLocal)) {
        AskFileService(newLocal);
        mbWritePlaceholder(newLocal);
        source = Exists(oldLocal) ? oldLocal : FolderOf(newLocal) + NameOf(oldLocal);
    }
    if (::CopyFileW(source.c_str(), target.c_str(), TRUE))
        moFilesToDelete.push_back(target);
    else if (!Exists(target))
        mbWritePlaceholder(target);
}

bool TempFolderMgr::mbWritePlaceholder(const std::wstring& path) {
    const wchar_t* extension = ExtensionOf(path.c_str());
    int id = 0;
    if (PathEquals(extension, L".ipt"))
        id = kEmptyPartResource;
    else if (PathEquals(extension, L".iam"))
        id = kEmptyAssemblyResource;
    else
        return false;

    const HMODULE module = ModuleHandle();
    HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(id), L"BIN");
    if (!found)
        return false;
    const DWORD size = ::SizeofResource(module, found);
    HGLOBAL loaded = ::LoadResource(module, found);
    const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
    if (!bytes || size == 0)
        return false;

    for (std::size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        if (at > 0)
            ::CreateDirectoryW(path.substr(0, at).c_str(), nullptr);

    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes, size, &written, nullptr) || written != size) {
        file.reset();
        ::DeleteFileW(path.c_str());
        return false;
    }
    moFilesToDelete.push_back(path);
    return true;
}

void TempFolderMgr::mvCopyBack() {
    if (!mbUseCopy)
        return;
    WIN32_FILE_ATTRIBUTE_DATA original{};
    if (!::GetFileAttributesExW(moFilePath.c_str(), GetFileExInfoStandard, &original))
        RaiseLastSystemError();

    // A sibling, so the rename below stays on the file's own volume.
    const std::wstring stem = FolderOf(moFilePath) + L"~" + NameOf(moFilePath) + L"." +
                              std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(::GetCurrentThreadId()) + L"-";
    std::wstring sibling;
    for (unsigned attempt = 0;; ++attempt) {
        sibling = stem + std::to_wstring(attempt) + L".tmp";
        if (::CopyFileW(moWorkPath.c_str(), sibling.c_str(), TRUE))
            break;
        if (::GetLastError() != ERROR_FILE_EXISTS || attempt == 1000)
            RaiseLastSystemError();
    }

    const auto fail = [&]() {
        const DWORD error = ::GetLastError();
        ::SetFileAttributesW(sibling.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(sibling.c_str());
        ::SetLastError(error);
        RaiseLastSystemError();
    };
    {
        // On disk before it takes the file's place, so not even a crash leaves a short file.
        const UniqueFile copy(
            ::CreateFileW(sibling.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!copy || !::SetFileTime(copy.get(), &original.ftCreationTime, nullptr, nullptr) ||
            !::FlushFileBuffers(copy.get()))
            fail();
    }
    // Only these can be set on a file; the others (compression, encryption, ...) come from the
    // folder or stay as the system made them.
    constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD attributes = original.dwFileAttributes & kSettable;
    if (!::SetFileAttributesW(sibling.c_str(), attributes ? attributes : FILE_ATTRIBUTE_NORMAL) ||
        !::MoveFileExW(sibling.c_str(), moFilePath.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        fail();
}

TempFolderMgr::~TempFolderMgr() {
    if (!mbUseCopy)
        return;
    for (const std::wstring& file : moFilesToDelete)
        if (!DeleteOwnFile(file))
            ::MoveFileExW(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    if (!::RemoveDirectoryW(moTempFolder.c_str()))
        ::MoveFileExW(moTempFolder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    for (std::wstring& folder : moFoldersToDelete) {
        const DWORD attributes = ::GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        // The shell wants the list of paths ended by two zero characters; the list is not used
        // again, so its own strings take them (reserved, this cannot fail for lack of memory).
        if (folder.capacity() < folder.size() + 2)
            continue;
        folder.append(2, L'\0');
        SHFILEOPSTRUCTW operation{};
        operation.wFunc = FO_DELETE;
        operation.pFrom = folder.c_str();
        operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
        ::SHFileOperationW(&operation);
    }
}

} // namespace ffm::refupdate
