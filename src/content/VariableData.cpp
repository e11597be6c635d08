#include <FileFmtMgr/VariableData.h>

#include "foundation/Alloc.h"
#include "foundation/Errors.h"
#include <cwctype>
#include <memory>
#include <string>

namespace {

// Configuration names match without regard to case: the key is the name lowered one UTF-16
// unit at a time. Built in a buffer of the thread's, so looking up an existing value allocates
// nothing.
std::wstring_view ValueKey(const ffm::SpStr& name) {
    thread_local std::wstring key;
    key.assign(name.W() ? name.W() : L"", name.Length());
    for (wchar_t& unit : key)
        unit = static_cast<wchar_t>(std::towlower(unit));
    return key;
}

void DeleteValues(VariableValueMap* values) noexcept {
    if (!values)
        return;
    for (auto& entry : values->moItems)
        delete entry.second;
    delete values;
}

} // namespace

VariableValue::VariableValue(const ffm::SpStr& config, long long tag)
    : moConfig(config), mlConfigTag(tag), mpoValue(new VARIANT) {
    ::VariantInit(mpoValue);
}

VariableValue::~VariableValue() {
    ::VariantClear(mpoValue);
    delete mpoValue;
}

ValuePos::ValuePos() noexcept = default;
ValuePos::~ValuePos() = default;

VariableData::VariableData() : mpoValues(new VariableValueMap) {}

VariableData::~VariableData() {
    for (AttributeData* attribute : moAttributes)
        delete attribute;
    moAttributes.RemoveAll();
    DeleteValues(mpoValues);
    DeleteValues(mpoValues2);
}

VariableValue* VariableData::GetValue(const ffm::SpStr& configName, long long tag, bool create) {
    const std::wstring_view key = ValueKey(configName);
    auto& items = mpoValues->moItems;
    const auto found = items.lower_bound(key);
    if (found != items.end() && !items.key_comp()(key, found->first))
        return found->second;
    if (!create)
        return nullptr;
    ffm::SpStr stored(key.data(), static_cast<UINT>(key.size()));
    auto value = std::make_unique<VariableValue>(configName, tag);
    items.emplace_hint(found, std::move(stored), value.get());
    return value.release();
}

void VariableData::First(ValuePos& pos) const {
    auto at = std::make_unique<ValuePos::Iter>(mpoValues->moItems.cbegin());
    auto end = std::make_unique<ValuePos::Iter>(mpoValues->moItems.cend());
    pos.mpoPos = std::move(at);
    pos.mpoEnd = std::move(end);
}

bool VariableData::AtEnd(const ValuePos& pos) const noexcept {
    return !pos.mpoPos || *pos.mpoPos == *pos.mpoEnd;
}

VariableValue* VariableData::Next(ValuePos& pos) const noexcept {
    if (AtEnd(pos))
        return nullptr;
    return (*pos.mpoPos)++->second;
}
