// What a person or a script sees of fmtmgr over the sample plug-ins: the fields every command
// writes with --json, exit codes and messages, and files saved after mixed changes.
#include "FmtmgrKit.h"
#include "support/CompoundFiles.h"

#include <algorithm>

using namespace ffmtest;

namespace {

// The field names of a JSON value, nested ("{a,b:[{c}]}"); an array by its first element.
std::string Shape(const json& value) {
    if (value.is_array())
        return value.empty() ? "[]" : "[" + Shape(value[0]) + "]";
    if (!value.is_object())
        return "";
    std::string shape;
    for (auto it = value.begin(); it != value.end(); ++it) {
        const std::string inner = Shape(*it);
        shape += (shape.empty() ? "" : ",") + it.key() + (inner.empty() ? "" : ":" + inner);
    }
    return "{" + shape + "}";
}

// The element of a JSON array whose "name" is the given one.
json Named(const json& array, const std::string& name) {
    const auto it =
        std::find_if(array.begin(), array.end(), [&](const json& e) { return e["name"] == name; });
    return it == array.end() ? json() : *it;
}

TEST_F(Fmtmgr, EveryCommandWritesItsFieldsAndNoOthers) {
    const struct {
        const wchar_t* arguments;
        const char* shape;
    } cases[] = {
        {L"plugins", "{plugins:[{clsid,component,extensions:[{extension,mask}],name}],unknownPluginEntries:[]"
                     ",unusableEntries:[]}"},
        {L"extensions --mask 0x4000", "{extensions:[],mask}"},
        {L"format box.mrdasm", "{file,mask,plugin,requestedMask}"},
        {L"refs box.mrdasm",
         "{file,mask,references:[{configurations:[{config1,config2,count,flag1Count,flag2OnlyCount}],"
         "dataSize,dataText,filePath,flag,number,numberA,numberB,numberC,numberD,refPath,text}]}"},
        {L"size-date box.mrdasm --utc", "{date,file,oleDate,size,universal}"},
        {L"configs box.mrdasm", "{configurations:[{name,tag}],file}"},
        {L"attrs box.mrdasm CustomProperty:Material",
         "{attributes:[{block,flag,found,name,type,value}],configuration,file}"},
        {L"vars box.mrdasm --map M=CustomProperty:Material",
         "{file,variables:[{values:[{configuration,flag,set,tag,type,value}],variable}]}"},
        {L"set-attrs box.mrdasm CustomProperty:Material=Steel --no-save",
         "{attributes:[{block,name,written}],configuration,file,saved,written}"},
        {L"set-vars box.mrdasm --map M=CustomProperty:Material --set M=Iron --no-save",
         "{file,saved,variables:[{values:[{configuration,flag,set,tag,type,value}],variable}],written}"},
        {L"modules box.mrdasm", "{file,mask,modules}"},
        {L"subfiles box.mrdasm", "{entries:[],file,folders}"},
        {L"update-refs box.mrdasm --move a.mrdprt=b.mrdprt", "{changed:[],file,references}"},
        {L"menu box.mrdasm", "{items:[{help,id,state,text}],menu}"},
        {L"preview box.mrdasm --png box.png", "{file,height,png,width}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.shape, Shape(RunJson(c.arguments))) << Utf8(c.arguments);
}

TEST_F(Fmtmgr, ListsPluginsAndExtensionsAndResolvesAFileItsSizeAndDate) {
    const json mrd = Named(RunJson(L"plugins")["plugins"], "MrdPlugin.dll");
    EXPECT_EQ("{484E65A5-42FC-42F3-A658-7A719CFAA378}", mrd["clsid"]);
    EXPECT_EQ(12u, mrd["extensions"].size()); // three extensions, four capabilities each
    EXPECT_EQ("MRDASM\nMRDDRW\nMRDPRT\n", Run(L"extensions --mask 0x4000").out); // upper case, no dot
    EXPECT_EQ(json::array(), RunJson(L"extensions --mask 8")["extensions"]);
    // The entries for .mrdasm come in the order 0x1, 0x4000, 0x2, 0x4: a request of 0x4002 takes
    // the first one sharing a bit, whose mask differs from the request.
    const json format = RunJson(L"format box.mrdasm --mask 0x4002");
    EXPECT_EQ("MrdPlugin.dll", format["plugin"]);
    EXPECT_EQ(0x4002, format["requestedMask"]);
    EXPECT_EQ(0x4000, format["mask"]);
    EXPECT_EQ(0x4000, RunJson(L"refs box.mrdasm --mask 0x4002")["mask"]);
    EXPECT_EQ(0x1, RunJson(L"refs box.mrdasm")["mask"]);
    EXPECT_EQ(sizeof(kSampleAssembly) - 1, RunJson(L"size-date box.mrdasm")["size"]);
    EXPECT_EQ('Z', RunJson(L"size-date --utc box.mrdasm")["date"].get<std::string>().back());
}

TEST_F(Fmtmgr, ShowsReferencesWithKindsFlagsAndConfigurationPairsInAnyLetterCase) {
    // Per reference: key, full path, the path as written, kind, number of uses, flag (off when
    // every use is suppressed), then per pair of configurations: uses, suppressed ones and only
    // excluded ones. One element per use: the repeated pair counts twice.
    const auto flat = [](const json& r) {
        json row = {r["refPath"], r["filePath"], r["dataText"], r["numberA"], r["numberB"], r["flag"]};
        for (const json& p : r["configurations"])
            for (const char* field : {"config1", "config2", "count", "flag1Count", "flag2OnlyCount"})
                row.push_back(p[field]);
        return row;
    };
    folder.WriteFile(L"upper.mrdasm", "MRD 1 assembly\r\n[Configurations]\r\nDefault\r\n"
                                      "[Reference Shaft]\r\nPath = parts\\shaft.mrdprt\r\nKind = VIEW\r\n"
                                      "Use = Default > Standard, SUPPRESSED, Excluded\r\n"
                                      "Use = Default > Standard, EXCLUDED\r\n");
    const json refs = RunJson(L"refs box.mrdasm")["references"],
               upper = RunJson(L"refs upper.mrdasm")["references"];
    ASSERT_EQ(2u, refs.size());
    ASSERT_EQ(1u, upper.size());
    const std::string shaft = Utf8(folder.Path()) + "\\parts\\shaft.mrdprt";
    EXPECT_EQ(json::array({"Shaft", shaft, "parts\\shaft.mrdprt", 1, 3, true, "Default", "Standard", 1, 0, 1,
                           "Heavy", "Long", 2, 1, 0}),
              flat(refs[0]));
    EXPECT_EQ(json::array({"Housing", "C:\\cast\\housing.mrdprt", "C:\\cast\\housing.mrdprt", 2, 1, false,
                           "Heavy", "Cast", 1, 1, 0}),
              flat(refs[1]));
    EXPECT_EQ(
        json::array({"Shaft", shaft, "parts\\shaft.mrdprt", 3, 2, true, "Default", "Standard", 2, 1, 1}),
        flat(upper[0]));

    const Result text = Run(L"refs box.mrdasm");
    EXPECT_THAT(text.out, HasSubstr("box.mrdasm: 2 references"));
    EXPECT_THAT(text.out, HasSubstr("Heavy > Long"));
    EXPECT_THAT(text.err, HasSubstr("Opening file...")); // the status text through ITovCallback
}

// Help ends with 0 and prints only to stdout; bad usage ends with 2, a failure with 1, and both
// print only to stderr: the code and its meaning, with --json one JSON object. A path that starts
// with "/" is a file, never an option. Neither a malformed file nor one whose moves were refused
// (folders, devices, ambiguous "=") is touched.
TEST_F(Fmtmgr, ExitCodesAndMessages) {
    folder.WriteFile(L"bad.json", "[{\"old\": \"a.mrdprt\"}]");
    const std::string before = ReadAll(broken);
    const ULONGLONG written = LastWrite(broken);
    const struct {
        const wchar_t* arguments;
        DWORD exitCode;
        const char* says;
    } cases[] = {
        {L"--help", 0, "Usage"},
        {L"update-refs --help", 0, "Usage"},
        {L"refs /no/such/folder/x.mrdasm", 1, "0x8007"},
        {L"refs notes.txt", 1, "0x8004022A: no plug-in serves this extension"},
        {L"--json refs notes.txt", 1, "{\"error\":{\"code\":\"0x8004022A\","},
        {L"format box.mrdasm --mask 8", 1, "the extension offers 0x4017"},
        {L"preview notes.txt --png notes.png", 1, "notes.txt has no preview: 0x8004022A"},
        {L"preview broken.mrdprt --png broken.png", 1, "every preview for .mrdprt failed to show it"},
        {L"menu notes.txt", 1, "has no preview"},
        {L"update-refs broken.mrdprt --move a.mrdprt=b.mrdprt", 1, "0x80040300"},
        {L"refs broken.mrdprt", 1, "line 5: the configuration \"Standrd\" is not declared"},
        {L"size-date missing.txt", 1, "0x80040213"},
        {L"set-vars box.mrdasm --map T=CustomProperty:Title --set U=1", 1, "U"},
        {L"frobnicate", 2, "subcommand"},
        {L"refs --json", 2, "FILE is required"},
        {L"--frobnicate refs box.mrdasm", 2, "--frobnicate"},
        {L"extensions --mask 0xZZ", 2, "0xZZ"},
        {L"preview box.mrdasm --size 0x20 --png box.png", 2, "WxH"},
        {L"attrs box.mrdasm NoColon", 2, "an attribute reads BLOCK:NAME"},
        {L"run box.mrdasm --command 40000", 2, "--sub"},
        {L"update-refs broken.mrdprt", 2, "--move"},
        {L"update-refs broken.mrdprt --move a.mrdprt", 2, "OLD=NEW"},
        {L"update-refs broken.mrdprt --to b.mrdprt --move a.mrdprt=c.mrdprt", 2, "--to NEW follows"},
        {L"update-refs broken.mrdprt --move parts\\v=2.mrdprt=new\\v=2.mrdprt", 2, "more than one \"=\""},
        {L"update-refs broken.mrdprt --move a.mrdprt=CON", 2, "names a device"},
        {L"update-refs broken.mrdprt --move a.mrdprt --to \\\\.\\pipe\\x", 2, "names a device"},
        {L"update-refs broken.mrdprt --move a.mrdprt=.", 2, "names a folder"},
        {L"update-refs broken.mrdprt --move a.mrdprt=new\\", 2, "names a folder"},
        {L"update-refs broken.mrdprt --moves bad.json", 2, "move 1 is not"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.arguments));
        const Result r = Run(c.arguments);
        EXPECT_EQ(c.exitCode, r.exitCode) << r.err;
        EXPECT_THAT(c.exitCode ? r.err : r.out, HasSubstr(c.says));
        EXPECT_EQ("", c.exitCode ? r.out : r.err);
        if (c.exitCode != 2)
            continue;
        const Result j = Run(L"--json " + std::wstring(c.arguments));
        EXPECT_EQ(2u, j.exitCode);
        EXPECT_EQ("", j.out);
        const json error = json::parse(j.err, nullptr, false);
        EXPECT_EQ(true, error["error"]["usage"]) << j.err;
        EXPECT_THAT(error["error"]["what"].get<std::string>(), HasSubstr(c.says));
    }
    EXPECT_EQ(before, ReadAll(broken));
    EXPECT_EQ(written, LastWrite(broken));
    const std::wstring unix = UnixPath(assembly);
    ASSERT_EQ(L'/', unix.at(0));
    EXPECT_EQ(2u, RunJson(L"refs " + unix)["references"].size());
}

// A new file-wide property, moved references (the frozen one keeps its path, a relative one stays
// relative) and a changed property of one configuration, each saved in turn: every line lands in
// its own section and nothing else of the file changes.
TEST_F(Fmtmgr, SaveAfterAttributeAndReferenceChangesKeepsEverySectionInPlace) {
    ASSERT_EQ(0u, Run(L"set-attrs box.mrdasm CustomProperty:Author=Ann").exitCode);
    const std::wstring moves =
        L"update-refs box.mrdasm --move C:\\cast\\housing.mrdprt=C:\\cast\\housing-2.mrdprt "
        L"--move parts\\shaft.mrdprt=bought\\shaft.mrdprt";
    const json update = RunJson(moves);
    ASSERT_EQ(1u, update["changed"].size());
    EXPECT_EQ("Shaft", update["changed"][0]["refPath"]);
    EXPECT_EQ(Utf8(folder.Path()) + "\\bought\\shaft.mrdprt", update["changed"][0]["to"]);
    EXPECT_EQ(0u, RunJson(moves)["changed"].size());
    ASSERT_EQ(0u, Run(L"set-attrs box.mrdasm --config Heavy \"CustomProperty:Title=Heavier box\"").exitCode);
    std::string expected = kSampleAssembly;
    expected.replace(expected.find("parts\\"), 6, "bought\\");
    expected.replace(expected.find("Heavy box"), 9, "Heavier box");
    expected.insert(expected.find("[Properties Heavy]"), "CustomProperty:Author = Ann\r\n");
    EXPECT_EQ(expected, ReadAll(assembly));
    const json attrs = RunJson(L"attrs box.mrdasm CustomProperty:Author CustomProperty:Material");
    EXPECT_EQ("Ann", attrs["attributes"][0]["value"]);
    EXPECT_EQ("Steel", attrs["attributes"][1]["value"]);
}

// --keep-time keeps the time of the file, or of the file --keep-attributes-of names, in whole
// even seconds.
TEST_F(Fmtmgr, UpdateKeepsTheTimeOfTheFileOrOfTheNamedOne) {
    const std::wstring kept = folder.WriteFile(L"kept.txt", "kept\n");
    SYSTEMTIME st{2024, 3, 0, 14, 10, 15, 7, 640};
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    for (const std::wstring& path : {assembly, kept})
        SetLastWrite(path, (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    const auto seconds = [](const std::wstring& path) { return LastWrite(path) / 10000000 % 60; };
    EXPECT_EQ(
        1u,
        RunJson(L"update-refs box.mrdasm --keep-time --move parts\\shaft.mrdprt=b\\shaft.mrdprt")["changed"]
            .size());
    EXPECT_EQ(6u, seconds(assembly));
    EXPECT_EQ(1u, RunJson(L"update-refs box.mrdasm --keep-time --keep-attributes-of kept.txt "
                          L"--move b\\shaft.mrdprt=parts\\shaft.mrdprt")["changed"]
                      .size());
    EXPECT_EQ(kSampleAssembly, ReadAll(assembly));
    EXPECT_EQ(6u, seconds(kept));
}

// Moves from a file (OLD=NEW lines or a JSON array) and --move OLD --to NEW for paths with "=":
// each rewrites exactly the reference it names.
TEST_F(Fmtmgr, TakesMovesFromAFileAndPathsHoldingEquals) {
    const std::string text = "MRD 1 assembly\r\n[Reference V]\r\nPath = parts\\v\r\n"
                             "[Reference V2]\r\nPath = parts\\v=2.mrdprt\r\n"
                             "[Reference Shaft]\r\nPath = parts\\shaft.mrdprt\r\n";
    folder.WriteFile(L"moves.txt", "\xEF\xBB\xBFparts\\shaft.mrdprt=bought\\shaft.mrdprt\r\n\r\n");
    folder.WriteFile(L"moves.json", "[{\"old\": \"parts\\\\v=2.mrdprt\", \"new\": \"json\\\\v=2.mrdprt\"}]");
    const struct {
        const wchar_t* moves;
        const char* key;
        const char* to;
    } cases[] = {
        {L"--move parts\\v=2.mrdprt --to new\\v=2.mrdprt", "V2", "new\\v=2.mrdprt"},
        {L"--moves moves.txt", "Shaft", "bought\\shaft.mrdprt"},
        {L"--moves moves.json", "V2", "json\\v=2.mrdprt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.moves));
        folder.WriteFile(L"eq.mrdasm", text);
        const json update = RunJson(L"update-refs eq.mrdasm " + std::wstring(c.moves));
        ASSERT_EQ(1u, update["changed"].size());
        EXPECT_EQ(c.key, update["changed"][0]["refPath"]);
        EXPECT_EQ(Utf8(folder.Path()) + "\\" + c.to, update["changed"][0]["to"]);
    }
}

// Keys, paths and the plug-in's error texts come from files: their control characters and
// direction overrides are shown escaped in text, never sent to the terminal.
TEST_F(Fmtmgr, EscapesControlCharactersInText) {
    folder.WriteFile(L"esc.mrdasm", "MRD 1 assembly\r\n[Reference Sh\x1B]0;owned\x07"
                                    "aft]\r\nPath = parts\\\xE2\x80\xAEtxt.mrdprt\r\n");
    folder.WriteFile(L"esc.mrdprt", "MRD 1 part\r\n[\x1B[2J]\r\n");
    const Result refs = Run(L"-q refs esc.mrdasm"), broken = Run(L"-q refs esc.mrdprt");
    EXPECT_EQ(0u, refs.exitCode) << refs.err;
    EXPECT_THAT(refs.out, HasSubstr("Sh\\x1B]0;owned\\x07aft"));
    EXPECT_THAT(refs.out, HasSubstr("parts\\\\u202Etxt.mrdprt"));
    EXPECT_EQ(1u, broken.exitCode);
    EXPECT_THAT(broken.err, HasSubstr("[\\x1B[2J]"));
    for (const std::string* text : {&refs.out, &broken.err}) {
        EXPECT_EQ(std::string::npos, text->find_first_of("\x1B\x07")) << *text;
        EXPECT_EQ(std::string::npos, text->find("\xE2\x80\xAE")) << *text;
    }
    EXPECT_THAT(RunJson(L"refs esc.mrdasm").dump(), HasSubstr("Sh\\u001b]0;owned\\u0007aft"));
}

// A file whose folder is over 300 characters long and 120 levels deep, named with and without the
// long-path prefix; a move out to the top writes the path in full.
TEST_F(Fmtmgr, WorksOnFilesInLongDeepFolders) {
    std::wstring deep = folder.Path();
    for (int level = 0; level < 120; ++level) {
        deep += level == 119 ? L"\\" + std::wstring(deep.size() < 300 ? 310 - deep.size() : 2, L'e') : L"\\d";
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr)) << level;
    }
    const std::string text = "MRD 1 assembly\r\n[Reference Near]\r\nPath = parts\\near.mrdprt\r\n"
                             "[Reference Far]\r\nPath = parts\\far.mrdprt\r\n";
    for (const std::wstring& prefix : {std::wstring(), std::wstring(L"\\\\?\\")}) {
        SCOPED_TRACE(Utf8(prefix));
        const std::wstring file = deep + L"\\box.mrdasm", named = L"\"" + prefix + file + L"\"";
        {
            const ffm::UniqueFile out(CreateFileW((L"\\\\?\\" + file).c_str(), GENERIC_WRITE, 0, nullptr,
                                                  CREATE_ALWAYS, 0, nullptr));
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(out.get(), text.data(), DWORD(text.size()), &written, nullptr));
        }
        EXPECT_EQ(text.size(), RunJson(L"size-date " + named)["size"]);
        EXPECT_EQ(Utf8(deep) + "\\parts\\near.mrdprt",
                  RunJson(L"refs " + named)["references"][0]["filePath"]);
        const json update =
            RunJson(L"update-refs " + named + L" --move \"" + prefix + deep + L"\\parts\\near.mrdprt=" +
                    prefix + deep + L"\\bought\\near.mrdprt\" --move \"" + deep + L"\\parts\\far.mrdprt=" +
                    folder.Path() + L"\\far.mrdprt\"");
        EXPECT_EQ(2u, update["changed"].size()) << update.dump();
        const std::string saved = ReadAll(file);
        EXPECT_THAT(saved, HasSubstr("Path = bought\\near.mrdprt\r\n"));
        // 120 levels up is further than the old path climbed: the full path is written.
        EXPECT_THAT(saved, HasSubstr("Path = " + Utf8(folder.Path()) + "\\far.mrdprt\r\n"));
    }
}

// Registry keys written for one test beside the sample plug-in's, and removed afterwards.
struct HostileRegistry {
    ~HostileRegistry() {
        for (const auto& [root, key] : keys)
            RegDeleteTreeW(root, key.c_str());
    }
    std::wstring Key(HKEY root, const std::wstring& key) {
        keys.emplace_back(root, key);
        return key;
    }
    std::wstring Formats(const std::wstring& name) {
        return Key(HKEY_LOCAL_MACHINE, L"Software\\Mordane\\Applications\\Quillan\\FileFormats\\" + name);
    }
    std::vector<std::pair<HKEY, std::wstring>> keys;
};

// What the store could not use is listed with the key and the reason; plug-in names compare as
// the plug-in table compares them, and `format` names the plug-in the manager really uses.
TEST_F(Fmtmgr, PluginsReportsRegistryEntriesItCannotUse) {
    HostileRegistry registry;
    const std::wstring hostile = registry.Formats(L".hostile"), broken = registry.Formats(L"Broken.dll");
    RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, hostile, std::wstring(300, L'7').c_str(),
                                    {L"MrdPlugin.dll"});
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, hostile, L"4", L"MrdPlugin.dll");
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, broken, L"", L"");
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, broken, L"CLSID", L"not-a-class");
    RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, registry.Formats(L".casex"), L"2",
                                    {L"mrdplugin.dll"});
    // Every candidate of a Solid Edge extension is an entry; the first names no registered plug-in.
    RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, registry.Formats(L".par"), L"2",
                                    {L"Ghost.dll", L"MRDPLUGIN.DLL"});

    const json plugins = RunJson(L"plugins");
    std::string unusable;
    for (const json& u : plugins["unusableEntries"])
        unusable += u["key"].get<std::string>() + "|" + u["value"].get<std::string>() + "|" +
                    u["reason"].get<std::string>() + "\n";
    EXPECT_THAT(unusable, HasSubstr(".hostile||the listing of its values stopped after"));
    EXPECT_THAT(unusable, HasSubstr("300 characters"));
    EXPECT_THAT(unusable, HasSubstr(".hostile|4|not a list of plug-ins (REG_MULTI_SZ"));
    EXPECT_THAT(unusable, HasSubstr("Broken.dll|CLSID|\"not-a-class\" is not a class identifier"));
    const json mrd = Named(plugins["plugins"], "MrdPlugin.dll");
    for (const char* extension : {".casex", ".par"})
        EXPECT_EQ(1, std::count_if(mrd["extensions"].begin(), mrd["extensions"].end(),
                                   [&](const json& e) { return e["extension"] == extension; }));
    ASSERT_EQ(1u, plugins["unknownPluginEntries"].size()) << plugins["unknownPluginEntries"].dump();
    EXPECT_EQ("Ghost.dll", plugins["unknownPluginEntries"][0]["plugin"]);
    EXPECT_THAT(Run(L"plugins").out, HasSubstr("(unusable registry entry FileFormats\\Broken.dll value "
                                               "\"CLSID\": \"not-a-class\" is not a class identifier"));
    EXPECT_EQ("MrdPlugin.dll", RunJson(L"format x.par --mask 2")["plugin"]);
}

// A plug-in that cannot be created is named with its DLL and the likely cause.
TEST_F(Fmtmgr, ActivationFailuresNameTheDllAndTheCause) {
    HostileRegistry registry;
    const struct {
        std::wstring server;
        const char* says;
    } cases[] = {
        {folder.Path() + L"\\missing\\Ghost.dll", "does not exist"},
        {folder.WriteFile(L"notes.dll", "not a program"), "is not a DLL"},
        {ExecutableFolder() + L"\\FileFmtMgr.dll", "exports no DllGetClassObject"},
    };
    for (const auto& c : cases) {
        const std::wstring n = std::to_wstring(&c - cases), name = L"Ghost" + n + L".dll";
        const std::wstring clsid = L"{5D1C7A40-3E9B-4F21-9C6A-0B7E2F4D8A0" + n + L"}";
        RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, registry.Formats(name), L"CLSID", clsid);
        RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, registry.Formats(name), L"", L"");
        RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, registry.Formats(L".ghost" + n), L"2", {name});
        const std::wstring inproc = registry.Key(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid) + L"\\InprocServer32";
        RegistrySandbox::SetString(HKEY_CLASSES_ROOT, inproc, L"", c.server);
        RegistrySandbox::SetString(HKEY_CLASSES_ROOT, inproc, L"ThreadingModel", L"Both");
        const Result r = Run(L"format x.ghost" + n + L" --mask 2");
        EXPECT_EQ(1u, r.exitCode) << Utf8(name);
        EXPECT_THAT(r.err, HasSubstr("plug-in " + Utf8(name) + ": its DLL " + Utf8(c.server) + " " + c.says));
    }
    // The sample plug-in's class registered for one apartment only.
    RegistrySandbox::SetString(HKEY_CLASSES_ROOT,
                               L"CLSID\\{484E65A5-42FC-42F3-A658-7A719CFAA378}\\InprocServer32",
                               L"ThreadingModel", L"Apartment");
    const Result r = Run(L"refs box.mrdasm");
    EXPECT_EQ(1u, r.exitCode);
    EXPECT_THAT(r.err, HasSubstr("plug-in MrdPlugin.dll: its class {484E65A5-42FC-42F3-A658-7A719CFAA378} "
                                 "has the ThreadingModel \"Apartment\""));
}

// A real spreadsheet's inner files, listed and offered in a context menu; search paths through
// the settings component's double; the product modules of the sample plug-in.
TEST_F(Fmtmgr, ListsInnerFilesTheirMenuSearchPathsAndModules) {
    SamplePluginRegistration compound{L"CompoundPlugin.dll"}, settings{L"VkrSettings.dll"};
    ASSERT_EQ(S_OK, compound.registered);
    ASSERT_EQ(S_OK, settings.registered);
    const std::wstring spreadsheet = folder.WriteFile(L"names.xls", ReadAll(RealCompoundFiles()[0]));
    const Result text = Run(L"subfiles names.xls");
    EXPECT_THAT(text.out, HasSubstr("  Workbook  (12515 bytes)\n"));
    EXPECT_THAT(text.out, HasSubstr("  \\x05SummaryInformation  (4096 bytes)\n"));
    const json files = RunJson(L"subfiles names.xls");
    EXPECT_EQ("{entries:[{name,path,size}],file,folders}", Shape(files));
    ASSERT_EQ(3u, files["entries"].size());
    EXPECT_EQ(Utf8(spreadsheet) + "|Workbook", files["entries"][0]["path"]);
    EXPECT_TRUE(RunJson(L"subfiles names.xls --folders")["entries"].empty());

    const json menu = RunJson(L"menu names.xls --sub Workbook --sub \\x05SummaryInformation --first-id 100");
    ASSERT_EQ(2u, menu["items"].size()) << menu.dump();
    EXPECT_EQ((json{{"help", "Write the selected inner files to files beside the document."},
                    {"id", 100},
                    {"state", ""},
                    {"text", "Extract"}}),
              menu["items"][0]);
    EXPECT_EQ(101, menu["items"][1]["id"]);
    EXPECT_THAT(Run(L"run names.xls --sub workbook --command 40000").out,
                HasSubstr("Item 40000 carried out."));
    EXPECT_EQ("{file,id,refresh}", Shape(RunJson(L"run names.xls --sub Workbook --command 40001")));
    EXPECT_EQ(ReadStreams(spreadsheet).at(L"Workbook"), ReadAll(folder.Path() + L"\\names.xls.Workbook"));
    EXPECT_THAT(Run(L"run names.xls --sub Workbook --command 40005").err, HasSubstr("has no item 40005"));
    EXPECT_THAT(Run(L"menu names.xls --sub Nothing").err, HasSubstr("holds no inner file Nothing"));

    folder.WriteFile(L"settings.ini", "[Parts]\r\nSearchPaths=C:\\Lib\\;D:/Shared\r\n");
    SetEnvironmentVariableW(L"FFM_SETTINGS_CONFIG", (folder.Path() + L"\\settings.ini").c_str());
    const json paths = RunJson(L"search-paths box.mrdasm --settings-key Parts");
    SetEnvironmentVariableW(L"FFM_SETTINGS_CONFIG", nullptr);
    const std::string here = Utf8(folder.Path()) + "\\";
    EXPECT_EQ("{file,searchPaths:[],settingsKey}", Shape(paths));
    EXPECT_EQ((json{"C:\\Lib\\", "D:\\Shared\\", here, here + "parts\\"}), paths["searchPaths"]);
    const std::pair<const wchar_t*, const char*> modules[] = {
        {L"box.mrdasm", "Assembly;Part"}, {L"d.mrddrw", "Drawing;Assembly;Part"}, {L"p.MRDPRT", "Part"}};
    for (const auto& [file, expected] : modules)
        EXPECT_EQ(expected, RunJson(L"modules " + std::wstring(file))["modules"]);
    EXPECT_THAT(Run(L"modules names.xls").err, HasSubstr("0x80004003"));
}

TEST_F(Fmtmgr, DataCardCommandsReadConfigurationsAttributesAndVariables) {
    const json configs = RunJson(L"configs box.mrdasm")["configurations"];
    ASSERT_EQ(2u, configs.size());
    EXPECT_EQ("Default", configs[0]["name"]);
    EXPECT_EQ("Heavy", configs[1]["name"]);
    EXPECT_NE(configs[0]["tag"], configs[1]["tag"]);

    // The configuration's own value, then the file-wide one (flagged), names in any letter case.
    const json heavy =
        RunJson(L"attrs box.mrdasm --config Heavy CustomProperty:Title customproperty:material "
                L"CustomProperty:Missing")["attributes"];
    ASSERT_EQ(3u, heavy.size());
    EXPECT_EQ("Heavy box", heavy[0]["value"]);
    EXPECT_EQ("string", heavy[0]["type"]);
    EXPECT_EQ(false, heavy[0]["flag"]);
    EXPECT_EQ("Steel", heavy[1]["value"]);
    EXPECT_EQ(true, heavy[1]["flag"]);
    EXPECT_EQ(false, heavy[2]["found"]);

    // Default has no title of its own: Title takes its second mapping, T has no value there.
    const json vars =
        RunJson(L"vars box.mrdasm --all-configs --map Title=CustomProperty:Title "
                L"--map Title=CustomProperty:Material --map T=CustomProperty:Title")["variables"];
    ASSERT_EQ(2u, vars.size());
    EXPECT_EQ("Default", vars[0]["values"][0]["configuration"]);
    EXPECT_EQ("Steel", vars[0]["values"][0]["value"]);
    EXPECT_EQ("Heavy box", vars[0]["values"][1]["value"]);
    ASSERT_EQ(1u, vars[1]["values"].size());
    EXPECT_EQ("Heavy", vars[1]["values"][0]["configuration"]);
    EXPECT_EQ(0u, Run(L"set-vars box.mrdasm --map T=CustomProperty:Title --set T=X --no-save").exitCode);
    EXPECT_EQ(kSampleAssembly, ReadAll(assembly));
}

// A file's preview and the excluded-types dialog (opened and cancelled) as PNG pictures; the view
// menu's items are the menu suite's.
TEST_F(Fmtmgr, WritesPreviewsAndTheDialogAsPngPictures) {
    EXPECT_THAT(Run(L"-q preview box.mrdasm --size 320x200 --png box.png").out,
                HasSubstr("box.png (320x200)"));
    const json dialog = RunJson(L"excluded --dialog --png dialog.png");
    EXPECT_EQ(false, dialog["confirmed"]);
    EXPECT_EQ(Utf8(folder.Path()) + "\\dialog.png", dialog["png"]);
    const std::string png = ReadAll(folder.Path() + L"\\box.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(std::string("\x89PNG\r\n\x1a\n", 8), png.substr(0, 8));
    // The header's width and height, big-endian.
    EXPECT_EQ(std::string("\0\0\x01\x40\0\0\0\xC8", 8), png.substr(16, 8));
    EXPECT_EQ(png.substr(0, 8), ReadAll(folder.Path() + L"\\dialog.png").substr(0, 8));
}

} // namespace
