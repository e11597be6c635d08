#include "Report.h"

#include <FileFmtMgr/ResultCodes.h>
#include <cstdio>
#include <oleauto.h>
#include <vector>

namespace fmtmgr {

namespace {

void Write(FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

std::string TakeErrorDescription() {
    IErrorInfo* info = nullptr;
    std::string text;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR description = nullptr;
        if (SUCCEEDED(info->GetDescription(&description)) && description)
            text = Utf8(std::wstring(description, SysStringLen(description)));
        SysFreeString(description);
        info->Release();
    }
    return text;
}

std::string SystemMessage(HRESULT hr) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer ? buffer : L"", n);
    LocalFree(buffer);
    while (!text.empty() &&
           (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.' || text.back() == L' '))
        text.pop_back();
    return Utf8(text);
}

} // namespace

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string CodeText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::string Meaning(HRESULT hr) {
    switch (hr) {
    case ffm::FFM_E_NO_PLUGIN:
        return "no plug-in serves this extension with the requested capability";
    case ffm::FFM_E_REDIRECT_FAILED:
        return "the plug-in the file was redirected to could not open it either";
    case ffm::FFM_E_PREVIEW_EXCLUDED:
        return "the extension is excluded from previews";
    case ffm::FFM_E_PDF_VIEW_OPEN:
        return "an outside PDF view is open";
    case ffm::FFM_E_NO_NAVIGATOR:
        return "the plug-in gives no navigator for this file";
    case ffm::FFM_E_FILE_NOT_FOUND:
        return "file not found, or its date cannot be shown";
    case ffm::FFM_E_FILE_NOT_PREPARED:
        return "the file's attributes or time cannot be read or changed";
    case ffm::FFM_E_COPY_FAILED:
        return "copying a file failed";
    case E_POINTER:
        return "the plug-in returned no object";
    case E_NOINTERFACE:
        return "the plug-in lacks an interface the operation needs";
    case E_NOTIMPL:
        return "not implemented by the plug-in or the library";
    case E_OUTOFMEMORY:
        return "out of memory";
    case REGDB_E_CLASSNOTREG:
        return "the plug-in's COM class is not registered";
    default:
        return HRESULT_FACILITY(hr) == FACILITY_WIN32 || hr == E_INVALIDARG || hr == E_ACCESSDENIED
                   ? SystemMessage(hr)
                   : std::string();
    }
}

std::string MaskText(unsigned long mask) {
    static const struct {
        unsigned long bit;
        const char* name;
    } known[] = {
        {0x1, "reference update"}, {0x4, "preview"}, {0x10, "preview menu"}, {0x4000, "size and date"}};
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%lX", mask);
    std::string names;
    unsigned long rest = mask;
    for (const auto& k : known)
        if (mask & k.bit) {
            names += (names.empty() ? "" : ", ") + std::string(k.name);
            rest &= ~k.bit;
        }
    if (rest && !names.empty()) {
        char other[16];
        std::snprintf(other, sizeof(other), "0x%lX", rest);
        names += std::string(", ") + other;
    }
    return names.empty() ? hex : std::string(hex) + " (" + names + ")";
}

std::string DateText(double date, char separator) {
    SYSTEMTIME st{};
    if (date == 0 || !VariantTimeToSystemTime(date, &st))
        return "-";
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u%c%02u:%02u:%02u", st.wYear, st.wMonth, st.wDay,
                  separator, st.wHour, st.wMinute, st.wSecond);
    return text;
}

CommandError::CommandError(HRESULT hr, const std::string& what, std::string hint)
    : std::runtime_error(what), m_hr(hr), m_description(TakeErrorDescription()), m_hint(std::move(hint)) {}

void ForgetErrorInfo() {
    SetErrorInfo(0, nullptr);
}

void Output::Line(const std::string& text) const {
    Write(stdout, text);
}

void Output::Json(const nlohmann::json& value) const {
    Write(stdout, value.dump(2));
}

void Output::Note(const std::string& text) const {
    if (!m_quiet)
        Write(stderr, text);
}

void Output::Failure(const CommandError& error) const {
    const std::string meaning = Meaning(error.Code());
    if (m_json) {
        nlohmann::json e = {{"code", CodeText(error.Code())}, {"what", error.what()}, {"meaning", meaning}};
        if (!error.Description().empty())
            e["description"] = error.Description();
        if (!error.Hint().empty())
            e["hint"] = error.Hint();
        Write(stderr, nlohmann::json{{"error", e}}.dump());
        return;
    }
    std::string text = "fmtmgr: " + std::string(error.what()) + ": " + CodeText(error.Code());
    text += meaning.empty() ? ": a failure of the plug-in" : ": " + meaning;
    if (!error.Description().empty() && error.Description() != meaning)
        text += "\n  " + error.Description();
    if (!error.Hint().empty())
        text += "\n  " + error.Hint();
    Write(stderr, text);
}

} // namespace fmtmgr
