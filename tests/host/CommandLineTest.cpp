// fmtmgr's command runner in this process, over the library's core: how listings reach stdout,
// and what a command does when any allocation of it fails.
#include "Cli.h"
#include "support/SamplePlugin.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace ffmtest;
using nlohmann::json;

namespace {
struct Captured final : fmtmgr::Streams {
    void Out(const std::string& bytes) override {
        out += bytes;
        ++outWrites;
    }
    void Err(const std::string& bytes) override { err += bytes; }
    std::string out, err;
    int outWrites = 0;
};

class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(S_OK, plugin.registered); }
    // A file of the folder, as fmtmgr takes it.
    std::string File(const wchar_t* name) { return Utf8(folder.Path() + L"\\" + name); }

    SamplePluginRegistration plugin;
    TempFolder folder;
};

// A listing leaves in one write, a JSON one of megabytes in large pieces; either way the JSON is
// the one document the tree would print, and the text is headed by its count.
TEST_F(CommandLine, ListingsLeaveWholeOrInLargePiecesOfOneDocument) {
    for (const int references : {200, 3000}) { // 3000: about 2 MB of JSON
        SCOPED_TRACE(references);
        std::string text = "MRD 1 assembly\r\n[Configurations]\r\nA\r\nB\r\n";
        for (int i = 0; i < references; ++i)
            text += "[Reference R" + std::to_string(i) + "]\r\nPath = p" + std::to_string(i) +
                    ".mrdprt\r\nUse = A > x\r\nUse = B > y, suppressed\r\n";
        folder.WriteFile(L"long.mrdasm", text);
        Captured io, lines;
        ASSERT_EQ(0, fmtmgr::Run({"fmtmgr", "--json", "refs", File(L"long.mrdasm")}, io)) << io.err;
        const json listing = json::parse(io.out);
        ASSERT_EQ(static_cast<size_t>(references), listing["references"].size());
        EXPECT_EQ("R" + std::to_string(references - 1), listing["references"].back()["refPath"]);
        EXPECT_EQ(listing.dump(2) + "\n", io.out);
        if (references < 1000)
            EXPECT_EQ(1, io.outWrites);
        else
            EXPECT_TRUE(io.outWrites > 1 && static_cast<size_t>(io.outWrites) <= io.out.size() / (256 * 1024))
                << io.outWrites << " pieces, not rows";

        ASSERT_EQ(0, fmtmgr::Run({"fmtmgr", "-q", "refs", File(L"long.mrdasm")}, lines)) << lines.err;
        EXPECT_EQ(1, lines.outWrites);
        const std::string first = lines.out.substr(0, lines.out.find('\n') + 1);
        EXPECT_NE(std::string::npos, first.find("long.mrdasm: " + std::to_string(references) + " references"))
            << first;
        EXPECT_EQ(first.size(), lines.out.find("  R0 -> "));
        EXPECT_EQ(std::string::npos, lines.out.find("references", first.size()));
    }
}

// The library raises out of some calls when memory runs out (a list that cannot grow, the
// registration store): every command ends in exit code 1 with the code, never terminates, and
// an update either lands whole or leaves the file as it was.
TEST_F(CommandLine, EveryCommandEndsInAnExitCodeWhenAnAllocationFails) {
    const std::string original = kSampleAssembly;
    std::string moved = original;
    moved.replace(moved.find("parts\\"), 6, "bought\\");
    folder.WriteFile(L"moves.txt", File(L"parts\\shaft.mrdprt") + "=" + File(L"bought\\shaft.mrdprt") + "\n");
    const std::vector<std::vector<std::string>> commands = {
        {"fmtmgr", "--json", "plugins"},
        {"fmtmgr", "--json", "refs", File(L"box.mrdasm")},
        {"fmtmgr", "-q", "update-refs", File(L"box.mrdasm"), "--moves", File(L"moves.txt")},
    };
    for (const auto& command : commands) {
        int failures = 0;
        const int points = ForEachAllocationFailure(
            [&] { folder.WriteFile(L"box.mrdasm", original); },
            [&](int point) {
                Captured io;
                const int rc = fmtmgr::Run(command, io);
                ASSERT_TRUE(rc == 0 || rc == 1) << command[2] << " at " << point << ": " << rc;
                if (rc == 1) {
                    ++failures;
                    EXPECT_EQ("", io.out) << command[2] << " at " << point;
                    EXPECT_NE(std::string::npos, io.err.find("0x8007000E"))
                        << command[2] << " at " << point << ": " << io.err;
                }
            },
            [&](int point) {
                const std::string now = ReadAll(folder.Path() + L"\\box.mrdasm");
                EXPECT_TRUE(now == original || now == moved) << command[2] << " at " << point;
            });
        EXPECT_GT(points, 10) << command[2];
        EXPECT_GT(failures, 0) << command[2];
    }
}

} // namespace
