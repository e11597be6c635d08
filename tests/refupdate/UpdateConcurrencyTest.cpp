// Updates at the same time on two threads and in two processes, and an update killed at any
// moment: each update has its own working folder, the local file service gets one request at a
// time, and the file is never left half written.
#include "refupdate/UpdateTestKit.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <thread>

using namespace ffmtest;

namespace {

std::wstring FolderOf(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L'\\'));
}

// No request reached the service before the one ahead of it was being answered.
void ExpectOneAtATime(std::vector<ServiceRequest> requests) {
    std::sort(requests.begin(), requests.end(),
              [](const ServiceRequest& a, const ServiceRequest& b) { return a.connected < b.connected; });
    for (std::size_t i = 1; i < requests.size(); ++i)
        EXPECT_GE(requests[i].connected, requests[i - 1].replying)
            << "request " << i << " overlaps the one before";
}

class ConcurrentUpdates : public ::testing::Test {
  protected:
    // A file in the shared folder referring to three files moved to places where they are
    // missing, so each update asks the service three times.
    std::wstring Document(const std::wstring& name, std::vector<std::wstring>& args) {
        std::vector<std::wstring> refs;
        for (int i = 0; i < 3; ++i) {
            const std::wstring part = name + L"-" + std::to_wstring(i) + L".txt";
            refs.push_back(vault.Path() + L"\\old\\" + part);
            args.push_back(vault.Path() + L"\\old\\" + part);
            args.push_back(vault.Path() + L"\\new\\" + part);
        }
        return vault.WriteFile(name + L".iam", textref::Document(refs));
    }

    TempFolder vault;        // these two are made before the temporary folder moves
    FileService service{50}; // slow enough that overlapping requests would show
    PrivateTemp temp;
};

TEST_F(ConcurrentUpdates, TwoThreadsUpdatingFilesOfOneFolderGetTheirOwnFoldersAndTakeTurnsAtTheService) {
    ASSERT_TRUE(service.Ready());
    struct Job {
        std::wstring file;
        std::vector<std::wstring> paths;
        std::vector<MoveRef> moves;
        textref::Script script;
        HRESULT hr = E_UNEXPECTED;
    } jobs[2];
    for (int j = 0; j < 2; ++j) {
        jobs[j].file = Document(L"t" + std::to_wstring(j), jobs[j].paths);
        for (std::size_t i = 0; i + 1 < jobs[j].paths.size(); i += 2)
            jobs[j].moves.push_back({jobs[j].paths[i], jobs[j].paths[i + 1]});
    }
    const ffm::UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::thread> threads;
    for (Job& job : jobs)
        threads.emplace_back([&job, &go] {
            ComApartment com;
            ffm::Lst<MoveRef*> list;
            for (MoveRef& m : job.moves)
                list.AddTail(&m);
            ffm::ComPtr<ITovFileFormat> format(new textref::Format(job.script));
            WaitForSingleObject(go.get(), 10000);
            job.hr = ghUpdateXRefPaths(job.file.c_str(), nullptr, nullptr, nullptr, list, 0, format.get());
        });
    SetEvent(go.get());
    for (auto& t : threads)
        t.join();

    for (Job& job : jobs) {
        EXPECT_EQ(S_OK, job.hr);
        ASSERT_EQ(1u, job.script.opened.size());
        EXPECT_EQ(temp.Path(), FolderOf(FolderOf(job.script.opened[0])));
        std::vector<std::wstring> moved;
        for (std::size_t i = 1; i < job.paths.size(); i += 2)
            moved.push_back(job.paths[i]);
        EXPECT_EQ(textref::Document(moved), FileState::Of(job.file).bytes);
    }
    EXPECT_NE(FolderOf(jobs[0].script.opened[0]), FolderOf(jobs[1].script.opened[0]));
    EXPECT_EQ(std::vector<std::wstring>{}, temp.Left());
    const auto requests = service.Requests();
    EXPECT_EQ(6u, requests.size());
    ExpectOneAtATime(requests);
}

TEST_F(ConcurrentUpdates, TwoProcessesUpdatingFilesOfOneFolderGetTheirOwnFoldersAndTakeTurnsAtTheService) {
    ASSERT_TRUE(service.Ready());
    std::vector<std::unique_ptr<ChildProcess>> children;
    std::vector<std::wstring> files, outputs;
    for (int j = 0; j < 2; ++j) {
        std::vector<std::wstring> args;
        files.push_back(Document(L"p" + std::to_wstring(j), args));
        std::wstring command = L"\"" + BinFolder() + L"\\refupdate_child.exe\" \"" + files.back() + L"\"";
        for (const auto& a : args)
            command += L" \"" + a + L"\"";
        outputs.push_back(vault.Path() + L"\\child" + std::to_wstring(j) + L".out");
        children.push_back(std::make_unique<ChildProcess>(command, outputs.back()));
    }
    std::vector<std::wstring> folders;
    for (int j = 0; j < 2; ++j) {
        EXPECT_EQ(0u, children[j]->Wait());
        std::string out;
        textref::ReadBytes(outputs[j], out);
        const auto at = out.find("opened ");
        ASSERT_NE(std::string::npos, at) << out;
        folders.push_back(FolderOf(textref::FromUtf8(out.substr(at + 7, out.find('\n', at) - at - 7))));
        EXPECT_EQ(temp.Path(), FolderOf(folders.back()));
    }
    EXPECT_NE(folders[0], folders[1]);
    EXPECT_EQ(std::vector<std::wstring>{}, temp.Left());
    const auto requests = service.Requests();
    ASSERT_EQ(6u, requests.size());
    EXPECT_NE(requests.front().client, requests.back().client);
    ExpectOneAtATime(requests);
}

TEST_F(ConcurrentUpdates, UpdateKilledAtAnyMomentLeavesTheFileAsItWasOrFullyUpdated) {
    // Big enough that copying in and back takes a while.
    std::vector<std::wstring> refs(20000, L"C:\\library\\standard\\fasteners\\washer-din-125-a-m8.ipt");
    refs.front() = vault.Path() + L"\\old\\gear.ipt";
    const std::string original = textref::Document(refs);
    refs.front() = vault.Path() + L"\\new\\gear.ipt";
    const std::string updated = textref::Document(refs);
    const std::wstring file = vault.Path() + L"\\big.iam";
    const std::wstring command = L"\"" + BinFolder() + L"\\refupdate_child.exe\" \"" + file + L"\" \"" +
                                 vault.Path() + L"\\old\\gear.ipt\" \"" + vault.Path() + L"\\new\\gear.ipt\"";

    ASSERT_TRUE(textref::WriteBytes(file, original, original.size()));
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(0u, ChildProcess(command, vault.Path() + L"\\child.out").Wait());
    const ULONGLONG whole = std::max<ULONGLONG>(GetTickCount64() - start, 20);
    ASSERT_EQ(updated, FileState::Of(file).bytes);

    constexpr int kPoints = 24;
    int asItWas = 0, fullyUpdated = 0;
    for (int k = 0; k <= kPoints; ++k) {
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        ASSERT_TRUE(textref::WriteBytes(file, original, original.size()));
        {
            ChildProcess child(command, vault.Path() + L"\\child.out");
            // Up to twice the measured time: a busy machine may be slower than when measured.
            Sleep(static_cast<DWORD>(2 * whole * k / kPoints));
            child.Kill();
        }
        const std::string now = FileState::Of(file).bytes;
        if (now == original)
            ++asItWas;
        else if (now == updated)
            ++fullyUpdated;
        else
            ADD_FAILURE() << "killed after " << 2 * whole * k / kPoints << " of " << whole
                          << " ms: " << now.size() << " bytes, neither the old nor the new file";
    }
    EXPECT_GT(asItWas, 0);
    EXPECT_GT(fullyUpdated, 0);
    std::printf("kill points: %d as it was, %d fully updated (whole update %llu ms)\n", asItWas, fullyUpdated,
                static_cast<unsigned long long>(whole));
}

} // namespace
