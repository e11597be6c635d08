#include "Cli.h"

#include "Commands.h"
#include "ContentCommands.h"
#include "DataCard.h"
#include "UiCommands.h"
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <FileFmtMgr/ComError.h>
#include <algorithm>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string_view>

namespace fmtmgr {

namespace {

constexpr unsigned long kAnyCapability = 0xFFFFFFFF;
// References are read by the entry for reading (0x2 by convention) or for reference update (0x1).
constexpr unsigned long kReadMask = 0x3;

struct MoveText {
    std::string from, to;
};

// "OLD=NEW". "=" is legal in file names, so a text with more than one is refused rather than
// guessed at: such paths take the form --move OLD --to NEW or a JSON moves file. where() names
// the place of the text in a failure.
template <class Where> MoveText SplitMove(std::string_view text, const Where& where) {
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos || eq == 0 || eq + 1 == text.size())
        throw UsageError(where() + "a move reads OLD=NEW (or --move OLD --to NEW): \"" + std::string(text) +
                         "\"");
    if (text.find('=', eq + 1) != std::string_view::npos)
        throw UsageError(
            where() + "the move \"" + std::string(text) +
            "\" holds more than one \"=\", so it cannot be split; give it as --move OLD --to NEW "
            "or in a JSON moves file");
    return {std::string(text.substr(0, eq)), std::string(text.substr(eq + 1))};
}

std::string OnCommandLine() {
    return {};
}

// Takes the moves from a JSON array of {"old": ..., "new": ...} as it is parsed, without
// building the document.
class MovesReader final : public nlohmann::json_sax<nlohmann::json> {
  public:
    explicit MovesReader(std::vector<MoveText>& moves) : m_moves(moves) {}
    bool null() override { return Refuse(); }
    bool boolean(bool) override { return Refuse(); }
    bool number_integer(number_integer_t) override { return Refuse(); }
    bool number_unsigned(number_unsigned_t) override { return Refuse(); }
    bool number_float(number_float_t, const string_t&) override { return Refuse(); }
    bool binary(binary_t&) override { return Refuse(); }
    bool start_array(std::size_t) override { return m_depth++ == 0 || Refuse(); }
    bool end_array() override {
        --m_depth;
        return true;
    }
    bool start_object(std::size_t) override {
        if (m_depth++ != 1)
            return Refuse();
        m_move = {};
        m_key.clear();
        return true;
    }
    bool key(string_t& key) override {
        m_key = key;
        return m_key == "old" || m_key == "new" || Refuse();
    }
    bool string(string_t& value) override {
        if (m_depth != 2)
            return Refuse();
        (m_key == "old" ? m_move.from : m_move.to) = value;
        return true;
    }
    bool end_object() override {
        --m_depth;
        if (m_move.from.empty() || m_move.to.empty())
            return Refuse();
        m_moves.push_back(std::move(m_move));
        return true;
    }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) override {
        problem = "not JSON at byte " + std::to_string(position);
        return false;
    }

    std::string problem;

  private:
    bool Refuse() {
        problem =
            "move " + std::to_string(m_moves.size() + 1) + " is not {\"old\": \"...\", \"new\": \"...\"}";
        return false;
    }

    std::vector<MoveText>& m_moves;
    MoveText m_move;
    std::string m_key;
    int m_depth = 0;
};

// One OLD=NEW a line, or a JSON array of {"old": ..., "new": ...}; UTF-8, with or without a
// byte-order mark.
std::vector<MoveText> ReadMovesFile(const std::string& name) {
    std::string text = ReadWholeFile(FullPath(Wide(name)));
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    std::vector<MoveText> moves;
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && text[first] == '[') {
        MovesReader reader(moves);
        if (!nlohmann::json::sax_parse(text, &reader))
            throw UsageError("the moves file " + name + ": " +
                             (reader.problem.empty() ? "not JSON" : reader.problem) +
                             "; it holds a JSON array of {\"old\": \"...\", \"new\": \"...\"}");
        return moves;
    }
    size_t line = 0;
    const auto where = [&] { return "the moves file " + name + ", line " + std::to_string(line) + ": "; };
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string_view entry = std::string_view(text).substr(start, end - start);
        start = end + 1;
        ++line;
        if (!entry.empty() && entry.back() == '\r')
            entry.remove_suffix(1);
        if (entry.find_first_not_of(" \t") == std::string_view::npos)
            continue;
        moves.push_back(SplitMove(entry, where));
    }
    return moves;
}

bool IsDeviceName(std::string_view name) {
    // A device keeps its meaning with an extension or trailing blanks and colons ("CON.txt", "nul:").
    name = name.substr(0, name.find('.'));
    while (!name.empty() && (name.back() == ' ' || name.back() == ':'))
        name.remove_suffix(1);
    if (name.size() > 7) // longer than any device name
        return false;
    std::string upper(name);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
    if (std::find_if(std::begin(kDevices), std::end(kDevices), [&](const char* d) { return upper == d; }) !=
        std::end(kDevices))
        return true;
    const bool numbered =
        upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0);
    return numbered && upper[3] >= '0' && upper[3] <= '9';
}

// A move names files: a folder ("." or "C:\"), a device ("CON") or nothing is refused.
void CheckFilePath(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    std::string_view last = path;
    if (slash != std::string::npos)
        last.remove_prefix(slash + 1);
    else if (last.size() >= 2 && last[1] == ':')
        last.remove_prefix(2); // "C:" or "C:name"
    const auto refuse = [&](const char* why) {
        throw UsageError("a move names files, and \"" + path + "\" " + why);
    };
    if (last.empty() || last == "." || last == "..")
        refuse("names a folder");
    if (IsDeviceName(last) || path.compare(0, 4, "\\\\.\\") == 0)
        refuse("names a device");
}

// Unrelated to CLI11's own parsing: --json must also shape the errors of a line it cannot parse.
bool WantsJson(const std::vector<std::string>& args) {
    for (size_t i = 1; i < args.size() && args[i] != "--"; ++i)
        if (args[i] == "--json")
            return true;
    return false;
}

} // namespace

namespace {

int RunCommand(const std::vector<std::string>& args, Streams& streams) {
    CLI::App app{"Reaches files through FileFmtMgr.dll and its file-format plug-ins.", "fmtmgr"};
    // "/data/x.mrdasm" is a path (Wine takes Unix paths), never an option; set before the
    // subcommands, which copy it.
    app.allow_windows_style_options(false);
    app.require_subcommand(1, 1);
    app.fallthrough();
    bool json = false, quiet = false;
    app.add_flag("--json", json, "JSON on stdout for scripts (failures as JSON on stderr)");
    app.add_flag("-q,--quiet", quiet, "no progress or status texts on stderr");

    std::string file;
    unsigned long mask = kAnyCapability;
    const auto fileArg = [&](CLI::App* sub) { sub->add_option("FILE", file, "the file")->required(); };

    auto* plugins = app.add_subcommand("plugins", "registered plug-ins and the extensions each serves");
    auto* extensions =
        app.add_subcommand("extensions", "extensions that offer a capability (upper case, no dot)");
    extensions->add_option("--mask", mask, "capabilities asked for, decimal or 0x hex (default: any)");
    auto* format = app.add_subcommand("format", "which plug-in entry serves FILE");
    fileArg(format);
    format->add_option("--mask", mask, "capabilities asked for (default: any)");
    auto* refs = app.add_subcommand("refs", "FILE's references with their configuration pairs");
    fileArg(refs);
    auto* refsMask = refs->add_option("--mask", mask,
                                      "capabilities asked for (default: 0x3, reading or reference update)");
    auto* sizeDate = app.add_subcommand("size-date", "FILE's size and last-write date");
    fileArg(sizeDate);
    bool utc = false;
    sizeDate->add_flag("--utc", utc, "the date in universal time instead of local time");

    auto* update = app.add_subcommand("update-refs", "rewrite FILE's references after files were moved");
    fileArg(update);
    std::vector<std::string> moveArgs, toArgs;
    std::string movesFile, newRoot, oldRoot, altOldRoot;
    auto* moveOpt = update
                        ->add_option("--move", moveArgs,
                                     "a moved file as OLD=NEW, or as OLD followed by --to NEW when a path "
                                     "holds \"=\" (repeat for more)")
                        ->allow_extra_args(false);
    auto* toOpt = update->add_option("--to", toArgs, "where the file of the --move just before went")
                      ->allow_extra_args(false);
    auto* movesOpt = update->add_option("--moves", movesFile,
                                        "a file of moves: one OLD=NEW a line, or a JSON array of "
                                        "{\"old\": ..., \"new\": ...}");
    auto* newRootOpt =
        update->add_option("--new-root", newRoot, "paths below the old roots move below this one");
    auto* oldRootOpt = update->add_option("--old-root", oldRoot, "the root the files were moved from");
    auto* altRootOpt = update->add_option("--alt-old-root", altOldRoot, "another spelling of the old root");
    bool keepTime = false;
    std::string keepAttributesOf;
    update->add_flag("--keep-time", keepTime,
                     "keep the last-write time (in whole even seconds) of FILE, or of --keep-attributes-of");
    update->add_option("--keep-attributes-of", keepAttributesOf,
                       "the file whose read-only attribute (and time) is kept, when it is not FILE");
    newRootOpt->needs(oldRootOpt);
    oldRootOpt->needs(newRootOpt);
    altRootOpt->needs(newRootOpt);

    UiCommands ui;
    AddUiCommands(app, ui);
    ContentCommands content;
    AddContentCommands(app, content);

    auto* preview = app.add_subcommand("preview", "FILE's preview, drawn by its plug-in, as a PNG image");
    fileArg(preview);
    std::string size = "640x480", png;
    preview->add_option("--size", size, "the pane's size as WxH (default 640x480)")
        ->check([](const std::string& s) {
            int w = 0, h = 0;
            char x = 0, rest = 0;
            return sscanf(s.c_str(), "%d%c%d%c", &w, &x, &h, &rest) == 3 && (x == 'x' || x == 'X') && w > 0 &&
                           h > 0 && w <= 8192 && h <= 8192
                       ? std::string()
                       : std::string("a size reads WxH, each from 1 to 8192");
        });
    preview->add_option("--png", png, "the PNG file to write")->required();

    // ---- Data card ----
    auto* configs = app.add_subcommand("configs", "FILE's configurations with their tags");
    fileArg(configs);
    std::string config;
    std::vector<std::string> attributeArgs, mapArgs, setArgs, configArgs;
    const auto attributeCheck = [](bool withValue) {
        return [withValue](const std::string& s) {
            AttributeArg parsed;
            return ParseAttributeArg(s, withValue, parsed)
                       ? std::string()
                       : std::string(withValue ? "an attribute reads BLOCK:NAME=VALUE"
                                               : "an attribute reads BLOCK:NAME");
        };
    };
    const auto mapCheck = [](const std::string& s) {
        VariableMapArg parsed;
        return ParseVariableMapArg(s, parsed) ? std::string() : std::string("a mapping reads VAR=BLOCK:NAME");
    };
    auto* attrs = app.add_subcommand("attrs", "FILE's attributes BLOCK:NAME in one configuration");
    fileArg(attrs);
    attrs->add_option("--config", config, "the configuration (default: none, the file-wide values)");
    attrs->add_option("ATTRIBUTE", attributeArgs, "BLOCK:NAME, one or more")
        ->required()
        ->check(attributeCheck(false));
    auto* setAttrs =
        app.add_subcommand("set-attrs", "write FILE's attributes BLOCK:NAME=VALUE in one configuration");
    fileArg(setAttrs);
    setAttrs->add_option("--config", config, "the configuration (default: none, the file-wide values)");
    setAttrs->add_option("ATTRIBUTE", attributeArgs, "BLOCK:NAME=VALUE, one or more")
        ->required()
        ->check(attributeCheck(true));
    bool noSave = false;
    setAttrs->add_flag("--no-save", noSave, "write without saving the file");
    bool allConfigs = false, batch = false, noBatch = false;
    auto* vars =
        app.add_subcommand("vars", "data-card variables of FILE through a variable-to-attribute map");
    fileArg(vars);
    vars->add_option("--map", mapArgs,
                     "VAR=BLOCK:NAME (repeat; a variable's attributes in order of preference)")
        ->required()
        ->check(mapCheck);
    vars->add_flag("--all-configs", allConfigs,
                   "every configuration of the file (default: the file without one)");
    auto* setVars = app.add_subcommand("set-vars", "write data-card variables of FILE through the map");
    fileArg(setVars);
    setVars->add_option("--map", mapArgs, "VAR=BLOCK:NAME (repeat)")->required()->check(mapCheck);
    setVars->add_option("--set", setArgs, "VAR=VALUE (repeat)")->required();
    setVars->add_option("--config", configArgs,
                        "a configuration to write (repeat; default: the file without one)");
    setVars->add_flag("--no-save", noSave, "write without saving the file");
    for (auto* sub : {vars, setVars}) {
        auto* on = sub->add_flag("--batch", batch, "one attribute request per configuration");
        auto* off =
            sub->add_flag("--no-batch", noBatch, "one attribute request per variable and configuration");
        on->excludes(off);
    }

    const Output usage(streams, WantsJson(args), false);
    std::vector<char*> argv;
    std::vector<std::string> owned(args);
    for (auto& a : owned)
        argv.push_back(a.data());
    std::vector<MoveText> moveTexts;
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
        if (update->parsed()) {
            if (moveArgs.empty() && !movesOpt->count() && !newRootOpt->count())
                throw UsageError(
                    "update-refs: give at least one --move, --moves FILE, or --new-root with --old-root");
            // --to belongs to the --move just before it; a --move without one is OLD=NEW.
            std::optional<std::string> pending;
            size_t m = 0, t = 0;
            for (const CLI::Option* o : update->parse_order()) {
                if (o == moveOpt) {
                    if (pending)
                        moveTexts.push_back(SplitMove(*pending, OnCommandLine));
                    pending = moveArgs.at(m++);
                } else if (o == toOpt) {
                    if (!pending)
                        throw UsageError("--to NEW follows the --move OLD it completes");
                    moveTexts.push_back({*pending, toArgs.at(t++)});
                    pending.reset();
                }
            }
            if (pending)
                moveTexts.push_back(SplitMove(*pending, OnCommandLine));
        }
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) { // --help
            std::ostringstream text, errors;
            app.exit(e, text, errors);
            streams.Out(text.str());
            streams.Err(errors.str());
            return 0;
        }
        usage.Failure(UsageError(e.what()));
        return 2;
    } catch (const UsageError& e) {
        usage.Failure(e);
        return 2;
    }
    if (refs->parsed() && !refsMask->count())
        mask = kReadMask;
    Output out(streams, json, quiet);

    const std::wstring path = file.empty() ? std::wstring() : FullPath(Wide(file));
    std::string command = app.get_subcommands().front()->get_name();
    if (!path.empty())
        command += " " + Utf8(path);
    try {
        if (RunUiCommand(out, ui)) {
            // the user-interface commands, in UiCommands.cpp
        } else if (RunContentCommand(out, content)) {
            // the container and search commands, in ContentCommands.cpp
        } else if (plugins->parsed()) {
            ListPlugins(out);
        } else if (extensions->parsed()) {
            ListExtensions(out, mask);
        } else if (format->parsed()) {
            ShowFormat(out, path, mask);
        } else if (refs->parsed()) {
            ShowReferences(out, path, mask);
        } else if (sizeDate->parsed()) {
            ShowSizeAndDate(out, path, utc);
        } else if (configs->parsed()) {
            ShowConfigurations(out, path);
        } else if (attrs->parsed() || setAttrs->parsed()) {
            std::vector<AttributeArg> attributes(attributeArgs.size());
            for (std::size_t i = 0; i < attributeArgs.size(); ++i)
                ParseAttributeArg(attributeArgs[i], setAttrs->parsed(), attributes[i]);
            const std::optional<std::wstring> configuration =
                (attrs->parsed() ? attrs : setAttrs)->get_option("--config")->count()
                    ? std::optional<std::wstring>(Wide(config))
                    : std::nullopt;
            if (attrs->parsed())
                ShowAttributes(out, path, configuration, attributes);
            else
                SetAttributes(out, path, configuration, attributes, !noSave);
        } else if (vars->parsed() || setVars->parsed()) {
            std::vector<VariableMapArg> map(mapArgs.size());
            for (std::size_t i = 0; i < mapArgs.size(); ++i)
                ParseVariableMapArg(mapArgs[i], map[i]);
            const BatchChoice choice = batch     ? BatchChoice::Batch
                                       : noBatch ? BatchChoice::PerConfiguration
                                                 : BatchChoice::Library;
            if (vars->parsed()) {
                ShowVariables(out, path, map, allConfigs, choice);
            } else {
                std::vector<std::pair<std::wstring, std::wstring>> values;
                for (const std::string& s : setArgs) {
                    const auto eq = s.find('=');
                    if (eq == std::string::npos || eq == 0)
                        throw CommandError(E_INVALIDARG, "a value reads VAR=VALUE: " + s);
                    values.emplace_back(Wide(s.substr(0, eq)), Wide(s.substr(eq + 1)));
                }
                std::vector<std::wstring> configurations;
                for (const std::string& c : configArgs)
                    configurations.push_back(Wide(c));
                SetVariables(out, path, map, values, configurations, choice, !noSave);
            }
        } else if (preview->parsed()) {
            int w = 0, h = 0;
            sscanf(size.c_str(), "%d%*c%d", &w, &h);
            RenderPreview(out, path, w, h, FullPath(Wide(png)));
        } else {
            if (movesOpt->count())
                for (auto& m : ReadMovesFile(movesFile))
                    moveTexts.push_back(std::move(m));
            std::vector<MoveRef> moves;
            moves.reserve(moveTexts.size());
            for (const auto& m : moveTexts) {
                CheckFilePath(m.from);
                CheckFilePath(m.to);
                moves.push_back({FullPath(Wide(m.from)), FullPath(Wide(m.to))});
            }
            Roots roots;
            if (newRootOpt->count()) {
                // Roots are compared as text with the references' full paths; an empty
                // alternative old root is ignored by the rewrite.
                const auto root = [](const std::string& r) {
                    return r.empty() ? std::wstring() : FullPath(Wide(r));
                };
                roots.newRoot = root(newRoot);
                roots.oldRoot = root(oldRoot);
                roots.altOldRoot = root(altOldRoot);
            }
            const KeptFile kept{keepTime, keepAttributesOf.empty() ? path : FullPath(Wide(keepAttributesOf))};
            UpdateReferences(out, path, moves, roots, kept);
        }
        out.Commit();
        return 0;
    } catch (CommandError& e) {
        if (!path.empty() && IsActivationFailure(e.Code()))
            for (const std::string& problem : DiagnoseActivation(path))
                e.AddHint(problem);
        out.Failure(e);
    } catch (const UsageError& e) {
        out.Failure(e);
        return 2;
    } catch (const ffm::ComError& e) {
        // Raised by the library (a list or string running out of memory, the store): a failure
        // like any other, with the error information the raise carried.
        SetErrorInfo(0, e.ErrorInfo());
        out.Failure(CommandError(e.Error(), command + " failed"));
    } catch (const std::bad_alloc&) {
        ForgetErrorInfo();
        out.Failure(CommandError(E_OUTOFMEMORY, command + " failed"));
    } catch (const std::exception& e) {
        ForgetErrorInfo();
        out.Failure(CommandError(E_UNEXPECTED, command + " failed: " + e.what()));
    }
    return 1;
}

} // namespace

int Run(const std::vector<std::string>& args, Streams& streams) {
    // Failures outside a command: setting up the parser or reading the command line.
    const Output out(streams, WantsJson(args), true);
    try {
        return RunCommand(args, streams);
    } catch (const std::bad_alloc&) {
        out.Failure(CommandError(E_OUTOFMEMORY, "fmtmgr cannot read its command line"));
    } catch (const ffm::ComError& e) {
        SetErrorInfo(0, e.ErrorInfo());
        out.Failure(CommandError(e.Error(), "fmtmgr cannot read its command line"));
    } catch (const std::exception& e) {
        ForgetErrorInfo();
        out.Failure(
            CommandError(E_UNEXPECTED, std::string("fmtmgr cannot read its command line: ") + e.what()));
    }
    return 1;
}

} // namespace fmtmgr
