#pragma once
// What fmtmgr hands to the library: the progress and status callback, and the collector of a
// file's references. Both live on the stack of one command.
#include "Report.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <string>
#include <vector>

namespace fmtmgr {

// Shows the library's and the plug-ins' progress and status texts on stderr.
class ProgressCallback final : public ITovCallback {
  public:
    explicit ProgressCallback(const Output& output) : m_output(output) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    // A stack object: the count is kept but never deletes.
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Unused7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetProgress(long percent) override;
    HRESULT STDMETHODCALLTYPE SetStatusMessage(BSTR text) override;

  private:
    const Output& m_output;
    ULONG m_refs = 1;
    long m_lastProgress = 0;
};

struct ConfigPair {
    std::wstring config1;
    std::wstring config2;
    long count = 0;
    long flag1Count = 0;
    long flag2OnlyCount = 0;
};

struct ReferenceRow {
    std::wstring refPath;
    std::wstring filePath;
    std::wstring text;
    bool flag = false;
    std::vector<unsigned char> data;
    long numberA = 0;
    long numberB = 0;
    long numberC = 0;
    long numberD = 0;
    double number = 0;
    std::vector<ConfigPair> pairs;

    // The opaque data as text when it is a zero-terminated UTF-16 string, else empty.
    std::wstring DataText() const;
};

// Copies every delivered reference with its configuration pairs.
class ReferenceCollector final : public IFileFormatMgrXRefCallback {
  public:
    HRESULT STDMETHODCALLTYPE OnReference(BSTR refPath, const wchar_t* filePath, const wchar_t* text,
                                          bool flag, const unsigned char* data, long dataSize, long numberB,
                                          long numberA, double number, long numberC,
                                          ffm::Lst<XRefConfigInfo*>* configInfo, long numberD) override;
    std::vector<ReferenceRow> rows;
};

} // namespace fmtmgr
