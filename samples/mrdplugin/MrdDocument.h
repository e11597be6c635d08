#pragma once
// The MRD text format (FORMAT.md): a document is its lines; the model (configurations, settings,
// properties, references) is parsed from them. Edits change lines and parse again, so comments,
// blank lines and the order of everything survive a save.
#include <string>
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

// One use of a referenced file in one configuration of the referencing file.
struct Use {
    std::wstring config;      // configuration of this file
    std::wstring childConfig; // configuration of the referenced file
    bool suppressed = false;
    bool excluded = false; // left out of the bill of materials
};

struct Reference {
    std::wstring key;        // unique within the file
    std::wstring storedPath; // as written: relative to the file's folder, or absolute
    long kind = kKindComponent;
    std::vector<Use> uses;
    size_t pathLine = 0;
};

struct Property {
    std::wstring config; // empty: the file-wide block
    std::wstring block;
    std::wstring name;
    std::wstring value;
    size_t line = 0;
};

class Document {
  public:
    // Parses text; a malformed document raises Failure(MRD_E_MALFORMED) naming the line.
    Document(std::wstring text, FileKind kind);

    FileKind Kind() const noexcept { return m_kind; }
    const std::vector<std::wstring>& Configurations() const noexcept { return m_configs; }
    const std::vector<Reference>& References() const noexcept { return m_refs; }
    const std::vector<Property>& Properties() const noexcept { return m_props; }
    bool DetailingMode() const noexcept { return m_detailing; }
    bool LdrMode() const noexcept { return m_ldr; }
    bool HasConfiguration(const std::wstring& name) const;
    // The configuration's own value, else the file-wide one; null when neither exists.
    // inherited tells which of the two answered.
    const Property* FindProperty(const std::wstring& config, const std::wstring& block,
                                 const std::wstring& name, bool& inherited) const;

    // Edits. Each returns whether the text changed.
    bool SetReferencePath(size_t index, const std::wstring& storedPath);
    bool SetProperty(const std::wstring& config, const std::wstring& block, const std::wstring& name,
                     const std::wstring& value);

    std::wstring Text() const;

  private:
    void Parse();
    [[noreturn]] void Malformed(size_t line, const std::wstring& what) const;

    FileKind m_kind;
    std::vector<std::wstring> m_lines;
    bool m_crlf = true;
    bool m_finalNewline = true;
    // Parsed from m_lines.
    std::vector<std::wstring> m_configs;
    std::vector<Reference> m_refs;
    std::vector<Property> m_props;
    std::vector<std::pair<std::wstring, size_t>> m_propertySections; // config, last line of the section
    bool m_detailing = false;
    bool m_ldr = false;
};

// The file's text, decoded from UTF-8 (a byte-order mark is skipped); the file is opened, read
// and closed at once. lastWrite receives its last-write time.
std::wstring ReadTextFile(const std::wstring& path, FILETIME& lastWrite);

// Replaces the file's content with text in UTF-8: written to a temporary file in the same folder,
// then moved over the file, so readers see the old or the new file and never a half-written one.
// Fails with MRD_E_CHANGED_ON_DISK when the file's last-write time is no longer expectedWrite;
// lastWrite receives the new time.
void ReplaceTextFile(const std::wstring& path, const std::wstring& text, const FILETIME& expectedWrite,
                     FILETIME& lastWrite);

} // namespace mrd
