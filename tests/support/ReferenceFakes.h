#pragma once
// In-process doubles for the reference tests and benchmarks (header only, no test framework): a
// navigator of each reading generation that hands out references and configuration elements the
// way a plug-in does (task-allocator arrays, BSTRs, a SAFEARRAY of records), the record-info
// object behind that SAFEARRAY, and targets that record or count deliveries.
#include "FakeCom.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ffmtest::refs {

// Every navigator method answers E_NOTIMPL; derive and override what a double needs.
class NavigatorStub : public FakeObject<ITovFileNavigator4> {
  public:
    using FakeObject::FakeObject;
    HRESULT STDMETHODCALLTYPE GetReferences(ITovCallback*, long*, TovRefData**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetReferences(ITovCallback*, long, TovRefData*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFilePath(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSubFolders(ITovRegistry*, ITovCallback*, long*,
                                            ITovFileNavigator***) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetSubFiles(ITovRegistry*, ITovCallback*, long*,
                                          ITovFileNavigator***) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetAttributes(BSTR, long, ITovCallback*, long, TovAttribData*, long) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetAttributes(BSTR, long, ITovCallback*, long, TovAttribData*) override {
        return E_NOTIMPL;
    }
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
    HRESULT STDMETHODCALLTYPE Save() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused16() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused17() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConfigurationNames(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOption(long, long) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused20() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetReferenceCount(long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetReference(long, BSTR*, BSTR*, BSTR*, long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused23() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetReferenceConfigurations(SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetFilePath(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused26() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused27() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused28() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused29() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused30() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused31() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused32() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused33() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused34() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetAttributes2(BSTR, long, ITovCallback*, long, TovAttribData2*,
                                             long) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetAttributes2(BSTR, long, ITovCallback*, long, TovAttribData2*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetReferences2(ITovCallback*, long*, TovRefData2**) override {
        return E_NOTIMPL;
    }
};

// The record type of the configuration SAFEARRAY: 36-byte elements whose three strings are freed
// when the array is destroyed (SafeArrayDestroy clears every element through RecordClear).
class ConfigRecordInfo : public FakeObject<IRecordInfo> {
  public:
    using FakeObject::FakeObject;
    HRESULT STDMETHODCALLTYPE RecordInit(PVOID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RecordClear(PVOID existing) override {
        TovRefConfigData element;
        std::memcpy(&element, existing, sizeof element);
        ::SysFreeString(element.mbsPath);
        ::SysFreeString(element.mbsConfig1);
        ::SysFreeString(element.mbsConfig2);
        std::memset(existing, 0, sizeof element);
        ++clears;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RecordCopy(PVOID, PVOID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetGuid(GUID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetName(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSize(ULONG* size) override {
        *size = sizeof(TovRefConfigData);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetField(PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFieldNoCopy(PVOID, LPCOLESTR, VARIANT*, PVOID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PutField(ULONG, PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PutFieldNoCopy(ULONG, PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFieldNames(ULONG*, BSTR*) override { return E_NOTIMPL; }
    BOOL STDMETHODCALLTYPE IsMatchingType(IRecordInfo*) override { return FALSE; }
    PVOID STDMETHODCALLTYPE RecordCreate() override { return nullptr; }
    HRESULT STDMETHODCALLTYPE RecordCreateCopy(PVOID, PVOID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RecordDestroy(PVOID) override { return E_NOTIMPL; }

    long clears = 0;
};

// One reference as the double reports it. An empty file path goes out as a null BSTR; the data
// goes out as its UTF-16 bytes (array generations) or as the data string (indexed generation).
struct PluginRef {
    std::wstring refPath;
    std::wstring filePath;
    std::wstring data;
    std::wstring text;
    bool hasText = false;
    long numberA = 0;
    long numberB = 0;
    double number = 0;
    long numberC = 0;
    long numberD = 0;
    long flag = 0;
};

struct ConfigElement {
    std::wstring path;
    std::wstring config1;
    std::wstring config2;
    VARIANT_BOOL flag1 = VARIANT_FALSE;
    VARIANT_BOOL flag2 = VARIANT_FALSE;
};

// How the double reports its references: by index only, in TovRefData arrays, or also in
// TovRefData2 arrays (ITovFileNavigator4).
enum class Generation { Indexed, Records, Records2 };

// A written record as SetReferences received it.
struct WrittenRef {
    TovRefData raw;
    std::wstring refPath;
    std::wstring filePath;
    std::vector<unsigned char> data;
};

inline BSTR BstrOrNull(const std::wstring& text) {
    return text.empty() ? nullptr : ::SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
}

// A navigator that serves references and configuration elements. Its records are freshly
// allocated on every call, as a plug-in's are; it keeps the addresses of the reference paths it
// handed out so a test can follow them.
class PluginNavigator : public NavigatorStub {
  public:
    explicit PluginNavigator(Generation generation, LiveCounter* counter = nullptr)
        : NavigatorStub(counter), generation(generation) {
        if (generation != Generation::Records2)
            Hide(__uuidof(ITovFileNavigator4));
        recordInfo.AddRef();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        for (const auto& [id, hr] : queryFailures)
            if (id == iid) {
                *out = nullptr;
                return hr;
            }
        return NavigatorStub::QueryInterface(iid, out);
    }

    HRESULT STDMETHODCALLTYPE GetReferences(ITovCallback*, long* count, TovRefData** out) override {
        calls.push_back("GetReferences");
        if (generation == Generation::Indexed)
            return E_NOTIMPL;
        return HandOut(count, out);
    }
    HRESULT STDMETHODCALLTYPE GetReferences2(ITovCallback*, long* count, TovRefData2** out) override {
        calls.push_back("GetReferences2");
        return HandOut(count, out);
    }
    HRESULT STDMETHODCALLTYPE GetReferenceCount(long* count) override {
        calls.push_back("GetReferenceCount");
        if (FAILED(readResult))
            return readResult;
        *count = static_cast<long>(refs.size());
        return readResult;
    }
    HRESULT STDMETHODCALLTYPE GetReference(long index, BSTR* data, BSTR* refPath, BSTR* filePath,
                                           long* numberA) override {
        calls.push_back("GetReference");
        if (index == failIndex)
            return indexFailure;
        const PluginRef& ref = refs.at(static_cast<std::size_t>(index));
        *data = BstrOrNull(ref.data);
        *refPath = ::SysAllocString(ref.refPath.c_str());
        refPathsHandedOut.push_back(*refPath);
        *filePath = BstrOrNull(ref.filePath);
        *numberA = ref.numberA;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetReferenceConfigurations(SAFEARRAY** out) override {
        calls.push_back("GetReferenceConfigurations");
        if (!offersConfigurations)
            return configResult;
        SAFEARRAYBOUND bound{static_cast<ULONG>(configs.size()), lowerBound};
        SAFEARRAY* array = ::SafeArrayCreateEx(VT_RECORD, 1, &bound, &recordInfo);
        void* data = nullptr;
        ::SafeArrayAccessData(array, &data);
        auto* bytes = static_cast<unsigned char*>(data);
        for (const ConfigElement& c : configs) {
            TovRefConfigData element{};
            element.mbsPath = BstrOrNull(c.path);
            element.mbsConfig1 = BstrOrNull(c.config1);
            element.mbsConfig2 = BstrOrNull(c.config2);
            element.mbFlag1 = c.flag1;
            element.mbFlag2 = c.flag2;
            std::memcpy(bytes, &element, sizeof element);
            bytes += sizeof element;
        }
        ::SafeArrayUnaccessData(array);
        if (tamperArray)
            tamperArray(array);
        *out = array;
        return configResult;
    }
    HRESULT STDMETHODCALLTYPE SetReferences(ITovCallback*, long count, TovRefData* records) override {
        calls.push_back("SetReferences");
        written.clear();
        if (!recordWrites)
            return writeResult;
        for (long i = 0; i < count; ++i) {
            const TovRefData& r = records[i];
            WrittenRef w{r, r.mbsRefPath ? r.mbsRefPath : L"", r.mbsFilePath ? r.mbsFilePath : L"", {}};
            if (r.mpcData)
                w.data.assign(r.mpcData, r.mpcData + r.mlDataSize);
            written.push_back(std::move(w));
        }
        return writeResult;
    }
    HRESULT STDMETHODCALLTYPE Save() override {
        calls.push_back("Save");
        return saveResult;
    }

    long Count(const char* method) const {
        long n = 0;
        for (const std::string& c : calls)
            n += c == method;
        return n;
    }

    Generation generation;
    std::vector<PluginRef> refs;
    std::vector<ConfigElement> configs;
    LONG lowerBound = 0;
    bool offersConfigurations = true;
    HRESULT readResult = S_OK; // GetReferences, GetReferences2, GetReferenceCount
    long failIndex = -1;       // GetReference fails for this index
    HRESULT indexFailure = E_FAIL;
    HRESULT configResult = S_OK;
    HRESULT writeResult = S_OK;
    HRESULT saveResult = S_OK;
    bool recordWrites = true; // off where the copies' own allocations would disturb a test
    std::vector<std::pair<IID, HRESULT>> queryFailures;
    std::function<void(SAFEARRAY*)> tamperArray;
    ConfigRecordInfo recordInfo; // referenced by every array handed out; outlives them here

    std::vector<std::string> calls;
    std::vector<BSTR> refPathsHandedOut;
    std::vector<const void*> dataHandedOut;
    std::vector<WrittenRef> written;

  private:
    template <class Rec> HRESULT HandOut(long* count, Rec** out) {
        if (FAILED(readResult))
            return readResult;
        auto* records = static_cast<Rec*>(::CoTaskMemAlloc(refs.size() * sizeof(Rec) + 1));
        std::memset(records, 0, refs.size() * sizeof(Rec));
        for (std::size_t i = 0; i < refs.size(); ++i) {
            const PluginRef& ref = refs[i];
            Rec& r = records[i];
            if (!ref.data.empty()) {
                r.mlDataSize = static_cast<long>(ref.data.size() * sizeof(wchar_t));
                r.mpcData = static_cast<unsigned char*>(::CoTaskMemAlloc(r.mlDataSize));
                std::memcpy(r.mpcData, ref.data.data(), r.mlDataSize);
                dataHandedOut.push_back(r.mpcData);
            }
            r.mbsFilePath = BstrOrNull(ref.filePath);
            r.mbsRefPath = ::SysAllocString(ref.refPath.c_str());
            refPathsHandedOut.push_back(r.mbsRefPath);
            r.mlNumberA = ref.numberA;
            r.mlNumberB = ref.numberB;
            r.mdNumber = ref.number;
            r.mlNumberC = ref.numberC;
            r.mpwText = ref.hasText ? ref.text.c_str() : nullptr;
            SetTail(r, ref);
        }
        *count = static_cast<long>(refs.size());
        *out = records;
        return readResult;
    }
    static void SetTail(TovRefData& r, const PluginRef& ref) { r.mlNumberD = ref.numberD; }
    static void SetTail(TovRefData2& r, const PluginRef& ref) {
        r.mlFlag = ref.flag;
        r.mlNumberD = ref.numberD;
    }
};

// What one OnReference call delivered.
struct Delivery {
    BSTR refPathBlock;
    std::wstring refPath;
    std::wstring filePath;
    const wchar_t* text;
    bool flag;
    std::vector<unsigned char> data;
    long dataSize;
    long numberB;
    long numberA;
    double number;
    long numberC;
    long numberD;
    std::vector<XRefConfigInfo> pairs;
};

// Records every delivery and frees the reference path it receives; the delivery numbered failAt
// (from 0) fails with failure.
class RecordingTarget : public IFileFormatMgrXRefCallback {
  public:
    HRESULT STDMETHODCALLTYPE OnReference(BSTR refPath, const wchar_t* filePath, const wchar_t* text,
                                          bool flag, const unsigned char* data, long dataSize, long numberB,
                                          long numberA, double number, long numberC,
                                          ffm::Lst<XRefConfigInfo*>* configInfo, long numberD) override {
        Delivery d{refPath,
                   refPath ? refPath : L"",
                   filePath ? filePath : L"<null>",
                   text,
                   flag,
                   {},
                   dataSize,
                   numberB,
                   numberA,
                   number,
                   numberC,
                   numberD,
                   {}};
        if (data && dataSize > 0)
            d.data.assign(data, data + dataSize);
        if (configInfo)
            for (XRefConfigInfo* info : *configInfo)
                d.pairs.push_back(*info);
        deliveries.push_back(std::move(d));
        ::SysFreeString(refPath);
        return static_cast<long>(deliveries.size()) - 1 == failAt ? failure : S_OK;
    }

    std::vector<Delivery> deliveries;
    long failAt = -1;
    HRESULT failure = E_FAIL;
};

// Counts deliveries and configuration pairs, and frees the reference paths; for timing.
class CountingTarget : public IFileFormatMgrXRefCallback {
  public:
    HRESULT STDMETHODCALLTYPE OnReference(BSTR refPath, const wchar_t*, const wchar_t*, bool,
                                          const unsigned char*, long, long, long, double, long,
                                          ffm::Lst<XRefConfigInfo*>* configInfo, long) override {
        ++deliveries;
        pairs += configInfo ? configInfo->GetCount() : 0;
        ::SysFreeString(refPath);
        return S_OK;
    }
    long deliveries = 0;
    long pairs = 0;
};

} // namespace ffmtest::refs
