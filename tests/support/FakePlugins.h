#pragma once
// Fake plug-ins for the manager and table tests: a registration store fed by the test, and
// format objects and navigators whose answers the test sets.
#include "support/FakeCom.h"
#include "support/NavigatorStub.h"
#include "support/Sandbox.h"
#include <FileFmtMgr/ComPtr.h>
#include <map>
#include <memory>
#include <string>

namespace ffmtest {

// A registration store whose lists the test fills.
class TestStore : public FakeObject<IFileFmtRegistryAccess> {
  public:
    void AddPlugin(const std::wstring& name, const CLSID& clsid, const std::wstring& component = L"");
    void AddExtension(const std::wstring& extension, const std::wstring& plugin, unsigned long mask);

    void STDMETHODCALLTYPE GetPlugins(FileFormatPluginList& plugins) override;
    void STDMETHODCALLTYPE GetExtensionRecords(ExtensionRecordList& records) override;
    HRESULT STDMETHODCALLTYPE GetFormatContext(unsigned long* first, unsigned long* second) override;

    FileFormatPluginList plugins;
    ExtensionRecordList records;
    unsigned long context[2] = {0, 0};
    int builds = 0;
    std::function<void()> onGetPlugins; // may throw, to fail a build
};

// A navigator that knows only the path it was opened with.
class FakeNavigator : public NavigatorStub {
  public:
    FakeNavigator(LiveCounter* counter, std::wstring path) : NavigatorStub(counter), path(std::move(path)) {}
    HRESULT STDMETHODCALLTYPE GetFilePath(BSTR* out) override {
        *out = SysAllocString(path.c_str());
        return S_OK;
    }
    std::wstring path;
};

// A format object whose answers the test sets (failures through Fail); counts its calls.
class FakeFormat : public FakeObject<ffm::FormatBase, ITovFormatRedirect, ITovFormatContext, ITovFileQuery,
                                     ISupportErrorInfo> {
  public:
    FakeFormat(LiveCounter* formats, LiveCounter* navigators) : FakeObject(formats), navigators(navigators) {}
    ~FakeFormat() override {
        VariantClear(&queryDate);
        VariantClear(&querySize);
    }

    HRESULT STDMETHODCALLTYPE GetExtensionFlags(BSTR extension, unsigned long* mask) override;
    HRESULT STDMETHODCALLTYPE OpenFile(BSTR path, ITovCallback* callback,
                                       ITovFileNavigator** navigator) override;
    HRESULT STDMETHODCALLTYPE GetTargetExtension(BSTR path, BSTR* extension) override;
    HRESULT STDMETHODCALLTYPE SetContext(unsigned long first, unsigned long second) override;
    HRESULT STDMETHODCALLTYPE Query(long kind, VARIANT input, VARIANT* result, VARIANT* second) override;
    // Supplies error information for every interface once the test gives a failure description.
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

    LiveCounter* navigators;
    const DWORD createdOn = GetCurrentThreadId();
    std::wstring redirectTo;          // answer of GetTargetExtension
    unsigned long extensionFlags = 0; // answer of GetExtensionFlags
    VARIANT queryDate{};              // answer of Query kind 1 (VT_EMPTY: E_FAIL)
    VARIANT querySize{};
    std::wstring failureDescription; // put on the thread by a SetContext made to fail
    std::vector<IID> errorInfoAsked; // interfaces asked about through ISupportErrorInfo

    std::vector<std::wstring> opened;       // paths given to OpenFile
    std::vector<std::wstring> flagRequests; // extensions given to GetExtensionFlags
    std::vector<std::pair<unsigned long, unsigned long>> contexts;
};

// A plug-in class registered with COM in this process: every activation makes a FakeFormat
// configured by the test's setup function.
class FakePluginClass {
  public:
    explicit FakePluginClass(std::function<void(FakeFormat&)> setup = {});
    const CLSID clsid;
    LiveCounter formats;
    LiveCounter navigators;
    std::function<void(FakeFormat&)> setup;
    FakeFormat* last = nullptr; // the latest object made (alive while the table caches it)
    long Activations() const { return registration->CreateCount(); }

  private:
    std::unique_ptr<ClassRegistration> registration;
};

} // namespace ffmtest
