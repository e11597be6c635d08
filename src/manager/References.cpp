// The manager's reference operations: the reading and writing live with the other content
// services; these members are what callers of the exported class reach them through.
#include <FileFmtMgr/FileFormatMgr.h>

#include "content/References.h"

HRESULT FileFormatMgr::mhGetReferences(ITovFileNavigator* navigator, IFileFormatMgrXRefCallback* target,
                                       ITovCallback* callback) {
    return ffm::GetReferences(navigator, target, callback);
}

HRESULT FileFormatMgr::mhGetReferences(ITovFileNavigator* navigator, ReferenceList& list,
                                       ITovCallback* callback) {
    ffm::FileFormatMgrXRefCallback target(list);
    return mhGetReferences(navigator, &target, callback);
}

HRESULT FileFormatMgr::mhGetRefsUsingXPS(ITovFileNavigator* navigator, long& count, TovRefData*& refs) {
    return ffm::GetReferencesOneByOne(navigator, count, refs);
}

HRESULT FileFormatMgr::mhRetrieveExtendedConfigInfo(ITovFileNavigator* navigator, long count,
                                                    TovRefData* refs, IFileFormatMgrXRefCallback* target) {
    return ffm::DeliverReferenceArray(navigator, count, refs, target);
}

HRESULT FileFormatMgr::mhRetrieveExtendedConfigInfo2(ITovFileNavigator* navigator, long count,
                                                     TovRefData2* refs, IFileFormatMgrXRefCallback* target) {
    return ffm::DeliverReferenceArray(navigator, count, refs, target);
}

HRESULT FileFormatMgr::mhSetReferencePaths(ITovFileNavigator* navigator, const ReferenceList& list,
                                           ITovCallback* callback, bool save) {
    return ffm::SetReferencePaths(navigator, list, callback, save);
}
