// fmtmgr.exe driven as a person or a script drives it: a separate process over the sample plug-in,
// registered in the prefix for each test; its stdout, stderr and exit code are checked.
#include "support/SamplePlugin.h"

#include <foundation/Handles.h>
#include <gtest/gtest.h>
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
        {L"format box.mrdasm --mask 8", 1, "the extension offers 0x4007"},
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
