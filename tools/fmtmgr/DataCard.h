#pragma once
// The data-card subcommands of fmtmgr: a file's configurations, its attributes in one
// configuration (read and written), and data-card variables mapped onto attributes.
#include "Report.h"
#include <optional>
#include <string>
#include <vector>

namespace fmtmgr {

// BLOCK:NAME, optionally =VALUE.
struct AttributeArg {
    std::wstring block;
    std::wstring name;
    std::wstring value;
};
// Parses "BLOCK:NAME" (withValue: "BLOCK:NAME=VALUE"); false when it does not read so.
bool ParseAttributeArg(const std::string& text, bool withValue, AttributeArg& out);

// VAR=BLOCK:NAME; a variable named more than once is mapped to each attribute, in order.
struct VariableMapArg {
    std::wstring variable;
    AttributeArg attribute;
};
bool ParseVariableMapArg(const std::string& text, VariableMapArg& out);

enum class BatchChoice { Library, Batch, PerConfiguration };

void ShowConfigurations(const Output& out, const std::wstring& file);
void ShowAttributes(const Output& out, const std::wstring& file, const std::optional<std::wstring>& config,
                    const std::vector<AttributeArg>& attributes);
void SetAttributes(const Output& out, const std::wstring& file, const std::optional<std::wstring>& config,
                   const std::vector<AttributeArg>& attributes, bool save);
void ShowVariables(const Output& out, const std::wstring& file, const std::vector<VariableMapArg>& map,
                   bool allConfigs, BatchChoice batch);
// Writes VAR=VALUE pairs (values) through the map, in every configuration given (or the file
// without one).
void SetVariables(const Output& out, const std::wstring& file, const std::vector<VariableMapArg>& map,
                  const std::vector<std::pair<std::wstring, std::wstring>>& values,
                  const std::vector<std::wstring>& configs, BatchChoice batch, bool save);

} // namespace fmtmgr
