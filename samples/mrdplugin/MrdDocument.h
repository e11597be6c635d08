#pragma once
// The MRD text format (FORMAT.md): a document is its text and the places of its lines in it; the
// model (configurations, settings, properties, references) is parsed from them once, in one pass
// without copying a line, with hash indexes for every lookup by name. Edits give the lines they
// concern a text of their own and change the model beside them, so comments, blank lines, line
// ends and the order of everything survive a save, and every operation is linear in the file.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>
#include <windows.h>

namespace mrd {

enum class FileKind { Assembly, Part, Drawing };

// The kind an extension (with or without its dot) stands for; false for foreign extensions.
bool KindOfExtension(const std::wstring& extension, FileKind& kind);

// Reference kinds (delivered as the reference's first number).
constexpr long kKindComponent = 1;
constexpr long kKindFrozen = 2; // kept when the referenced file moves; rebased with its root only
constexpr long kKindView = 3;   // a drawing view of a model

// One use of a referenced file in one configuration of the referencing file. The names are
// pieces of the document's text, valid while the document (or a copy of it) exists.
struct Use {
    std::wstring_view config;      // configuration of this file
    std::wstring_view childConfig; // configuration of the referenced file
    bool suppressed = false;
    bool excluded = false; // left out of the bill of materials
};

// The uses of one reference, side by side in the document's list of all uses.
struct Uses {
    const Use* first = nullptr;
    const Use* last = nullptr;
    const Use* begin() const noexcept { return first; }
    const Use* end() const noexcept { return last; }
    size_t size() const noexcept { return static_cast<size_t>(last - first); }
    bool empty() const noexcept { return first == last; }
};

struct Reference {
    std::wstring_view key;   // unique within the file; a piece of the document's text
    std::wstring storedPath; // as written: relative to the file's folder, or absolute
    long kind = kKindComponent;
    size_t firstUse = 0; // in the document's list of uses
    size_t useCount = 0;
    size_t pathLine = 0;
};

struct Property {
    std::wstring config; // empty: the file-wide block
    std::wstring block;
    std::wstring name;
    std::wstring value;
    size_t line = 0;
};

// Names compared without regard to case, each with a number: one flat open-addressing table over
// one text of the folded names, so an index of n names makes a few allocations, not one per name.
class NameIndex {
  public:
    // Adds the name with its value; false, with nothing added, when the name is there already.
    bool Add(std::wstring_view name, size_t value);
    // The value of the name, or npos.
    size_t Find(std::wstring_view name) const;
    void Clear() noexcept;

  private:
    struct Entry {
        std::uint64_t hash;
        std::uint32_t start, length; // in m_names
        size_t value;
    };
    // The slot of the folded name, or the free slot where it would go.
    size_t Locate(std::wstring_view folded, std::uint64_t hash) const;

    std::wstring m_names; // folded, one after the other
    std::vector<Entry> m_entries;
    std::vector<std::uint32_t> m_slots; // an entry's index + 1; 0 is free. At most half full.
};

class Document {
  public:
    // Parses text; a malformed document raises Failure(MRD_E_MALFORMED) naming the line.
    Document(std::wstring text, FileKind kind);

    FileKind Kind() const noexcept { return m_kind; }
    const std::vector<std::wstring>& Configurations() const noexcept { return m_configs; }
    const std::vector<Reference>& References() const noexcept { return m_refs; }
    Uses UsesOf(const Reference& ref) const noexcept {
        return {m_uses.data() + ref.firstUse, m_uses.data() + ref.firstUse + ref.useCount};
    }
    const std::vector<Property>& Properties() const noexcept { return m_props; }
    bool DetailingMode() const noexcept { return m_detailing; }
    bool LdrMode() const noexcept { return m_ldr; }
    bool HasConfiguration(std::wstring_view name) const;
    // The index of the reference with the key (compared without regard to case), or npos.
    size_t FindReference(const std::wstring& key) const;
    // The configuration's own value, else the file-wide one; null when neither exists.
    // inherited tells which of the two answered.
    const Property* FindProperty(const std::wstring& config, const std::wstring& block,
                                 const std::wstring& name, bool& inherited) const;

    // Whether a path can be written as a reference's Path (one line, no surrounding blanks).
    static bool StorablePath(const std::wstring& storedPath);
    // Edits. Each returns whether the text changed.
    bool SetReferencePath(size_t index, const std::wstring& storedPath);
    bool SetProperty(const std::wstring& config, const std::wstring& block, const std::wstring& name,
                     const std::wstring& value);

    std::wstring Text() const;

  private:
    // A line and its own end: a file may mix CR LF and LF, and each line keeps what it had. Its
    // text is a piece of the file's text, or (own) an entry of m_ownTexts. The file is at most
    // 16 MiB, so positions fit 32 bits.
    struct Line {
        std::uint32_t start;  // in the file's text, or the index of the own text
        std::uint32_t length; // in the file's text
        bool crlf;
        bool own;
    };

    void Parse();
    [[noreturn]] void Malformed(size_t line, const std::wstring& what) const;
    std::wstring_view LineText(size_t line) const;
    void SetLineText(size_t line, std::wstring text);
    // Adds a line after the anchor (a line index; npos: the end of the file); returns its index.
    size_t AddLine(size_t anchor, std::wstring text);

    FileKind m_kind;
    std::shared_ptr<const std::wstring> m_text; // as read; copies of the document share it
    std::vector<std::wstring> m_ownTexts;       // of the lines edits changed or added
    std::vector<Line> m_lines;                  // the file's lines, then the lines edits added
    size_t m_fileLines = 0;
    bool m_crlf = true; // the end of lines that edits add at the end of the file
    bool m_finalNewline = true;
    std::unordered_map<size_t, std::vector<size_t>> m_added; // lines added after a line, in order
    std::vector<size_t> m_addedAtEnd;
    // Parsed from m_lines, with indexes of the names.
    std::vector<std::wstring> m_configs;
    std::vector<Reference> m_refs;
    std::vector<Use> m_uses; // of all references, in file order
    std::vector<Property> m_props;
    std::vector<std::pair<std::wstring, size_t>> m_propertySections; // config, last line of the section
    NameIndex m_configIndex, m_refIndex, m_propIndex, m_sectionIndex;
    bool m_detailing = false;
    bool m_ldr = false;
};

// What identifies the file and its content on disk, to see whether someone else changed it.
struct FileState {
    DWORD volume = 0;
    ULONGLONG index = 0;
    FILETIME lastWrite{};
    ULONGLONG size = 0;
};

// A path made full and normal, without the long-path prefix ("\\?\C:\x" gives "C:\x"), so that
// paths compare as text whatever form they were given in.
std::wstring FullPathName(const std::wstring& path);
// The form of a full path for the file system: with the long-path prefix, so length never matters.
std::wstring FileSystemPath(const std::wstring& full);

// The file's text, decoded from UTF-8 (a byte-order mark is skipped); the file is opened, read
// and closed at once. state receives what identifies it and its content, read through the same
// handle.
std::wstring ReadTextFile(const std::wstring& path, FileState& state);

// Replaces the file's content with text in UTF-8, so readers see the old or the new file and
// never a half-written one: written to a temporary file beside the file (a symbolic link is
// followed to its target), then put in its place with ReplaceFileW, which keeps its attributes
// and security. The file is held open against other writers from the check of its state to the
// replace, so of two concurrent saves one fails with MRD_E_CHANGED_ON_DISK (when the file is no
// longer the one in expected) and none is lost. A text larger than the format allows is refused
// before anything is written. saved receives the state of the new file.
void ReplaceTextFile(const std::wstring& path, const std::wstring& text, const FileState& expected,
                     FileState& saved);

} // namespace mrd
