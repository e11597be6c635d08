#pragma once
// A navigator that answers every method with E_NOTIMPL: the base of the navigator doubles in the
// tests and benchmarks (kept free of the test framework for the latter). Derive and override what
// a double needs.
#include "support/FakeCom.h"

namespace ffmtest {

class NavigatorStub : public FakeObject<ITovFileNavigator4> {
  public:
    using FakeObject::FakeObject;
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
    HRESULT STDMETHODCALLTYPE SetAttributes2(BSTR, long, ITovCallback*, long, TovAttribData2*,
                                             long) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetAttributes2(BSTR, long, ITovCallback*, long, TovAttribData2*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetReferences2(ITovCallback*, long*, TovRefData2**) override {
        return E_NOTIMPL;
    }
};

} // namespace ffmtest
