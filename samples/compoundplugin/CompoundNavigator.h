#pragma once
// A navigator on a compound document or on one element inside it: the root storage (the
// document itself), a storage (a sub-folder) or a stream (a sub-file). It keeps where the
// element is, and what the listing that made it saw of it; every call opens the container and
// closes it again.
#include "CfbCommon.h"
#include "Storage.h"
#include <FileFmtMgr/ComObject.h>
#include <FileFmtMgr/ContractBases.h>
#include <optional>

namespace cfb {

// Commands of the sub-file menu.
constexpr long kCommandExtract = 1;
constexpr long kCommandProperties = 2;

class Navigator final : public ffm::ComObject<ffm::NavigatorBase<ITovFileNavigator3>, ITovFileQuery> {
  public:
    // What a listing of the container saw of an element.
    struct Listed {
        Element element;
        ContainerStamp stamp;
    };

    explicit Navigator(Location where, std::optional<Listed> listed = std::nullopt)
        : m_where(std::move(where)), m_listed(std::move(listed)) {}

    // The container's path, or "container|inner\path" for an element inside it.
    HRESULT STDMETHODCALLTYPE GetFilePath(BSTR* path) override;
    // Storages and streams directly below this storage, each a navigator of its own.
    HRESULT STDMETHODCALLTYPE GetSubFolders(ITovRegistry* registry, ITovCallback* callback, long* count,
                                            ITovFileNavigator*** navigators) override;
    HRESULT STDMETHODCALLTYPE GetSubFiles(ITovRegistry* registry, ITovCallback* callback, long* count,
                                          ITovFileNavigator*** navigators) override;
    // Blocks "SummaryInformation", "DocumentSummaryInformation" and "CustomProperty".
    HRESULT STDMETHODCALLTYPE GetAttributes(BSTR configuration, long option, ITovCallback* callback,
                                            long count, TovAttribData* attributes) override;
    HRESULT STDMETHODCALLTYPE SetAttributes(BSTR configuration, long option, ITovCallback* callback,
                                            long count, TovAttribData* attributes, long number) override;
    HRESULT STDMETHODCALLTYPE GetAttributes2(BSTR configuration, long option, ITovCallback* callback,
                                             long count, TovAttribData2* attributes) override;
    HRESULT STDMETHODCALLTYPE SetAttributes2(BSTR configuration, long option, ITovCallback* callback,
                                             long count, TovAttribData2* attributes, long number) override;
    // Writes are committed when made: nothing waits for a save.
    HRESULT STDMETHODCALLTYPE Save() override { return S_OK; }
    // "Extract" and "Properties" for inner files.
    HRESULT STDMETHODCALLTYPE GetSubFileMenuItems(ITovRegistry* registry, long* count,
                                                  TovPreviewMenuItem** items, long otherCount,
                                                  ITovFileNavigator** others) override;
    HRESULT STDMETHODCALLTYPE OnSubFileMenuCommand(ITovRegistry* registry, ITovCallback* callback,
                                                   long window, long command, long otherCount,
                                                   ITovFileNavigator** others) override;
    // Kind 1: this element's size and date; what the listing saw while the container is unchanged,
    // so asking every inner file of a large container stays linear.
    HRESULT STDMETHODCALLTYPE Query(long kind, VARIANT input, VARIANT* result, VARIANT* second) override;

    const Location& Where() const { return m_where; }

  private:
    HRESULT List(bool streams, long* count, ITovFileNavigator*** navigators);
    template <class Record> HRESULT ReadAll(long count, Record* records);
    template <class Record> HRESULT WriteAll(long count, Record* records);

    const Location m_where;
    const std::optional<Listed> m_listed;
};

// Size (VT_I8) and last-write date (local VT_DATE) of a container or of an element inside one.
void SizeAndDate(const Location& where, VARIANT* date, VARIANT* size);

} // namespace cfb
