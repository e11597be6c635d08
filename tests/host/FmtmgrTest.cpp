// fmtmgr.exe driven as a person or a script drives it: a separate process over the sample plug-in,
// registered in the prefix for each test; its stdout, stderr and exit code are checked.
#include "support/Sandbox.h"
#include "support/SamplePlugin.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

using namespace ffmtest;
using nlohmann::json;

namespace {

struct Result {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(Utf8(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

FILETIME LastWrite(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

class Fmtmgr : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, plugin.registered);
        assembly = folder.WriteFile(L"box.mrdasm",
                                    "MRD 1 assembly\r\n# the box\r\n[Configurations]\r\nDefault\r\nHeavy\r\n"
                                    "[Reference Shaft]\r\nPath = parts\\shaft.mrdprt\r\n"
                                    "Use = Default > Standard\r\nUse = Heavy > Long, suppressed\r\n"
                                    "Use = Heavy > Long\r\n"
                                    "[Reference Bolt]\r\nPath = parts\\bolt.mrdprt\r\n"
                                    "Use = Default > M8\r\nUse = Default > M8\r\n");
        folder.WriteFile(L"parts\\shaft.mrdprt", "MRD 1 part\r\n[Configurations]\r\nStandard\r\nLong\r\n");
        folder.WriteFile(L"parts\\bolt.mrdprt", "MRD 1 part\r\n");
        broken =
            folder.WriteFile(L"broken.mrdprt", "MRD 1 part\r\n[Configurations]\r\nStandard\r\n\r\n"
                                               "[Properties Standrd]\r\nCustomProperty:Title = typo\r\n");
    }

    // Runs fmtmgr.exe with the arguments, its output going to files that are read afterwards.
    Result Run(const std::wstring& arguments) {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        const std::wstring outPath = folder.Path() + L"\\stdout.txt",
                           errPath = folder.Path() + L"\\stderr.txt";
        HANDLE out =
            CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        HANDLE err =
            CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = out;
        startup.hStdError = err;
        std::wstring command = L"\"" + ExecutableFolder() + L"\\fmtmgr.exe\" " + arguments;
        PROCESS_INFORMATION process{};
        Result result;
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.Path().c_str(),
                           &startup, &process)) {
            WaitForSingleObject(process.hProcess, 60000);
            GetExitCodeProcess(process.hProcess, &result.exitCode);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        CloseHandle(out);
        CloseHandle(err);
        result.out = ReadAll(outPath);
        result.err = ReadAll(errPath);
        return result;
    }

    json RunJson(const std::wstring& arguments) {
        const Result r = Run(L"--json " + arguments);
        EXPECT_EQ(0u, r.exitCode) << r.err;
        return json::parse(r.out, nullptr, false);
    }

    SamplePluginRegistration plugin;
    TempFolder folder;
    std::wstring assembly;
    std::wstring broken;
};

TEST_F(Fmtmgr, ListsTheSamplePluginItsExtensionsAndTheEntryChosenForAFile) {
    const json plugins = RunJson(L"plugins")["plugins"];
    const auto mrd = std::find_if(plugins.begin(), plugins.end(),
                                  [](const json& p) { return p["name"] == "MrdPlugin.dll"; });
    ASSERT_NE(plugins.end(), mrd);
    EXPECT_EQ("{484E65A5-42FC-42F3-A658-7A719CFAA378}", (*mrd)["clsid"]);
    EXPECT_EQ(9u, (*mrd)["extensions"].size()); // three extensions, three capabilities each

    const Result all = Run(L"extensions");
    EXPECT_EQ(0u, all.exitCode);
    EXPECT_NE(std::string::npos, all.out.find("MRDASM\n"));
    EXPECT_NE(std::string::npos, all.out.find("MRDDRW\n"));
    EXPECT_EQ(std::string::npos, all.out.find(".mrd")); // upper case, no dot
    EXPECT_EQ(json::array({"MRDASM", "MRDDRW", "MRDPRT"}),
              RunJson(L"extensions --mask 0x4000")["extensions"]);
    EXPECT_EQ(json::array(), RunJson(L"extensions --mask 8")["extensions"]);

    const json format = RunJson(L"format box.mrdasm --mask 16384");
    EXPECT_EQ("MrdPlugin.dll", format["plugin"]);
    EXPECT_EQ(0x4000, format["mask"]);
}

TEST_F(Fmtmgr, ShowsReferencesWithTheirConfigurationPairs) {
    const json refs = RunJson(L"refs box.mrdasm")["references"];
    ASSERT_EQ(2u, refs.size());
    EXPECT_EQ("Shaft", refs[0]["refPath"]);
    EXPECT_EQ(Utf8(folder.Path()) + "\\parts\\shaft.mrdprt", refs[0]["filePath"]);
    const json heavy = refs[0]["configurations"][1];
    EXPECT_EQ("Heavy", heavy["config1"]);
    EXPECT_EQ("Long", heavy["config2"]);
    EXPECT_EQ(2, heavy["count"]);
    EXPECT_EQ(1, heavy["flag1Count"]);
    EXPECT_EQ(2, refs[1]["configurations"][0]["count"]); // two uses of one pair

    const Result text = Run(L"refs box.mrdasm");
    EXPECT_EQ(0u, text.exitCode);
    EXPECT_NE(std::string::npos, text.out.find("box.mrdasm: 2 references"));
    EXPECT_NE(std::string::npos, text.out.find("Heavy > Long")) << text.out;
    EXPECT_NE(std::string::npos, text.err.find("Opening file...")); // the status text through ITovCallback
}

TEST_F(Fmtmgr, UpdatesReferencesAfterMovesAndReportsWhatChanged) {
    CreateDirectoryW((folder.Path() + L"\\bought").c_str(), nullptr);
    MoveFileW((folder.Path() + L"\\parts\\shaft.mrdprt").c_str(),
              (folder.Path() + L"\\bought\\shaft.mrdprt").c_str());
    const json update = RunJson(L"update-refs box.mrdasm --move parts\\shaft.mrdprt=bought\\shaft.mrdprt "
                                L"--move parts\\bolt.mrdprt=parts\\bolt-m8.mrdprt");
    ASSERT_EQ(2u, update["changed"].size());
    EXPECT_EQ("Shaft", update["changed"][0]["refPath"]);
    EXPECT_EQ(Utf8(folder.Path()) + "\\bought\\shaft.mrdprt", update["changed"][0]["to"]);

    const std::string saved = ReadAll(assembly);
    EXPECT_NE(std::string::npos, saved.find("# the box\r\n"));
    EXPECT_NE(std::string::npos, saved.find("Path = bought\\shaft.mrdprt\r\n"));
    EXPECT_NE(std::string::npos, saved.find("Path = parts\\bolt-m8.mrdprt\r\n"));

    const json again = RunJson(L"update-refs box.mrdasm --move parts\\shaft.mrdprt=bought\\shaft.mrdprt");
    EXPECT_EQ(0u, again["changed"].size());
}

TEST_F(Fmtmgr, ReportsSizeAndDate) {
    const json local = RunJson(L"size-date box.mrdasm");
    EXPECT_EQ(static_cast<long long>(ReadAll(assembly).size()), local["size"]);
    EXPECT_FALSE(local["universal"].get<bool>());
    const json utc = RunJson(L"size-date --utc box.mrdasm");
    EXPECT_EQ('Z', utc["date"].get<std::string>().back());
}

TEST_F(Fmtmgr, FailsWithTheCodeAndItsMeaningOnStderr) {
    const struct {
        const wchar_t* arguments;
        DWORD exitCode;
        const char* says;
    } cases[] = {
        {L"refs missing.mrdasm", 1, "0x80070002"},
        {L"refs notes.txt", 1, "0x8004022A: no plug-in serves this extension"},
        {L"format box.mrdasm --mask 8", 1, "the extension offers 0x4003"},
        {L"refs broken.mrdprt", 1, "0x80040300"},
        {L"refs broken.mrdprt", 1, "line 5: the configuration \"Standrd\" is not declared"},
        {L"size-date missing.txt", 1, "0x80040213"},
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
    const Result js = Run(L"--json refs notes.txt");
    const json error = json::parse(js.err, nullptr, false);
    ASSERT_FALSE(error.is_discarded()) << js.err;
    EXPECT_EQ("0x8004022A", error["error"]["code"]);
}

TEST_F(Fmtmgr, LeavesAMalformedFileUntouched) {
    const std::string before = ReadAll(broken);
    const FILETIME written = LastWrite(broken);
    const Result r = Run(L"update-refs broken.mrdprt --move a.mrdprt=b.mrdprt");
    EXPECT_EQ(1u, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("0x80040300")) << r.err;
    EXPECT_EQ(before, ReadAll(broken));
    const FILETIME after = LastWrite(broken);
    EXPECT_EQ(0, CompareFileTime(&written, &after));
}

} // namespace
