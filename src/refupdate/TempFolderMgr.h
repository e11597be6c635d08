#pragma once
// TempFolderMgr: the private working copy of one reference update. For formats whose plug-ins
// rewrite references only with the referenced files lying beside the file, it makes a fresh
// folder below the user's temporary folder, copies the file in, places every moved file there
// under the name the file still refers to (asking the vault client's local file service for
// files missing on disk, and writing empty placeholder documents where an Inventor file cannot be
// had), copies the result back and removes everything it made. Without a copy it only hands out
// the file's own path.
#include <FileFmtMgr/FileFormatMgr.h>
#include <list>
#include <string>
#include <unordered_set>
#include <vector>

namespace ffm::refupdate {

// The vault client's local file service: one request per message, one reply of at most 256
// bytes, requests of all processes serialised by the named mutex.
constexpr const wchar_t* kFileServicePipe = L"\\\\.\\pipe\\9E0E8EB3-C8DC-4772-8E45-44C907C2D30B";
constexpr const wchar_t* kFileServiceMutex = L"{2F22C261-233E-4dcf-A4BD-0443B7120F4A}";
constexpr unsigned long kFetchRequest = 1;
constexpr std::size_t kMaxRequestPathChars = 260;
constexpr std::size_t kMaxReplyBytes = 256;

// Resource ids (type "BIN") of the empty Inventor documents.
constexpr int kEmptyAssemblyResource = 3001; // ".iam"
constexpr int kEmptyPartResource = 3002;     // ".ipt"

// The request for a path: code 1 (32-bit little-endian), the path cut to 260 UTF-16 units, a
// terminating zero unit.
std::vector<unsigned char> FileServiceRequest(const std::wstring& path);

// Makes base + "QLN<pid>-<tid>-<tick>" (each as signed decimal), retrying with the next tick
// count while creation fails; gives the folder made. Raises the system error when none was made.
std::wstring CreateUniqueFolder(const std::wstring& base, DWORD processId, DWORD threadId, DWORD tick);

// Raises the thread's last system error as a result code (0x8004020B when there is none).
[[noreturn]] void RaiseLastSystemError();

class TempFolderMgr {
  public:
    // With useCopy the preparation runs here and a failure raises ComError; the object is then
    // not constructed, and whatever the preparation made so far stays.
    TempFolderMgr(const std::wstring& filePath, const std::wstring& oldRoot, const std::wstring& altOldRoot,
                  const std::wstring& newRoot, const Lst<MoveRef*>& moves, bool useCopy);
    TempFolderMgr(const TempFolderMgr&) = delete;
    TempFolderMgr& operator=(const TempFolderMgr&) = delete;
    // Deletes every file and folder this object made; never raises.
    virtual ~TempFolderMgr();

    // Puts the working copy in place of the file, keeping the file's attributes and creation
    // time. The file is replaced in one step: a copy made beside it is renamed over it, so an
    // interrupted copy-back leaves the file as it was. Raises the system error. Without a copy
    // it does nothing.
    void mvCopyBack();

    // A moved path mapped to the local disk: a path below the old (or alternative old) root
    // rebased onto the new root, any other path unchanged.
    std::wstring moMapPath(const std::wstring& path) const;

    // Writes the empty document for the path's extension (".ipt", ".iam") at path, making the
    // folders on the way; false for other extensions or when it cannot be written.
    bool mbWritePlaceholder(const std::wstring& path);

    std::wstring moWorkPath; // the path the plug-in opens: the copy once it exists
    std::wstring moFilePath; // the file itself
    bool mbUseCopy = false;  // true once the preparation completed; gates copy-back and clean-up
    std::list<std::wstring> moFilesToDelete;   // files this object made, in creation order
    std::wstring moTempFolder;                 // without trailing backslash; empty until made
    std::list<std::wstring> moFoldersToDelete; // "OldVersions" folders that did not exist before
    std::wstring moOldRoot;
    std::wstring moAltOldRoot;
    std::wstring moNewRoot;

  private:
    // "OldVersions" paths already looked at (folded), so that many moves into one folder cost one
    // look each, not one per move.
    std::unordered_set<std::wstring> moCheckedOldVersions;

    void mvCreateTempFolder();
    void mvPrepare(const Lst<MoveRef*>& moves);
    void mvPlaceMovedFile(const std::wstring& newLocal, const std::wstring& oldLocal);
};

} // namespace ffm::refupdate
