#include "HostCallbacks.h"

#include <FileFmtMgr/Handles.h>
#include <new>

namespace fmtmgr {

HRESULT ProgressCallback::QueryInterface(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != __uuidof(ITovCallback))
        return E_NOINTERFACE;
    *out = static_cast<ITovCallback*>(this);
    AddRef();
    return S_OK;
}

// 0 resets the display between steps; only changes are shown.
HRESULT ProgressCallback::SetProgress(long percent) {
    if (percent != 0 && percent != m_lastProgress)
        m_output.Note("  " + std::to_string(percent) + "%");
    m_lastProgress = percent;
    return S_OK;
}

HRESULT ProgressCallback::SetStatusMessage(BSTR text) {
    if (text && *text)
        m_output.Note(Utf8(text));
    return S_OK;
}

std::wstring_view DeliveredReference::DataText() const {
    const auto size = static_cast<size_t>(dataSize);
    if (!data || size < 2 || size % 2 != 0 || data[size - 1] != 0 || data[size - 2] != 0)
        return {};
    const std::wstring_view text(reinterpret_cast<const wchar_t*>(data), size / 2 - 1);
    return text.find(L'\0') == std::wstring_view::npos ? text : std::wstring_view();
}

HRESULT ReferenceSink::OnReference(BSTR refPath, const wchar_t* filePath, const wchar_t* text, bool flag,
                                   const unsigned char* data, long dataSize, long numberB, long numberA,
                                   double number, long numberC, ffm::Lst<XRefConfigInfo*>* configInfo,
                                   long numberD) {
    const ffm::UniqueBstr owned(refPath); // ours from here on, whatever happens
    DeliveredReference ref;
    ref.refPath = std::wstring_view(refPath ? refPath : L"", SysStringLen(refPath));
    ref.filePath = filePath ? filePath : L"";
    ref.text = text ? text : L"";
    ref.flag = flag;
    if (data && dataSize > 0) {
        ref.data = data;
        ref.dataSize = dataSize;
    }
    ref.numberA = numberA;
    ref.numberB = numberB;
    ref.numberC = numberC;
    ref.numberD = numberD;
    ref.number = number;
    ref.pairs = configInfo;
    // Nothing may leave for the library: a failure is kept and raised after it returned.
    try {
        Take(ref);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        m_failure = std::current_exception();
        return E_FAIL;
    }
}

void ReferenceSink::Rethrow() const {
    if (m_failure)
        std::rethrow_exception(m_failure);
}

} // namespace fmtmgr
