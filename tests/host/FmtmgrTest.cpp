// fmtmgr.exe driven as a person or a script drives it: a separate process over the sample plug-in,
// registered in the prefix for each test; its stdout, stderr and exit code are checked.
#include "support/CompoundFiles.h"
#include "support/SamplePlugin.h"

#include <foundation/Handles.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <nlohmann/json.hpp>

using namespace ffmtest;
using nlohmann::json;

namespace {

struct Result {
    DWORD exitCode;
    std::string out, err;
};

ULONGLONG LastWrite(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return (ULONGLONG(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

class Fmtmgr : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, plugin.registered);
        assembly = folder.WriteFile(L"box.mrdasm", kSampleAssembly);
        broken = folder.WriteFile(L"broken.mrdprt",
                                  "MRD 1 part\n[Configurations]\nStandard\n\n[Properties Standrd]\n");
    }

    // Runs fmtmgr.exe with the arguments, its output going to files that are read afterwards.
    // Each run writes files of its own: a helper process of Wine may hold the previous run's
    // handles a little longer, and reusing the names would then read the previous output.
    Result Run(const std::wstring& arguments) {
        const std::wstring run = std::to_wstring(++runs);
        const std::wstring outPath = folder.Path() + L"\\stdout" + run + L".txt",
                           errPath = folder.Path() + L"\\stderr" + run + L".txt";
        DWORD exitCode = 0xFFFFFFFF;
        {
            SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
            const auto create = [&](const std::wstring& path) {
                return ffm::UniqueFile(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                                   CREATE_ALWAYS, 0, nullptr));
            };
            const ffm::UniqueFile out = create(outPath), err = create(errPath);
            EXPECT_TRUE(out && err) << "cannot create the output files: " << GetLastError();
            STARTUPINFOW startup{};
            startup.cb = sizeof(startup);
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdOutput = out.get();
            startup.hStdError = err.get();
            std::wstring command = L"\"" + ExecutableFolder() + L"\\fmtmgr.exe\" " + arguments;
            PROCESS_INFORMATION process{};
            if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               folder.Path().c_str(), &startup, &process)) {
                const ffm::UniqueHandle thread(process.hThread), child(process.hProcess);
                WaitForSingleObject(child.get(), 60000);
                GetExitCodeProcess(child.get(), &exitCode);
            }
        }
        return {exitCode, ReadAll(outPath), ReadAll(errPath)};
    }

    json RunJson(const std::wstring& arguments) {
        const Result r = Run(L"--json " + arguments);
        EXPECT_EQ(0u, r.exitCode) << r.err;
        return json::parse(r.out, nullptr, false);
    }

    SamplePluginRegistration plugin;
    TempFolder folder;
    int runs = 0;
    std::wstring assembly, broken;
};

TEST_F(Fmtmgr, ListsPluginsAndExtensionsAndResolvesAFileItsSizeAndDate) {
    const json plugins = RunJson(L"plugins")["plugins"];
    const auto mrd = std::find_if(plugins.begin(), plugins.end(),
                                  [](const json& p) { return p["name"] == "MrdPlugin.dll"; });
    ASSERT_NE(plugins.end(), mrd);
    EXPECT_EQ("{484E65A5-42FC-42F3-A658-7A719CFAA378}", (*mrd)["clsid"]);
    EXPECT_EQ(12u, (*mrd)["extensions"].size()); // three extensions, four capabilities each

    EXPECT_EQ("MRDASM\nMRDDRW\nMRDPRT\n", Run(L"extensions --mask 0x4000").out); // upper case, no dot
    EXPECT_EQ(json::array(), RunJson(L"extensions --mask 8")["extensions"]);
    const json format = RunJson(L"format box.mrdasm --mask 16384");
    EXPECT_EQ("MrdPlugin.dll", format["plugin"]);
    EXPECT_EQ(0x4000, format["mask"]);
    EXPECT_EQ(static_cast<long long>(sizeof(kSampleAssembly) - 1), RunJson(L"size-date box.mrdasm")["size"]);
    EXPECT_EQ('Z', RunJson(L"size-date --utc box.mrdasm")["date"].get<std::string>().back());
}

TEST_F(Fmtmgr, ShowsReferencesWithKindsFlagsAndConfigurationPairs) {
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
    const json refs = RunJson(L"refs box.mrdasm")["references"];
    ASSERT_EQ(2u, refs.size());
    EXPECT_EQ(json::array({"Shaft", Utf8(folder.Path()) + "\\parts\\shaft.mrdprt", "parts\\shaft.mrdprt", 1,
                           3, true, "Default", "Standard", 1, 0, 1, "Heavy", "Long", 2, 1, 0}),
              flat(refs[0]));
    EXPECT_EQ(json::array({"Housing", "C:\\cast\\housing.mrdprt", "C:\\cast\\housing.mrdprt", 2, 1, false,
                           "Heavy", "Cast", 1, 1, 0}),
              flat(refs[1]));

    const Result text = Run(L"refs box.mrdasm");
    EXPECT_NE(std::string::npos, text.out.find("box.mrdasm: 2 references"));
    EXPECT_NE(std::string::npos, text.out.find("Heavy > Long")) << text.out;
    EXPECT_NE(std::string::npos, text.err.find("Opening file...")); // the status text through ITovCallback
}

TEST_F(Fmtmgr, UpdatesReferencesAfterMovesAndReadsTheSavedFileBack) {
    // The frozen reference keeps its path; the move after it is still applied.
    const std::wstring moves = L"--move C:\\cast\\housing.mrdprt=C:\\cast\\housing-2.mrdprt "
                               L"--move parts\\shaft.mrdprt=bought\\shaft.mrdprt";
    const json update = RunJson(L"update-refs box.mrdasm " + moves);
    ASSERT_EQ(1u, update["changed"].size());
    EXPECT_EQ("Shaft", update["changed"][0]["refPath"]);
    EXPECT_EQ(Utf8(folder.Path()) + "\\bought\\shaft.mrdprt", update["changed"][0]["to"]);
    std::string expected = kSampleAssembly; // the relative path stays relative, nothing else changes
    expected.replace(expected.find("parts\\"), 6, "bought\\");
    EXPECT_EQ(expected, ReadAll(assembly));

    EXPECT_EQ(0u, RunJson(L"update-refs box.mrdasm " + moves)["changed"].size());
}

TEST_F(Fmtmgr, UpdateKeepsTheReadOnlyAttributeAndTheTimeOfTheFileOrOfTheNamedOne) {
    const auto stamp = [](const std::wstring& path) {
        SYSTEMTIME st{2024, 3, 0, 14, 10, 15, 7, 640};
        FILETIME ft;
        SystemTimeToFileTime(&st, &ft);
        const ffm::UniqueFile file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
        SetFileTime(file.get(), nullptr, nullptr, &ft);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    };
    const auto seconds = [](const std::wstring& path) { return LastWrite(path) / 10000000 % 60; };
    const std::wstring kept = folder.WriteFile(L"kept.txt", "kept\n");
    stamp(assembly);
    stamp(kept);
    const DWORD readOnly = GetFileAttributesW(assembly.c_str());
    ASSERT_TRUE(readOnly & FILE_ATTRIBUTE_READONLY);

    const std::wstring move = L" --move parts\\shaft.mrdprt=bought\\shaft.mrdprt";
    EXPECT_EQ(1u, RunJson(L"update-refs box.mrdasm --keep-time" + move)["changed"].size());
    EXPECT_EQ(readOnly, GetFileAttributesW(assembly.c_str()));
    EXPECT_EQ(6u, seconds(assembly)); // 10:15:07.640 kept in whole even seconds
    EXPECT_EQ(0u, LastWrite(assembly) % 10000000);

    // The ">" form: the named file keeps its attribute and time, the updated one is written.
    SetFileAttributesW(assembly.c_str(), FILE_ATTRIBUTE_NORMAL);
    const json back = RunJson(L"update-refs box.mrdasm --keep-time --keep-attributes-of kept.txt "
                              L"--move bought\\shaft.mrdprt=parts\\shaft.mrdprt");
    EXPECT_EQ(1u, back["changed"].size());
    EXPECT_EQ(kSampleAssembly, ReadAll(assembly));
    EXPECT_EQ(readOnly, GetFileAttributesW(kept.c_str()));
    EXPECT_EQ(6u, seconds(kept));
}

// Every failure leaves stdout empty; a malformed file is left as it was, bytes and time.
TEST_F(Fmtmgr, FailsWithTheCodeAndItsMeaningOnStderr) {
    const std::string before = ReadAll(broken);
    const ULONGLONG written = LastWrite(broken);
    const struct {
        const wchar_t* arguments;
        DWORD exitCode;
        const char* says;
    } cases[] = {
        {L"refs missing.mrdasm", 1, "0x80070002"},
        {L"refs notes.txt", 1, "0x8004022A: no plug-in serves this extension"},
        {L"format box.mrdasm --mask 8", 1, "the extension offers 0x4017"},
        {L"preview notes.txt --png notes.png", 1, "notes.txt has no preview: 0x8004022A"},
        {L"preview box.mrdasm --size 0x20 --png box.png", 2, "WxH"},
        {L"preview broken.mrdprt --png broken.png", 1, "every preview for .mrdprt failed to show it"},
        {L"update-refs broken.mrdprt --move a.mrdprt=b.mrdprt", 1, "0x80040300"},
        {L"refs broken.mrdprt", 1, "line 5: the configuration \"Standrd\" is not declared"},
        {L"size-date missing.txt", 1, "0x80040213"},
        {L"--json refs notes.txt", 1, "{\"error\":{\"code\":\"0x8004022A\","},
        {L"update-refs box.mrdasm --move nothing-to-move", 2, "OLD=NEW"},
        {L"update-refs box.mrdasm", 2, "--move"},
        {L"frobnicate", 2, ""},
        {L"", 2, "subcommand"},
    };
    for (const auto& c : cases) {
        const Result r = Run(c.arguments);
        EXPECT_EQ(c.exitCode, r.exitCode) << Utf8(c.arguments);
        EXPECT_NE(std::string::npos, r.err.find(c.says)) << Utf8(c.arguments) << "\n" << r.err;
        EXPECT_EQ("", r.out) << Utf8(c.arguments);
    }
    EXPECT_EQ(before, ReadAll(broken));
    EXPECT_EQ(written, LastWrite(broken));
}

// ---- The command line -----------------------------------------------------------------------

std::wstring UnixPath(const std::wstring& path) {
    using Fn = char*(CDECL*)(const wchar_t*);
    const auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = fn ? fn(path.c_str()) : nullptr;
    const std::wstring text = unix ? Utf16(unix) : std::wstring();
    HeapFree(GetProcessHeap(), 0, unix);
    return text;
}

// With --json every failure is one JSON object on stderr, usage errors included; a path that
// starts with "/" is a file, never an option; moves that cannot be read unambiguously, or that
// name a folder or a device, are refused before the file is touched.
TEST_F(Fmtmgr, CommandLineErrorsAreJsonAndAmbiguousOrNonFileMovesAreRefused) {
    folder.WriteFile(L"bad.json", "[{\"old\": \"a.mrdprt\"}]");
    const std::string before = ReadAll(assembly);
    const wchar_t* usage[] = {
        L"--json refs",
        L"--json frobnicate",
        L"--json",
        L"refs --json",
        L"--json extensions --mask x",
        L"--json update-refs box.mrdasm",
        L"--json update-refs box.mrdasm --move a.mrdprt",
        L"--json update-refs box.mrdasm --to b.mrdprt",
        L"--json update-refs box.mrdasm --move parts\\v=2.mrdprt=new\\v=2.mrdprt",
        L"--json update-refs box.mrdasm --move parts\\shaft.mrdprt=CON",
        L"--json update-refs box.mrdasm --move parts\\shaft.mrdprt=.",
        L"--json update-refs box.mrdasm --move parts\\shaft.mrdprt=C:\\",
        L"--json update-refs box.mrdasm --move parts\\shaft.mrdprt=new\\",
        L"--json update-refs box.mrdasm --move parts\\shaft.mrdprt --to nul.mrdprt",
        L"--json update-refs box.mrdasm --move parts\\shaft.mrdprt --to \\\\.\\pipe\\x",
        L"--json update-refs box.mrdasm --moves bad.json",
    };
    for (const wchar_t* arguments : usage) {
        const Result r = Run(arguments);
        EXPECT_EQ(2u, r.exitCode) << Utf8(arguments) << "\n" << r.err;
        EXPECT_EQ("", r.out) << Utf8(arguments);
        const json error = json::parse(r.err, nullptr, false);
        ASSERT_FALSE(error.is_discarded()) << Utf8(arguments) << "\n" << r.err;
        EXPECT_EQ(true, error["error"]["usage"]) << Utf8(arguments);
        EXPECT_FALSE(error["error"]["what"].get<std::string>().empty()) << Utf8(arguments);
    }
    EXPECT_EQ(before, ReadAll(assembly));

    const std::wstring unix = UnixPath(assembly);
    ASSERT_EQ(L'/', unix.at(0));
    EXPECT_EQ(2u, RunJson(L"refs " + unix)["references"].size());
    const Result missing = Run(L"refs /no/such/folder/x.mrdasm");
    EXPECT_EQ(1u, missing.exitCode) << missing.err; // a file that is not there, not a usage error
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
        const std::wstring file = folder.WriteFile(L"eq.mrdasm", text);
        const json update = RunJson(L"update-refs eq.mrdasm " + std::wstring(c.moves));
        ASSERT_EQ(1u, update["changed"].size()) << Utf8(c.moves);
        EXPECT_EQ(c.key, update["changed"][0]["refPath"]) << Utf8(c.moves);
        EXPECT_EQ(Utf8(folder.Path()) + "\\" + c.to, update["changed"][0]["to"]) << Utf8(c.moves);
    }
}

// Keys, paths and the plug-in's error texts come from files: their control characters and
// direction overrides are shown escaped in text, never sent to the terminal.
TEST_F(Fmtmgr, EscapesControlCharactersInText) {
    folder.WriteFile(L"esc.mrdasm", "MRD 1 assembly\r\n[Reference Sh\x1B]0;owned\x07"
                                    "aft]\r\nPath = parts\\\xE2\x80\xAEtxt.mrdprt\r\n");
    folder.WriteFile(L"esc.mrdprt", "MRD 1 part\r\n[\x1B[2J]\r\n");
    const Result refs = Run(L"-q refs esc.mrdasm");
    EXPECT_EQ(0u, refs.exitCode) << refs.err;
    EXPECT_NE(std::string::npos, refs.out.find("Sh\\x1B]0;owned\\x07aft")) << refs.out;
    EXPECT_NE(std::string::npos, refs.out.find("parts\\\\u202Etxt.mrdprt")) << refs.out;
    const Result broken = Run(L"-q refs esc.mrdprt");
    EXPECT_EQ(1u, broken.exitCode);
    EXPECT_NE(std::string::npos, broken.err.find("[\\x1B[2J]")) << broken.err;
    for (const std::string* text : {&refs.out, &broken.err}) {
        EXPECT_EQ(std::string::npos, text->find_first_of("\x1B\x07")) << *text;
        EXPECT_EQ(std::string::npos, text->find("\xE2\x80\xAE")) << *text;
    }
    EXPECT_NE(std::string::npos, RunJson(L"refs esc.mrdasm").dump().find("Sh\\u001b]0;owned\\u0007aft"));
}

// Every command on a file whose folder is over 300 characters long and 120 levels deep, named
// with and without the long-path prefix; a move out to the top writes the path in full.
TEST_F(Fmtmgr, WorksOnFilesInLongDeepFolders) {
    std::wstring deep = folder.Path();
    for (int level = 0; level < 120; ++level) {
        deep += level == 119 ? L"\\" + std::wstring(deep.size() < 300 ? 310 - deep.size() : 2, L'e') : L"\\d";
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr)) << level;
    }
    ASSERT_GE(deep.size(), 300u);
    const std::string text = "MRD 1 assembly\r\n[Reference Near]\r\nPath = parts\\near.mrdprt\r\n"
                             "[Reference Far]\r\nPath = parts\\far.mrdprt\r\n";
    for (const std::wstring& prefix : {std::wstring(), std::wstring(L"\\\\?\\")}) {
        const std::wstring file = deep + L"\\box.mrdasm", named = L"\"" + prefix + file + L"\"";
        {
            const ffm::UniqueFile out(CreateFileW((L"\\\\?\\" + file).c_str(), GENERIC_WRITE, 0, nullptr,
                                                  CREATE_ALWAYS, 0, nullptr));
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(out.get(), text.data(), DWORD(text.size()), &written, nullptr));
        }
        EXPECT_EQ("MrdPlugin.dll", RunJson(L"format " + named)["plugin"]) << Utf8(prefix);
        EXPECT_EQ(static_cast<long long>(text.size()), RunJson(L"size-date " + named)["size"]);
        const json refs = RunJson(L"refs " + named)["references"];
        ASSERT_EQ(2u, refs.size());
        EXPECT_EQ(Utf8(deep) + "\\parts\\near.mrdprt", refs[0]["filePath"]);
        const json update =
            RunJson(L"update-refs " + named + L" --move \"" + prefix + deep + L"\\parts\\near.mrdprt=" +
                    prefix + deep + L"\\bought\\near.mrdprt\" --move \"" + deep + L"\\parts\\far.mrdprt=" +
                    folder.Path() + L"\\far.mrdprt\"");
        EXPECT_EQ(2u, update["changed"].size()) << update.dump();
        const std::string saved = ReadAll(file);
        EXPECT_NE(std::string::npos, saved.find("Path = bought\\near.mrdprt\r\n")) << saved;
        // 120 levels up is further than the old path climbed: the full path is written.
        EXPECT_NE(std::string::npos, saved.find("Path = " + Utf8(folder.Path()) + "\\far.mrdprt\r\n"))
            << saved;
    }
}

// ---- The registry listing and plug-in activation ---------------------------------------------

const std::wstring kFormats = L"Software\\Mordane\\Applications\\Quillan\\FileFormats";

// Registry entries written for one test beside the sample plug-in's, and removed afterwards.
class HostileRegistry {
  public:
    HostileRegistry() = default;
    HostileRegistry(const HostileRegistry&) = delete;
    HostileRegistry& operator=(const HostileRegistry&) = delete;
    ~HostileRegistry() {
        for (const auto& [root, key] : m_keys)
            RegDeleteTreeW(root, key.c_str());
    }
    // A key below FileFormats.
    std::wstring Formats(const std::wstring& name) {
        return Track(HKEY_LOCAL_MACHINE, kFormats + L"\\" + name);
    }
    // A plug-in whose COM class is served by the DLL at server, for files of the extension.
    void Plugin(const std::wstring& name, const std::wstring& clsid, const std::wstring& extension,
                const std::wstring& server, const wchar_t* threading = L"Both") {
        RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, Formats(name), L"", L"");
        RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, Formats(name), L"CLSID", clsid);
        RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, Formats(extension), L"2", {name});
        const std::wstring inproc = Track(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid) + L"\\InprocServer32";
        RegistrySandbox::SetString(HKEY_CLASSES_ROOT, inproc, L"", server);
        RegistrySandbox::SetString(HKEY_CLASSES_ROOT, inproc, L"ThreadingModel", threading);
    }

  private:
    std::wstring Track(HKEY root, const std::wstring& key) {
        m_keys.emplace_back(root, key);
        return key;
    }
    std::vector<std::pair<HKEY, std::wstring>> m_keys;
};

// What the store could not use is listed with the key and the reason; plug-in names compare as
// the plug-in table compares them, and `format` names the plug-in the manager really uses.
TEST_F(Fmtmgr, PluginsReportsRegistryEntriesItCannotUse) {
    HostileRegistry registry;
    const std::wstring hostile = registry.Formats(L".hostile");
    RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, hostile, std::wstring(300, L'7').c_str(),
                                    {L"MrdPlugin.dll"});
    RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, hostile, L"2", {L"MrdPlugin.dll"});
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, hostile, L"4", L"MrdPlugin.dll");
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, registry.Formats(L"Broken.dll"), L"", L"");
    RegistrySandbox::SetString(HKEY_LOCAL_MACHINE, registry.Formats(L"Broken.dll"), L"CLSID", L"not-a-class");
    RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, registry.Formats(L".casex"), L"2",
                                    {L"mrdplugin.dll"});
    // Every candidate of a Solid Edge extension is an entry; the first names no registered plug-in.
    RegistrySandbox::SetMultiString(HKEY_LOCAL_MACHINE, registry.Formats(L".par"), L"2",
                                    {L"Ghost.dll", L"MRDPLUGIN.DLL"});

    const json plugins = RunJson(L"plugins");
    const auto unusable = [&](const std::string& key, const std::string& value, const std::string& says) {
        for (const json& u : plugins["unusableEntries"])
            if (u["key"] == key && u["value"] == value &&
                u["reason"].get<std::string>().find(says) != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(unusable(".hostile", "", "300 characters")) << plugins["unusableEntries"].dump(1);
    EXPECT_TRUE(unusable(".hostile", "4", "REG_MULTI_SZ")) << plugins["unusableEntries"].dump(1);
    EXPECT_TRUE(unusable("Broken.dll", "CLSID", "\"not-a-class\" is not a class identifier"));
    const json mrd = *std::find_if(plugins["plugins"].begin(), plugins["plugins"].end(),
                                   [](const json& p) { return p["name"] == "MrdPlugin.dll"; });
    const auto serves = [&](const char* extension) {
        return std::count_if(mrd["extensions"].begin(), mrd["extensions"].end(),
                             [&](const json& e) { return e["extension"] == extension; });
    };
    EXPECT_EQ(1, serves(".casex"));
    EXPECT_EQ(1, serves(".par"));
    ASSERT_EQ(1u, plugins["unknownPluginEntries"].size()) << plugins["unknownPluginEntries"].dump();
    EXPECT_EQ("Ghost.dll", plugins["unknownPluginEntries"][0]["plugin"]);
    EXPECT_NE(std::string::npos, Run(L"plugins")
                                     .out.find("(unusable registry entry FileFormats\\Broken.dll value "
                                               "\"CLSID\": \"not-a-class\" is not a class identifier"));

    EXPECT_EQ("MrdPlugin.dll", RunJson(L"format x.par --mask 2")["plugin"]);
}

// A plug-in that cannot be created is named with its DLL and the likely cause.
TEST_F(Fmtmgr, ActivationFailuresNameTheDllAndTheCause) {
    HostileRegistry registry;
    const std::wstring text = folder.WriteFile(L"notes.dll", "not a program");
    const std::wstring library = ExecutableFolder() + L"\\FileFmtMgr.dll"; // no class factory
    const struct {
        const wchar_t* extension;
        std::wstring server;
        const char* says;
    } cases[] = {
        {L".ghosta", folder.Path() + L"\\missing\\Ghost.dll", "does not exist"},
        {L".ghostb", text, "is not a DLL"},
        {L".ghostc", library, "exports no DllGetClassObject"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::wstring name = L"Ghost" + std::to_wstring(++n) + L".dll";
        const std::wstring clsid = L"{5D1C7A40-3E9B-4F21-9C6A-0B7E2F4D8A0" + std::to_wstring(n) + L"}";
        registry.Plugin(name, clsid, c.extension, c.server);
        const Result r = Run(L"format x" + std::wstring(c.extension) + L" --mask 2");
        EXPECT_EQ(1u, r.exitCode) << Utf8(c.extension);
        EXPECT_NE(std::string::npos,
                  r.err.find("plug-in " + Utf8(name) + ": its DLL " + Utf8(c.server) + " " + c.says))
            << r.err;
    }
    // The sample plug-in's class registered for one apartment only.
    RegistrySandbox::SetString(HKEY_CLASSES_ROOT,
                               L"CLSID\\{484E65A5-42FC-42F3-A658-7A719CFAA378}\\InprocServer32",
                               L"ThreadingModel", L"Apartment");
    const Result r = Run(L"refs box.mrdasm");
    EXPECT_EQ(1u, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("plug-in MrdPlugin.dll: its class {484E65A5-42FC-42F3-A658-"
                                            "7A719CFAA378} has the ThreadingModel \"Apartment\""))
        << r.err;
}

} // namespace

namespace {

// A real spreadsheet listed, its search paths built through the settings component's double,
// and the product modules of the sample plug-in.
class FmtmgrContainers : public Fmtmgr {
  protected:
    void SetUp() override {
        Fmtmgr::SetUp();
        ASSERT_EQ(S_OK, compound.registered);
        ASSERT_EQ(S_OK, settings.registered);
        spreadsheet = folder.WriteFile(
            L"names.xls", ReadAll(L"Z:\\usr\\share\\doc\\python3-xlrd\\examples\\namesdemo.xls"));
        folder.WriteFile(L"settings.ini", "[Parts]\r\nSearchPaths=C:\\Lib\\;D:/Shared\r\n");
        SetEnvironmentVariableW(L"FFM_SETTINGS_CONFIG", (folder.Path() + L"\\settings.ini").c_str());
    }
    void TearDown() override { SetEnvironmentVariableW(L"FFM_SETTINGS_CONFIG", nullptr); }

    SamplePluginRegistration compound{L"CompoundPlugin.dll"};
    SamplePluginRegistration settings{L"VkrSettings.dll"};
    std::wstring spreadsheet;
};

TEST_F(FmtmgrContainers, ListsInnerFilesSearchPathsAndModules) {
    const Result text = Run(L"subfiles names.xls");
    ASSERT_EQ(0u, text.exitCode) << text.err;
    EXPECT_NE(std::string::npos, text.out.find("3 inner files in "));
    EXPECT_NE(std::string::npos, text.out.find("  Workbook  (12515 bytes)\n"));
    EXPECT_NE(std::string::npos, text.out.find("  \\x05SummaryInformation  (4096 bytes)\n"));
    const json files = RunJson(L"subfiles names.xls");
    ASSERT_EQ(3u, files["entries"].size());
    EXPECT_EQ(Utf8(spreadsheet) + "|Workbook", files["entries"][0]["path"]);
    EXPECT_TRUE(RunJson(L"subfiles names.xls --folders")["entries"].empty());

    const json paths = RunJson(L"search-paths box.mrdasm --settings-key Parts");
    const std::string here = Utf8(folder.Path()) + "\\";
    EXPECT_EQ((json{"C:\\Lib\\", "D:\\Shared\\", here, here + "parts\\"}), paths["searchPaths"]);

    EXPECT_EQ("Assembly;Part", RunJson(L"modules box.mrdasm")["modules"]);
    const Result none = Run(L"modules names.xls");
    EXPECT_EQ(1u, none.exitCode);
    EXPECT_NE(std::string::npos, none.err.find("0x80004003"));
}

TEST_F(FmtmgrContainers, OffersTheContextMenuOfInnerFilesAndExtractsOne) {
    const json menu = RunJson(L"menu names.xls --sub Workbook --sub \\x05SummaryInformation --first-id 100");
    ASSERT_EQ(2u, menu["items"].size()) << menu.dump();
    EXPECT_EQ(100, menu["items"][0]["id"]);
    EXPECT_EQ("Extract", menu["items"][0]["text"]);
    EXPECT_EQ("Write the selected inner files to files beside the document.", menu["items"][0]["help"]);
    EXPECT_EQ(101, menu["items"][1]["id"]);
    EXPECT_EQ("Properties", menu["items"][1]["text"]);

    const Result run = Run(L"run names.xls --sub workbook --command 40000");
    ASSERT_EQ(0u, run.exitCode) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("Item 40000 carried out.")) << run.out;
    const std::string stream = ReadStreams(spreadsheet).at(L"Workbook");
    const std::string extracted = ReadAll(folder.Path() + L"\\names.xls.Workbook");
    EXPECT_EQ(stream.size(), extracted.size());
    EXPECT_TRUE(stream == extracted) << "the stream, byte for byte, beside the document";

    const Result unknown = Run(L"run names.xls --sub Workbook --command 40005");
    EXPECT_EQ(1u, unknown.exitCode);
    EXPECT_NE(std::string::npos, unknown.err.find("has no item 40005")) << unknown.err;
    const Result missing = Run(L"menu names.xls --sub Nothing");
    EXPECT_EQ(1u, missing.exitCode);
    EXPECT_NE(std::string::npos, missing.err.find("holds no inner file Nothing")) << missing.err;
    EXPECT_EQ(2u, Run(L"run names.xls --command 40000").exitCode) << "--sub is required";
}

TEST_F(Fmtmgr, ListsThePreviewPanesViewMenuWhileAFileIsShown) {
    const json menu = RunJson(L"menu box.mrdasm --first-id 500");
    ASSERT_EQ(3u, menu["items"].size()) << menu.dump();
    EXPECT_EQ(500, menu["items"][0]["id"]);
    EXPECT_EQ("Excluded File Types...", menu["items"][0]["text"]);
    EXPECT_EQ("Select file types that should not be displayed in the preview.", menu["items"][0]["help"]);
    EXPECT_EQ("&Detailed Layout", menu["items"][1]["text"]);
    EXPECT_EQ("checked", menu["items"][1]["state"]);
    EXPECT_EQ(502, menu["items"][2]["id"]);
    EXPECT_EQ("", menu["items"][2]["state"]);
    // The dialog the built-in item opens, photographed and cancelled.
    const Result dialog = Run(L"excluded --dialog --png dialog.png");
    ASSERT_EQ(0u, dialog.exitCode) << dialog.err;
    EXPECT_NE(std::string::npos, dialog.out.find("the dialog was cancelled")) << dialog.out;
    EXPECT_EQ(std::string("\x89PNG", 4), ReadAll(folder.Path() + L"\\dialog.png").substr(0, 4));

    const Result none = Run(L"menu broken.txt");
    EXPECT_EQ(1u, none.exitCode);
    EXPECT_NE(std::string::npos, none.err.find("has no preview")) << none.err;
}

TEST_F(Fmtmgr, DataCardCommandsReadConfigurationsAttributesAndVariablesAndWriteOneProperty) {
    const json configs = RunJson(L"configs box.mrdasm")["configurations"];
    ASSERT_EQ(2u, configs.size());
    EXPECT_EQ("Default", configs[0]["name"]);
    EXPECT_EQ("Heavy", configs[1]["name"]);
    EXPECT_NE(configs[0]["tag"], configs[1]["tag"]);

    const json heavy =
        RunJson(L"attrs box.mrdasm --config Heavy CustomProperty:Title CustomProperty:Missing");
    ASSERT_EQ(2u, heavy["attributes"].size());
    EXPECT_EQ("Heavy box", heavy["attributes"][0]["value"]);
    EXPECT_EQ("string", heavy["attributes"][0]["type"]);
    EXPECT_EQ(false, heavy["attributes"][1]["found"]);

    for (const wchar_t* form : {L"--batch", L"--no-batch", L""}) {
        const json vars =
            RunJson(std::wstring(L"vars box.mrdasm --all-configs --map Title=CustomProperty:Title ") +
                    L"--map Title=CustomProperty:Material --map Material=CustomProperty:Material " + form);
        ASSERT_EQ(2u, vars["variables"].size()) << ffmtest::Utf8(form);
        const json& title = vars["variables"][0]["values"];
        ASSERT_EQ(2u, title.size());
        EXPECT_EQ("Default", title[0]["configuration"]);
        EXPECT_EQ("Steel", title[0]["value"]); // no title of its own: the second mapping
        EXPECT_EQ("Heavy box", title[1]["value"]);
    }

    // One property in one configuration, and nothing else of the file changes.
    const std::string before = ReadAll(assembly);
    const Result set = Run(L"set-attrs box.mrdasm --config Heavy \"CustomProperty:Title=Heavier box\"");
    EXPECT_EQ(0u, set.exitCode) << set.err;
    const std::string after = ReadAll(assembly);
    EXPECT_NE(std::string::npos, after.find("CustomProperty:Title = Heavier box\r\n"));
    std::string expected = before;
    expected.replace(expected.find("Heavy box"), 9, "Heavier box");
    EXPECT_EQ(expected, after);
    const json title =
        RunJson(L"vars box.mrdasm --all-configs --map T=CustomProperty:Title")["variables"][0]["values"];
    ASSERT_EQ(1u, title.size()); // Default has no title, and deleted variables are not updated
    EXPECT_EQ("Heavy", title[0]["configuration"]);
    EXPECT_EQ("Heavier box", title[0]["value"]);

    const Result unsaved =
        Run(L"set-vars box.mrdasm --map T=CustomProperty:Title --set T=X --config Default --no-save");
    EXPECT_EQ(0u, unsaved.exitCode) << unsaved.err;
    EXPECT_EQ(after, ReadAll(assembly));
    EXPECT_EQ(2u, Run(L"attrs box.mrdasm NoColon").exitCode);
    EXPECT_EQ(1u, Run(L"set-vars box.mrdasm --map T=CustomProperty:Title --set U=1").exitCode);
}

TEST_F(Fmtmgr, DrawsAFilesPreviewIntoAPngImageOfTheAskedSize) {
    const Result r = Run(L"-q preview box.mrdasm --size 320x200 --png box.png");
    EXPECT_EQ(0u, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("box.png (320x200)")) << r.out;
    const std::string png = ReadAll(folder.Path() + L"\\box.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(std::string("\x89PNG\r\n\x1a\n", 8), png.substr(0, 8));
    const auto bigEndian = [&](size_t at) {
        return (static_cast<unsigned char>(png[at]) << 24) | (static_cast<unsigned char>(png[at + 1]) << 16) |
               (static_cast<unsigned char>(png[at + 2]) << 8) | static_cast<unsigned char>(png[at + 3]);
    };
    EXPECT_EQ(320, bigEndian(16)) << "the header's width";
    EXPECT_EQ(200, bigEndian(20)) << "the header's height";
}

} // namespace
