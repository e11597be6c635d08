#pragma once
// fmtmgr.exe driven as a person or a script drives it: a separate process over the sample plug-in,
// registered in the prefix for each test; its stdout, stderr and exit code are checked.
#include "support/SamplePlugin.h"

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

namespace ffmtest {

using nlohmann::json;
using testing::HasSubstr;

struct Result {
    DWORD exitCode;
    std::string out, err;
};

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
            } else {
                ADD_FAILURE() << "fmtmgr.exe did not start: error " << GetLastError();
            }
        }
        return {exitCode, ReadAll(outPath), ReadAll(errPath)};
    }

    json RunJson(const std::wstring& arguments) {
        const Result r = Run(L"--json " + arguments);
        EXPECT_EQ(0u, r.exitCode) << Utf8(arguments) << "\n" << r.err;
        return json::parse(r.out, nullptr, false);
    }

    SamplePluginRegistration plugin;
    TempFolder folder;
    int runs = 0;
    std::wstring assembly, broken;
};

} // namespace ffmtest
