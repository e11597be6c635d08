#pragma once
// Reference reading pieces shared by the manager's reference operations and the reference
// rewrite: ownership of a plug-in's reference array, the indexed (one-by-one) reading, the
// configuration-pair summary, short-path expansion and the list-collecting callback.
#include "foundation/ChainIndex.h"
#include "foundation/Handles.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <functional>
#include <optional>
#include <string_view>
#include <oleauto.h>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace ffm {

// Replaces every path component containing "~" by the long name of the entry it names on disk
// (FindFirstFileW). A path without "~" comes back unchanged. False, with out empty, when a
// component cannot be found.
bool ExpandShortPath(const std::wstring& path, std::wstring& out);

// Frees what one plug-in record still owns (its data block and both strings) and clears those
// fields, so a second call does nothing. mpwText belongs to the plug-in and is never freed.
template <class Rec> void FreeRefRecord(Rec& rec) noexcept {
    UniqueTaskMem<std::remove_pointer_t<decltype(rec.mpcData)>> data(std::exchange(rec.mpcData, nullptr));
    UniqueBstr filePath(std::exchange(rec.mbsFilePath, nullptr));
    UniqueBstr refPath(std::exchange(rec.mbsRefPath, nullptr));
}

// Owns a reference array handed over by a plug-in (or built for one) together with everything
// its records still hold. Fields taken out of a record must be set to null by the taker.
template <class Rec> class RefRecordArray {
  public:
    RefRecordArray() noexcept = default;
    RefRecordArray(Rec* refs, long count) noexcept : m_refs(refs), m_count(refs ? count : 0) {}
    RefRecordArray(const RefRecordArray&) = delete;
    RefRecordArray& operator=(const RefRecordArray&) = delete;
    ~RefRecordArray() { reset(); }

    Rec* get() const noexcept { return m_refs; }
    long count() const noexcept { return m_count; }
    Rec& operator[](long i) const noexcept { return m_refs[i]; }

    void reset(Rec* refs = nullptr, long count = 0) noexcept {
        UniqueTaskMem<Rec> old(std::exchange(m_refs, refs));
        for (long i = 0; i < m_count; ++i)
            FreeRefRecord(old.get()[i]);
        m_count = refs ? count : 0;
    }
    // Gives up the array and its records' contents.
    [[nodiscard]] Rec* release() noexcept {
        m_count = 0;
        return std::exchange(m_refs, nullptr);
    }

  private:
    Rec* m_refs = nullptr; // CoTaskMemAlloc, owned
    long m_count = 0;
};

// Reads the references of a plug-in that only reports them by index (GetReferenceCount and
// GetReference). Returns the plug-in's failure code with refs left empty, or the last success
// code; with fewer than one reference refs stays empty.
HRESULT ReadReferencesOneByOne(ITovFileNavigator* navigator, RefRecordArray<TovRefData>& refs);

// Configuration records of one delivery; deletes them when it goes.
class XRefConfigList {
  public:
    XRefConfigList() = default;
    XRefConfigList(const XRefConfigList&) = delete;
    XRefConfigList& operator=(const XRefConfigList&) = delete;
    ~XRefConfigList();
    Lst<XRefConfigInfo*>& List() noexcept { return m_list; }

  private:
    Lst<XRefConfigInfo*> m_list;
};

// The plug-in's configuration elements grouped by reference path, so that each reference finds
// its elements without a pass over all of them. Paths are grouped exactly as VarBstrCmp with
// LOCALE_USER_DEFAULT and NORM_IGNORECASE compares them: by their sort keys, with null and empty
// paths in a class of their own. The elements must outlive the index.
class ConfigPairIndex {
  public:
    ConfigPairIndex(const TovRefConfigData* elements, long count);
    // Appends the configuration pairs of the elements whose path equals refPath: one record per
    // pair of names (compared with lstrcmpiW, first name first), in ascending order, with its
    // counters. The names are those of the pair's first element in array order.
    void AppendPairs(BSTR refPath, Lst<XRefConfigInfo*>& out);

  private:
    struct KeyHash {
        std::size_t operator()(std::string_view key) const noexcept {
            return std::hash<std::string_view>()(key);
        }
    };
    using Index = ChainIndex<std::string_view, KeyHash, std::equal_to<std::string_view>>;

    const TovRefConfigData* m_elements;
    long m_count;
    std::vector<long> m_runs;     // first element of each run of one path text, then the count
    std::string m_keys;           // the runs' keys, one after the other; the index points into it
    std::optional<Index> m_index; // of runs
    std::vector<long> m_odd;      // runs whose path has no sort key: compared one by one
    std::string m_refKey;         // scratch: the key of the reference asked for
    std::vector<long> m_found;    // scratch: its elements
};

// The manager's own target for the list form of mhGetReferences: appends one record per
// reference to the caller's list, the caller then owns them.
class FileFormatMgrXRefCallback : public IFileFormatMgrXRefCallback {
  public:
    explicit FileFormatMgrXRefCallback(FileFormatMgr::ReferenceList& list) noexcept : mpoList(&list) {}

    // Called once per reference; the record goes to the list only when it is complete.
    HRESULT STDMETHODCALLTYPE OnReference(BSTR refPath, const wchar_t* filePath, const wchar_t* text,
                                          bool flag, const unsigned char* data, long dataSize, long numberB,
                                          long numberA, double number, long numberC,
                                          Lst<XRefConfigInfo*>* configInfo, long numberD) override;

  private:
    FileFormatMgr::ReferenceList* mpoList; // the caller's
};

// The manager's reference operations (FileFormatMgr forwards to them).
// Delivers the navigator's references with their configuration pairs to target, one call each.
HRESULT GetReferences(ITovFileNavigator* navigator, IFileFormatMgrXRefCallback* target,
                      ITovCallback* callback);
// For a plug-in without an array form: the references read one by one into an array the caller owns.
HRESULT GetReferencesOneByOne(ITovFileNavigator* navigator, long& count, TovRefData*& refs);
// Delivers a plug-in's reference array (taking it over) with the configuration pairs of each record.
HRESULT DeliverReferenceArray(ITovFileNavigator* navigator, long count, TovRefData* refs,
                              IFileFormatMgrXRefCallback* target);
HRESULT DeliverReferenceArray(ITovFileNavigator* navigator, long count, TovRefData2* refs,
                              IFileFormatMgrXRefCallback* target);
// Writes the references' paths back through the plug-in, and saves when asked.
HRESULT SetReferencePaths(ITovFileNavigator* navigator, const FileFormatMgr::ReferenceList& list,
                          ITovCallback* callback, bool save);

} // namespace ffm
