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

class ConcurrentUpdates : public ::testing::Test {
  protected:
    TempFolder vault;        // these two are made before the temporary folder moves
    FileService service{50}; // slow enough that overlapping requests would show
    PrivateTemp temp;
};

// Two threads of this process and two child processes update files of one folder at once, each
// file referring to three files moved to places where they are missing, so each update asks the
// service three times.
TEST_F(ConcurrentUpdates,
       ThreadsAndProcessesUpdatingFilesOfOneFolderGetTheirOwnFoldersAndTakeTurnsAtTheService) {
    ASSERT_TRUE(service.Ready());
    struct Job {
        std::wstring file;
        std::vector<MoveRef> moves;
        std::vector<std::wstring> moved; // the new paths, in the file's order
        textref::Script script;
        HRESULT hr = E_UNEXPECTED;
    } jobs[4];
    std::vector<std::unique_ptr<ChildProcess>> children;
    const ffm::UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::thread> threads;
    for (int j = 0; j < 4; ++j) {
        Job& job = jobs[j];
        const std::wstring name = L"t" + std::to_wstring(j);
        std::vector<std::wstring> refs;
        std::wstring command =
            L"\"" + BinFolder() + L"\\refupdate_child.exe\" \"" + vault.Path() + L"\\" + name + L".iam\"";
        for (int i = 0; i < 3; ++i) {
            const std::wstring part = name + L"-" + std::to_wstring(i) + L".txt";
            refs.push_back(vault.Path() + L"\\old\\" + part);
            job.moved.push_back(vault.Path() + L"\\new\\" + part);
            job.moves.push_back({refs.back(), job.moved.back()});
            command += L" \"" + refs.back() + L"\" \"" + job.moved.back() + L"\"";
        }
        job.file = vault.WriteFile(name + L".iam", textref::Document(refs));
        if (j >= 2) {
            children.push_back(std::make_unique<ChildProcess>(command, job.file + L".out"));
            continue;
        }
        threads.emplace_back([&job, &go] {
            ComApartment com;
            ffm::Lst<MoveRef*> list;
            for (MoveRef& m : job.moves)
                list.AddTail(&m);
            ffm::ComPtr<ITovFileFormat> format(new textref::Format(job.script));
            WaitForSingleObject(go.get(), 10000);
            job.hr = ghUpdateXRefPaths(job.file.c_str(), nullptr, nullptr, nullptr, list, 0, format.get());
        });
    }
    SetEvent(go.get());
    for (auto& t : threads)
        t.join();

    std::vector<std::wstring> folders; // of each update's working copy
    for (int j = 0; j < 4; ++j) {
        if (j < 2) {
            EXPECT_EQ(S_OK, jobs[j].hr);
            ASSERT_EQ(1u, jobs[j].script.opened.size());
            folders.push_back(FolderOf(jobs[j].script.opened[0]));
        } else {
            EXPECT_EQ(0u, children[j - 2]->Wait());
            const std::string out = Read(jobs[j].file + L".out");
            const auto at = out.find("opened ");
            ASSERT_NE(std::string::npos, at) << out;
            folders.push_back(FolderOf(Utf16(out.substr(at + 7, out.find('\n', at) - at - 7))));
        }
        EXPECT_EQ(temp.Path(), FolderOf(folders.back()));
        EXPECT_EQ(textref::Document(jobs[j].moved), FileState::Of(jobs[j].file).bytes);
    }
    std::sort(folders.begin(), folders.end());
    EXPECT_EQ(folders.end(), std::adjacent_find(folders.begin(), folders.end()));
    EXPECT_EQ(std::vector<std::wstring>{}, temp.Left());

    // No request reached the service before the one ahead of it was being answered.
    auto requests = service.Requests();
    ASSERT_EQ(12u, requests.size());
    std::sort(requests.begin(), requests.end(),
              [](const ServiceRequest& a, const ServiceRequest& b) { return a.connected < b.connected; });
    for (std::size_t i = 1; i < requests.size(); ++i)
        EXPECT_GE(requests[i].connected, requests[i - 1].replying)
            << "request " << i << " overlaps the one before";
    EXPECT_NE(requests.front().client, requests.back().client);
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
            // Killed when it goes, after up to twice the measured time: a busy machine may be slower.
            ChildProcess child(command, vault.Path() + L"\\child.out");
            Sleep(static_cast<DWORD>(2 * whole * k / kPoints));
        }
        const std::string now = Read(file);
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
