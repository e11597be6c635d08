#pragma once
// The compound-document plug-in (CompoundPlugin.dll beside the executable) reached without any
// registration, real compound documents shipped by Debian packages, and an independent reading
// of a document's streams through the platform's structured storage to compare with.
#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/Handles.h>
#include <FileFmtMgr/TovContract.h>
#include <map>
#include <objidl.h>
#include <string>
#include <vector>

namespace ffmtest {

// Installed by scripts/setup (python3-xlrd, libole-storage-lite-perl); seen through Wine's Z: drive.
inline const std::vector<std::wstring>& RealCompoundFiles() {
    static const std::vector<std::wstring> files = {
        L"Z:\\usr\\share\\doc\\python3-xlrd\\examples\\namesdemo.xls",
        L"Z:\\usr\\share\\doc\\libole-storage-lite-perl\\examples\\test.xls"};
    return files;
}

// {6F1D7B9E-2C48-4E0B-9A57-3D2B8E41C0A5}
constexpr CLSID kCompoundClsid = {
    0x6f1d7b9e, 0x2c48, 0x4e0b, {0x9a, 0x57, 0x3d, 0x2b, 0x8e, 0x41, 0xc0, 0xa5}};

// The plug-in's format object straight from its DLL's class factory.
inline ffm::ComPtr<ITovFileFormat> CompoundFormat() {
    static HMODULE module = [] {
        wchar_t path[MAX_PATH];
        const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring folder(path, n);
        folder.resize(folder.find_last_of(L'\\'));
        return LoadLibraryW((folder + L"\\CompoundPlugin.dll").c_str());
    }();
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto get = module ? reinterpret_cast<GetClassObject>(
                                  reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")))
                            : nullptr;
    ffm::ComPtr<IClassFactory> factory;
    ffm::ComPtr<ITovFileFormat> format;
    if (get && SUCCEEDED(get(kCompoundClsid, IID_IClassFactory, factory.put_void())))
        factory->CreateInstance(nullptr, __uuidof(ITovFileFormat), format.put_void());
    return format;
}

// Every stream at the top of a document by name, read through IStorage directly (the real
// documents here hold no storages).
inline std::map<std::wstring, std::string> ReadStreams(const std::wstring& path) {
    std::map<std::wstring, std::string> streams;
    ffm::ComPtr<IStorage> root;
    ffm::ComPtr<IEnumSTATSTG> elements;
    if (FAILED(StgOpenStorageEx(path.c_str(), STGM_READ | STGM_SHARE_DENY_WRITE, STGFMT_STORAGE, 0, nullptr,
                                nullptr, IID_IStorage, root.put_void())) ||
        FAILED(root->EnumElements(0, nullptr, 0, elements.put())))
        return streams;
    STATSTG s;
    ULONG got = 0;
    while (elements->Next(1, &s, &got) == S_OK && got == 1) {
        const std::wstring name = s.pwcsName;
        CoTaskMemFree(s.pwcsName);
        ffm::ComPtr<IStream> stream;
        if (s.type != STGTY_STREAM ||
            FAILED(
                root->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.put())))
            continue;
        std::string bytes(static_cast<std::size_t>(s.cbSize.QuadPart), '\0');
        ULONG read = 0;
        if (!bytes.empty())
            stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
        bytes.resize(read);
        streams[name] = bytes;
    }
    return streams;
}

} // namespace ffmtest
