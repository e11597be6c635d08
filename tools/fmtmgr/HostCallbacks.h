#pragma once
// What fmtmgr hands to the library: the progress and status callback, and the receiver of a
// file's references. Both live on the stack of one command.
#include "Report.h"
#include <FileFmtMgr/ContractBases.h>
#include <FileFmtMgr/FileFormatMgr.h>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace fmtmgr {

// Shows the library's and the plug-ins' progress and status texts on stderr.
class ProgressCallback final : public ffm::CallbackBase {
  public:
    explicit ProgressCallback(const Output& output) : m_output(output) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    // A stack object: the count is kept but never deletes.
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }
    HRESULT STDMETHODCALLTYPE SetProgress(long percent) override;
    HRESULT STDMETHODCALLTYPE SetStatusMessage(BSTR text) override;

  private:
    const Output& m_output;
    ULONG m_refs = 1;
    long m_lastProgress = 0;
};

// One reference as the library delivers it; the views are valid during the delivery only.
struct DeliveredReference {
    std::wstring_view refPath;
    std::wstring_view filePath;
    std::wstring_view text;
    bool flag = false;
    const unsigned char* data = nullptr;
    long dataSize = 0; // 0 when there is no data
    long numberA = 0;
    long numberB = 0;
    long numberC = 0;
    long numberD = 0;
    double number = 0;
    const ffm::Lst<XRefConfigInfo*>* pairs = nullptr; // may be null

    // The opaque data as text when it is a zero-terminated UTF-16 string, else empty.
    std::wstring_view DataText() const;
};

// Hands each delivered reference to Take as it arrives, so a command works on a listing of any
// size without keeping a copy of it. A failure of Take ends the delivery; Rethrow raises it
// once the library has returned.
class ReferenceSink : public IFileFormatMgrXRefCallback {
  public:
    HRESULT STDMETHODCALLTYPE OnReference(BSTR refPath, const wchar_t* filePath, const wchar_t* text,
                                          bool flag, const unsigned char* data, long dataSize, long numberB,
                                          long numberA, double number, long numberC,
                                          ffm::Lst<XRefConfigInfo*>* configInfo, long numberD) override;
    void Rethrow() const;

  protected:
    ~ReferenceSink() = default;
    virtual void Take(const DeliveredReference& ref) = 0;

  private:
    std::exception_ptr m_failure;
};

} // namespace fmtmgr
