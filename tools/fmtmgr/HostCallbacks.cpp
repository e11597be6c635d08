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

HRESULT ProgressCallback::GetTypeInfoCount(UINT* count) {
    if (!count)
        return E_POINTER;
    *count = 0;
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

std::wstring ReferenceRow::DataText() const {
    if (data.size() < 2 || data.size() % 2 != 0 || data[data.size() - 1] != 0 || data[data.size() - 2] != 0)
        return {};
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2 - 1);
    return text.find(L'\0') == std::wstring::npos ? text : std::wstring();
}

HRESULT ReferenceCollector::OnReference(BSTR refPath, const wchar_t* filePath, const wchar_t* text, bool flag,
                                        const unsigned char* data, long dataSize, long numberB, long numberA,
                                        double number, long numberC, ffm::Lst<XRefConfigInfo*>* configInfo,
                                        long numberD) {
    const ffm::UniqueBstr owned(refPath); // ours from here on, whatever happens
    try {
        ReferenceRow row;
        row.refPath.assign(refPath ? refPath : L"", SysStringLen(refPath));
        row.filePath = filePath ? filePath : L"";
        row.text = text ? text : L"";
        row.flag = flag;
        if (data && dataSize > 0)
            row.data.assign(data, data + dataSize);
        row.numberA = numberA;
        row.numberB = numberB;
        row.numberC = numberC;
        row.numberD = numberD;
        row.number = number;
        if (configInfo)
            for (XRefConfigInfo* info : *configInfo)
                row.pairs.push_back({info->mbsConfig1, info->mbsConfig2, info->mlCount, info->mlFlag1Count,
                                     info->mlFlag2OnlyCount});
        rows.push_back(std::move(row));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

} // namespace fmtmgr
