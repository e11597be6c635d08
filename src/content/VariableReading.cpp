// Reading data-card variables: each variable's mapped attributes are read per configuration and
// one of them supplies the variable's value there. The per-configuration form makes one
// attribute request per variable and configuration, the batch form one per configuration.
// These work only on the caller's navigator and records, so they take no manager lock.
#include <FileFmtMgr/FileFormatMgr.h>

#include "content/Attributes.h"
#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr long kReadEveryConfiguration = 0x80;
constexpr long kQueryDetailingMode = 5;
constexpr long kQueryLdrMode = 7;

bool SameIgnoringCase(const std::wstring& a, const wchar_t* b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

// The extension (from the last dot of the last path component) of the navigator's file; raises
// the plug-in's failure.
std::wstring Extension(ITovFileNavigator* navigator) {
    ffm::UniqueBstr path;
    ffm::ThrowIfFailed(navigator->GetFilePath(path.put()), navigator, __uuidof(ITovFileNavigator));
    const std::wstring text(path.get() ? path.get() : L"", ::SysStringLen(path.get()));
    const std::size_t dot = text.find_last_of(L".\\/");
    if (dot == std::wstring::npos || text[dot] != L'.')
        return {};
    return text.substr(dot);
}

bool IsCadFile(ITovFileNavigator* navigator) noexcept {
    try {
        const std::wstring head = Extension(navigator).substr(0, 8);
        for (const wchar_t* cad :
             {L".mrdprt", L".prt", L".mrdlfp", L".lfp", L".mrdasm", L".asm", L".mrddrw", L".drw"})
            if (SameIgnoringCase(head, cad))
                return true;
    } catch (...) {
    }
    return false;
}

bool IsAt(const ConfigData& c) noexcept {
    return c.moName.Length() == 1 && c.moName.W()[0] == L'@';
}

// The configurations one call reads, in order: the caller's records or records the call found
// (handed to the caller's list when there is one, else deleted with the work list).
class WorkList {
  public:
    WorkList() = default;
    WorkList(const WorkList&) = delete;
    WorkList& operator=(const WorkList&) = delete;

    // The result of mhGetConfigurations when it was called, else 1.
    HRESULT Build(FileFormatMgr& manager, ITovFileNavigator* navigator, long flags,
                  ConfigDataLst* configurations) {
        HRESULT r = S_FALSE;
        if (flags & kReadEveryConfiguration) {
            if (configurations && !configurations->IsEmpty()) {
                m_items.reserve(configurations->GetCount());
                for (ConfigData* c : *configurations)
                    m_items.push_back(c);
            } else {
                r = TakeFound(manager, navigator, configurations);
                if (FAILED(r))
                    return r;
            }
        }
        if (m_items.empty()) {
            m_owned.push_back(std::make_unique<ConfigData>());
            m_items.push_back(m_owned.back().get());
        }
        return r;
    }
    const std::vector<ConfigData*>& Items() const noexcept { return m_items; }

  private:
    struct Found : ConfigDataLst {
        ~Found() override {
            for (ConfigData* c : *this)
                delete c;
        }
    };
    HRESULT TakeFound(FileFormatMgr& manager, ITovFileNavigator* navigator, ConfigDataLst* configurations) {
        Found found;
        const HRESULT hr = manager.mhGetConfigurations(navigator, found);
        if (FAILED(hr))
            return hr;
        m_items.reserve(found.GetCount() + 1);
        if (!configurations)
            m_owned.reserve(found.GetCount() + 1);
        while (!found.IsEmpty()) {
            ConfigData* c = found.GetHead()->element;
            if (configurations)
                configurations->AddTail(c); // the caller owns it from here
            else
                m_owned.emplace_back(c);
            found.RemoveHead();
            m_items.push_back(c);
        }
        return hr;
    }

    std::vector<ConfigData*> m_items;
    std::vector<std::unique_ptr<ConfigData>> m_owned;
};

// What one call needs to know of the file and the manager for the selection of values.
struct Reading {
    bool isDrawing;
    bool isAssembly;
    bool updateDeleted; // the manager's flag, and the file a CAD file
};

// Asks the plug-in for one of the file's modes and stores 1 or 0 in the variable's values of
// the given configurations.
void StoreMode(ITovFileNavigator* navigator, VariableData& v, long kind,
               const std::vector<ConfigData*>& configs) {
    ffm::ComPtr<ITovFileQuery> query;
    const HRESULT found = navigator->QueryInterface(__uuidof(ITovFileQuery), query.put_void());
    if (found == E_NOINTERFACE || (SUCCEEDED(found) && !query))
        throw ffm::ComError(E_POINTER);
    ffm::ThrowIfFailed(found);
    const ffm::UniqueBstr empty(ffm::NewBstr(L""));
    VARIANT input; // lent to the plug-in, which does not free it
    ::VariantInit(&input);
    V_VT(&input) = VT_BSTR;
    V_BSTR(&input) = empty.get();
    ffm::UniqueVariant output;
    ffm::ThrowIfFailed(query->Query(kind, input, output.get(), nullptr), query.get(),
                       __uuidof(ITovFileQuery));
    const bool on = V_BOOL(output.get()) == VARIANT_TRUE;
    for (ConfigData* c : configs) {
        VariableValue* value = v.GetValue(c->moName, c->mlValue, true);
        if (V_VT(value->mpoValue) == VT_BOOL) {
            V_BOOL(value->mpoValue) = on ? VARIANT_TRUE : VARIANT_FALSE;
        } else {
            ffm::ThrowIfFailed(::VariantClear(value->mpoValue));
            V_VT(value->mpoValue) = VT_I4;
            V_I4(value->mpoValue) = on ? 1 : 0;
        }
        value->mbFlag = true;
        value->mbSet = true;
    }
}

bool IsCustomPropertyBlock(const ffm::SpStr& block) noexcept {
    return ::CompareStringOrdinal(block.W(), static_cast<int>(block.Length()), L"CustomProperty", -1, TRUE) ==
           CSTR_EQUAL;
}

// Gives v its value in c from the first of its attributes the plug-in found; when none was found,
// from the last one whose deletion is to reach the vault (an empty value). Else v stays as it is.
void SelectValue(const Reading& reading, VariableData& v, const ConfigData& c) {
    const bool isAt = IsAt(c);
    const AttributeData* chosen = nullptr;
    const AttributeData* deleted = nullptr;
    for (const AttributeData* a : v.moAttributes) {
        if (a->mbFound) {
            chosen = a;
            break;
        }
        if (reading.updateDeleted && (!reading.isDrawing || (isAt && IsCustomPropertyBlock(a->moBlock))))
            deleted = a;
    }
    if (!chosen)
        chosen = deleted;
    if (!chosen)
        return;
    VariableValue* value = v.GetValue(c.moName, c.mlValue, true);
    ffm::ThrowIfFailed(::VariantCopy(value->mpoValue, chosen->mpoValue));
    value->mbFlag = chosen->mbFlag;
    value->mbSet = true;
}

} // namespace

bool FileFormatMgr::zbIsDravingFile(ITovFileNavigator* navigator) {
    const std::wstring extension = Extension(navigator);
    return SameIgnoringCase(extension, L".mrddrw") || SameIgnoringCase(extension, L".drw");
}

bool FileFormatMgr::zbIsMXAssemblyFile(ITovFileNavigator* navigator) {
    return SameIgnoringCase(Extension(navigator), L".mrdasm");
}

HRESULT FileFormatMgr::mhGetVars(ITovFileNavigator* navigator, long flags, ffm::Lst<VariableData*>& variables,
                                 ConfigDataLst* configurations, bool revisionFlag) {
    if (!navigator)
        return E_POINTER;
    return ffm::Boundary([&]() -> HRESULT {
        ffm::ComPtr<ITovFileNavigator5> batch;
        navigator->QueryInterface(__uuidof(ITovFileNavigator5), batch.put_void());
        if (batch && mbBatchAttributes)
            return mhGetVars2(navigator, flags, variables, configurations, revisionFlag);
        if (!configurations && variables.IsEmpty())
            return S_OK;
        WorkList work;
        HRESULT r = work.Build(*this, navigator, flags, configurations);
        if (FAILED(r))
            return r;
        const Reading reading{zbIsDravingFile(navigator), zbIsMXAssemblyFile(navigator),
                              mbUpdateDeletedVars && IsCadFile(navigator)};
        for (ConfigData* c : work.Items()) {
            const bool isAt = IsAt(*c);
            for (VariableData* v : variables) {
                if (v->moName == moDetailingModeName) {
                    if (reading.isDrawing && isAt)
                        StoreMode(navigator, *v, kQueryDetailingMode, {c});
                } else if (v->moName == moLdrModeName) {
                    if (reading.isAssembly && isAt)
                        StoreMode(navigator, *v, kQueryLdrMode, {c});
                } else {
                    r = ffm::ReadAttributes(c->moName.W(), true, navigator, v->moAttributes, nullptr, true);
                    if (FAILED(r))
                        return r;
                    SelectValue(reading, *v, *c);
                }
            }
        }
        return r == S_FALSE ? S_FALSE : S_OK;
    });
}

HRESULT FileFormatMgr::mhGetVars2(ITovFileNavigator* navigator, long flags,
                                  ffm::Lst<VariableData*>& variables, ConfigDataLst* configurations,
                                  bool revisionFlag) {
    if (!navigator)
        return E_POINTER;
    return ffm::Boundary([&]() -> HRESULT {
        if (!configurations && variables.IsEmpty())
            return S_OK;
        WorkList work;
        HRESULT r = work.Build(*this, navigator, flags, configurations);
        if (FAILED(r))
            return r;
        const Reading reading{zbIsDravingFile(navigator), zbIsMXAssemblyFile(navigator),
                              mbUpdateDeletedVars && IsCadFile(navigator)};
        std::vector<ConfigData*> atConfigs;
        for (ConfigData* c : work.Items())
            if (IsAt(*c))
                atConfigs.push_back(c);
        // The records are shared with the variables, not copied.
        ffm::Lst<AttributeData*> combined;
        for (VariableData* v : variables) {
            if (v->moName == moDetailingModeName) {
                if (reading.isDrawing)
                    StoreMode(navigator, *v, kQueryDetailingMode, atConfigs);
            } else if (v->moName == moLdrModeName) {
                if (reading.isAssembly)
                    StoreMode(navigator, *v, kQueryLdrMode, atConfigs);
            } else {
                for (AttributeData* a : v->moAttributes)
                    combined.AddTail(a);
            }
        }
        for (ConfigData* c : work.Items()) {
            // A configuration the plug-in cannot read does not keep the others from being read.
            r = ffm::ReadAttributes(c->moName.W(), false, navigator, combined, nullptr, revisionFlag);
            for (VariableData* v : variables)
                SelectValue(reading, *v, *c);
        }
        return r == S_FALSE ? S_FALSE : S_OK;
    });
}
