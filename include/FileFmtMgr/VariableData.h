#pragma once
// VariableData: one data-card variable, with the file attributes it is mapped to and its values,
// one VariableValue per configuration. Values are keyed by the configuration name in lower case,
// so names differing only in case share one value; keys are walked in ordinal order.
#include <FileFmtMgr/AttributeData.h>
#include <FileFmtMgr/Lst.h>
#include <FileFmtMgr/SpStr.h>
#include <FileFmtMgr/TaskAllocated.h>
#include <map>
#include <memory>
#include <oaidl.h>
#include <string_view>

namespace ffm {

// SpStr order, also against plain text, so a lookup needs no key string of its own.
struct SpStrLess {
    using is_transparent = void;
    static std::wstring_view View(const SpStr& s) noexcept { return {s.W() ? s.W() : L"", s.Length()}; }
    bool operator()(const SpStr& a, const SpStr& b) const noexcept { return a < b; }
    bool operator()(const SpStr& a, std::wstring_view b) const noexcept { return View(a) < b; }
    bool operator()(std::wstring_view a, const SpStr& b) const noexcept { return a < View(b); }
};

// An ordered map whose destruction releases its nodes and keys, not what the values point to.
template <class K, class V> class Map {
  public:
    using Items = std::map<K, V, SpStrLess>;
    Map() = default;
    Map(const Map&) = delete;
    Map& operator=(const Map&) = delete;
    virtual ~Map() = default;

    Items moItems;
};

} // namespace ffm

struct FFM_API VariableValue : ffm::TaskAllocated {
    VariableValue(const ffm::SpStr& config, long long tag);
    VariableValue(const VariableValue&) = delete;
    VariableValue& operator=(const VariableValue&) = delete;
    ~VariableValue();

    ffm::SpStr moConfig;   // the configuration name as first given
    long long mlConfigTag; // the configuration's tag when the value was created
    VARIANT* mpoValue;     // owned, never null
    bool mbFlag = false;   // from the attribute that supplied the value
    bool mbSet = false;    // read from the file, or written to it
};

using VariableValueMap = ffm::Map<ffm::SpStr, VariableValue*>;

// A position in the walk over one variable's values.
class FFM_API ValuePos {
  public:
    ValuePos() noexcept;
    ValuePos(const ValuePos&) = delete;
    ValuePos& operator=(const ValuePos&) = delete;
    virtual ~ValuePos();

  private:
    friend class VariableData;
    using Iter = VariableValueMap::Items::const_iterator;
    std::unique_ptr<Iter> mpoPos;
    std::unique_ptr<Iter> mpoEnd;
};

class FFM_API VariableData : public ffm::TaskAllocated {
  public:
    VariableData();
    VariableData(const VariableData&) = delete;
    VariableData& operator=(const VariableData&) = delete;
    // Deletes the attribute records, then the values and their maps, then the name.
    virtual ~VariableData();

    // The value for a configuration (null counts as empty), created with tag on request; null
    // when absent and not to be created. A found value keeps its first spelling and tag.
    VariableValue* GetValue(const ffm::SpStr& configName, long long tag, bool create);

    // Walks mpoValues in key order: First, then Next until AtEnd.
    void First(ValuePos& pos) const;
    bool AtEnd(const ValuePos& pos) const noexcept;
    VariableValue* Next(ValuePos& pos) const noexcept;

    long mlNumberA = 0; // the creator's; carried unchanged
    long mlNumberB = 0;
    ffm::SpStr moName;
    unsigned char mabFlags[5] = {};
    ffm::Lst<AttributeData*> moAttributes;  // owned records, in the caller's order of preference
    VariableValueMap* mpoValues;            // owned, with its records
    VariableValueMap* mpoValues2 = nullptr; // owned when present; filled by the caller's module
};

// The caller's variable-to-extension map keeps its definitions in these lists; the library only
// carries the type.
namespace VariableExtMapNS {
struct AttributeDef;
using AttributeDefLst = ffm::Lst<AttributeDef*>;
} // namespace VariableExtMapNS
