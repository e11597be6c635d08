// Format objects and navigators of a minimal plug-in, served from a real DLL through COM's
// registry lookup. Tests read its counters through FakeServerCounts.
#include "support/NavigatorStub.h"
#include <FileFmtMgr/ComModule.h>
#include <FileFmtMgr/Handles.h>

namespace {

ffmtest::LiveCounter gFormats, gNavigators;

class Navigator : public ffmtest::NavigatorStub {
  public:
    explicit Navigator(BSTR path) : NavigatorStub(&gNavigators), m_path(SysAllocString(path)) {}
    // The library's callers ask for the file it opened.
    HRESULT STDMETHODCALLTYPE GetFilePath(BSTR* path) override {
        *path = SysAllocString(m_path.get());
        return S_OK;
    }

  private:
    ffm::UniqueBstr m_path;
    ffm::ModuleLock m_module;
};

class Format : public ffmtest::FakeObject<ffm::FormatBase> {
  public:
    Format() : FakeObject(&gFormats) {}
    HRESULT STDMETHODCALLTYPE GetExtensionFlags(BSTR, unsigned long* mask) override {
        *mask = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OpenFile(BSTR path, ITovCallback*, ITovFileNavigator** navigator) override {
        if (!navigator)
            return E_POINTER;
        return ffmtest::NoThrow([&] {
            *navigator = ffm::Make<Navigator>(path).detach();
            return S_OK;
        });
    }

  private:
    ffm::ModuleLock m_module;
};

// Every class identifier it is asked for: each test run registers a fresh one.
const ffm::ClassRow kClasses[] = {{nullptr, ffm::CreateInstanceOf<Format>}};

} // namespace

FFM_COM_SERVER_EXPORTS(kClasses)

// Format objects made, objects alive, files opened.
extern "C" void __stdcall FakeServerCounts(long* created, long* alive, long* opened) {
    *created = gFormats.created;
    *alive = gFormats.alive + gNavigators.alive;
    *opened = gNavigators.created;
}
