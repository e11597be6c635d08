// The vault client's settings component, as a test double: an in-process COM server under the
// component's class whose AddSearchPaths serves folders from a small configuration of its own, an
// INI file named by FFM_SETTINGS_CONFIG:
//
//   [Key]
//   SearchPaths=C:\Parts;D:\Shared
#include <FileFmtMgr/ComModule.h>
#include <FileFmtMgr/Settings.h>

namespace {

std::wstring ConfigPath() {
    std::wstring path(32768, L'\0');
    path.resize(
        GetEnvironmentVariableW(L"FFM_SETTINGS_CONFIG", path.data(), static_cast<DWORD>(path.size())));
    return path;
}

std::wstring Read(const std::wstring& file, const std::wstring& section, const wchar_t* name) {
    for (DWORD size = 256;; size *= 2) {
        std::wstring text(size, L'\0');
        const DWORD n = GetPrivateProfileStringW(section.c_str(), name, L"", text.data(), size, file.c_str());
        if (n + 1 < size)
            return text.substr(0, n);
    }
}

class Settings final : public ffm::ComObject<ISettings> {
  public:
    HRESULT STDMETHODCALLTYPE Unused3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused9() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused10() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused11() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused12() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused13() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused14() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused15() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused16() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused17() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused18() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused19() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused20() override { return E_NOTIMPL; }

    // Only the arguments the library is known to pass serve folders; others get a marker entry
    // a test notices.
    HRESULT STDMETHODCALLTYPE AddSearchPaths(const std::wstring& key, std::list<std::wstring>& paths,
                                             long third, long fourth) override {
        try {
            if (third != 0 || fourth != 1) {
                paths.push_back(L"unexpected arguments");
                return E_INVALIDARG;
            }
            const std::wstring text = Read(ConfigPath(), key, L"SearchPaths");
            for (std::size_t at = 0; at < text.size();) {
                const std::size_t end = std::min(text.find(L';', at), text.size());
                if (end > at)
                    paths.push_back(text.substr(at, end - at));
                at = end + 1;
            }
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
};

const ffm::ClassRow kClasses[] = {{&CLSID_VkrSettings, ffm::CreateInstanceOf<Settings>}};

} // namespace

FFM_COM_SERVER_EXPORTS(kClasses)

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    try {
        return ffm::WriteRegistryRows(ffm::InprocServerRows(
            CLSID_VkrSettings, L"Vault settings (test double)", ffm::ModulePath(ffm::ThisModule()), L"Both"));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return ffm::FromWin32(ffm::DeleteRegistryTree(HKEY_CLASSES_ROOT, ffm::ClassKey(CLSID_VkrSettings)));
}
