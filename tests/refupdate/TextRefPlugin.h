#pragma once
// A plug-in double over real files for the reference update: a file is text, one reference path
// per line (UTF-16, LF). The navigator reads the file when opened, hands the lines out as
// references, takes changed ones back and writes the file on Save. A script shared by the test and
// every object made from it picks one step to fail, with a code of its own, and records what the
// library asked for. Header only and free of the test framework: the child process of the tests
// and the benchmark use it too.
#include "support/NavigatorStub.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <mutex>
#include <string>
#include <vector>

namespace ffmtest::textref {

enum class Step { None, Open, SetOption, Read, Write, Save, TornSave };

constexpr HRESULT kInjected = static_cast<HRESULT>(0x80041234);

struct Script {
    Step failAt = Step::None;
    bool workOnCopy = false;    // the navigator offers ITovWorkOnCopy
    bool withNavigator2 = true; // the navigator offers ITovFileNavigator2 (SetFilePath)
    std::function<void(const std::wstring& path)> beforeSave; // may interfere with the files

    std::mutex lock; // updates run on several threads
    std::vector<std::wstring> opened;
    std::vector<std::wstring> filePathsSet;
    std::vector<std::pair<long, long>> options;

    HRESULT Fail(Step step) const { return failAt == step ? kInjected : S_OK; }
};

inline bool ReadBytes(const std::wstring& path, std::string& bytes) {
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    bytes.assign(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    const BOOL ok =
        bytes.empty() || ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    return ok && read == bytes.size();
}

inline bool WriteBytes(const std::wstring& path, const std::string& bytes, std::size_t count) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = count == 0 || WriteFile(file, bytes.data(), static_cast<DWORD>(count), &written, nullptr);
    CloseHandle(file);
    return ok && written == count;
}

// The file's bytes for a list of reference paths.
inline std::string Document(const std::vector<std::wstring>& references) {
    std::wstring text;
    for (const auto& r : references)
        text += r + L"\n";
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

class WorkOnCopyMarker : public FakeObject<ITovWorkOnCopy> {
  public:
    HRESULT STDMETHODCALLTYPE Unused3() override { return E_NOTIMPL; }
};

class Navigator : public NavigatorStub {
  public:
    Navigator(Script& script, std::wstring path, std::vector<std::wstring> lines)
        : script(script), path(std::move(path)), lines(std::move(lines)) {
        if (!script.withNavigator2)
            Hide(__uuidof(ITovFileNavigator2));
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == __uuidof(ITovWorkOnCopy) && script.workOnCopy) {
            *out = static_cast<ITovWorkOnCopy*>(new WorkOnCopyMarker);
            static_cast<IUnknown*>(*out)->AddRef();
            return S_OK;
        }
        return NavigatorStub::QueryInterface(iid, out);
    }
    HRESULT STDMETHODCALLTYPE SetOption(long option, long value) override {
        return NoThrow([&] {
            std::lock_guard<std::mutex> hold(script.lock);
            script.options.emplace_back(option, value);
            return script.Fail(Step::SetOption);
        });
    }
    HRESULT STDMETHODCALLTYPE SetFilePath(BSTR kept) override {
        return NoThrow([&] {
            std::lock_guard<std::mutex> hold(script.lock);
            script.filePathsSet.push_back(kept ? kept : L"");
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE GetReferences(ITovCallback*, long* count, TovRefData** refs) override {
        *count = 0;
        *refs = nullptr;
        if (FAILED(script.Fail(Step::Read)))
            return kInjected;
        auto* records = static_cast<TovRefData*>(CoTaskMemAlloc(sizeof(TovRefData) * (lines.size() + 1)));
        if (!records)
            return E_OUTOFMEMORY;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            records[i] = TovRefData{};
            records[i].mbsFilePath = SysAllocString(lines[i].c_str());
            records[i].mbsRefPath = SysAllocString(std::to_wstring(i).c_str());
            records[i].mlNumberC = 1;
        }
        *count = static_cast<long>(lines.size());
        *refs = records;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetReferences(ITovCallback*, long count, TovRefData* refs) override {
        if (FAILED(script.Fail(Step::Write)))
            return kInjected;
        for (long i = 0; i < count; ++i) {
            const std::size_t at = std::wcstoul(refs[i].mbsRefPath, nullptr, 10);
            if (at < lines.size())
                lines[at] = refs[i].mbsFilePath ? refs[i].mbsFilePath : L"";
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Save() override {
        return NoThrow([&] {
            if (script.beforeSave)
                script.beforeSave(path);
            if (script.failAt == Step::Save)
                return kInjected;
            const std::string text = Document(lines);
            // A plug-in that dies halfway through writing leaves half a file behind it.
            const std::size_t count = script.failAt == Step::TornSave ? text.size() / 2 : text.size();
            if (!WriteBytes(path, text, count))
                return E_FAIL;
            return script.failAt == Step::TornSave ? kInjected : S_OK;
        });
    }

    Script& script;
    const std::wstring path;
    std::vector<std::wstring> lines;
};

class Format : public FakeObject<ffm::FormatBase> {
  public:
    explicit Format(Script& script) : script(script) {}
    HRESULT STDMETHODCALLTYPE GetExtensionFlags(BSTR, unsigned long* mask) override {
        *mask = 0x9;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OpenFile(BSTR file, ITovCallback*, ITovFileNavigator** navigator) override {
        *navigator = nullptr;
        return NoThrow([&] {
            const std::wstring path = file ? file : L"";
            {
                std::lock_guard<std::mutex> hold(script.lock);
                script.opened.push_back(path);
            }
            if (FAILED(script.Fail(Step::Open)))
                return kInjected;
            std::string bytes;
            if (!ReadBytes(path, bytes))
                return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
            const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()),
                                    bytes.size() / sizeof(wchar_t));
            std::vector<std::wstring> lines;
            for (std::size_t at = 0; at < text.size();) {
                const std::size_t end = std::min(text.find(L'\n', at), text.size());
                lines.push_back(text.substr(at, end - at));
                at = end + 1;
            }
            *navigator = new Navigator(script, path, std::move(lines));
            (*navigator)->AddRef();
            return S_OK;
        });
    }
    Script& script;
};

} // namespace ffmtest::textref
