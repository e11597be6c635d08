#include "MrdPreview.h"

#include <FileFmtMgr/MenuItems.h>
#include <FileFmtMgr/PreviewView.h>
#include <algorithm>
#include <shlwapi.h>
#include <vector>

namespace mrd {

namespace {

constexpr wchar_t kViewClass[] = L"MrdPreviewView";
constexpr UINT_PTR kWatchTimer = 1;
constexpr UINT kWatchMs = 500;
constexpr HRESULT kShowElsewhere = static_cast<HRESULT>(0x8004027D);
// Our view-menu commands: the two layouts.
constexpr long kCommandDetailed = 1;
constexpr long kCommandCompact = 2;

const wchar_t* ExtensionOf(FileKind kind) {
    switch (kind) {
    case FileKind::Assembly:
        return L"mrdasm";
    case FileKind::Part:
        return L"mrdprt";
    default:
        return L"mrddrw";
    }
}

const wchar_t* KindText(FileKind kind) {
    switch (kind) {
    case FileKind::Assembly:
        return L"Assembly";
    case FileKind::Part:
        return L"Part";
    default:
        return L"Drawing";
    }
}

// The kind the header line "MRD 1 <kind>" names; false when there is no such line.
bool HeaderKind(const std::wstring& text, FileKind& kind) {
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        line.erase(0, line.find_first_not_of(L" \t\r"));
        line.erase(line.find_last_not_of(L" \t\r") + 1);
        if (line.empty() || line[0] == L'#' || line[0] == L';')
            continue;
        const size_t space = line.find_last_of(L" \t");
        if (line.compare(0, 3, L"MRD") != 0 || space == std::wstring::npos)
            return false;
        const std::wstring name = line.substr(space + 1);
        for (FileKind k : {FileKind::Assembly, FileKind::Part, FileKind::Drawing})
            if (SameText(name, KindText(k))) {
                kind = k;
                return true;
            }
        return false;
    }
    return false;
}

FILETIME LastWrite(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return FILETIME{};
    return data.ftLastWriteTime;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

// One reference as the picture shows it.
struct Shown {
    std::wstring key, path, uses;
    long kind = kKindComponent;
    bool found = true;
};

struct Preview::State : ffm::ViewState {
    void Paint(HDC dc, const RECT& client) override;
    // The window checks the file on a timer from its creation on.
    bool OnMessage(HWND view, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

    std::mutex lock;
    bool hasFile = false;
    std::wstring path;
    FILETIME written{};
    FileKind kind = FileKind::Part;
    std::wstring name, title, sheet;
    std::vector<std::wstring> configurations;
    std::vector<std::pair<std::wstring, std::vector<std::wstring>>> properties; // label, value per column
    std::vector<Shown> references;
    bool detailing = false;
    bool compact = false; // one line per reference, without its uses (the view menu switches it)
    ffm::ComPtr<ITovCallback> callback; // the show's; asked to show the file again when it changes
    std::wstring redirectPath;          // a file GetTargetExtension named a kind for
    FileKind redirectKind = FileKind::Part;
};

namespace {

using State = Preview::State;

// Reads path and lays it out into state. Declines (0x8004027D) a file whose header names another
// kind than its extension, unless that kind was named for it (the redirected show).
HRESULT LoadInto(State& state, const std::wstring& path) {
    FileState file;
    const std::wstring text = ReadTextFile(path, file);
    const FILETIME written = file.lastWrite;
    FileKind kind;
    const bool ours = KindOfExtension(PathFindExtensionW(path.c_str()), kind);
    FileKind named;
    const bool hasHeader = HeaderKind(text, named);
    {
        std::lock_guard<std::mutex> hold(state.lock);
        if (!state.redirectPath.empty() && SameText(state.redirectPath, path)) {
            kind = state.redirectKind;
            state.redirectPath.clear();
        } else if (!ours) {
            throw Failure(MRD_E_NOT_MRD_FILE, path + L" is not an .mrdasm, .mrdprt or .mrddrw file.");
        } else if (hasHeader && named != kind) {
            return kShowElsewhere;
        }
    }
    const Document doc(text, kind);

    const std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
    std::vector<Shown> references;
    for (const Reference& r : doc.References()) {
        Shown s{std::wstring(r.key), r.storedPath, L"", r.kind, true};
        const bool absolute =
            r.storedPath.size() > 1 && (r.storedPath[1] == L':' || r.storedPath[0] == L'\\');
        s.found = Exists(absolute ? r.storedPath : folder + r.storedPath);
        // Repeated uses (four bolts) read as one with a count.
        std::vector<std::pair<std::wstring, int>> uses;
        for (const Use& u : doc.UsesOf(r)) {
            std::wstring text(u.config.empty() ? L"-" : u.config);
            text.append(L" > ").append(u.childConfig.empty() ? L"-" : u.childConfig);
            if (u.suppressed)
                text += L" (suppressed)";
            if (u.excluded)
                text += L" (excluded)";
            if (!uses.empty() && uses.back().first == text)
                ++uses.back().second;
            else
                uses.emplace_back(std::move(text), 1);
        }
        for (const auto& [text, count] : uses)
            s.uses += (s.uses.empty() ? L"" : L"  \x00B7  ") + text +
                      (count > 1 ? L" \x00D7" + std::to_wstring(count) : std::wstring());
        references.push_back(std::move(s));
    }
    // One row per property name; one column per configuration (or the file-wide value alone).
    std::vector<std::wstring> columns = doc.Configurations();
    if (columns.empty())
        columns.push_back(L"");
    std::vector<std::pair<std::wstring, std::vector<std::wstring>>> properties;
    for (const Property& p : doc.Properties()) {
        // Custom properties are what people name; other blocks keep their prefix.
        const std::wstring label = SameText(p.block, L"CustomProperty") ? p.name : p.block + L":" + p.name;
        if (std::any_of(properties.begin(), properties.end(),
                        [&](const auto& row) { return row.first == label; }))
            continue;
        std::vector<std::wstring> values;
        for (const std::wstring& config : columns) {
            bool inherited = false;
            const Property* found = doc.FindProperty(config, p.block, p.name, inherited);
            values.push_back(found ? found->value : L"");
        }
        properties.emplace_back(label, std::move(values));
    }
    const auto custom = [&](const wchar_t* name) {
        bool inherited = false;
        const Property* p = doc.FindProperty(columns.front(), L"CustomProperty", name, inherited);
        return p ? p->value : std::wstring();
    };

    std::lock_guard<std::mutex> hold(state.lock);
    state.hasFile = true;
    state.path = path;
    state.written = written;
    state.kind = kind;
    state.name = path.substr(path.find_last_of(L"\\/") + 1);
    state.title = custom(L"Title");
    state.sheet = custom(L"Sheet");
    state.configurations = doc.Configurations();
    state.properties = std::move(properties);
    state.references = std::move(references);
    state.detailing = doc.DetailingMode();
    return S_OK;
}

// ---- Painting -----------------------------------------------------------------------------------

constexpr COLORREF kInk = RGB(30, 30, 30);
constexpr COLORREF kGrey = RGB(110, 110, 110);
constexpr COLORREF kBand = RGB(40, 70, 110);
constexpr COLORREF kPaper = RGB(255, 255, 255);
constexpr COLORREF kBox = RGB(232, 238, 246);
constexpr COLORREF kMissing = RGB(190, 30, 30);

class Gdi {
  public:
    explicit Gdi(HDC dc) : m_dc(dc) {
        m_body = Font(14, FW_NORMAL);
        m_bold = Font(14, FW_BOLD);
        m_big = Font(20, FW_BOLD);
        m_old = SelectObject(dc, m_body);
        SetBkMode(dc, TRANSPARENT);
    }
    Gdi(const Gdi&) = delete;
    Gdi& operator=(const Gdi&) = delete;
    ~Gdi() {
        SelectObject(m_dc, m_old);
        for (HGDIOBJ o : {m_body, m_bold, m_big})
            DeleteObject(o);
    }
    void Text(int x, int y, int right, const std::wstring& text, COLORREF colour, HFONT font = nullptr) {
        SelectObject(m_dc, font ? font : m_body);
        SetTextColor(m_dc, colour);
        RECT r{x, y, std::max(x, right), y + 24};
        DrawTextW(m_dc, text.c_str(), static_cast<int>(text.size()), &r,
                  DT_LEFT | DT_TOP | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
    }
    void Fill(const RECT& r, COLORREF colour) {
        HBRUSH b = CreateSolidBrush(colour);
        FillRect(m_dc, &r, b);
        DeleteObject(b);
    }
    void Frame(const RECT& r, COLORREF colour, int width = 1) {
        HPEN pen = CreatePen(PS_SOLID, width, colour);
        HGDIOBJ oldPen = SelectObject(m_dc, pen);
        HGDIOBJ oldBrush = SelectObject(m_dc, GetStockObject(NULL_BRUSH));
        Rectangle(m_dc, r.left, r.top, r.right, r.bottom);
        SelectObject(m_dc, oldBrush);
        SelectObject(m_dc, oldPen);
        DeleteObject(pen);
    }
    void Line(int x1, int y1, int x2, int y2, COLORREF colour) {
        HPEN pen = CreatePen(PS_SOLID, 1, colour);
        HGDIOBJ old = SelectObject(m_dc, pen);
        MoveToEx(m_dc, x1, y1, nullptr);
        LineTo(m_dc, x2, y2);
        SelectObject(m_dc, old);
        DeleteObject(pen);
    }
    HFONT Bold() const { return m_bold; }
    HFONT Big() const { return m_big; }

  private:
    static HFONT Font(int height, int weight) {
        return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma");
    }
    HDC m_dc;
    HFONT m_body, m_bold, m_big;
    HGDIOBJ m_old;
};

// An assembly: the file at the root, each reference a box on a branch, with its path, kind and uses.
void PaintAssembly(Gdi& g, const RECT& r, const State& s) {
    int y = 48;
    RECT root{12, y, std::min<LONG>(r.right - 12, 360), y + 28};
    g.Fill(root, kBox);
    g.Frame(root, kBand);
    g.Text(root.left + 8, y + 6, root.right - 4, s.title.empty() ? s.name : s.title, kInk, g.Bold());
    y = root.bottom + 12;
    const int trunk = 28;
    int lastMid = root.bottom;
    const int height = s.compact ? 24 : 42;
    for (const Shown& ref : s.references) {
        RECT box{trunk + 20, y, r.right - 12, y + height};
        const int mid = y + height / 2;
        g.Line(trunk, lastMid, trunk, mid, kBand);
        g.Line(trunk, mid, box.left, mid, kBand);
        lastMid = mid;
        g.Fill(box, ref.found ? kBox : RGB(250, 230, 230));
        g.Frame(box, ref.found ? kBand : kMissing);
        std::wstring head = ref.key + L"   " + ref.path;
        if (ref.kind == kKindFrozen)
            head += L"   [frozen]";
        else if (ref.kind == kKindView)
            head += L"   [view]";
        if (!ref.found)
            head += L"   (missing)";
        g.Text(box.left + 8, y + 4, box.right - 6, head, ref.found ? kInk : kMissing, g.Bold());
        if (!s.compact)
            g.Text(box.left + 8, y + 22, box.right - 6, ref.uses, kGrey);
        y = box.bottom + (s.compact ? 4 : 8);
    }
    if (s.references.empty())
        g.Text(20, y, r.right - 12, L"(no references)", kGrey);
}

// A part: its name, its configurations, and its properties with one column per configuration.
void PaintPart(Gdi& g, const RECT& r, const State& s) {
    int y = 46;
    g.Text(12, y, r.right - 12, s.title.empty() ? s.name : s.title, kInk, g.Big());
    y += 30;
    std::wstring configs;
    for (const auto& c : s.configurations)
        configs += (configs.empty() ? L"" : L", ") + c;
    g.Text(12, y, r.right - 12, L"Configurations: " + (configs.empty() ? std::wstring(L"(none)") : configs),
           kGrey);
    y += 28;
    const int labelWidth = std::min<int>(220, (r.right - 24) / 3);
    const int columns = static_cast<int>(std::max<size_t>(1, s.configurations.size()));
    const int columnWidth = std::max(40, static_cast<int>((r.right - 24 - labelWidth) / columns));
    RECT head{12, y, r.right - 12, y + 22};
    g.Fill(head, kBand);
    g.Text(18, y + 3, 12 + labelWidth, L"Property", kPaper, g.Bold());
    for (int c = 0; c < columns; ++c)
        g.Text(12 + labelWidth + c * columnWidth + 6, y + 3, 12 + labelWidth + (c + 1) * columnWidth,
               s.configurations.empty() ? std::wstring(L"Value") : s.configurations[c], kPaper, g.Bold());
    y += 22;
    bool shade = false;
    for (const auto& [label, values] : s.properties) {
        RECT row{12, y, r.right - 12, y + 22};
        if ((shade = !shade))
            g.Fill(row, kBox);
        g.Text(18, y + 3, 12 + labelWidth, label, kInk);
        for (size_t c = 0; c < values.size(); ++c)
            g.Text(12 + labelWidth + static_cast<int>(c) * columnWidth + 6, y + 3,
                   12 + labelWidth + static_cast<int>(c + 1) * columnWidth, values[c], kInk);
        y += 22;
    }
}

// A drawing: a sheet with a border, its views as framed areas, and the title block in the corner.
void PaintDrawing(Gdi& g, const RECT& r, const State& s) {
    RECT sheet{10, 44, r.right - 10, r.bottom - 10};
    g.Frame(sheet, kInk, 2);
    RECT inner{sheet.left + 8, sheet.top + 8, sheet.right - 8, sheet.bottom - 8};
    g.Frame(inner, kInk);
    RECT block{std::max(inner.left, inner.right - 340), std::max(inner.top, inner.bottom - 96), inner.right,
               inner.bottom};
    g.Frame(block, kInk, 2);
    const std::pair<const wchar_t*, std::wstring> rows[] = {{L"Title", s.title},
                                                            {L"Drawing", s.name},
                                                            {L"Sheet", s.sheet},
                                                            {L"Detailing", s.detailing ? L"yes" : L"no"}};
    int y = block.top;
    for (const auto& [label, value] : rows) {
        g.Line(block.left, y, block.right, y, kInk);
        g.Text(block.left + 6, y + 4, block.left + 80, label, kGrey);
        g.Text(block.left + 84, y + 4, block.right - 4, value, kInk, g.Bold());
        y += 24;
    }
    g.Line(block.left + 78, block.top, block.left + 78, block.bottom, kInk);
    // Views side by side above the title block.
    const int count = static_cast<int>(s.references.size());
    if (count == 0)
        return;
    const int top = inner.top + 12, bottom = block.top - 12;
    const int width = (inner.right - inner.left - 12 * (count + 1)) / count;
    for (int i = 0; i < count; ++i) {
        const Shown& view = s.references[i];
        RECT area{inner.left + 12 + i * (width + 12), top, inner.left + 12 + i * (width + 12) + width,
                  bottom};
        if (area.bottom - area.top < 30 || width < 30)
            break;
        g.Fill(area, kBox);
        g.Frame(area, view.found ? kBand : kMissing);
        g.Text(area.left + 6, area.top + 6, area.right - 4, view.key, kInk, g.Bold());
        g.Text(area.left + 6, area.top + 26, area.right - 4, view.path, view.found ? kGrey : kMissing);
        if (!s.compact)
            g.Text(area.left + 6, area.top + 46, area.right - 4, view.uses, kGrey);
    }
}

void Paint(HDC dc, const RECT& r, State& s) {
    Gdi g(dc);
    g.Fill(r, kPaper);
    std::lock_guard<std::mutex> hold(s.lock);
    if (!s.hasFile)
        return;
    RECT band{0, 0, r.right, 34};
    g.Fill(band, kBand);
    g.Text(12, 8, r.right - 12, s.name + L"  \x00B7  " + KindText(s.kind), kPaper, g.Bold());
    switch (s.kind) {
    case FileKind::Assembly:
        PaintAssembly(g, r, s);
        break;
    case FileKind::Part:
        PaintPart(g, r, s);
        break;
    default:
        PaintDrawing(g, r, s);
        break;
    }
}

// The file changed on disk: ask the host to show it again when its callback can, else redraw.
void Watch(HWND view, State& s) {
    ffm::ComPtr<ITovCallback> callback;
    std::wstring path;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (!s.hasFile || s.path.empty())
            return;
        const FILETIME now = LastWrite(s.path);
        if (CompareFileTime(&now, &s.written) == 0 || (now.dwLowDateTime == 0 && now.dwHighDateTime == 0))
            return;
        s.written = now;
        callback = s.callback;
        path = s.path;
    }
    if (const auto reshow = callback.try_query<ITovPluginPreviewCallbackInternal>()) {
        reshow->ReshowFile(0);
        return;
    }
    try {
        if (LoadInto(s, path) == S_OK)
            InvalidateRect(view, nullptr, FALSE);
    } catch (...) {
        // a half-written file: the next tick reads it again
    }
}

} // namespace

void Preview::State::Paint(HDC dc, const RECT& client) {
    mrd::Paint(dc, client, *this);
}

bool Preview::State::OnMessage(HWND view, UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
    switch (message) {
    case WM_CREATE:
        SetTimer(view, kWatchTimer, kWatchMs, nullptr);
        result = 0;
        return true;
    case WM_TIMER:
        if (wParam != kWatchTimer)
            return false;
        Watch(view, *this);
        result = 0;
        return true;
    case WM_NCDESTROY:
        KillTimer(view, kWatchTimer);
        return false;
    default:
        return false;
    }
}

// ---- The preview object -----------------------------------------------------------------------------

ffm::ComPtr<Preview> Preview::Create(HWND parent, const TovRect& rect) {
    auto state = std::make_shared<State>();
    HWND view = ffm::CreatePreviewView(kViewClass, parent, rect, state);
    if (!view)
        throw Failure(HRESULT_FROM_WIN32(GetLastError()), L"The MRD preview cannot make its window.");
    return ffm::Make<Preview>(view, std::move(state));
}

Preview::Preview(HWND view, std::shared_ptr<State> state) : m_view(view), m_state(std::move(state)) {}

Preview::~Preview() {
    {
        std::lock_guard<std::mutex> hold(m_state->lock);
        m_state->callback.reset();
    }
    ffm::DestroyPreviewView(m_view);
}

HRESULT Preview::ShowFile(ITovRegistry*, BSTR path, ITovCallback* callback, long) {
    return Guard(__uuidof(ITovFilePreview), [&] {
        const HRESULT hr = LoadInto(*m_state, FromBstr(path));
        if (hr != S_OK)
            return hr;
        {
            std::lock_guard<std::mutex> hold(m_state->lock);
            m_state->callback = ffm::ComPtr<ITovCallback>(callback);
        }
        // Never waits for the window's thread: the pane may call from any thread.
        ShowWindowAsync(m_view, SW_SHOWNA);
        InvalidateRect(m_view, nullptr, FALSE);
        return S_OK;
    });
}

HRESULT Preview::ShowNavigator(ITovRegistry* registry, ITovFileNavigator* navigator, ITovCallback* callback) {
    return Guard(__uuidof(ITovFilePreview), [&] {
        if (!navigator)
            return E_POINTER;
        ffm::UniqueBstr path;
        Check(navigator->GetFilePath(path.put()));
        return ShowFile(registry, path.get(), callback, 0);
    });
}

HRESULT Preview::Hide() {
    ShowWindowAsync(m_view, SW_HIDE);
    return S_OK;
}

HRESULT Preview::Refresh(ITovCallback*) {
    return Guard(__uuidof(ITovFilePreview), [&] {
        std::wstring path;
        {
            std::lock_guard<std::mutex> hold(m_state->lock);
            path = m_state->path;
        }
        if (!path.empty())
            LoadInto(*m_state, path);
        InvalidateRect(m_view, nullptr, FALSE);
        return S_OK;
    });
}

HRESULT Preview::Resize(TovRect* rect) {
    if (!rect)
        return E_POINTER;
    SetWindowPos(m_view, nullptr, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_ASYNCWINDOWPOS);
    return S_OK;
}

HRESULT Preview::TranslateAccelerator(TovMessage* message) {
    if (!message || message->mlMessage != WM_KEYDOWN || message->mlWParam != VK_F5)
        return S_FALSE;
    return Refresh(nullptr);
}

HRESULT Preview::ReleaseFile(BSTR) {
    std::lock_guard<std::mutex> hold(m_state->lock);
    m_state->path.clear(); // nothing to watch any more
    m_state->callback.reset();
    return S_OK;
}

HRESULT Preview::GetTargetExtension(BSTR path, BSTR* extension) {
    return Guard(__uuidof(ITovFormatRedirect), [&] {
        if (!extension)
            return E_POINTER;
        *extension = nullptr;
        const std::wstring file = FromBstr(path);
        FileState state;
        FileKind kind;
        if (!HeaderKind(ReadTextFile(file, state), kind))
            throw Failure(MRD_E_MALFORMED, file + L" has no \"MRD 1 <kind>\" header.");
        {
            std::lock_guard<std::mutex> hold(m_state->lock);
            m_state->redirectPath = file;
            m_state->redirectKind = kind;
        }
        *extension = NewBstr(ExtensionOf(kind)).release();
        return S_OK;
    });
}

HRESULT Preview::GetMenuItems(ITovRegistry*, long* count, TovPreviewMenuItem** items) {
    bool compact;
    {
        std::lock_guard<std::mutex> hold(m_state->lock);
        compact = m_state->compact;
    }
    const ffm::OfferedMenuItem offered[] = {
        {kCommandDetailed, L"&Detailed Layout", L"Draw every reference with its uses in each configuration.",
         compact ? 0L : static_cast<long>(MFS_CHECKED)},
        {kCommandCompact, L"&Compact Layout", L"Draw one line per reference, without its uses.",
         compact ? static_cast<long>(MFS_CHECKED) : 0L}};
    return ffm::HandOutMenuItems(offered, count, items);
}

HRESULT Preview::OnMenuCommand(long, long command, long, long, ITovRegistry*) {
    if (command != kCommandDetailed && command != kCommandCompact)
        return E_INVALIDARG;
    {
        std::lock_guard<std::mutex> hold(m_state->lock);
        m_state->compact = command == kCommandCompact;
    }
    InvalidateRect(m_view, nullptr, FALSE); // never waits for the window's thread
    return S_OK;
}

} // namespace mrd
