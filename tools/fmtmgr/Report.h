#pragma once
// Output of fmtmgr: UTF-8 text or JSON on stdout, failures with their result code and meaning on
// stderr, and the texts that describe codes, masks and dates.
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>
#include <windows.h>

namespace fmtmgr {

std::string Utf8(std::wstring_view text);
// Appends the text in UTF-8: listings build their lines in place, without a string per piece.
void AppendUtf8(std::string& out, std::wstring_view text);
std::wstring Wide(const std::string& text);

// The text with control characters (C0, DEL, C1) and the bidirectional overrides written as
// \xNN or \uNNNN, so a key or path from a file cannot drive the terminal or reorder the line.
std::string Escaped(std::string_view utf8);
void AppendEscaped(std::string& out, std::string_view utf8);

// "0x8004022A"
std::string CodeText(HRESULT hr);
// What a result code means to a person; empty when it is not known.
std::string Meaning(HRESULT hr);
// "0x4003 (reference update, size and date, 0x2)": the bits the library gives a meaning to by name.
std::string MaskText(unsigned long mask);
// An OLE date as "2024-05-01 10:00:02" (or with 'T' between date and time for JSON).
std::string DateText(double date, char separator = ' ');

// A failed step of a command. The description of the thread's error information, when there is
// one, is taken when the failure is made.
class CommandError : public std::runtime_error {
  public:
    CommandError(HRESULT hr, const std::string& what, std::string hint = {});
    HRESULT Code() const noexcept { return m_hr; }
    const std::string& Description() const noexcept { return m_description; }
    const std::string& Hint() const noexcept { return m_hint; }
    void AddHint(const std::string& hint);

  private:
    HRESULT m_hr;
    std::string m_description;
    std::string m_hint;
};

// A command line that cannot be understood (exit code 2).
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Writes JSON straight into a text, laid out as the JSON library's dump(2) (or dump() when compact)
// lays it out: a document is built once, member by member, and a listing of many rows never exists
// as a tree. Callers write an object's members sorted by key, as the library's JSON sorts them.
class JsonWriter {
  public:
    explicit JsonWriter(std::string& text, bool compact = false) : m_text(text), m_compact(compact) {}
    JsonWriter& Object();
    JsonWriter& Array();
    JsonWriter& End();
    JsonWriter& Key(std::string_view key);
    JsonWriter& String(std::string_view value);
    JsonWriter& String(std::wstring_view value); // written in UTF-8
    JsonWriter& Number(long long value);
    JsonWriter& Number(double value);
    JsonWriter& Bool(bool value);
    template <class T> JsonWriter& Member(std::string_view key, const T& value) {
        Key(key);
        if constexpr (std::is_same_v<T, bool>)
            return Bool(value);
        else if constexpr (std::is_floating_point_v<T>)
            return Number(static_cast<double>(value));
        else if constexpr (std::is_integral_v<T>)
            return Number(static_cast<long long>(value));
        else if constexpr (std::is_convertible_v<const T&, std::wstring_view>)
            return String(std::wstring_view(value));
        else
            return String(std::string_view(value));
    }

  private:
    void BeforeValue();
    void Quote(std::string_view text);
    void Open(char bracket);
    void NewLine(size_t depth);

    struct Level {
        bool array;
        size_t count;
    };
    std::string& m_text;
    bool m_compact;
    bool m_afterKey = false;
    std::vector<Level> m_levels;
    std::string m_utf8; // scratch for wide strings
};

// Clears the thread's error information, so a failure reads only its own.
void ForgetErrorInfo();

// Where the bytes go: the process's stdout and stderr, or a test's buffers.
class Streams {
  public:
    virtual ~Streams() = default;
    virtual void Out(const std::string& bytes) = 0;
    virtual void Err(const std::string& bytes) = 0;
};

// One command's output. What goes to stdout is kept in one buffer and written in one piece when
// the command succeeds (Commit), so a listing costs one write whatever stdout is, and a failed
// command leaves stdout empty. A listing that may grow past what is worth holding lets the
// buffer go out in large pieces as it is written (Spill). Progress notes and failures go to
// stderr at once.
class Output {
  public:
    Output(Streams& streams, bool json, bool quiet)
        : m_streams(streams), m_json(json), m_quiet(quiet || json) {}
    bool IsJson() const noexcept { return m_json; }
    bool IsQuiet() const noexcept { return m_quiet; }
    void Line(std::string_view text);
    // A line before everything written so far: a summary whose figures are known at the end.
    void Headline(std::string_view text);
    // Writes the buffer when it holds more than a few hundred kilobytes. Called between the rows
    // of a listing once nothing but running out of memory can fail the command any more, so at
    // worst such a listing ends early on stdout.
    void Spill();
    // The JSON document is written through this; Commit ends it with its line feed.
    JsonWriter& Json() { return m_writer; }
    // A small document built as a tree (the data-card and preview commands); listings of many rows
    // go through the writer instead.
    void Json(const nlohmann::json& value) { m_buffer += value.dump(2); }
    void Commit();
    // Progress and status texts of the library and its plug-ins, on stderr.
    void Note(const std::string& text) const;
    // The failure on stderr: text, or a JSON object in JSON mode.
    void Failure(const CommandError& error) const;
    void Failure(const UsageError& error) const;

  private:
    Streams& m_streams;
    bool m_json;
    bool m_quiet;
    std::string m_buffer;
    JsonWriter m_writer{m_buffer};
};

} // namespace fmtmgr
