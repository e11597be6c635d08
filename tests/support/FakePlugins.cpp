#include "support/FakePlugins.h"

using ffm::ComPtr;

namespace ffmtest {

void TestStore::AddPlugin(const std::wstring& name, const CLSID& clsid, const std::wstring& component) {
    auto plugin = std::make_shared<FileFormatPlugin>();
    plugin->moClsid = clsid;
    plugin->mbsName = name.c_str();
    plugin->mbsComponent = component.c_str();
    plugins.push_back(plugin);
}

void TestStore::AddExtension(const std::wstring& extension, const std::wstring& plugin, unsigned long mask) {
    ExtensionRecord record;
    record.moExtension = extension.c_str();
    record.moPluginName = plugin.c_str();
    record.mlMask = mask;
    records.push_back(record);
}

void TestStore::GetPlugins(FileFormatPluginList& out) {
    ++builds;
    if (onGetPlugins)
        onGetPlugins();
    out = plugins;
}

void TestStore::GetExtensionRecords(ExtensionRecordList& out) {
    out = records;
}

HRESULT TestStore::GetFormatContext(unsigned long* first, unsigned long* second) {
    if (const HRESULT hr = Injected(__func__); FAILED(hr))
        return hr;
    *first = context[0];
    *second = context[1];
    return S_OK;
}

HRESULT FakeFormat::GetExtensionFlags(BSTR extension, unsigned long* mask) {
    return NoThrow([&] {
        flagRequests.push_back(extension ? extension : L"");
        if (const HRESULT hr = Injected("GetExtensionFlags"); FAILED(hr))
            return hr;
        *mask = extensionFlags;
        return S_OK;
    });
}

HRESULT FakeFormat::OpenFile(BSTR path, ITovCallback*, ITovFileNavigator** navigator) {
    *navigator = nullptr;
    return NoThrow([&] {
        opened.push_back(path ? path : L"");
        if (const HRESULT hr = Injected("OpenFile"); FAILED(hr))
            return hr;
        *navigator = new FakeNavigator(navigators, path ? path : L"");
        (*navigator)->AddRef();
        return S_OK;
    });
}

HRESULT FakeFormat::GetTargetExtension(BSTR, BSTR* extension) {
    if (const HRESULT hr = Injected(__func__); FAILED(hr))
        return hr;
    *extension = SysAllocString(redirectTo.c_str());
    return S_OK;
}

HRESULT FakeFormat::SetContext(unsigned long first, unsigned long second) {
    return NoThrow([&] {
        contexts.emplace_back(first, second);
        const HRESULT hr = Injected("SetContext");
        if (FAILED(hr) && !failureDescription.empty()) {
            ComPtr<ICreateErrorInfo> create;
            if (SUCCEEDED(CreateErrorInfo(create.put()))) {
                create->SetDescription(const_cast<LPOLESTR>(failureDescription.c_str()));
                SetErrorInfo(0, create.try_query<IErrorInfo>().get());
            }
        }
        return hr;
    });
}

HRESULT FakeFormat::InterfaceSupportsErrorInfo(REFIID iid) {
    return NoThrow([&] {
        errorInfoAsked.push_back(iid);
        return failureDescription.empty() ? S_FALSE : S_OK;
    });
}

HRESULT FakeFormat::Query(long kind, VARIANT, VARIANT* result, VARIANT* second) {
    if (const HRESULT hr = Injected(__func__); FAILED(hr))
        return hr;
    if (kind != 1)
        return E_INVALIDARG;
    VariantCopy(result, &queryDate);
    VariantCopy(second, &querySize);
    return S_OK;
}

FakePluginClass::FakePluginClass(std::function<void(FakeFormat&)> setupFn)
    : clsid(NewClsid()), setup(std::move(setupFn)) {
    registration = std::make_unique<ClassRegistration>(clsid, [this]() -> IUnknown* {
        auto* f = new FakeFormat(&formats, &navigators);
        if (setup)
            setup(*f);
        last = f;
        return static_cast<ITovFileFormat*>(f);
    });
}

} // namespace ffmtest
