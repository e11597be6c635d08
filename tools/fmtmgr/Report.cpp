#include "Report.h"

#include <FileFmtMgr/ComPtr.h>
#include <FileFmtMgr/Handles.h>
#include <FileFmtMgr/ResultCodes.h>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <oleauto.h>
#include <vector>

namespace fmtmgr {

namespace {

std::string TakeErrorDescription() {
    ffm::ComPtr<IErrorInfo> info;
    ffm::UniqueBstr description;
    if (GetErrorInfo(0, info.put()) == S_OK && info && SUCCEEDED(info->GetDescription(description.put())) &&
        description)
        return Utf8(std::wstring(description.get(), SysStringLen(description.get())));
    return {};
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

std::string Utf8(std::wstring_view text) {
    std::string out;
    AppendUtf8(out, text);
    return out;
}

void AppendUtf8(std::string& out, std::wstring_view text) {
    // Paths and names are mostly ASCII, which is its own UTF-8.
    if (std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; })) {
        const size_t at = out.size();
        out.resize(at + text.size());
        std::transform(text.begin(), text.end(), out.begin() + at,
                       [](wchar_t c) { return static_cast<char>(c); });
        return;
    }
    // A UTF-16 unit becomes at most three bytes.
    const size_t at = out.size();
    out.resize(at + 3 * text.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data() + at,
                                      static_cast<int>(3 * text.size()), nullptr, nullptr);
    out.resize(at + static_cast<size_t>(std::max(n, 0)));
}

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return {};
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return std::wstring(text.begin(), text.end()); // ASCII is the same in UTF-16
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Escaped(std::string_view utf8) {
    std::string out;
    AppendEscaped(out, utf8);
    return out;
}

void AppendEscaped(std::string& out, std::string_view utf8) {
    const auto special = [](unsigned char c) { return c < 0x20 || c == 0x7F || c == 0xC2 || c == 0xE2; };
    if (std::none_of(utf8.begin(), utf8.end(), special)) {
        out += utf8;
        return;
    }
    out.reserve(out.size() + utf8.size() + 16);
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

void CommandError::AddHint(const std::string& hint) {
    m_hint += (m_hint.empty() ? "" : "\n") + hint;
}

void ForgetErrorInfo() {
    SetErrorInfo(0, nullptr);
}

void Output::Line(std::string_view text) {
    AppendEscaped(m_buffer, text);
    m_buffer += '\n';
}

void Output::Headline(std::string_view text) {
    std::string line;
    AppendEscaped(line, text);
    line += '\n';
    m_buffer.insert(0, line);
}

void Output::Spill() {
    constexpr size_t kPieceBytes = 512 * 1024;
    if (m_buffer.size() < kPieceBytes)
        return;
    m_streams.Out(m_buffer);
    m_buffer.clear();
}

void Output::Commit() {
    if (m_json)
        m_buffer += '\n';
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
        std::string text;
        JsonWriter e(text, true);
        e.Object().Key("error").Object().Member("code", CodeText(error.Code()));
        if (!error.Description().empty())
            e.Member("description", error.Description());
        if (!error.Hint().empty())
            e.Member("hint", error.Hint());
        e.Member("meaning", meaning).Member("what", std::string(error.what())).End().End();
        m_streams.Err(text + "\n");
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
    if (!m_json) {
        m_streams.Err("fmtmgr: " + Escaped(error.what()) + "\nRun with --help for more information.\n");
        return;
    }
    std::string text;
    JsonWriter(text, true)
        .Object()
        .Key("error")
        .Object()
        .Member("usage", true)
        .Member("what", std::string(error.what()))
        .End()
        .End();
    m_streams.Err(text + "\n");
}

JsonWriter& JsonWriter::Object() {
    Open('{');
    return *this;
}

JsonWriter& JsonWriter::Array() {
    Open('[');
    return *this;
}

void JsonWriter::Open(char bracket) {
    BeforeValue();
    m_text += bracket;
    m_levels.push_back({bracket == '[', 0});
}

JsonWriter& JsonWriter::End() {
    const Level level = m_levels.back();
    m_levels.pop_back();
    if (level.count)
        NewLine(m_levels.size());
    m_text += level.array ? ']' : '}';
    return *this;
}

void JsonWriter::NewLine(size_t depth) {
    if (m_compact)
        return;
    m_text += '\n';
    m_text.append(2 * depth, ' ');
}

// A value in an array, or a key in an object, starts a new line after a comma.
void JsonWriter::BeforeValue() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (m_levels.empty())
        return;
    if (m_levels.back().count++)
        m_text += ',';
    NewLine(m_levels.size());
}

JsonWriter& JsonWriter::Key(std::string_view key) {
    BeforeValue();
    Quote(key);
    m_text += m_compact ? ":" : ": ";
    m_afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
    BeforeValue();
    Quote(value);
    return *this;
}

JsonWriter& JsonWriter::String(std::wstring_view value) {
    m_utf8.clear();
    AppendUtf8(m_utf8, value);
    return String(std::string_view(m_utf8));
}

void JsonWriter::Quote(std::string_view value) {
    m_text += '"';
    const auto plain = [](char c) { return c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20; };
    for (size_t i = 0; i < value.size(); ++i) {
        // Runs of characters that need no escape go in one piece.
        const size_t run = std::find_if_not(value.begin() + i, value.end(), plain) - value.begin();
        m_text.append(value, i, run - i);
        if (run == value.size())
            break;
        i = run;
        const char c = value[i];
        switch (c) {
        case '"':
            m_text += "\\\"";
            break;
        case '\\':
            m_text += "\\\\";
            break;
        case '\b':
            m_text += "\\b";
            break;
        case '\f':
            m_text += "\\f";
            break;
        case '\n':
            m_text += "\\n";
            break;
        case '\r':
            m_text += "\\r";
            break;
        case '\t':
            m_text += "\\t";
            break;
        default: {
            char code[8];
            std::snprintf(code, sizeof(code), "\\u%04x", static_cast<unsigned>(c));
            m_text += code;
        }
        }
    }
    m_text += '"';
}

JsonWriter& JsonWriter::Number(long long value) {
    BeforeValue();
    char digits[24];
    m_text.append(digits, std::to_chars(digits, digits + sizeof(digits), value).ptr);
    return *this;
}

JsonWriter& JsonWriter::Number(double value) {
    BeforeValue();
    if (!std::isfinite(value)) {
        m_text += "null";
        return *this;
    }
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    const std::string_view text(digits, static_cast<size_t>(end - digits));
    m_text += text;
    if (text.find_first_of(".e") == std::string_view::npos)
        m_text += ".0";
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    m_text += value ? "true" : "false";
    return *this;
}

} // namespace fmtmgr
