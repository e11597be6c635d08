#include <FileFmtMgr/AttributeData.h>

#include "foundation/Errors.h"
#include <memory>

namespace {

std::unique_ptr<VARIANT> NewEmptyVariant() {
    auto value = std::make_unique<VARIANT>();
    ::VariantInit(value.get());
    return value;
}

} // namespace

AttributeData::AttributeData() : mpoValue(NewEmptyVariant().release()) {}

AttributeData::AttributeData(const ffm::SpStr& block, const ffm::SpStr& name)
    : moBlock(block), moName(name), mpoValue(NewEmptyVariant().release()) {}

AttributeData::AttributeData(const AttributeData& other)
    : moBlock(other.moBlock), moName(other.moName), mlNumber(other.mlNumber), mbFound(other.mbFound),
      mbFlag(other.mbFlag) {
    auto value = NewEmptyVariant();
    ffm::ThrowIfFailed(::VariantCopy(value.get(), other.mpoValue));
    mpoValue = value.release();
}

AttributeData::~AttributeData() {
    ::VariantClear(mpoValue);
    delete mpoValue;
}
