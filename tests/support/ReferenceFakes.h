#pragma once
// In-process doubles for the reference tests and benchmarks (header only, no test framework): a
// navigator of each reading generation that hands out references and configuration elements the way
// a plug-in does (task-allocator arrays, BSTRs, a SAFEARRAY of records), and targets that record or
// count deliveries.
#include "support/NavigatorStub.h"
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/FileFormatMgr.h>
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace ffmtest::refs {

// The record type of the configuration SAFEARRAY: SafeArrayDestroy frees each 36-byte element's
// strings through RecordClear.
class ConfigRecordInfo : public FakeObject<ffm::RecordInfoBase> {
  public:
    HRESULT STDMETHODCALLTYPE RecordClear(PVOID existing) override {
        TovRefConfigData element; // unaligned in the array
        std::memcpy(&element, existing, sizeof element);
        ::SysFreeString(element.mbsPath);
        ::SysFreeString(element.mbsConfig1);
        ::SysFreeString(element.mbsConfig2);
        std::memset(existing, 0, sizeof element);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSize(ULONG* size) override {
        *size = sizeof(TovRefConfigData);
        return S_OK;
    }
};

// One reference as the double reports it, or as a target received it. An empty file path goes out
// as a null BSTR; the data goes out as its UTF-16 bytes (array generations) or as the data string
// (indexed generation).
struct PluginRef {
    std::wstring refPath{};
    std::wstring filePath{};
    std::wstring data{};
    std::wstring text{};
    bool hasText = false;
    long numberA = 0;
    long numberB = 0;
    double number = 0;
    long numberC = 0;
    long numberD = 0;
    long flag = 0;

    auto Fields() const {
        return std::tie(refPath, filePath, data, text, hasText, numberA, numberB, number, numberC, numberD,
                        flag);
    }
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

// A record as SetReferences received it.
struct WrittenRef {
    TovRefData raw;
    std::wstring refPath;
    std::wstring filePath;
    std::vector<unsigned char> data;
};

inline BSTR BstrOrNull(const std::wstring& text) {
    return text.empty() ? nullptr : ::SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
}

// A navigator that serves references and configuration elements. Its records are freshly allocated
// on every call, as a plug-in's are; it keeps the addresses of the reference paths and data blocks
// it handed out so a test can follow them. Fail(method, code) makes a method answer code (a reading
// method with a success code still hands out its records). Under an allocation sweep its own
// bookkeeping may throw std::bad_alloc, but never after it allocated something for the caller.
class PluginNavigator : public NavigatorStub {
  public:
    explicit PluginNavigator(Generation generation) : generation(generation) {
        if (generation != Generation::Records2)
            Hide(__uuidof(ITovFileNavigator4));
        recordInfo.AddRef();
    }

    HRESULT STDMETHODCALLTYPE GetReferences(ITovCallback*, long* count, TovRefData** out) override {
        calls.push_back("GetReferences");
        return generation == Generation::Indexed ? E_NOTIMPL : HandOut("GetReferences", count, out);
    }
    HRESULT STDMETHODCALLTYPE GetReferences2(ITovCallback*, long* count, TovRefData2** out) override {
        calls.push_back("GetReferences2");
        return HandOut("GetReferences2", count, out);
    }
    HRESULT STDMETHODCALLTYPE GetReferenceCount(long* count) override {
        calls.push_back("GetReferenceCount");
        const HRESULT hr = Injected("GetReferenceCount");
        if (SUCCEEDED(hr))
            *count = static_cast<long>(refs.size());
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetReference(long index, BSTR* data, BSTR* refPath, BSTR* filePath,
                                           long* numberA) override {
        calls.push_back("GetReference");
        if (index == failIndex)
            return E_FAIL;
        const PluginRef& ref = refs.at(static_cast<std::size_t>(index));
        refPathsHandedOut.reserve(refPathsHandedOut.size() + 1);
        *data = BstrOrNull(ref.data);
        refPathsHandedOut.push_back(*refPath = ::SysAllocString(ref.refPath.c_str()));
        *filePath = BstrOrNull(ref.filePath);
        *numberA = ref.numberA;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetReferenceConfigurations(SAFEARRAY** out) override {
        calls.push_back("GetReferenceConfigurations");
        if (const HRESULT hr = Injected("GetReferenceConfigurations"); FAILED(hr))
            return hr;
        SAFEARRAYBOUND bound{static_cast<ULONG>(configs.size()), lowerBound};
        *out = ::SafeArrayCreateEx(VT_RECORD, 1, &bound, &recordInfo);
        auto* bytes = static_cast<unsigned char*>((*out)->pvData);
        for (const ConfigElement& c : configs) {
            const TovRefConfigData element{BstrOrNull(c.path),    {},      BstrOrNull(c.config1),
                                           BstrOrNull(c.config2), c.flag1, c.flag2};
            std::memcpy(bytes, &element, sizeof element);
            bytes += sizeof element;
        }
        if (onArray)
            onArray(*out);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetReferences(ITovCallback*, long count, TovRefData* records) override {
        calls.push_back("SetReferences");
        written.clear();
        for (long i = 0; recordWrites && i < count; ++i) {
            const TovRefData& r = records[i];
            written.push_back(
                {r, r.mbsRefPath ? r.mbsRefPath : L"", r.mbsFilePath ? r.mbsFilePath : L"", {}});
            if (r.mpcData)
                written.back().data.assign(r.mpcData, r.mpcData + r.mlDataSize);
        }
        return Injected("SetReferences");
    }
    HRESULT STDMETHODCALLTYPE Save() override {
        calls.push_back("Save");
        return Injected("Save");
    }

    std::string Calls() const { // the methods called, in order, separated by spaces
        std::string all;
        for (const std::string& c : calls)
            all += (all.empty() ? "" : " ") + c;
        return all;
    }
    long Count(const char* method) const {
        return static_cast<long>(std::count(calls.begin(), calls.end(), method));
    }
    Generation generation;
    std::vector<PluginRef> refs;
    std::vector<ConfigElement> configs;
    LONG lowerBound = 0;
    long failIndex = -1;                     // GetReference fails with E_FAIL for this index
    bool recordWrites = true;                // off where recording would distort a timing
    std::function<void(SAFEARRAY*)> onArray; // sees every configuration array before it goes out
    ConfigRecordInfo recordInfo;             // referenced by every array handed out; outlives them

    std::vector<std::string> calls;
    std::vector<const void*> refPathsHandedOut;
    std::vector<const void*> dataHandedOut;
    std::vector<WrittenRef> written;

  private:
    template <class Rec> HRESULT HandOut(const char* method, long* count, Rec** out) {
        const HRESULT hr = Injected(method);
        if (FAILED(hr))
            return hr;
        refPathsHandedOut.reserve(refPathsHandedOut.size() + refs.size());
        dataHandedOut.reserve(dataHandedOut.size() + refs.size());
        auto* records = static_cast<Rec*>(::CoTaskMemAlloc(refs.size() * sizeof(Rec) + 1));
        for (std::size_t i = 0; i < refs.size(); ++i) {
            const PluginRef& ref = refs[i];
            Rec& r = records[i] = Rec{};
            if (!ref.data.empty()) {
                r.mlDataSize = static_cast<long>(ref.data.size() * sizeof(wchar_t));
                r.mpcData = static_cast<unsigned char*>(::CoTaskMemAlloc(r.mlDataSize));
                std::memcpy(r.mpcData, ref.data.data(), r.mlDataSize);
                dataHandedOut.push_back(r.mpcData);
            }
            r.mbsFilePath = BstrOrNull(ref.filePath);
            refPathsHandedOut.push_back(r.mbsRefPath = ::SysAllocString(ref.refPath.c_str()));
            r.mlNumberA = ref.numberA;
            r.mlNumberB = ref.numberB;
            r.mdNumber = ref.number;
            r.mlNumberC = ref.numberC;
            r.mpwText = ref.hasText ? ref.text.c_str() : nullptr;
            r.mlNumberD = ref.numberD;
            if constexpr (std::is_same_v<Rec, TovRefData2>)
                r.mlFlag = ref.flag;
        }
        *count = static_cast<long>(refs.size());
        *out = records;
        return hr;
    }
};

// A navigator held by one counted reference, as its caller holds it.
struct HeldNavigator {
    explicit HeldNavigator(Generation generation, std::vector<PluginRef> refs = {})
        : navigator(new PluginNavigator(generation)), hold(navigator) {
        navigator->refs = std::move(refs);
    }
    PluginNavigator* operator->() const { return navigator; }
    PluginNavigator* navigator;
    ffm::ComPtr<ITovFileNavigator> hold;
};

// What one OnReference call delivered: the fields as a PluginRef (data as UTF-16, a null file path
// as "<null>", flag 0 or 1), and what only pointers tell.
struct Delivery {
    PluginRef ref;
    const void* refPathBlock;
    const wchar_t* text;
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
        Delivery d{{refPath ? refPath : L"", filePath ? filePath : L"<null>", L"", text ? text : L"",
                    text != nullptr, numberA, numberB, number, numberC, numberD, flag},
                   refPath,
                   text,
                   {}};
        if (data && dataSize > 0)
            d.ref.data.assign(reinterpret_cast<const wchar_t*>(data), dataSize / sizeof(wchar_t));
        if (configInfo)
            for (XRefConfigInfo* info : *configInfo)
                d.pairs.push_back(*info);
        deliveries.push_back(std::move(d));
        ::SysFreeString(refPath);
        return static_cast<long>(deliveries.size()) - 1 == failAt ? failure : S_OK;
    }

    std::vector<Delivery> deliveries;
    long failAt = -1;
    HRESULT failure = E_ABORT;
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
