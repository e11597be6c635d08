// fmtmgr: the file-format manager for a person at a command line. Lists the plug-ins and the
// extensions they serve, resolves a file's format, shows its references with their
// configuration pairs, its size and date, its configurations, attributes and data-card variables
// (read and written), rewrites its references after files were moved, and draws its preview
// into a PNG image.
// Exit code 0 on success, 1 when an operation failed (code and meaning on stderr), 2 for a
// command line that cannot be understood.
#include "Commands.h"
#include "ContentCommands.h"

#include "DataCard.h"
#include "Report.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>

using namespace fmtmgr;

namespace {

constexpr unsigned long kAnyCapability = 0xFFFFFFFF;
// References are read by the entry for reading (0x2 by convention) or for reference update (0x1).
constexpr unsigned long kReadMask = 0x3;

int Run(int argc, char** argv) {
    CLI::App app{"Reaches files through FileFmtMgr.dll and its file-format plug-ins.", "fmtmgr"};
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
    refs->add_option("--mask", mask, "capabilities asked for (default: 0x3, reading or reference update)");
    auto* sizeDate = app.add_subcommand("size-date", "FILE's size and last-write date");
    fileArg(sizeDate);
    bool utc = false;
    sizeDate->add_flag("--utc", utc, "the date in universal time instead of local time");

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

    auto* update = app.add_subcommand("update-refs", "rewrite FILE's references after files were moved");
    fileArg(update);
    std::vector<std::string> moveArgs;
    std::string newRoot, oldRoot, altOldRoot;
    update->add_option("--move", moveArgs, "a moved file as OLD=NEW (repeat for more)")
        ->allow_extra_args(false)
        ->check([](const std::string& s) {
            const auto eq = s.find('=');
            return eq == std::string::npos || eq == 0 || eq + 1 == s.size()
                       ? std::string("a move reads OLD=NEW")
                       : std::string();
        });
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

    ContentCommands content;
    AddContentCommands(app, content);

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

    try {
        app.parse(argc, argv);
        if (update->parsed() && moveArgs.empty() && !newRootOpt->count())
            throw CLI::ValidationError("update-refs",
                                       "give at least one --move, or --new-root with --old-root");
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (refs->parsed() && !refs->get_option("--mask")->count())
        mask = kReadMask;

    const Output out(json, quiet);
    const std::wstring path = file.empty() ? std::wstring() : FullPath(Wide(file));
    try {
        if (RunContentCommand(out, content)) {
            // the container and search commands, in ContentCommands.cpp
        } else if (plugins->parsed())
            ListPlugins(out);
        else if (extensions->parsed())
            ListExtensions(out, mask);
        else if (format->parsed())
            ShowFormat(out, path, mask);
        else if (refs->parsed())
            ShowReferences(out, path, mask);
        else if (sizeDate->parsed())
            ShowSizeAndDate(out, path, utc);
        else if (configs->parsed())
            ShowConfigurations(out, path);
        else if (attrs->parsed() || setAttrs->parsed()) {
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
            std::vector<MoveRef> moves;
            for (const auto& m : moveArgs) {
                const auto eq = m.find('=');
                moves.push_back({FullPath(Wide(m.substr(0, eq))), FullPath(Wide(m.substr(eq + 1)))});
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
    } catch (const CommandError& e) {
        out.Failure(e);
        return 1;
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    SetConsoleOutputCP(CP_UTF8);
    // Lines end in LF alone, the same on every platform a script runs on.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(Utf8(argv[i]));
    std::vector<char*> pointers;
    for (auto& a : args)
        pointers.push_back(a.data());

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int rc = Run(argc, pointers.data());
    // The cached plug-in objects go while their DLLs are still loaded.
    gpoGetFileFormatMgr()->mvUninitialize();
    CoUninitialize();
    return rc;
}
