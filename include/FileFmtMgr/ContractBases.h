#pragma once
// Default answers for the contract's interfaces (and the record descriptions of its arrays): every method
// slot answers E_NOTIMPL, so a plug-in, a host or a test double overrides only what it offers. Each names its
// interface as Interface, so it stands in the list of a ComObject for that interface:
//
//   class Reader : public ffm::ComObject<ffm::NavigatorBase<ITovFileNavigator4>> { ...overrides... };
#include <FileFmtMgr/TovContract.h>

namespace ffm {

namespace detail {
// The navigator slots version by version: each layer adds those of one interface version.
template <class I> class NavigatorSlots1 : public I {
  public:
    using Interface = I;
    HRESULT STDMETHODCALLTYPE GetReferences(ITovCallback*, long*, TovRefData**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetReferences(ITovCallback*, long, TovRefData*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFilePath(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSubFolders(ITovRegistry*, ITovCallback*, long*,
                                            ITovFileNavigator***) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetSubFiles(ITovRegistry*, ITovCallback*, long*,
                                          ITovFileNavigator***) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetAttributes(BSTR, long, ITovCallback*, long, TovAttribData*, long) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetAttributes(BSTR, long, ITovCallback*, long, TovAttribData*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Unused11() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused12() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSubFileMenuItems(ITovRegistry*, long*, TovPreviewMenuItem**, long,
                                                  ITovFileNavigator**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE OnSubFileMenuCommand(ITovRegistry*, ITovCallback*, long, long, long,
                                                   ITovFileNavigator**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Save() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused16() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused17() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConfigurationNames(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOption(long, long) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused20() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetReferenceCount(long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetReference(long, BSTR*, BSTR*, BSTR*, long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused23() override { return E_NOTIMPL; }
};

template <class I> class NavigatorSlots2 : public NavigatorSlots1<I> {
  public:
    HRESULT STDMETHODCALLTYPE GetReferenceConfigurations(SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetFilePath(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused26() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused27() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused28() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused29() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused30() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused31() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused32() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused33() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused34() override { return E_NOTIMPL; }
};

template <class I> class NavigatorSlots3 : public NavigatorSlots2<I> {
  public:
    HRESULT STDMETHODCALLTYPE SetAttributes2(BSTR, long, ITovCallback*, long, TovAttribData2*,
                                             long) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetAttributes2(BSTR, long, ITovCallback*, long, TovAttribData2*) override {
        return E_NOTIMPL;
    }
};

template <class I> class NavigatorSlots4 : public NavigatorSlots3<I> {
  public:
    HRESULT STDMETHODCALLTYPE GetReferences2(ITovCallback*, long*, TovRefData2**) override {
        return E_NOTIMPL;
    }
};

template <class I> struct NavigatorSlotsOf;
template <> struct NavigatorSlotsOf<ITovFileNavigator> { using type = NavigatorSlots1<ITovFileNavigator>; };
template <> struct NavigatorSlotsOf<ITovFileNavigator2> { using type = NavigatorSlots2<ITovFileNavigator2>; };
template <> struct NavigatorSlotsOf<ITovFileNavigator3> { using type = NavigatorSlots3<ITovFileNavigator3>; };
template <> struct NavigatorSlotsOf<ITovFileNavigator4> { using type = NavigatorSlots4<ITovFileNavigator4>; };
template <> struct NavigatorSlotsOf<ITovFileNavigator5> { using type = NavigatorSlots4<ITovFileNavigator5>; };
} // namespace detail

// A navigator of the given version (and the versions below it).
template <class I = ITovFileNavigator5> using NavigatorBase = typename detail::NavigatorSlotsOf<I>::type;

class FormatBase : public ITovFileFormat {
  public:
    using Interface = ITovFileFormat;
    HRESULT STDMETHODCALLTYPE Unused3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetExtensionFlags(BSTR, unsigned long*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OpenFile(BSTR, ITovCallback*, ITovFileNavigator**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreatePreview(long, TovRect*, ITovCallback*, ITovRegistry*,
                                            ITovFilePreview**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetSearchPaths(BSTR, BSTR*) override { return E_NOTIMPL; }
};

class PreviewBase : public ITovFilePreview {
  public:
    using Interface = ITovFilePreview;
    HRESULT STDMETHODCALLTYPE ShowFile(ITovRegistry*, BSTR, ITovCallback*, long) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ShowNavigator(ITovRegistry*, ITovFileNavigator*, ITovCallback*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Hide() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Refresh(ITovCallback*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Resize(TovRect*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMenuItems(ITovRegistry*, long*, TovPreviewMenuItem**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE OnMenuCommand(long, long, long, long, ITovRegistry*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(TovMessage*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ReleaseFile(BSTR) override { return E_NOTIMPL; }
};

// The description of a record type in a SAFEARRAY (the arrays of the contract's records): the
// array functions call RecordClear, GetSize and the copy and create methods; nothing of the
// contract asks for fields by name.
class RecordInfoBase : public IRecordInfo {
  public:
    using Interface = IRecordInfo;
    HRESULT STDMETHODCALLTYPE RecordInit(PVOID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RecordClear(PVOID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RecordCopy(PVOID, PVOID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetGuid(GUID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetName(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSize(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetField(PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFieldNoCopy(PVOID, LPCOLESTR, VARIANT*, PVOID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PutField(ULONG, PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PutFieldNoCopy(ULONG, PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFieldNames(ULONG*, BSTR*) override { return E_NOTIMPL; }
    BOOL STDMETHODCALLTYPE IsMatchingType(IRecordInfo*) override { return FALSE; }
    PVOID STDMETHODCALLTYPE RecordCreate() override { return nullptr; }
    HRESULT STDMETHODCALLTYPE RecordCreateCopy(PVOID, PVOID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RecordDestroy(PVOID) override { return E_NOTIMPL; }
};

// A host callback: no type information and no late binding.
class CallbackBase : public ITovCallback {
  public:
    using Interface = ITovCallback;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Unused7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetProgress(long) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetStatusMessage(BSTR) override { return E_NOTIMPL; }
};

} // namespace ffm
