#include "UiCommands.h"

#include "Commands.h"
#include "ContentCommands.h"
#include "PreviewPane.h"
#include "WindowCapture.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <FileFmtMgr/Handles.h>
#include <FileFmtMgr/MenuExtension.h>
#include <chrono>
#include <cwctype>
#include <thread>
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
void ShowList(Output& out, const std::optional<bool>& confirmed, const std::wstring& png) {
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
        if (!png.empty())
            result["png"] = Utf8(png);
        return out.Json(result);
    }
    if (!png.empty())
        out.Line("Picture of the dialog written to " + Utf8(png) + "; the dialog was cancelled.");
    else if (confirmed)
        out.Line(*confirmed ? "Confirmed with OK." : "Cancelled; nothing changed.");
    if (!list)
        return out.Line("No extension is excluded from preview (ExcludeExtList is not set).");
    out.Line("ExcludeExtList = \"" + Utf8(*list) + "\"");
    for (const auto& line : lines)
        out.Line(line);
}

// The dialog of this process, once it is shown; null when none appears within the limit.
HWND WaitForOwnDialog(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        HWND found = nullptr;
        EnumWindows(
            [](HWND window, LPARAM param) -> BOOL {
                DWORD pid = 0;
                GetWindowThreadProcessId(window, &pid);
                wchar_t cls[16] = {};
                GetClassNameW(window, cls, 16);
                if (pid != GetCurrentProcessId() || wcscmp(cls, L"#32770") != 0 || !IsWindowVisible(window))
                    return TRUE;
                *reinterpret_cast<HWND*>(param) = window;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&found));
        if (found)
            return found;
        Sleep(20);
    } while (std::chrono::steady_clock::now() < deadline);
    return nullptr;
}

// Runs the dialog while a second thread takes its picture once it has painted, then cancels it.
bool PictureOfTheDialog(const std::wstring& png) {
    HRESULT saved = E_FAIL;
    std::thread photographer([&] {
        HWND dialog = WaitForOwnDialog(std::chrono::seconds(10));
        if (!dialog)
            return;
        Sleep(300);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        saved = capture::SavePng(capture::CaptureClient(dialog), png);
        CoUninitialize();
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    });
    gpoGetFileFormatMgr()->mbEditExcludedExtensions(nullptr);
    photographer.join();
    if (FAILED(saved))
        throw CommandError(saved, "cannot take a picture of the dialog for " + Utf8(png));
    return false;
}

std::string StateText(UINT state) {
    std::string text;
    const auto add = [&](const char* word) { text += (text.empty() ? "" : ", ") + std::string(word); };
    if (state & MF_CHECKED)
        add("checked");
    if (state & MF_GRAYED)
        add("grayed");
    if (state & MF_DEFAULT)
        add("default");
    return text;
}

// The items of a menu the library filled, with their ids, states and help texts.
void ShowMenu(Output& out, const std::string& heading, HMENU menu, MenuExtension& extension) {
    json items = json::array();
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        const UINT id = GetMenuItemID(menu, i);
        std::wstring text(static_cast<size_t>(GetMenuStringW(menu, i, nullptr, 0, MF_BYPOSITION)) + 1, L'\0');
        text.resize(static_cast<size_t>(
            GetMenuStringW(menu, i, text.data(), static_cast<int>(text.size()), MF_BYPOSITION)));
        items.push_back({{"id", id},
                         {"text", Utf8(text)},
                         {"help", Utf8(extension.moGetContextHelp(static_cast<int>(id)))},
                         {"state", StateText(GetMenuState(menu, i, MF_BYPOSITION))}});
    }
    if (out.IsJson())
        return out.Json({{"menu", heading}, {"items", items}});
    out.Line(heading + (items.empty() ? ": no items." : ":"));
    for (const auto& item : items) {
        const std::string state = item["state"];
        out.Line("  " + std::to_string(item["id"].get<unsigned>()) + "  " + item["text"].get<std::string>() +
                 (state.empty() ? "" : "  [" + state + "]"));
        out.Line("         " + item["help"].get<std::string>());
    }
}

// The items the preview pane's view menu offers while file is shown in it.
void ListViewMenu(Output& out, const std::wstring& file, int firstId) {
    PreviewPane pane(out, file, 640, 480);
    const ffm::UniqueHMenu menu(CreatePopupMenu());
    MenuExtension extension;
    ForgetErrorInfo();
    try {
        pane.Previews().mbGetViewMenuExtension(menu.get(), extension, firstId, -1);
    } catch (const ffm::ComError& e) {
        throw CommandError(e.Error(), "cannot build the view menu");
    }
    ShowMenu(out, "View menu while " + Utf8(file) + " is shown", menu.get(), extension);
}

// The context menu of inner files; filled into menu and extension.
void FillSubFileMenu(HMENU menu, MenuExtension& extension, const std::wstring& file, InnerSelection& inner,
                     int firstId) {
    ForgetErrorInfo();
    const HRESULT hr =
        gpoGetFileFormatMgr()->mhGetSubFileContextMenu(menu, inner.Selected(), extension, firstId, -1);
    if (FAILED(hr))
        throw CommandError(hr, "the plug-in offers no menu for inner files of " + Utf8(file));
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

void ListSubFileMenu(Output& out, const std::wstring& file, const std::vector<std::string>& names,
                     int firstId) {
    InnerSelection inner(out, file, names);
    const ffm::UniqueHMenu menu(CreatePopupMenu());
    MenuExtension extension;
    FillSubFileMenu(menu.get(), extension, file, inner, firstId);
    ShowMenu(out, "Context menu of " + Joined(names) + " in " + Utf8(file), menu.get(), extension);
}

// Picks the item with id in the context menu of the inner files, as a user would.
void RunSubFileCommand(Output& out, const std::wstring& file, const std::vector<std::string>& names,
                       int firstId, int id) {
    InnerSelection inner(out, file, names);
    const ffm::UniqueHMenu menu(CreatePopupMenu());
    MenuExtension extension;
    FillSubFileMenu(menu.get(), extension, file, inner, firstId);
    if (GetMenuState(menu.get(), static_cast<UINT>(id), MF_BYCOMMAND) == static_cast<UINT>(-1))
        throw CommandError(E_INVALIDARG,
                           "the context menu of " + Joined(names) + " has no item " + std::to_string(id),
                           "fmtmgr menu " + Utf8(file) + " --sub ... lists the items");
    ForgetErrorInfo();
    bool refresh = false;
    if (!extension.mbOnMenuItem(id, menu.get(), nullptr, inner.Callback(), &refresh))
        throw CommandError(E_FAIL, "the plug-in could not carry out item " + std::to_string(id));
    if (out.IsJson())
        return out.Json({{"file", Utf8(file)}, {"id", id}, {"refresh", refresh}});
    out.Line("Item " + std::to_string(id) + " carried out" +
             (refresh ? "; the plug-in asks for a refresh." : "."));
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
    commands.excluded
        ->add_option("--png", commands.png,
                     "with --dialog: save a picture of the open dialog, then cancel it")
        ->needs(dialog);

    commands.menu = app.add_subcommand(
        "menu",
        "the preview pane's view menu while FILE is shown, or with --sub the context menu of inner files");
    commands.menu->add_option("FILE", commands.file, "the file (the container with --sub)")->required();
    commands.menu->add_option("--sub", commands.inner,
                              "an inner file of FILE, as subfiles names it (repeatable)");
    commands.menu->add_option("--first-id", commands.firstId,
                              "the first command id to hand out (default 40000)");

    commands.run =
        app.add_subcommand("run", "carries out an item of the context menu of inner files of FILE");
    commands.run->add_option("FILE", commands.file, "the container file")->required();
    commands.run
        ->add_option("--sub", commands.inner, "an inner file of FILE, as subfiles names it (repeatable)")
        ->required();
    commands.run->add_option("--command", commands.command, "the item's id, as menu lists it")->required();
    commands.run->add_option("--first-id", commands.firstId,
                             "the first command id to hand out (default 40000)");
}

bool RunUiCommand(Output& out, const UiCommands& commands) {
    if (commands.menu->parsed()) {
        const std::wstring file = FullPath(Wide(commands.file));
        if (commands.inner.empty())
            ListViewMenu(out, file, commands.firstId);
        else
            ListSubFileMenu(out, file, commands.inner, commands.firstId);
        return true;
    }
    if (commands.run->parsed()) {
        RunSubFileCommand(out, FullPath(Wide(commands.file)), commands.inner, commands.firstId,
                          commands.command);
        return true;
    }
    if (!commands.excluded->parsed())
        return false;
    if (commands.set)
        WriteList(Wide(*commands.set));
    Initialize();
    std::optional<bool> confirmed;
    const std::wstring png = commands.png.empty() ? std::wstring() : FullPath(Wide(commands.png));
    if (commands.dialog)
        confirmed =
            png.empty() ? gpoGetFileFormatMgr()->mbEditExcludedExtensions(nullptr) : PictureOfTheDialog(png);
    ShowList(out, confirmed, png);
    return true;
}

} // namespace fmtmgr
