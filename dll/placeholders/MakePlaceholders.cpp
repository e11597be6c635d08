// make_placeholders: writes the two empty documents FileFmtMgr.dll carries as resources (type
// "BIN", 3001 and 3002) and writes where a needed Inventor file is missing during a reference
// update. Each is an OLE compound file made with the platform's structured storage: a root
// storage with a class of its own and a summary-information property set naming the kind of
// document, and nothing else, as an empty document holds no geometry.
// Usage: make_placeholders FOLDER   (writes FOLDER\EmptyAssembly.iam and FOLDER\EmptyPart.ipt)
// The files are kept in the repository next to this program; run it again to remake them.
#include <cstdio>
#include <objbase.h>
#include <propidl.h>
#include <string>

namespace {

// Classes of the root storages (ours; the CAD system's own cannot be checked here).
const CLSID kAssemblyClass = {0x9e31b7ef, 0x95e0, 0x42dc, {0xbe, 0xfd, 0xea, 0x6f, 0x92, 0x19, 0xa1, 0x77}};
const CLSID kPartClass = {0x6892101c, 0x0e9f, 0x4698, {0xb3, 0x0e, 0x73, 0x42, 0xcc, 0x37, 0xdd, 0xab}};

HRESULT WriteSummary(IStorage* root, const wchar_t* title) {
    IPropertySetStorage* sets = nullptr;
    HRESULT hr = root->QueryInterface(IID_IPropertySetStorage, reinterpret_cast<void**>(&sets));
    if (FAILED(hr))
        return hr;
    IPropertyStorage* summary = nullptr;
    hr = sets->Create(FMTID_SummaryInformation, nullptr, PROPSETFLAG_ANSI,
                      STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, &summary);
    sets->Release();
    if (FAILED(hr))
        return hr;
    std::string titleText(title, title + wcslen(title));
    char application[] = "FileFmtMgr";
    PROPSPEC ids[2] = {{PRSPEC_PROPID, {PIDSI_TITLE}}, {PRSPEC_PROPID, {PIDSI_APPNAME}}};
    PROPVARIANT values[2];
    PropVariantInit(&values[0]);
    PropVariantInit(&values[1]);
    values[0].vt = VT_LPSTR;
    values[0].pszVal = titleText.data();
    values[1].vt = VT_LPSTR;
    values[1].pszVal = application;
    hr = summary->WriteMultiple(2, ids, values, PID_FIRST_USABLE);
    if (SUCCEEDED(hr))
        hr = summary->Commit(STGC_DEFAULT);
    summary->Release();
    return hr;
}

HRESULT MakeDocument(const std::wstring& path, const CLSID& kind, const wchar_t* title) {
    IStorage* root = nullptr;
    HRESULT hr =
        StgCreateStorageEx(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STGFMT_DOCFILE,
                           0, nullptr, nullptr, IID_IStorage, reinterpret_cast<void**>(&root));
    if (FAILED(hr))
        return hr;
    hr = root->SetClass(kind);
    if (SUCCEEDED(hr))
        hr = WriteSummary(root, title);
    if (SUCCEEDED(hr))
        hr = root->Commit(STGC_DEFAULT);
    root->Release();
    return hr;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_placeholders FOLDER\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const std::wstring folder = argv[1];
    int rc = 0;
    const struct {
        const wchar_t* name;
        const CLSID& kind;
        const wchar_t* title;
    } documents[] = {{L"EmptyAssembly.iam", kAssemblyClass, L"Assembly"},
                     {L"EmptyPart.ipt", kPartClass, L"Part"}};
    for (const auto& d : documents) {
        const HRESULT hr = MakeDocument(folder + L"\\" + d.name, d.kind, d.title);
        std::fprintf(stderr, "%ls: 0x%08lX\n", d.name, static_cast<unsigned long>(hr));
        if (FAILED(hr))
            rc = 1;
    }
    CoUninitialize();
    return rc;
}
