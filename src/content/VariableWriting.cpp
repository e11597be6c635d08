// Writing data-card variables: every value of a variable goes into each attribute the variable
// is mapped to, in the value's configuration. The per-configuration form writes one variable and
// configuration at a time, the batch form each configuration once. These work only on the
// caller's navigator and records, so they take no manager lock.
#include <FileFmtMgr/FileFormatMgr.h>

#include "content/Attributes.h"
#include "foundation/Errors.h"
#include <map>
#include <memory>
#include <vector>

namespace {

// The values of one configuration name and the attribute copies that carry them to the plug-in.
struct Group {
    Group() = default;
    Group(const Group&) = delete;
    Group& operator=(const Group&) = delete;
    ~Group() { DropCopies(); }
    void DropCopies() noexcept {
        for (AttributeData* a : copies)
            delete a;
        copies.RemoveAll();
    }

    std::vector<VariableValue*> values; // the caller's
    ffm::Lst<AttributeData*> copies;    // owned
};

void CopyValueInto(const VariableValue& x, ffm::Lst<AttributeData*>& attributes) {
    for (AttributeData* a : attributes)
        ffm::ThrowIfFailed(::VariantCopy(a->mpoValue, x.mpoValue));
}

} // namespace

HRESULT FileFormatMgr::mhSetVars(ITovFileNavigator* navigator, long number1, long number2,
                                 ffm::Lst<VariableData*>& variables, bool save) {
    if (!navigator)
        return E_POINTER;
    return ffm::Boundary([&]() -> HRESULT {
        ffm::ComPtr<ITovFileNavigator5> batch;
        navigator->QueryInterface(__uuidof(ITovFileNavigator5), batch.put_void());
        if (batch && mbBatchAttributes)
            return mhSetVars2(navigator, number1, number2, variables, save);
        bool written = false;
        for (VariableData* v : variables) {
            if (v->moName == moDetailingModeName || v->moName == moLdrModeName)
                continue;
            ValuePos pos;
            for (v->First(pos); !v->AtEnd(pos);) {
                VariableValue* x = v->Next(pos);
                CopyValueInto(*x, v->moAttributes);
                const HRESULT hr = ffm::WriteAttributes(x->moConfig.W(), true, number2, navigator,
                                                        v->moAttributes, nullptr, false);
                if (FAILED(hr))
                    return hr;
                x->mbSet = hr == S_OK;
                written = written || x->mbSet;
            }
        }
        if (!written)
            return S_FALSE;
        if (save)
            ffm::ThrowIfFailed(navigator->Save(), navigator, __uuidof(ITovFileNavigator));
        return S_OK;
    });
}

HRESULT FileFormatMgr::mhSetVars2(ITovFileNavigator* navigator, long, long number2,
                                  ffm::Lst<VariableData*>& variables, bool save) {
    if (!navigator)
        return E_POINTER;
    return ffm::Boundary([&]() -> HRESULT {
        // By the exact spelling of the configuration name, in ordinal order.
        std::map<ffm::SpStr, Group> groups;
        for (VariableData* v : variables) {
            if (v->moName == moDetailingModeName || v->moName == moLdrModeName)
                continue;
            ValuePos pos;
            for (v->First(pos); !v->AtEnd(pos);) {
                VariableValue* x = v->Next(pos);
                Group& group = groups.try_emplace(x->moConfig).first->second;
                group.values.push_back(x);
                CopyValueInto(*x, v->moAttributes);
                for (const AttributeData* a : v->moAttributes) {
                    auto copy = std::make_unique<AttributeData>(*a);
                    group.copies.AddTail(copy.get());
                    (void)copy.release();
                }
            }
        }
        bool written = false;
        for (auto& [configuration, group] : groups) {
            const HRESULT hr = ffm::WriteAttributes(configuration.W(), false, number2, navigator,
                                                    group.copies, nullptr, false);
            if (FAILED(hr))
                return hr;
            for (VariableValue* x : group.values)
                x->mbSet = hr == S_OK;
            written = written || hr == S_OK;
            group.DropCopies();
        }
        if (!written)
            return S_FALSE;
        if (save)
            ffm::ThrowIfFailed(navigator->Save(), navigator, __uuidof(ITovFileNavigator));
        return S_OK;
    });
}
