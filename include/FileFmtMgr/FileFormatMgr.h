#pragma once
// FileFormatMgr: the process-wide manager through which a host reaches file-format plug-ins.
// Take it with gpoGetFileFormatMgr(); every operation may be called from any thread.
#include <FileFmtMgr/Api.h>
#include <FileFmtMgr/AttributeData.h>
#include <FileFmtMgr/ComError.h>
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/ConfigData.h>
#include <FileFmtMgr/CriticalSection.h>
#include <FileFmtMgr/Lst.h>
#include <FileFmtMgr/RegistrationStore.h>
#include <FileFmtMgr/Settings.h>
#include <FileFmtMgr/ResultCodes.h>
#include <FileFmtMgr/SpStr.h>
#include <FileFmtMgr/TovContract.h>
#include <FileFmtMgr/Values.h>
#include <FileFmtMgr/VariableData.h>
#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <string>

class MenuExtension;
class PluginTable;
class _bstr_t;
class FilePreviewWnd;

// One configuration pair of one reference, counted over the plug-in's configuration elements.
struct XRefConfigInfo {
    std::wstring mbsConfig1;
    std::wstring mbsConfig2;
    long mlFlag1Count = 0;     // elements with the first flag set
    long mlCount = 0;          // elements with this pair
    long mlFlag2OnlyCount = 0; // elements with only the second flag set
};

// A moved or renamed file. Built and owned by the caller; the library only reads it.
struct MoveRef {
    std::wstring moOldPath;
    std::wstring moNewPath;
};

// Receives a file's references one by one. Implemented by the caller.
struct IFileFormatMgrXRefCallback {
    // refPath becomes the callee's (free it with SysFreeString); every other pointer is only
    // valid during the call. configInfo may be empty. A failure stops further deliveries.
    virtual HRESULT STDMETHODCALLTYPE OnReference(BSTR refPath, const wchar_t* filePath, const wchar_t* text,
                                                  bool flag, const unsigned char* data, long dataSize,
                                                  long numberB, long numberA, double number, long numberC,
                                                  ffm::Lst<XRefConfigInfo*>* configInfo, long numberD) = 0;
};

// The manager's interface; the order of these ten operations is fixed for compiled callers.
struct IFileFormatMgr {
    virtual HRESULT mhGetFormat(const wchar_t* path, ITovFileFormat** format, unsigned long mask,
                                ITovCallback* callback, unsigned long* outMask, bool final) = 0;
    virtual HRESULT mhGetNavigator(ITovFileNavigator** navigator, const wchar_t* path, unsigned long mask,
                                   ITovCallback* callback, unsigned long* outMask,
                                   ITovFileFormat* format) = 0;
    virtual HRESULT mhGetNavigator2(ITovFileNavigator** navigator, const wchar_t* path, unsigned long mask,
                                    ITovCallback* callback, unsigned long* outMask,
                                    ITovFileFormat* format) = 0;
    virtual HRESULT mhGetReferences(ITovFileNavigator* navigator, IFileFormatMgrXRefCallback* target,
                                    ITovCallback* callback) = 0;
    virtual HRESULT mhGetVars(ITovFileNavigator* navigator, long argument, ffm::Lst<VariableData*>& variables,
                              ConfigDataLst* configurations, bool flag) = 0;
    virtual HRESULT mhSetVars(ITovFileNavigator* navigator, long first, long second,
                              ffm::Lst<VariableData*>& variables, bool flag) = 0;
    virtual HRESULT mhSetRegAccess(IFileFmtRegistryAccess* store) = 0;
    virtual HRESULT mhUpdateReferences(const wchar_t* file, const ffm::Lst<MoveRef*>& moves,
                                       const wchar_t* newRoot, const wchar_t* oldRoot,
                                       const wchar_t* altOldRoot) = 0;
    virtual HRESULT mhGetFileSizeAndDate(const wchar_t* path, double* date, LONGLONG* size,
                                         bool universal) = 0;
    virtual HRESULT mhSetUpdateDeletedVarsFlag(bool update) = 0;
};

class FFM_API FileFormatMgr : public IFileFormatMgr {
  public:
    // One reference as collected by the list form of mhGetReferences; the caller owns and deletes it.
    struct Reference {
        std::wstring moRefPath;
        std::wstring moFilePath;
        std::wstring moText;
        ffm::BinBlock moData;
        long mlNumberB = 0;
        long mlNumberA = 0;
        double mdNumber = 0;
        long mlNumberC = 0;
        bool mbFlag = false;
    };
    using ReferenceList = std::list<Reference*>;

    FileFormatMgr();
    FileFormatMgr(const FileFormatMgr&) = delete;
    FileFormatMgr& operator=(const FileFormatMgr&) = delete;
    virtual ~FileFormatMgr();

    // ---- IFileFormatMgr -------------------------------------------------------------------
    // The format object for a path and a capability request. outMask (may be null) receives the
    // chosen entry's mask, also on failure (0 only when memory runs out): then the union of the
    // extension's masks when none of its entries shares a bit with the request. 0x8004022A: no
    // plug-in for the extension.
    HRESULT mhGetFormat(const wchar_t* path, ITovFileFormat** format, unsigned long mask,
                        ITovCallback* callback, unsigned long* outMask, bool final) override;
    // Opens path with its plug-in (or with the given format object). A plug-in answering
    // 0x800402F5 gives 0 and a null navigator here, the code itself from mhGetNavigator2.
    HRESULT mhGetNavigator(ITovFileNavigator** navigator, const wchar_t* path, unsigned long mask,
                           ITovCallback* callback, unsigned long* outMask, ITovFileFormat* format) override;
    HRESULT mhGetNavigator2(ITovFileNavigator** navigator, const wchar_t* path, unsigned long mask,
                            ITovCallback* callback, unsigned long* outMask, ITovFileFormat* format) override;
    // Delivers every reference of the navigator's file to target, with its configuration pairs.
    HRESULT mhGetReferences(ITovFileNavigator* navigator, IFileFormatMgrXRefCallback* target,
                            ITovCallback* callback) override;
    // Reads the mapped attributes of every variable into its values, per configuration (bit 0x80
    // of flags: every configuration of the file, else none). An empty configurations list receives
    // the file's configurations. 1 when the last attribute read found nothing, else 0.
    HRESULT mhGetVars(ITovFileNavigator* navigator, long argument, ffm::Lst<VariableData*>& variables,
                      ConfigDataLst* configurations, bool flag) override;
    // Writes every value of every variable into its mapped attributes in the value's
    // configuration, and saves when asked and something was written (else 1).
    HRESULT mhSetVars(ITovFileNavigator* navigator, long first, long second,
                      ffm::Lst<VariableData*>& variables, bool flag) override;
    // Installs an outside registration store (null: the built-in one); rebuilds the table when
    // initialised. On failure the old table stays and the new store stays recorded.
    HRESULT mhSetRegAccess(IFileFmtRegistryAccess* store) override;
    // Rewrites file's references after moves: ghUpdateXRefPaths with options 0 and no format.
    HRESULT mhUpdateReferences(const wchar_t* file, const ffm::Lst<MoveRef*>& moves, const wchar_t* newRoot,
                               const wchar_t* oldRoot, const wchar_t* altOldRoot) override;
    // Size and last-write date (OLE date, local time unless universal) through a plug-in with the
    // size-and-date capability, or from the file system. On failure both are 0, except when
    // neither a plug-in nor the file system can answer (0x80040213).
    HRESULT mhGetFileSizeAndDate(const wchar_t* path, double* date, LONGLONG* size, bool universal) override;
    HRESULT mhSetUpdateDeletedVarsFlag(bool update) override;

    // ---- Lifecycle ------------------------------------------------------------------------
    HRESULT mhInitialize(ITovCallback* callback);
    // Initialises when there is no plug-in table; raises ffm::ComError on failure.
    void mvInit(ITovCallback* callback);
    void mvUninitialize();
    void mvDisableUninitialize();

    // ---- Resolution (smart-pointer forms) -------------------------------------------------
    HRESULT mhGetFormat(const std::wstring& path, ffm::ComPtr<ITovFileFormat>& format, unsigned long mask,
                        ITovCallback* callback, unsigned long* outMask, bool final);
    HRESULT mhGetNavigator(const std::wstring& path, ffm::ComPtr<ITovFileNavigator>& navigator,
                           unsigned long mask, ITovCallback* callback, unsigned long* outMask,
                           ITovFileFormat* format);
    HRESULT mhGetNavigator2(const std::wstring& path, ffm::ComPtr<ITovFileNavigator>& navigator,
                            unsigned long mask, ITovCallback* callback, unsigned long* outMask,
                            ITovFileFormat* format);
    // Appends, in upper case without dots, every extension with an entry sharing a bit with mask.
    HRESULT mhGetExtensions(unsigned long mask, std::list<std::wstring>& extensions, ITovCallback* callback);

    // ---- References -----------------------------------------------------------------------
    // Appends the navigator's references to list (the caller deletes the records).
    HRESULT mhGetReferences(ITovFileNavigator* navigator, ReferenceList& list, ITovCallback* callback);
    // Writes the references' paths back through the plug-in, and saves when asked. A null
    // navigator or a null record in the list gives 0x80004003 before the plug-in is called.
    HRESULT mhSetReferencePaths(ITovFileNavigator* navigator, const ReferenceList& list,
                                ITovCallback* callback, bool save);

    // ---- Sub-files and sub-folders ---------------------------------------------------------
    // Appends the container's inner files (folders) to list; each carries one reference that the
    // caller releases. A plug-in that cannot list them leaves the list as it was and gives 0.
    HRESULT mhGetSubFiles(ITovFileNavigator* navigator, std::list<ITovFileNavigator*>& list,
                          ITovCallback* callback);
    HRESULT mhGetSubFolders(ITovFileNavigator* navigator, std::list<ITovFileNavigator*>& list,
                            ITovCallback* callback);
    // Fills extension with the items the first selected inner file's plug-in offers for the
    // selection, inserted into menu from firstId and position (-1: append) on; one id (and one
    // position) per offered item, added or not. An empty selection gives 0x80070057, a null one
    // in it 0x80004003; a failure of the plug-in is returned as it is, with the extension empty.
    HRESULT mhGetSubFileContextMenu(HMENU menu, const std::list<ITovFileNavigator*>& navigators,
                                    MenuExtension& extension, int firstId, int position);

    // ---- Search paths and product modules -------------------------------------------------
    // Replaces result with the folders to search for referenced files: the settings component's
    // folders for settingsKey (after what result held), the file's folder, the folders format
    // names; normalised, without repeats. Shows a message box when the settings component cannot
    // be created and returns its code.
    HRESULT mhGetSearchPaths(const wchar_t* settingsKey, const wchar_t* filePath,
                             const wchar_t* pluginArgument, ITovFileFormat* format,
                             std::list<std::wstring>& result);
    // The product module text of the plug-in for path and mask; raises ffm::ComError (0x80004003
    // when the plug-in offers no product modules).
    void mvGetProductModuleList(const wchar_t* path, long mask, std::wstring& modules);

    // ---- Variables, batch forms: one attribute request per configuration ---------------------
    HRESULT mhGetVars2(ITovFileNavigator* navigator, long flags, ffm::Lst<VariableData*>& variables,
                       ConfigDataLst* configurations, bool revisionFlag);
    HRESULT mhSetVars2(ITovFileNavigator* navigator, long number1, long number2,
                       ffm::Lst<VariableData*>& variables, bool save);

    // ---- Attributes -----------------------------------------------------------------------
    // Reads the attributes in one plug-in call; the plug-in's result comes back after the records
    // were updated from what it reported. 0 for an empty list.
    HRESULT mhGetAttribs(const wchar_t* configuration, bool option, ITovFileNavigator* navigator,
                         ffm::Lst<AttributeData*>& attributes, ITovCallback* callback, bool revisionFlag);
    // Writes the attributes' values in one plug-in call: 0 when the plug-in wrote any, else 1.
    HRESULT mhSetAttribs(const wchar_t* configuration, bool option, long number, ITovFileNavigator* navigator,
                         ffm::Lst<AttributeData*>& attributes, ITovCallback* callback, bool save);

    // ---- Configurations -------------------------------------------------------------------
    // Appends the file's configurations (the caller deletes the records); a file that lists none
    // by name gets one with an empty name. Entries appended before a failure stay.
    HRESULT mhGetConfigurations(ITovFileNavigator* navigator, ConfigDataLst& configurations);
    HRESULT mhGetConfigurations(ITovFileNavigator* navigator, ffm::Lst<_bstr_t>& names);

    // ---- Previews ---------------------------------------------------------------------------
    // What every plug-in receives during one preview creation; each holds its own reference.
    struct ExtraArgs {
        ffm::ComPtr<ITovCallback> callback;
        ffm::ComPtr<IUnknown> context;
    };
    // One preview per format object, however many extensions it serves.
    using PreviewByFormat = std::map<ITovFileFormat*, ffm::ComPtr<ITovFilePreview>>;

    // Fills window with one preview of every preview-capable plug-in, bound to parent (rect null:
    // the parent's client area), and records parent in it. 0 also when plug-ins fail or the
    // manager cannot initialise; 0x80040226 from a plug-in stops the creation and is returned;
    // 0x8007000E memory. Takes the manager's lock, then the window's: never fill a window while
    // another thread shows files in it.
    HRESULT mhCreatePreview(FilePreviewWnd& window, HWND parent, const RECT* rect, ITovCallback* callback);
    HRESULT mhCreatePreview2(FilePreviewWnd& window, HWND parent, IUnknown* context, const RECT* rect,
                             ITovCallback* callback);
    HRESULT mhDoCreatePreview(FilePreviewWnd& window, HWND parent, IUnknown* context, const RECT* rect,
                              ITovCallback* callback);
    // One (plug-in, extension) pair of the creation: creates the format's preview once and
    // registers it under the extension. Raises only 0x80040226 and memory errors.
    void mvAddPreview(FilePreviewWnd* window, ffm::ComPtr<ITovFileFormat>& format, const wchar_t* extension,
                      long mask, HWND parent, TovRect* rect, ExtraArgs* extra, PreviewByFormat& previews);

    // ---- Excluded file types --------------------------------------------------------------
    // Shows the "Excluded File Types" dialog modally over parent (null: the thread's active
    // window); true when the user confirmed with OK, which stores the list and makes the
    // preview exclusions follow it. False when the dialog could not be opened.
    bool mbEditExcludedExtensions(HWND parent);
    // Nonzero when the extension (upper case, without dot) is excluded from preview; 0 before
    // the manager was initialised.
    int mbIsExcludedFromPreview(const wchar_t* extension);
    // Nonzero for the file types whose references the vault must not write; exact comparison,
    // so pass the upper-case extension without dot.
    int mbIsExcludedFromXRefWrite(const wchar_t* extension);

    // ---- State read by the content services -----------------------------------------------
    bool mbIsInitialized() const noexcept { return mbInitialized; }
    bool mbGetBatchAttributes() const noexcept { return mbBatchAttributes; }
    bool mbGetUpdateDeletedVars() const noexcept { return mbUpdateDeletedVars; }
    ITovRegistry* mpoGetRegistry() const noexcept { return mpoRegistry.get(); }
    const ffm::SpStr& moGetDetailingModeName() const noexcept { return moDetailingModeName; }
    const ffm::SpStr& moGetLdrModeName() const noexcept { return moLdrModeName; }

  protected:
    // The plug-in array for attributes, zeroed and filled in list order (with copies of the values
    // when asked). Null with count 0 for an empty list; null with count unchanged on failure.
    TovAttribData* mpoCreateArray(ffm::Lst<AttributeData*>& attributes, int& count, bool withValues);
    TovAttribData2* mpoCreateArray2(ffm::Lst<AttributeData*>& attributes, int& count, bool withValues);

  private:
    HRESULT mhListInner(bool folders, ITovFileNavigator* navigator, std::list<ITovFileNavigator*>& list,
                        ITovCallback* callback);
    // The registry object for plug-ins, initialising first.
    ffm::ComPtr<ITovRegistry> moGetRegistry(ITovCallback* callback);
    // The settings component, created on first use and kept until mvUninitialize.
    ffm::ComPtr<ISettings> moGetSettings();
    static void zvCleanPath(std::wstring& path);
    static std::wstring zoFolderOf(const std::wstring& path);
    // File kinds by the extension of the navigator's path; raise when the path cannot be had.
    static bool zbIsDravingFile(ITovFileNavigator* navigator);
    static bool zbIsMXAssemblyFile(ITovFileNavigator* navigator);
    HRESULT mhAcquireNavigator(const std::wstring& path, ffm::ComPtr<ITovFileNavigator>& navigator,
                               unsigned long mask, ITovCallback* callback, unsigned long* outMask,
                               ITovFileFormat* format);
    // Table lookup under the lock, initialising first.
    ffm::ComPtr<ITovFileFormat> moLookup(const wchar_t* path, unsigned long& mask, ITovCallback* callback);
    void mvInstallTable(std::unique_ptr<PluginTable> table) noexcept;
    HRESULT mhGetRefsUsingXPS(ITovFileNavigator* navigator, long& count, TovRefData*& refs);
    HRESULT mhRetrieveExtendedConfigInfo(ITovFileNavigator* navigator, long count, TovRefData* refs,
                                         IFileFormatMgrXRefCallback* target);
    HRESULT mhRetrieveExtendedConfigInfo2(ITovFileNavigator* navigator, long count, TovRefData2* refs,
                                          IFileFormatMgrXRefCallback* target);

    ffm::ComPtr<ITovRegistry> mpoRegistry; // handed to plug-ins; released by the destructor only
    bool mbInitialized = false;
    ffm::CriticalSection moLock;        // serialises all manager state; recursive
    ffm::ComPtr<ISettings> mpoSettings; // settings component, made on first use
    bool mbUninitializeDisabled = false;
    std::unique_ptr<PluginTable> mpoPluginTable;      // under moLock; given up after mvDisableUninitialize
    ffm::ComPtr<IFileFmtRegistryAccess> mpoRegAccess; // outside store; null: the built-in one
    bool mbUpdateDeletedVars = false;
    bool mbBatchAttributes = false;
    ffm::SpStr moDetailingModeName;
    ffm::SpStr moLdrModeName;
};

// The one manager of the process.
extern FFM_API FileFormatMgr goFileFormatMgr;
FFM_API FileFormatMgr* gpoGetFileFormatMgr();
FFM_API HRESULT ghSetRegAccess(IFileFmtRegistryAccess* store);
// Machine switch "UseSeparatedProcessing" (on unless the registry says 0).
FFM_API bool gbUseSeparatedProcessing();
// Calls the CAD plug-in library's clean-up export when that library is there.
FFM_API void gCleanUpMXDocMgrInstance(unsigned long value);
// Rewrites the references of an opened file after moves and saves it (see the Reference rewrite).
// A null navigator or a null move gives 0x80004003 before the plug-in is called.
FFM_API HRESULT ghUpdateReferences(ITovFileNavigator* navigator, const ffm::Lst<MoveRef*>& moves,
                                   const wchar_t* newRoot, const wchar_t* oldRoot, const wchar_t* altOldRoot);

namespace ffm {
// Option of ghUpdateXRefPaths: the kept file's last-write time survives the update (in whole even
// seconds).
constexpr unsigned long kKeepLastWriteTime = 0x1;
} // namespace ffm

// Updates one file's references after moves, keeping the file as it was in every other respect:
// its read-only attribute, and with ffm::kKeepLastWriteTime its last-write time. file is a path,
// or "open > kept": the file to update and the file whose attributes and time are kept. Formats
// that need it are updated in a private copy beside copies of the moved files, then copied back
// in one step. format may be null (then resolved for the file). 1: the file has no extension;
// 0x80040228: the kept file cannot be read or made writable (nothing changed).
FFM_API HRESULT ghUpdateXRefPaths(const wchar_t* file, const wchar_t* newRoot, const wchar_t* oldRoot,
                                  const wchar_t* altOldRoot, const ffm::Lst<MoveRef*>& moves,
                                  unsigned long options, ITovFileFormat* format);
