#pragma once
// The navigator over one opened MRD file. The file is read whole when it is opened and closed at
// once, so a navigator never holds the file open; Save replaces it atomically. A navigator is
// used by one thread at a time; the host releases it when it is done with the file.
#include "MrdCom.h"
#include "MrdDocument.h"
#include <utility>
#include <vector>

namespace mrd {

// Size (VT_I8) and last-write date (VT_DATE, local time) of a file: the answer to query kind 1.
void QuerySizeAndDate(const std::wstring& path, VARIANT* date, VARIANT* size);

// Sub-folders, sub-files and their menus are not offered: NavigatorBase answers them E_NOTIMPL.
class Navigator final
    : public ffm::ComObject<ffm::NavigatorBase<ITovFileNavigator5>, ITovFileQuery, ISupportErrorInfo> {
  public:
    // Reads and parses the file; raises Failure (MRD_E_MALFORMED names the file and the line).
    static ffm::ComPtr<Navigator> Open(const std::wstring& path, FileKind kind, ITovCallback* callback);
    // The document as read from path, whose state on disk was state. Open is the way to make one.
    Navigator(std::wstring path, Document document, const FileState& state);

    // ITovFileNavigator
    // The manager lists a file's references: all at once, first record version. The array, its
    // strings and data blocks are the caller's to free.
    HRESULT STDMETHODCALLTYPE GetReferences(ITovCallback* callback, long* count, TovRefData** refs) override;
    // The manager updates references after files moved: new paths for references named by their
    // key (mbsRefPath); nothing changes if one is unknown. The records stay the caller's.
    HRESULT STDMETHODCALLTYPE SetReferences(ITovCallback* callback, long count, TovRefData* refs) override;
    // The path the navigator stands for; the BSTR is the caller's.
    HRESULT STDMETHODCALLTYPE GetFilePath(BSTR* path) override;
    // The host writes properties: each record's value (any type that converts to text) is set,
    // and its mlStatus says whether it was. The records stay the caller's.
    HRESULT STDMETHODCALLTYPE SetAttributes(BSTR configuration, long option, ITovCallback* callback,
                                            long count, TovAttribData* attributes, long number) override;
    // The host reads properties: each record's mvValue (cleared first) receives a BSTR the caller
    // frees with the record.
    HRESULT STDMETHODCALLTYPE GetAttributes(BSTR configuration, long option, ITovCallback* callback,
                                            long count, TovAttribData* attributes) override;
    // After SetReferences or SetAttributes: writes the file when something changed since it was
    // read or last saved.
    HRESULT STDMETHODCALLTYPE Save() override;
    // Configuration names separated by line feeds; the BSTR is the caller's.
    HRESULT STDMETHODCALLTYPE GetConfigurationNames(BSTR* names) override;
    // Options are recorded and otherwise ignored (the manager sets 4711 before a reference update).
    HRESULT STDMETHODCALLTYPE SetOption(long option, long value) override;
    // Hosts that read references one by one ask for the count, then each; the BSTRs are the caller's.
    HRESULT STDMETHODCALLTYPE GetReferenceCount(long* count) override;
    HRESULT STDMETHODCALLTYPE GetReference(long index, BSTR* data, BSTR* refPath, BSTR* filePath,
                                           long* numberA) override;

    // ITovFileNavigator2
    // One element per use of each reference, keyed by the reference's key. The array is the
    // caller's; destroying it frees the strings inside.
    HRESULT STDMETHODCALLTYPE GetReferenceConfigurations(SAFEARRAY** configurations) override;
    // The manager opened a working copy: the path the opened file stands for. Relative references
    // resolve against its folder from now on; the file read and saved stays the opened one.
    HRESULT STDMETHODCALLTYPE SetFilePath(BSTR path) override;

    // ITovFileNavigator3: the same as SetAttributes and GetAttributes, second record version.
    HRESULT STDMETHODCALLTYPE SetAttributes2(BSTR configuration, long option, ITovCallback* callback,
                                             long count, TovAttribData2* attributes, long number) override;
    HRESULT STDMETHODCALLTYPE GetAttributes2(BSTR configuration, long option, ITovCallback* callback,
                                             long count, TovAttribData2* attributes) override;

    // ITovFileNavigator4: GetReferences with the second record version (the active flag).
    HRESULT STDMETHODCALLTYPE GetReferences2(ITovCallback* callback, long* count,
                                             TovRefData2** refs) override;

    // ITovFileQuery: 1 size and date, 3 configurations, 5 detailing mode (drawings), 7 LDR mode
    // (assemblies). result and second are the caller's: cleared and filled on success.
    HRESULT STDMETHODCALLTYPE Query(long kind, VARIANT input, VARIANT* result, VARIANT* second) override;

  private:
    // The reference's path made full; folder is the folder of m_filePath.
    std::wstring FullPath(const Reference& ref, const std::wstring& folder) const;
    // folder: the components of the folder of m_filePath.
    std::wstring StoredForm(const Reference& ref, const std::wstring& path,
                            const std::vector<std::wstring_view>& folder) const;
    template <class Rec> HRESULT ReadReferences(long* count, Rec** refs) const;
    template <class Rec> HRESULT ReadAttributes(BSTR configuration, long count, Rec* attributes) const;
    template <class Rec> HRESULT WriteAttributes(BSTR configuration, long count, Rec* attributes);

    const std::wstring m_openPath; // the file read and saved, full path
    std::wstring m_filePath;       // the path it stands for; starts as m_openPath
    Document m_document;
    FileState m_state; // of the file as read or last saved
    bool m_dirty = false;
    std::vector<std::pair<long, long>> m_options;
    ffm::ModuleLock m_module; // the DLL stays loaded while the host holds a navigator
};

} // namespace mrd
