#pragma once
// The navigator over one opened MRD file. The file is read whole when it is opened and closed at
// once, so a navigator never holds the file open; Save replaces it atomically. A navigator is
// used by one thread at a time.
#include "MrdCom.h"
#include "MrdDocument.h"
#include <utility>
#include <vector>

namespace mrd {

// Size (VT_I8) and last-write date (VT_DATE, local time) of a file: the answer to query kind 1.
void QuerySizeAndDate(const std::wstring& path, VARIANT* date, VARIANT* size);

class Navigator final : public ITovFileNavigator5,
                        public ITovFileQuery,
                        public ISupportErrorInfo,
                        private RefCounted {
  public:
    // Reads and parses the file; raises Failure (MRD_E_MALFORMED names the file and the line).
    // The result carries one reference.
    static Navigator* Open(const std::wstring& path, FileKind kind, ITovCallback* callback);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    // ISupportErrorInfo: every failure of ours comes with a description.
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

    // ITovFileNavigator
    // All references at once, first record version (the manager frees the array and strings).
    HRESULT STDMETHODCALLTYPE GetReferences(ITovCallback* callback, long* count, TovRefData** refs) override;
    // New paths for references named by their key (mbsRefPath); nothing changes if one is unknown.
    HRESULT STDMETHODCALLTYPE SetReferences(ITovCallback* callback, long count, TovRefData* refs) override;
    HRESULT STDMETHODCALLTYPE GetFilePath(BSTR* path) override;
    HRESULT STDMETHODCALLTYPE Unused6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSubFolders(ITovRegistry*, ITovCallback*, long*,
                                            ITovFileNavigator***) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetSubFiles(ITovRegistry*, ITovCallback*, long*,
                                          ITovFileNavigator***) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetAttributes(BSTR configuration, long option, ITovCallback* callback,
                                            long count, TovAttribData* attributes, long number) override;
    HRESULT STDMETHODCALLTYPE GetAttributes(BSTR configuration, long option, ITovCallback* callback,
                                            long count, TovAttribData* attributes) override;
    HRESULT STDMETHODCALLTYPE Unused11() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused12() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSubFileMenuItems(ITovRegistry*, long*, TovPreviewMenuItem**, long,
                                                  ITovFileNavigator**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE OnSubFileMenuCommand(ITovRegistry*, ITovCallback*, long, long, long,
                                                   ITovFileNavigator**) override {
        return E_NOTIMPL;
    }
    // Writes the file when something changed since it was read or last saved.
    HRESULT STDMETHODCALLTYPE Save() override;
    HRESULT STDMETHODCALLTYPE Unused16() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused17() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConfigurationNames(BSTR* names) override;
    // Options are recorded and otherwise ignored (the manager sets 4711 before a reference update).
    HRESULT STDMETHODCALLTYPE SetOption(long option, long value) override;
    HRESULT STDMETHODCALLTYPE Unused20() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetReferenceCount(long* count) override;
    HRESULT STDMETHODCALLTYPE GetReference(long index, BSTR* data, BSTR* refPath, BSTR* filePath,
                                           long* numberA) override;
    HRESULT STDMETHODCALLTYPE Unused23() override { return E_NOTIMPL; }

    // ITovFileNavigator2
    // One element per use of each reference, keyed by the reference's key.
    HRESULT STDMETHODCALLTYPE GetReferenceConfigurations(SAFEARRAY** configurations) override;
    // The path the opened file stands for (the original of a working copy): relative references
    // resolve against its folder from now on. The file read and saved stays the opened one.
    HRESULT STDMETHODCALLTYPE SetFilePath(BSTR path) override;
    HRESULT STDMETHODCALLTYPE Unused26() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused27() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused28() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused29() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused30() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused31() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused32() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused33() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused34() override { return E_NOTIMPL; }

    // ITovFileNavigator3
    HRESULT STDMETHODCALLTYPE SetAttributes2(BSTR configuration, long option, ITovCallback* callback,
                                             long count, TovAttribData2* attributes, long number) override;
    HRESULT STDMETHODCALLTYPE GetAttributes2(BSTR configuration, long option, ITovCallback* callback,
                                             long count, TovAttribData2* attributes) override;

    // ITovFileNavigator4
    HRESULT STDMETHODCALLTYPE GetReferences2(ITovCallback* callback, long* count,
                                             TovRefData2** refs) override;

    // ITovFileQuery: 1 size and date, 3 configurations, 5 detailing mode (drawings), 7 LDR mode
    // (assemblies).
    HRESULT STDMETHODCALLTYPE Query(long kind, VARIANT input, VARIANT* result, VARIANT* second) override;

  private:
    Navigator(std::wstring path, Document document, const FILETIME& lastWrite);

    std::wstring FullPath(const Reference& ref) const;
    std::wstring StoredForm(const Reference& ref, const std::wstring& path) const;
    template <class Rec> HRESULT ReadReferences(long* count, Rec** refs) const;
    template <class Rec> void ReadAttributes(BSTR configuration, long count, Rec* attributes) const;
    template <class Rec> void WriteAttributes(BSTR configuration, long count, Rec* attributes);

    const std::wstring m_openPath; // the file read and saved, full path
    std::wstring m_filePath;       // the path it stands for; starts as m_openPath
    Document m_document;
    FILETIME m_lastWrite; // of the file as read or last saved
    bool m_dirty = false;
    std::vector<std::pair<long, long>> m_options;
};

} // namespace mrd
