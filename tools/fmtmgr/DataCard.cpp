#include "DataCard.h"

#include "Commands.h"
#include "HostCallbacks.h"
#include <FileFmtMgr/ComObject.h>
#include <FileFmtMgr/ContractBases.h>
#include <FileFmtMgr/FileFormatMgr.h>
#include <FileFmtMgr/Handles.h>
#include <algorithm>
#include <map>
#include <memory>

using nlohmann::json;

namespace fmtmgr {

namespace {

// Properties and configurations are read through the reading entry (0x2) or the reference update's.
constexpr unsigned long kReadMask = 0x3;
constexpr long kEveryConfiguration = 0x80;

std::string Text(const ffm::SpStr& s) {
    return Utf8(s.W() ? s.W() : L"");
}

// The records of one command, deleted with it.
using AttributeList = ffm::OwnedRecords<ffm::Lst<AttributeData*>>;
using VariableList = ffm::OwnedRecords<ffm::Lst<VariableData*>>;
using ConfigList = ffm::OwnedRecords<ConfigDataLst>;

// A value as the plug-in typed it: its JSON form and the name of its type.
std::pair<json, const char*> Typed(const VARIANT& value) {
    VARIANT number;
    VariantInit(&number);
    switch (V_VT(&value)) {
    case VT_EMPTY:
    case VT_NULL:
        return {nullptr, "empty"};
    case VT_BSTR:
        return {Utf8(V_BSTR(&value) ? std::wstring(V_BSTR(&value), SysStringLen(V_BSTR(&value))) : L""),
                "string"};
    case VT_BOOL:
        return {V_BOOL(&value) != VARIANT_FALSE, "boolean"};
    case VT_DATE:
        return {DateText(V_DATE(&value), 'T'), "date"};
    default:
        if (SUCCEEDED(VariantChangeType(&number, const_cast<VARIANT*>(&value), 0, VT_R8)))
            return {V_R8(&number), "number"};
        return {nullptr, "unsupported"};
    }
}

std::string ValueText(const VARIANT& value) {
    const auto [typed, type] = Typed(value);
    if (typed.is_null())
        return std::string("(") + type + ")";
    if (typed.is_string())
        return typed.get<std::string>() +
               (std::string(type) == "string" ? "" : std::string(" (") + type + ")");
    return typed.dump() + " (" + type + ")";
}

json AttributeJson(const AttributeData& a) {
    const auto [typed, type] = Typed(*a.mpoValue);
    return {{"block", Text(a.moBlock)}, {"name", Text(a.moName)}, {"found", a.mbFound},
            {"flag", a.mbFlag},         {"type", type},           {"value", typed}};
}

// Text for a value to write, in the type the attribute has now (text when it has none or
// the text does not convert).
void AssignTyped(VARIANT& value, const std::wstring& text) {
    ffm::UniqueVariant source, converted;
    source->vt = VT_BSTR;
    source->bstrVal = SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
    if (!source->bstrVal)
        throw std::bad_alloc();
    const VARTYPE type = V_VT(&value);
    if (type != VT_EMPTY && type != VT_BSTR &&
        SUCCEEDED(VariantChangeTypeEx(converted.get(), source.get(), LOCALE_INVARIANT, 0, type)))
        return converted.move_to(&value);
    source.move_to(&value);
}

// The navigator without its batch interface, so the library reads and writes one variable and
// configuration at a time. Forwards what the variable operations use.
class PerConfiguration : public ffm::ComObject<ffm::NavigatorBase<ITovFileNavigator4>> {
  public:
    explicit PerConfiguration(ITovFileNavigator* inner)
        : m_inner(inner), m_inner3(m_inner.try_query<ITovFileNavigator3>()) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == __uuidof(ITovFileQuery))
            return m_inner->QueryInterface(iid, out);
        if (iid == __uuidof(ITovFileNavigator3) && !m_inner3) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        return ComObject::QueryInterface(iid, out);
    }
    HRESULT STDMETHODCALLTYPE GetFilePath(BSTR* path) override { return m_inner->GetFilePath(path); }
    HRESULT STDMETHODCALLTYPE GetConfigurationNames(BSTR* names) override {
        return m_inner->GetConfigurationNames(names);
    }
    HRESULT STDMETHODCALLTYPE Save() override { return m_inner->Save(); }
    HRESULT STDMETHODCALLTYPE GetAttributes(BSTR c, long o, ITovCallback* cb, long n,
                                            TovAttribData* a) override {
        return m_inner->GetAttributes(c, o, cb, n, a);
    }
    HRESULT STDMETHODCALLTYPE SetAttributes(BSTR c, long o, ITovCallback* cb, long n, TovAttribData* a,
                                            long number) override {
        return m_inner->SetAttributes(c, o, cb, n, a, number);
    }
    HRESULT STDMETHODCALLTYPE GetAttributes2(BSTR c, long o, ITovCallback* cb, long n,
                                             TovAttribData2* a) override {
        return m_inner3->GetAttributes2(c, o, cb, n, a);
    }
    HRESULT STDMETHODCALLTYPE SetAttributes2(BSTR c, long o, ITovCallback* cb, long n, TovAttribData2* a,
                                             long number) override {
        return m_inner3->SetAttributes2(c, o, cb, n, a, number);
    }

  private:
    ffm::ComPtr<ITovFileNavigator> m_inner;
    ffm::ComPtr<ITovFileNavigator3> m_inner3; // null for plug-ins of the first record version
};

ffm::ComPtr<ITovFileNavigator> Open(const std::wstring& file, ITovCallback* callback) {
    unsigned long chosen = 0;
    return OpenNavigator(file, kReadMask, callback, chosen);
}

void Fill(AttributeList& attributes, const std::vector<AttributeArg>& args) {
    for (const AttributeArg& arg : args)
        attributes.AddTail(new AttributeData(arg.block.c_str(), arg.name.c_str()));
}

// The caller's variables from the map, in the order of their first mention.
void Fill(VariableList& variables, const std::vector<VariableMapArg>& map) {
    std::map<std::wstring, VariableData*> byName;
    for (const VariableMapArg& m : map) {
        VariableData*& v = byName[m.variable];
        if (!v) {
            v = new VariableData;
            variables.AddTail(v);
            v->moName = m.variable.c_str();
        }
        v->moAttributes.AddTail(new AttributeData(m.attribute.block.c_str(), m.attribute.name.c_str()));
    }
}

HRESULT ReadVariables(ITovFileNavigator* navigator, VariableList& variables, ConfigDataLst* configs,
                      long flags, BatchChoice batch) {
    FileFormatMgr& mgr = *gpoGetFileFormatMgr();
    switch (batch) {
    case BatchChoice::Batch:
        return mgr.mhGetVars2(navigator, flags, variables, configs, true);
    case BatchChoice::PerConfiguration:
        return mgr.mhGetVars(ffm::Make<PerConfiguration>(navigator).get(), flags, variables, configs, true);
    default:
        return mgr.mhGetVars(navigator, flags, variables, configs, true);
    }
}

json VariablesJson(const VariableList& variables) {
    json list = json::array();
    for (const VariableData* v : variables) {
        json values = json::array();
        ValuePos pos;
        for (v->First(pos); !v->AtEnd(pos);) {
            const VariableValue* x = v->Next(pos);
            const auto [typed, type] = Typed(*x->mpoValue);
            values.push_back({{"configuration", Text(x->moConfig)},
                              {"tag", x->mlConfigTag},
                              {"type", type},
                              {"value", typed},
                              {"set", x->mbSet},
                              {"flag", x->mbFlag}});
        }
        list.push_back({{"variable", Text(v->moName)}, {"values", values}});
    }
    return list;
}

void PrintVariables(Output& out, const VariableList& variables) {
    for (const VariableData* v : variables) {
        out.Line("  " + Text(v->moName));
        ValuePos pos;
        bool any = false;
        for (v->First(pos); !v->AtEnd(pos);) {
            const VariableValue* x = v->Next(pos);
            any = true;
            out.Line("    " +
                     (x->moConfig.IsEmpty() ? std::string("(no configuration)") : Text(x->moConfig)) + ": " +
                     ValueText(*x->mpoValue) + (x->mbSet ? "" : " (not set)"));
        }
        if (!any)
            out.Line("    (no value)");
    }
}

} // namespace

bool ParseAttributeArg(const std::string& text, bool withValue, AttributeArg& out) {
    const auto colon = text.find(':');
    const auto eq = text.find('=');
    if (colon == std::string::npos || colon == 0 || (eq != std::string::npos && eq < colon))
        return false;
    if (withValue != (eq != std::string::npos))
        return false;
    const std::string name = text.substr(colon + 1, withValue ? eq - colon - 1 : std::string::npos);
    if (name.empty())
        return false;
    out = {Wide(text.substr(0, colon)), Wide(name), withValue ? Wide(text.substr(eq + 1)) : std::wstring()};
    return true;
}

bool ParseVariableMapArg(const std::string& text, VariableMapArg& out) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    out.variable = Wide(text.substr(0, eq));
    return ParseAttributeArg(text.substr(eq + 1), false, out.attribute);
}

void ShowConfigurations(Output& out, const std::wstring& file) {
    ProgressCallback callback(out);
    const auto navigator = Open(file, &callback);
    ConfigList configs;
    ForgetErrorInfo();
    const HRESULT hr = gpoGetFileFormatMgr()->mhGetConfigurations(navigator.get(), configs);
    if (FAILED(hr))
        throw CommandError(hr, "cannot read the configurations of " + Utf8(file));
    if (out.IsJson()) {
        json list = json::array();
        for (const ConfigData* c : configs)
            list.push_back({{"name", Text(c->moName)}, {"tag", c->mlValue}});
        return out.Json({{"file", Utf8(file)}, {"configurations", list}});
    }
    out.Line(Utf8(file) + ": " + std::to_string(configs.GetCount()) +
             (configs.GetCount() == 1 ? " configuration" : " configurations"));
    for (const ConfigData* c : configs)
        out.Line("  " + (c->moName.IsEmpty() ? std::string("(unnamed)") : Text(c->moName)) + "  tag " +
                 std::to_string(c->mlValue));
}

void ShowAttributes(Output& out, const std::wstring& file, const std::optional<std::wstring>& config,
                    const std::vector<AttributeArg>& args) {
    ProgressCallback callback(out);
    const auto navigator = Open(file, &callback);
    AttributeList attributes;
    Fill(attributes, args);
    ForgetErrorInfo();
    const HRESULT hr = gpoGetFileFormatMgr()->mhGetAttribs(config ? config->c_str() : nullptr, false,
                                                           navigator.get(), attributes, &callback, true);
    if (FAILED(hr))
        throw CommandError(hr, "cannot read the attributes of " + Utf8(file));
    if (out.IsJson()) {
        json list = json::array();
        for (const AttributeData* a : attributes)
            list.push_back(AttributeJson(*a));
        return out.Json({{"file", Utf8(file)},
                         {"configuration", config ? json(Utf8(*config)) : json(nullptr)},
                         {"attributes", list}});
    }
    out.Line(Utf8(file) + (config ? ", configuration " + Utf8(*config) : std::string(", no configuration")));
    for (const AttributeData* a : attributes)
        out.Line("  " + Text(a->moBlock) + ":" + Text(a->moName) + " = " +
                 (a->mbFound ? ValueText(*a->mpoValue) : std::string("(not found)")));
}

void SetAttributes(Output& out, const std::wstring& file, const std::optional<std::wstring>& config,
                   const std::vector<AttributeArg>& args, bool save) {
    ProgressCallback callback(out);
    const auto navigator = Open(file, &callback);
    AttributeList attributes;
    Fill(attributes, args);
    const wchar_t* configuration = config ? config->c_str() : nullptr;
    FileFormatMgr& mgr = *gpoGetFileFormatMgr();
    // The values go in the types the attributes have now.
    ForgetErrorInfo();
    HRESULT hr = mgr.mhGetAttribs(configuration, false, navigator.get(), attributes, nullptr, true);
    if (FAILED(hr))
        throw CommandError(hr, "cannot read the attributes of " + Utf8(file));
    std::size_t i = 0;
    for (AttributeData* a : attributes)
        AssignTyped(*a->mpoValue, args[i++].value);
    ForgetErrorInfo();
    hr = mgr.mhSetAttribs(configuration, false, 0, navigator.get(), attributes, &callback, save);
    if (FAILED(hr))
        throw CommandError(hr, "cannot write the attributes of " + Utf8(file));
    if (out.IsJson()) {
        json list = json::array();
        for (const AttributeData* a : attributes)
            list.push_back({{"block", Text(a->moBlock)}, {"name", Text(a->moName)}, {"written", a->mbFound}});
        return out.Json({{"file", Utf8(file)},
                         {"configuration", config ? json(Utf8(*config)) : json(nullptr)},
                         {"written", hr == S_OK},
                         {"saved", save && hr == S_OK},
                         {"attributes", list}});
    }
    for (const AttributeData* a : attributes)
        out.Line("  " + Text(a->moBlock) + ":" + Text(a->moName) +
                 (a->mbFound ? " written" : " not written"));
    out.Line(hr == S_OK ? (save ? "saved " + Utf8(file) : std::string("written, not saved"))
                        : std::string("nothing written"));
}

void ShowVariables(Output& out, const std::wstring& file, const std::vector<VariableMapArg>& map,
                   bool allConfigs, BatchChoice batch) {
    ProgressCallback callback(out);
    const auto navigator = Open(file, &callback);
    VariableList variables;
    Fill(variables, map);
    ConfigList configs;
    ForgetErrorInfo();
    const HRESULT hr =
        ReadVariables(navigator.get(), variables, &configs, allConfigs ? kEveryConfiguration : 0, batch);
    if (FAILED(hr))
        throw CommandError(hr, "cannot read the variables of " + Utf8(file));
    if (out.IsJson())
        return out.Json({{"file", Utf8(file)}, {"variables", VariablesJson(variables)}});
    out.Line(Utf8(file));
    PrintVariables(out, variables);
}

void SetVariables(Output& out, const std::wstring& file, const std::vector<VariableMapArg>& map,
                  const std::vector<std::pair<std::wstring, std::wstring>>& values,
                  const std::vector<std::wstring>& configs, BatchChoice batch, bool save) {
    std::vector<VariableMapArg> written;
    for (const auto& [variable, value] : values) {
        const auto before = written.size();
        for (const VariableMapArg& m : map)
            if (m.variable == variable)
                written.push_back(m);
        if (written.size() == before)
            throw CommandError(E_INVALIDARG, "no --map for the variable " + Utf8(variable));
    }
    ProgressCallback callback(out);
    const auto navigator = Open(file, &callback);
    VariableList variables;
    Fill(variables, written);
    const std::vector<std::wstring> targets = configs.empty() ? std::vector<std::wstring>{L""} : configs;
    for (VariableData* v : variables) {
        const auto given = std::find_if(values.begin(), values.end(), [&](const auto& p) {
            return p.first == (v->moName.W() ? v->moName.W() : L"");
        });
        for (const std::wstring& c : targets)
            AssignTyped(*v->GetValue(c.c_str(), 0, true)->mpoValue, given->second);
    }
    FileFormatMgr& mgr = *gpoGetFileFormatMgr();
    ForgetErrorInfo();
    const HRESULT hr = batch == BatchChoice::Batch
                           ? mgr.mhSetVars2(navigator.get(), 0, 0, variables, save)
                           : mgr.mhSetVars(batch == BatchChoice::PerConfiguration
                                               ? ffm::Make<PerConfiguration>(navigator.get()).get()
                                               : navigator.get(),
                                           0, 0, variables, save);
    if (FAILED(hr))
        throw CommandError(hr, "cannot write the variables of " + Utf8(file));
    if (out.IsJson())
        return out.Json({{"file", Utf8(file)},
                         {"written", hr == S_OK},
                         {"saved", save && hr == S_OK},
                         {"variables", VariablesJson(variables)}});
    PrintVariables(out, variables);
    out.Line(hr == S_OK ? (save ? "saved " + Utf8(file) : std::string("written, not saved"))
                        : std::string("nothing written"));
}

} // namespace fmtmgr
