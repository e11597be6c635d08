#pragma once
// In-process doubles for the attribute, configuration and variable tests and benchmarks (header
// only, no test framework): a navigator over a small document of attributes per configuration,
// block and name, that answers in the first or second attribute record version, with or without the
// batch interface and the query interface, and can fail any method.
#include "support/NavigatorStub.h"
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/FileFormatMgr.h>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace ffmtest::cards {

// A copyable VARIANT.
class Var {
  public:
    Var() noexcept { ::VariantInit(&v); }
    Var(const wchar_t* text) : Var() {
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = ::SysAllocString(text);
    }
    Var(long number) : Var() {
        V_VT(&v) = VT_I4;
        V_I4(&v) = number;
    }
    explicit Var(const VARIANT& other) : Var() { ::VariantCopy(&v, const_cast<VARIANT*>(&other)); }
    Var(const Var& other) : Var(other.v) {}
    Var& operator=(const Var& other) {
        if (this != &other)
            ::VariantCopy(&v, const_cast<VARIANT*>(&other.v));
        return *this;
    }
    // A string this executable allocated is freed here too, where the memory ledger sees it.
    ~Var() {
        if (V_VT(&v) == VT_BSTR)
            ::SysFreeString(V_BSTR(&v)), V_VT(&v) = VT_EMPTY;
        ::VariantClear(&v);
    }
    // The value as text for comparisons: "<empty>", the string, "i" and the number, or the type.
    std::wstring Text() const {
        switch (V_VT(&v)) {
        case VT_EMPTY:
            return L"<empty>";
        case VT_BSTR:
            return V_BSTR(&v) ? V_BSTR(&v) : L"";
        case VT_I4:
            return L"i" + std::to_wstring(V_I4(&v));
        case VT_BOOL:
            return V_BOOL(&v) ? L"true" : L"false";
        default:
            return L"vt" + std::to_wstring(V_VT(&v));
        }
    }
    VARIANT v;
};

inline std::wstring Text(const VARIANT* value) {
    return Var(*value).Text();
}

enum class Records { First, Second }; // TovAttribData, or TovAttribData2 through ITovFileNavigator3

// The document: attributes keyed by configuration, block and name (exact spelling); the
// configurations with their tags. Fail(method, code) makes a method answer code, where the query's
// kinds are "Query3", "Query5" and "Query7".
class DataCardNavigator : public FakeObject<ffm::NavigatorBase<ITovFileNavigator5>, ITovFileQuery> {
  public:
    DataCardNavigator(std::wstring path, Records records, bool batch, bool query) : path(std::move(path)) {
        if (records == Records::First)
            Hide(__uuidof(ITovFileNavigator3)), Hide(__uuidof(ITovFileNavigator4));
        if (records == Records::First || !batch)
            Hide(__uuidof(ITovFileNavigator5));
        if (!query)
            Hide(__uuidof(ITovFileQuery));
        recordInfo.AddRef(); // a member: arrays hold references to it, it is never
                             // deleted by them
    }

    static std::wstring Key(const wchar_t* config, const wchar_t* block, const wchar_t* name) {
        return std::wstring(config ? config : L"") + L'|' + (block ? block : L"") + L'|' +
               (name ? name : L"");
    }
    void Put(const wchar_t* config, const wchar_t* block, const wchar_t* name, Var value, long flag = 0) {
        attributes[Key(config, block, name)] = {std::move(value), flag};
    }
    std::wstring Get(const wchar_t* config, const wchar_t* block, const wchar_t* name) const {
        const auto found = attributes.find(Key(config, block, name));
        return found == attributes.end() ? L"<none>" : found->second.first.Text();
    }

    HRESULT STDMETHODCALLTYPE GetFilePath(BSTR* out) override {
        if (const HRESULT hr = Called("GetFilePath"); FAILED(hr))
            return hr;
        *out = ::SysAllocString(path.c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAttributes(BSTR config, long option, ITovCallback*, long count,
                                            TovAttribData* elements) override {
        return Read("GetAttributes", config, option, count, elements);
    }
    HRESULT STDMETHODCALLTYPE GetAttributes2(BSTR config, long option, ITovCallback*, long count,
                                             TovAttribData2* elements) override {
        return Read("GetAttributes2", config, option, count, elements);
    }
    HRESULT STDMETHODCALLTYPE SetAttributes(BSTR config, long option, ITovCallback*, long count,
                                            TovAttribData* elements, long number) override {
        return Write("SetAttributes", config, option, count, elements, number);
    }
    HRESULT STDMETHODCALLTYPE SetAttributes2(BSTR config, long option, ITovCallback*, long count,
                                             TovAttribData2* elements, long number) override {
        return Write("SetAttributes2", config, option, count, elements, number);
    }
    HRESULT STDMETHODCALLTYPE Save() override {
        const HRESULT hr = Called("Save");
        saves += SUCCEEDED(hr);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetConfigurationNames(BSTR* names) override {
        if (const HRESULT hr = Called("GetConfigurationNames"); FAILED(hr))
            return hr;
        *names = ::SysAllocStringLen(configNames.c_str(), static_cast<UINT>(configNames.size()));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Query(long kind, VARIANT input, VARIANT* result, VARIANT*) override {
        lastQueryInput = Var(input).Text();
        if (const HRESULT hr = Called(kind == 3 ? "Query3" : kind == 5 ? "Query5" : "Query7"); FAILED(hr))
            return hr;
        if (kind == 5 || kind == 7) {
            V_VT(result) = VT_BOOL;
            V_BOOL(result) =
                kind == 5 ? VARIANT_TRUE : VARIANT_FALSE; // the detailing mode on, the LDR mode off
            return S_OK;
        }
        if (kind != 3 || !configsByQuery)
            return E_NOTIMPL;
        SAFEARRAYBOUND bound{static_cast<ULONG>(configs.size()), 0};
        SAFEARRAY* array = ::SafeArrayCreateEx(VT_RECORD, 1, &bound, &recordInfo);
        auto* bytes = static_cast<unsigned char*>(array->pvData);
        for (const auto& [name, tag] : configs) {
            const BSTR text = name.empty() ? nullptr : ::SysAllocString(name.c_str());
            std::memcpy(bytes, &tag, 8);
            std::memcpy(bytes + 8, &text, sizeof text);
            bytes += 16;
        }
        V_VT(result) = VT_ARRAY | VT_RECORD;
        V_ARRAY(result) = array;
        if (onArray)
            onArray(array);
        return S_OK;
    }

    // The record type of the configuration array: destroying the array frees each name.
    class ConfigRecord : public FakeObject<ffm::RecordInfoBase> {
      public:
        HRESULT STDMETHODCALLTYPE RecordClear(PVOID existing) override {
            BSTR name;
            std::memcpy(&name, static_cast<char*>(existing) + 8, sizeof name);
            ::SysFreeString(name);
            std::memset(existing, 0, 16);
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE GetSize(ULONG* size) override {
            *size = elementSize;
            return S_OK;
        }
        ULONG elementSize = 16;
    };

    long Count(const std::string& method) const {
        const auto found = counts.find(method);
        return found == counts.end() ? 0 : found->second;
    }

    std::wstring path;
    std::map<std::wstring, std::pair<Var, long>> attributes; // value and flag
    std::vector<std::pair<std::wstring, long long>> configs; // reported by the query
    bool configsByQuery = true;                              // else the query answers E_NOTIMPL for kind 3
    std::wstring configNames;                                // reported by GetConfigurationNames
    std::vector<std::wstring> refuse;                        // attribute names a write does not take
    std::vector<std::wstring> badType;       // keys whose value is reported with an unknown type
    std::function<void(SAFEARRAY*)> onArray; // sees the configuration array before it goes out
    bool logCalls = true;                    // off where logging would distort a timing
    ConfigRecord recordInfo;
    // Each attribute call as the plug-in saw it: "method(configuration,option,count)", the number
    // of a write after the count, and the second version's mlNumber of each element after a colon.
    std::vector<std::wstring> calls;
    std::map<std::string, long> counts;
    std::wstring lastQueryInput;
    long saves = 0;
    double pluginSeconds = 0; // inside the attribute methods

  private:
    // Adds the time spent inside the double's attribute methods to pluginSeconds.
    struct Timed {
        explicit Timed(double& total) : total(total), start(std::chrono::steady_clock::now()) {}
        ~Timed() { total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); }
        double& total;
        std::chrono::steady_clock::time_point start;
    };
    HRESULT Called(const char* method) {
        ++counts[method];
        return Injected(method);
    }
    template <class Rec>
    void Log(const char* method, BSTR config, long option, long count, Rec* elements, const long* number) {
        if (!logCalls)
            return;
        std::wstring call = std::wstring(method, method + std::strlen(method)) + L"(" +
                            (config ? config : L"<null>") + L"," + std::to_wstring(option) + L"," +
                            std::to_wstring(count);
        if (number)
            call += L"," + std::to_wstring(*number);
        if constexpr (std::is_same_v<Rec, TovAttribData2>)
            for (long i = 0; i < count; ++i)
                call += (i ? L" " : L":") + std::to_wstring(elements[i].mlNumber);
        calls.push_back(call + L")");
    }
    template <class Rec>
    HRESULT Read(const char* method, BSTR config, long option, long count, Rec* elements) {
        const Timed timed(pluginSeconds);
        Log(method, config, option, count, elements, nullptr);
        HRESULT hr = Called(method);
        if (hr == S_OK)
            hr = S_FALSE; // until something is found, as plug-ins report it
        for (long i = 0; i < count; ++i) {
            Rec& e = elements[i];
            const auto found = attributes.find(Key(config, e.mbsBlock, e.mbsName));
            if (found == attributes.end())
                continue;
            e.mlStatus = 1;
            if (hr == S_FALSE)
                hr = S_OK;
            e.mlFlag = found->second.second;
            ::VariantCopy(&e.mvValue, &found->second.first.v);
            if (std::find(badType.begin(), badType.end(), found->first) != badType.end())
                V_VT(&e.mvValue) = 0x7FFF; // no VARIANT routine accepts it
        }
        return hr;
    }
    template <class Rec>
    HRESULT Write(const char* method, BSTR config, long option, long count, Rec* elements, long number) {
        const Timed timed(pluginSeconds);
        Log(method, config, option, count, elements, &number);
        const HRESULT hr = Called(method);
        if (FAILED(hr))
            return hr;
        for (long i = 0; i < count; ++i) {
            Rec& e = elements[i];
            if (std::find(refuse.begin(), refuse.end(), e.mbsName ? e.mbsName : L"") != refuse.end())
                continue;
            attributes[Key(config, e.mbsBlock, e.mbsName)].first = Var(e.mvValue);
            e.mlStatus = 1;
        }
        return hr;
    }
};

// A navigator held by one counted reference, as its caller holds it.
struct HeldCard {
    HeldCard(std::wstring path, Records records, bool batch, bool query)
        : navigator(new DataCardNavigator(std::move(path), records, batch, query)), hold(navigator) {}
    DataCardNavigator* navigator;
    ffm::ComPtr<ITovFileNavigator> hold;
};

// Builds a caller's variable mapped to block:name pairs.
inline VariableData* NewVariable(const wchar_t* name,
                                 std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> mapped) {
    auto* v = new VariableData;
    v->moName = name;
    for (const auto& [block, attribute] : mapped)
        v->moAttributes.AddTail(new AttributeData(block, attribute));
    return v;
}

// The caller's list of variables, deleted with their records.
struct VariableList {
    VariableList() = default;
    VariableList(const VariableList&) = delete;
    ~VariableList() { Clear(); }
    VariableData* Add(VariableData* v) {
        list.AddTail(v);
        return v;
    }
    void Clear() {
        for (VariableData* v : list)
            delete v;
        list.RemoveAll();
    }
    ffm::Lst<VariableData*> list;
};

} // namespace ffmtest::cards
