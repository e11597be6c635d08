#include "Report.h"

#include <FileFmtMgr/ResultCodes.h>
#include <algorithm>
#include <cstdio>
#include <oleauto.h>
#include <vector>

namespace fmtmgr {

namespace {

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

std::string Escaped(const std::string& utf8) {
    const auto special = [](unsigned char c) { return c < 0x20 || c == 0x7F || c == 0xC2 || c == 0xE2; };
    if (std::none_of(utf8.begin(), utf8.end(), special))
        return utf8;
    std::string out;
    out.reserve(utf8.size() + 16);
    char code[16];
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const auto next = [&](size_t k) {
            return i + k < utf8.size() ? static_cast<unsigned char>(utf8[i + k]) : 0;
        };
        if (c < 0x20 || c == 0x7F) {
            std::snprintf(code, sizeof(code), "\\x%02X", c);
        } else if (c == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) { // U+0080..U+009F
            std::snprintf(code, sizeof(code), "\\x%02X", next(1));
            ++i;
        } else if (c == 0xE2 && ((next(1) == 0x80 && ((next(2) >= 0x8E && next(2) <= 0x8F) ||
                                                      (next(2) >= 0xAA && next(2) <= 0xAE))) ||
                                 (next(1) == 0x81 && next(2) >= 0xA6 && next(2) <= 0xA9))) {
            // U+200E/F, U+202A..U+202E, U+2066..U+2069: marks and overrides of the text direction
            const unsigned cp = ((c & 0x0Fu) << 12) | ((next(1) & 0x3Fu) << 6) | (next(2) & 0x3Fu);
            std::snprintf(code, sizeof(code), "\\u%04X", cp);
            i += 2;
        } else {
            out += static_cast<char>(c);
            continue;
        }
        out += code;
    }
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

void CommandError::AddHint(const std::string& hint) {
    m_hint += (m_hint.empty() ? "" : "\n") + hint;
}

void ForgetErrorInfo() {
    SetErrorInfo(0, nullptr);
}

void Output::Line(const std::string& text) {
    m_buffer += Escaped(text);
    m_buffer += '\n';
}

void Output::Json(const nlohmann::json& value) {
    m_buffer += value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    m_buffer += '\n';
}

void Output::Json(const nlohmann::json& value, const std::string& list, size_t rows,
                  const std::function<nlohmann::json(size_t)>& row) {
    using nlohmann::json;
    json head = value;
    head[list] = json::array();
    std::string text = head.dump(2, ' ', false, json::error_handler_t::replace);
    // A member of the outer object starts a line with two blanks; no string holds a raw line break.
    const std::string empty = "\n  " + json(list).dump() + ": []";
    const size_t at = text.find(empty);
    m_buffer += text.substr(0, at + empty.size() - 1);
    for (size_t i = 0; i < rows; ++i) {
        m_buffer += i ? ",\n    " : "\n    ";
        const std::string item = row(i).dump(2, ' ', false, json::error_handler_t::replace);
        for (const char c : item) {
            m_buffer += c;
            if (c == '\n')
                m_buffer += "    ";
        }
    }
    m_buffer += rows ? "\n  ]" : "]";
    m_buffer += text.substr(at + empty.size());
    m_buffer += '\n';
}

void Output::Commit() {
    if (!m_buffer.empty())
        m_streams.Out(m_buffer);
    m_buffer.clear();
    m_buffer.shrink_to_fit();
}

void Output::Note(const std::string& text) const {
    if (!m_quiet)
        m_streams.Err(Escaped(text) + "\n");
}

void Output::Failure(const CommandError& error) const {
    const std::string meaning = Meaning(error.Code());
    if (m_json) {
        nlohmann::json e = {{"code", CodeText(error.Code())}, {"what", error.what()}, {"meaning", meaning}};
        if (!error.Description().empty())
            e["description"] = error.Description();
        if (!error.Hint().empty())
            e["hint"] = error.Hint();
        m_streams.Err(
            nlohmann::json{{"error", e}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
            "\n");
        return;
    }
    std::string text = "fmtmgr: " + Escaped(error.what()) + ": " + CodeText(error.Code());
    text += meaning.empty() ? ": a failure of the plug-in" : ": " + meaning;
    if (!error.Description().empty() && error.Description() != meaning)
        text += "\n  " + Escaped(error.Description());
    const std::string& hint = error.Hint();
    for (size_t start = 0; start < hint.size();) {
        const size_t end = std::min(hint.find('\n', start), hint.size());
        text += "\n  " + Escaped(hint.substr(start, end - start));
        start = end + 1;
    }
    m_streams.Err(text + "\n");
}

void Output::Failure(const UsageError& error) const {
    if (m_json)
        m_streams.Err(nlohmann::json{{"error", {{"usage", true}, {"what", error.what()}}}}.dump(
                          -1, ' ', false, nlohmann::json::error_handler_t::replace) +
                      "\n");
    else
        m_streams.Err("fmtmgr: " + Escaped(error.what()) + "\nRun with --help for more information.\n");
}

} // namespace fmtmgr
