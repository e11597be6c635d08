#pragma once
// A manager of its own per test (the process-wide one stays untouched), in registry sandboxes,
// with plug-ins served by in-process fake classes through an outside store.
#include "support/FakePlugins.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <memory>

namespace ffmtest {

class ManagerTest : public SandboxedTest {
  protected:
    void SetUp() override {
        store = new TestStore;
        store->AddRef();
    }
    void TearDown() override {
        mgr.reset();
        store->Release();
    }
    // Registers a plug-in class and its extensions with the store.
    FakePluginClass& Plugin(const std::wstring& name,
                            std::initializer_list<std::pair<std::wstring, unsigned long>> exts,
                            std::function<void(FakeFormat&)> setup = {}) {
        classes.push_back(std::make_unique<FakePluginClass>(std::move(setup)));
        store->AddPlugin(name, classes.back()->clsid);
        for (const auto& [ext, mask] : exts)
            store->AddExtension(ext, name, mask);
        return *classes.back();
    }
    void UseStore() { ASSERT_EQ(S_OK, mgr->mhSetRegAccess(store)); }

    std::vector<std::unique_ptr<FakePluginClass>> classes;
    TestStore* store = nullptr;
    std::unique_ptr<FileFormatMgr> mgr = std::make_unique<FileFormatMgr>();
};

// The description of the thread's error information (taking it off the thread), or "<none>".
inline std::wstring PendingDescription() {
    ffm::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK || !info)
        return L"<none>";
    BSTR text = nullptr;
    info->GetDescription(&text);
    std::wstring d = text ? text : L"";
    SysFreeString(text);
    return d;
}

} // namespace ffmtest
