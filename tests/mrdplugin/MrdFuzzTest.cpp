// Mutated MRD files (fixed seed, bounded count) driven through every read of the sample plug-in:
// none may crash or hang it, reading never changes a file, and an update that fails leaves the
// file byte for byte as it was; one that succeeds leaves a file the plug-in reads again.
#include "support/SamplePlugin.h"

#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/Handles.h>
#include <FileFmtMgr/TovContract.h>
#include <gtest/gtest.h>
#include <random>

using namespace ffmtest;
using ffm::ComPtr;

namespace {

// One change of the kinds a damaged or hostile file shows: bytes flipped, inserted (line breaks,
// brackets, separators, zero, invalid UTF-8), removed, lines repeated or cut off.
std::string Mutate(std::string text, std::mt19937& random) {
    static const char kBytes[] = {'\n', '\r', '[', ']',  '=',    '>',    ',',
                                  ':',  '#',  ' ', '\0', '\xFF', '\xC3', 'A'};
    const auto pick = [&](size_t n) {
        return n ? std::uniform_int_distribution<size_t>(0, n - 1)(random) : 0;
    };
    const int changes = 1 + static_cast<int>(pick(4));
    for (int c = 0; c < changes; ++c) {
        const size_t at = pick(text.size() + 1);
        switch (pick(6)) {
        case 0:
            if (at < text.size())
                text[at] = static_cast<char>(text[at] ^ (1 << pick(8)));
            break;
        case 1:
            text.insert(at, 1, kBytes[pick(sizeof(kBytes))]);
            break;
        case 2:
            text.erase(at, pick(12));
            break;
        case 3: { // a line repeated: duplicate keys, blocks, paths
            const size_t start = text.rfind('\n', at == 0 ? 0 : at - 1);
            const size_t from = start == std::string::npos ? 0 : start + 1;
            const size_t end = text.find('\n', from);
            const std::string line =
                text.substr(from, end == std::string::npos ? std::string::npos : end - from + 1);
            text.insert(from, line);
            break;
        }
        case 4:
            text.resize(at);
            break;
        default:
            text.insert(at,
                        "[Reference " + std::to_string(pick(3)) + "]\nPath = p.mrdprt\nUse = Heavy > X\n");
        }
    }
    return text;
}

// Every read a host makes; the results are released. Gives the first reference's key as the
// plug-in reports it, or a key it does not have.
std::wstring ReadEverything(ITovFileNavigator* navigator) {
    ComPtr<ITovFileNavigator5> nav;
    EXPECT_EQ(S_OK, navigator->QueryInterface(__uuidof(ITovFileNavigator5), nav.put_void()));
    long count = 0;
    TovRefData2* refs = nullptr;
    std::wstring key = L"Nope";
    if (SUCCEEDED(nav->GetReferences2(nullptr, &count, &refs))) {
        if (count > 0)
            key.assign(refs[0].mbsRefPath, SysStringLen(refs[0].mbsRefPath));
        for (long i = 0; i < count; ++i) {
            SysFreeString(refs[i].mbsFilePath);
            SysFreeString(refs[i].mbsRefPath);
            CoTaskMemFree(refs[i].mpcData);
        }
        CoTaskMemFree(refs);
    }
    SAFEARRAY* pairs = nullptr;
    if (SUCCEEDED(nav->GetReferenceConfigurations(&pairs)) && pairs)
        SafeArrayDestroy(pairs);
    ffm::UniqueBstr names;
    nav->GetConfigurationNames(names.put());
    const auto block = Bstr(L"CustomProperty"), name = Bstr(L"Material"), config = Bstr(L"Heavy");
    TovAttribData2 attribute{};
    attribute.mbsBlock = block.get();
    attribute.mbsName = name.get();
    nav->GetAttributes2(config.get(), 0, nullptr, 1, &attribute);
    VariantClear(&attribute.mvValue);
    ComPtr<ITovFileQuery> query;
    if (SUCCEEDED(nav->QueryInterface(__uuidof(ITovFileQuery), query.put_void())))
        for (long kind : {1, 3, 5, 7}) {
            ffm::UniqueVariant result, second;
            VARIANT none{};
            query->Query(kind, none, result.put(), second.put());
        }
    return key;
}

TEST(MrdFuzz, MutatedFilesNeverCrashHangOrChangeAndFailedUpdatesLeaveThemAsTheyWere) {
    SamplePluginRegistration plugin;
    ASSERT_EQ(S_OK, plugin.registered);
    ComPtr<ITovFileFormat> format;
    ASSERT_EQ(S_OK, CoCreateInstance(kMrdClsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITovFileFormat),
                                     format.put_void()));
    TempFolder folder;
    const std::string seeds[] = {
        kSampleAssembly,
        "MRD 1 drawing\n[Settings]\nDetailingMode = yes\n[Reference View]\nPath = ..\\m.mrdasm\nKind = "
        "view\n",
    };
    std::mt19937 random(20261206);
    int opened = 0, updated = 0;
    for (int round = 0; round < 400; ++round) {
        const bool drawing = round % 4 == 3;
        const std::string text = Mutate(seeds[drawing ? 1 : 0], random);
        const std::wstring path = folder.WriteFile(drawing ? L"f.mrddrw" : L"f.mrdasm", text);
        const ULONGLONG written = LastWrite(path);
        ComPtr<ITovFileNavigator> nav;
        if (FAILED(format->OpenFile(Bstr(path).get(), nullptr, nav.put())))
            continue;
        ++opened;
        const auto k = Bstr(ReadEverything(nav.get()));
        ASSERT_EQ(text, ReadAll(path)) << "reading changed the file, round " << round;
        ASSERT_EQ(written, LastWrite(path)) << "round " << round;

        // Move the first reference, or one the file does not have.
        const auto p = Bstr(folder.Path() + L"\\moved\\" + std::to_wstring(round) + L".mrdprt");
        TovRefData ref{};
        ref.mbsRefPath = k.get();
        ref.mbsFilePath = p.get();
        HRESULT hr = nav->SetReferences(nullptr, 1, &ref);
        if (SUCCEEDED(hr))
            hr = nav->Save();
        nav.reset();
        if (FAILED(hr)) {
            ASSERT_EQ(text, ReadAll(path)) << "a failed update changed the file, round " << round;
            continue;
        }
        ++updated;
        EXPECT_EQ(S_OK, format->OpenFile(Bstr(path).get(), nullptr, nav.put())) << "round " << round;
    }
    // The mutations leave enough files readable that reads and updates were really exercised.
    EXPECT_GT(opened, 40);
    EXPECT_GT(updated, 20);
}

} // namespace
