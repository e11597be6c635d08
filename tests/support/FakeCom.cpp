#include "support/FakeCom.h"

#include <stdexcept>

namespace ffmtest {

struct ClassRegistration::Factory : FakeObject<IClassFactory> {
    std::function<IUnknown*()> create;
    std::atomic<long> count{0};

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        return NoThrow([&] {
            IUnknown* object = create();
            if (!object)
                return E_OUTOFMEMORY;
            ++count;
            object->AddRef();
            const HRESULT hr = object->QueryInterface(iid, out);
            object->Release();
            return hr;
        });
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

ClassRegistration::ClassRegistration(const CLSID& clsid, std::function<IUnknown*()> create)
    : m_factory(new Factory) {
    m_factory->AddRef();
    m_factory->create = std::move(create);
    const HRESULT hr = CoRegisterClassObject(clsid, static_cast<IClassFactory*>(m_factory),
                                             CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_cookie);
    if (FAILED(hr)) {
        m_factory->Release();
        throw std::runtime_error("CoRegisterClassObject failed");
    }
}

ClassRegistration::~ClassRegistration() {
    CoRevokeClassObject(m_cookie);
    m_factory->Release();
}

long ClassRegistration::CreateCount() const {
    return m_factory->count;
}

CLSID NewClsid() {
    CLSID id;
    CoCreateGuid(&id);
    return id;
}

std::wstring ClsidText(const CLSID& clsid, bool braces) {
    wchar_t text[64];
    StringFromGUID2(clsid, text, 64);
    std::wstring s = text;
    return braces ? s : s.substr(1, s.size() - 2);
}

} // namespace ffmtest
