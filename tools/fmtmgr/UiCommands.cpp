#include "UiCommands.h"

#include <FileFmtMgr/FileFormatMgr.h>
#include <cwctype>
#include <vector>

using nlohmann::json;

namespace fmtmgr {
namespace {

constexpr const wchar_t* kManagerKey = L"Software\\Mordane\\Applications\\Quillan\\FileFmtMgr";
constexpr const wchar_t* kListValue = L"ExcludeExtList";

// The stored list; nullopt when the value is missing or not a string.
std::optional<std::wstring> ReadList() {
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, kManagerKey, kListValue, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(HKEY_CURRENT_USER, kManagerKey, kListValue, RRF_RT_REG_SZ, nullptr, text.data(),
                     &bytes) != ERROR_SUCCESS)
        return std::nullopt;
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

void WriteList(const std::wstring& list) {
    const LSTATUS rc = RegSetKeyValueW(HKEY_CURRENT_USER, kManagerKey, kListValue, REG_SZ, list.c_str(),
                                       static_cast<DWORD>((list.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS)
        throw CommandError(HRESULT_FROM_WIN32(rc), "cannot store the list of excluded extensions");
}

std::vector<std::wstring> Entries(const std::wstring& list) {
    std::vector<std::wstring> entries;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = std::min(list.find(L',', start), list.size());
        entries.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return entries;
}

// The dialog's stored form: extensions without dots, separated by single commas, no blanks.
bool InStoredForm(const std::wstring& list) {
    if (list.empty())
        return true;
    for (const std::wstring& e : Entries(list))
        if (e.empty() || e[0] == L'.' ||
            std::any_of(e.begin(), e.end(), [](wchar_t c) { return std::iswspace(c); }))
            return false;
    return true;
}

std::wstring Upper(std::wstring text) {
    for (auto& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

void Initialize() {
    ForgetErrorInfo();
    const HRESULT hr = gpoGetFileFormatMgr()->mhInitialize(nullptr);
    if (FAILED(hr))
        throw CommandError(hr, "cannot initialise the file format manager");
}

// The stored list and, for each of its entries, whether the preview pane now refuses it.
void ShowList(Output& out, const std::optional<bool>& confirmed) {
    const std::optional<std::wstring> list = ReadList();
    json rows = json::array();
    std::vector<std::string> lines;
    if (list && !list->empty())
        for (const std::wstring& e : Entries(*list)) {
            const std::wstring extension = Upper(e);
            const bool excluded = gpoGetFileFormatMgr()->mbIsExcludedFromPreview(extension.c_str()) != 0;
            rows.push_back({{"extension", Utf8(extension)}, {"excludedFromPreview", excluded}});
            lines.push_back(Utf8(extension) + (excluded ? "  excluded from preview" : "  (not excluded)"));
        }
    if (out.IsJson()) {
        json result{{"list", list ? json(Utf8(*list)) : json(nullptr)}, {"extensions", rows}};
        if (confirmed)
            result["confirmed"] = *confirmed;
        return out.Json(result);
    }
    if (confirmed)
        out.Line(*confirmed ? "Confirmed with OK." : "Cancelled; nothing changed.");
    if (!list)
        return out.Line("No extension is excluded from preview (ExcludeExtList is not set).");
    out.Line("ExcludeExtList = \"" + Utf8(*list) + "\"");
    for (const auto& line : lines)
        out.Line(line);
}

} // namespace

void AddUiCommands(CLI::App& app, UiCommands& commands) {
    commands.excluded = app.add_subcommand(
        "excluded", "the extensions kept out of the preview pane: show, set, or edit them");
    auto* set =
        commands.excluded
            ->add_option("--set", commands.set, "store this list, extensions without dots: \"exe,dll,tmp\"")
            ->check([](const std::string& list) {
                return InStoredForm(Wide(list))
                           ? std::string()
                           : std::string("give extensions without dots, separated by commas, like "
                                         "\"exe,dll,tmp\"");
            });
    auto* dialog = commands.excluded->add_flag("--dialog", commands.dialog,
                                               "edit the list in the Excluded File Types dialog");
    set->excludes(dialog);
}

bool RunUiCommand(Output& out, const UiCommands& commands) {
    if (!commands.excluded->parsed())
        return false;
    if (commands.set)
        WriteList(Wide(*commands.set));
    Initialize();
    std::optional<bool> confirmed;
    if (commands.dialog)
        confirmed = gpoGetFileFormatMgr()->mbEditExcludedExtensions(nullptr);
    ShowList(out, confirmed);
    return true;
}

} // namespace fmtmgr
