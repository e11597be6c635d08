#pragma once
// ConfigData: one configuration of a file, with the 64-bit value (its tag) a plug-in delivers.
// A ConfigDataLst does not own its records: the owner of the list deletes them.
#include <FileFmtMgr/Lst.h>
#include <FileFmtMgr/SpStr.h>
#include <FileFmtMgr/TaskAllocated.h>

struct FFM_API ConfigData : ffm::TaskAllocated {
    ConfigData() = default;
    ConfigData(ffm::SpStr name, long long value) noexcept : moName(std::move(name)), mlValue(value) {}

    ffm::SpStr moName;
    long long mlValue = 0;
};

class FFM_API ConfigDataLst : public ffm::Lst<ConfigData*> {
  public:
    ConfigDataLst() = default;
    ~ConfigDataLst() override;
};
