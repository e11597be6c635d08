#pragma once
// Output of fmtmgr: UTF-8 text or JSON on stdout, failures with their result code and meaning on
// stderr, and the texts that describe codes, masks and dates.
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <windows.h>

namespace fmtmgr {

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& text);

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

  private:
    HRESULT m_hr;
    std::string m_description;
    std::string m_hint;
};

// Clears the thread's error information, so a failure reads only its own.
void ForgetErrorInfo();

class Output {
  public:
    Output(bool json, bool quiet) : m_json(json), m_quiet(quiet || json) {}
    bool IsJson() const noexcept { return m_json; }
    bool IsQuiet() const noexcept { return m_quiet; }
    void Line(const std::string& text) const;
    void Json(const nlohmann::json& value) const;
    // Progress and status texts of the library and its plug-ins, on stderr.
    void Note(const std::string& text) const;
    // The failure on stderr: text, or a JSON object in JSON mode.
    void Failure(const CommandError& error) const;

  private:
    bool m_json;
    bool m_quiet;
};

} // namespace fmtmgr
