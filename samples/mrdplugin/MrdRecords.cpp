#include "MrdRecords.h"

#include "MrdCom.h"
#include <cstring>
#include <vector>

namespace mrd {

namespace {

// Describes one record layout: its size and where its BSTRs sit. OLE Automation calls it whenever
// an array of ours is destroyed, cleared or copied, by us or by the host; each array holds a
// reference. Only what SafeArray* and VariantClear/VariantCopy use is implemented; field access
// by name answers E_NOTIMPL.
class RecordInfo final : public ffm::ComObject<ffm::RecordInfoBase> {
  public:
    RecordInfo(const wchar_t* name, ULONG size, std::vector<size_t> strings)
        : m_name(name), m_size(size), m_strings(std::move(strings)) {}

    HRESULT STDMETHODCALLTYPE RecordInit(PVOID record) override {
        std::memset(record, 0, m_size);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RecordClear(PVOID record) override {
        for (size_t offset : m_strings)
            ffm::UniqueBstr owned(std::exchange(*At(record, offset), nullptr)); // freed here
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RecordCopy(PVOID from, PVOID to) override {
        RecordClear(to);
        std::memcpy(to, from, m_size);
        for (size_t offset : m_strings)
            *At(to, offset) = nullptr;
        for (size_t offset : m_strings) {
            BSTR source = *At(from, offset);
            if (source && !(*At(to, offset) = SysAllocStringLen(source, SysStringLen(source)))) {
                RecordClear(to);
                return E_OUTOFMEMORY;
            }
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetGuid(GUID* guid) override {
        *guid = GUID_NULL;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetName(BSTR* name) override {
        *name = SysAllocString(m_name);
        return *name ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE GetSize(ULONG* size) override {
        *size = m_size;
        return S_OK;
    }
    BOOL STDMETHODCALLTYPE IsMatchingType(IRecordInfo* other) override { return other == this; }
    PVOID STDMETHODCALLTYPE RecordCreate() override {
        void* p = CoTaskMemAlloc(m_size);
        if (p)
            std::memset(p, 0, m_size);
        return p;
    }
    HRESULT STDMETHODCALLTYPE RecordCreateCopy(PVOID from, PVOID* to) override {
        *to = nullptr;
        ffm::UniqueTaskMem<void> copy(RecordCreate());
        if (!copy)
            return E_OUTOFMEMORY;
        const HRESULT hr = RecordCopy(from, copy.get());
        if (SUCCEEDED(hr))
            *to = copy.release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE RecordDestroy(PVOID record) override {
        ffm::UniqueTaskMem<void> owned(record);
        if (record)
            RecordClear(record);
        return S_OK;
    }

  private:
    static BSTR* At(PVOID record, size_t offset) {
        return reinterpret_cast<BSTR*>(static_cast<unsigned char*>(record) + offset);
    }

    const wchar_t* m_name; // a literal
    ULONG m_size;
    std::vector<size_t> m_strings; // offsets of the BSTR fields
    ffm::ModuleLock m_module;      // arrays the host still holds need this DLL
};

// The array takes its own reference to the description.
SAFEARRAY* NewArray(const ffm::ComPtr<RecordInfo>& info, ULONG count) {
    SAFEARRAYBOUND bound{count, 0};
    SAFEARRAY* array = SafeArrayCreateEx(VT_RECORD, 1, &bound, static_cast<IRecordInfo*>(info.get()));
    if (!array)
        throw Failure(E_OUTOFMEMORY);
    return array;
}

} // namespace

SAFEARRAY* NewRefConfigArray(ULONG count) {
    return NewArray(ffm::Make<RecordInfo>(L"TovRefConfigData", sizeof(TovRefConfigData),
                                          std::vector<size_t>{offsetof(TovRefConfigData, mbsPath),
                                                              offsetof(TovRefConfigData, mbsConfig1),
                                                              offsetof(TovRefConfigData, mbsConfig2)}),
                    count);
}

SAFEARRAY* NewConfigArray(ULONG count) {
    return NewArray(ffm::Make<RecordInfo>(L"TovConfigData", sizeof(ConfigElement),
                                          std::vector<size_t>{offsetof(ConfigElement, mbsName)}),
                    count);
}

} // namespace mrd
