// Benchmark of the compound-document plug-in through the manager: listing a container with
// 10,000 streams, and reading the summary properties of 1,000 documents in a row with the time
// per document and the process's handles and memory along the way (they must stay flat).
// Prints figures; never fails a build.
#include "BenchKit.h"
#include "foundation/Module.h"
#include "support/CompoundFiles.h"
#include <FileFmtMgr/FileFormatMgr.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <psapi.h>
#include <sstream>

using bench::Median;
using bench::Percentile;

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::wstring TempFolderPath() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring folder =
        std::wstring(base) + L"ffm-compound-bench-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void MakeContainer(const std::wstring& path, int streams, bool shuffled) {
    ffm::ComPtr<IStorage> root;
    StgCreateStorageEx(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STGFMT_STORAGE, 0,
                       nullptr, nullptr, IID_IStorage, root.put_void());
    std::vector<int> order(static_cast<std::size_t>(streams));
    for (int i = 0; i < streams; ++i)
        order[static_cast<std::size_t>(i)] = i;
    if (shuffled)
        std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (int i : order) {
        ffm::ComPtr<IStream> s;
        root->CreateStream((L"part" + std::to_wstring(i)).c_str(),
                           STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, s.put());
        const char data[16] = "sixteen bytes..";
        ULONG put = 0;
        s->Write(data, sizeof data, &put);
    }
    root->Commit(STGC_DEFAULT);
}

struct Usage {
    std::uintptr_t nextHandle = 0; // the value a new handle gets: handles are handed out lowest free first
    double residentMb = 0;
};

// Wine answers GetProcessHandleCount and GetProcessMemoryInfo with 0, so the handle table's fill is
// read from the value a new handle gets, and memory from the kernel's view of this process.
Usage Now() {
    Usage u;
    if (HANDLE probe = CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        u.nextHandle = reinterpret_cast<std::uintptr_t>(probe);
        CloseHandle(probe);
    }
    std::ifstream status("Z:\\proc\\self\\status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            u.residentMb = std::atof(line.c_str() + 6) / 1024.0;
    if (u.residentMb == 0) {
        PROCESS_MEMORY_COUNTERS memory{};
        if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
            u.residentMb = memory.WorkingSetSize / 1048576.0;
    }
    return u;
}

} // namespace

// Optional argument: the number of streams of the listed container (default 10,000).
int main(int argc, char** argv) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ffm::SetModuleHandle(GetModuleHandleW(nullptr));
    const auto format = ffmtest::CompoundFormat();
    if (!format) {
        std::printf("CompoundPlugin.dll not found beside the benchmark\n");
        return 1;
    }
    const std::wstring folder = TempFolderPath();
    FileFormatMgr manager;

    // 1. Listing 10,000 streams, then asking each for its size and date (what fmtmgr subfiles
    // shows). Created in name order, the directory is a degenerate tree (the platform's writer
    // does not balance it); created in shuffled order, it is about as balanced as a real file's.
    const int kStreams = argc > 1 ? std::atoi(argv[1]) : 10000;
    const std::wstring big = folder + L"\\many.cfb";
    for (const bool shuffled : {false, true}) {
        const auto made = Clock::now();
        MakeContainer(big, kStreams, shuffled);
        std::printf("made a container of %d streams in %s order in %.0f ms\n", kStreams,
                    shuffled ? "shuffled" : "name", Ms(Clock::now() - made));
        std::vector<double> listing, sizing;
        for (int run = 0; run < 3; ++run) {
            const auto start = Clock::now();
            ffm::ComPtr<ITovFileNavigator> root;
            ffm::UniqueBstr path(SysAllocString(big.c_str()));
            format->OpenFile(path.get(), nullptr, root.put());
            std::list<ITovFileNavigator*> files;
            manager.mhGetSubFiles(root.get(), files, nullptr);
            listing.push_back(Ms(Clock::now() - start));
            const auto sized = Clock::now();
            LONGLONG total = 0;
            for (auto* f : files) {
                ffm::ComPtr<ITovFileQuery> query;
                ffm::UniqueVariant input, date, size;
                if (SUCCEEDED(f->QueryInterface(__uuidof(ITovFileQuery), query.put_void())) &&
                    SUCCEEDED(query->Query(1, *input.get(), date.get(), size.get())))
                    total += size->llVal;
            }
            sizing.push_back(Ms(Clock::now() - sized));
            const std::size_t count = files.size();
            for (auto* f : files)
                f->Release();
            if (count != static_cast<std::size_t>(kStreams) || total != 16LL * kStreams)
                std::printf("listed %zu streams of %lld bytes, expected %d of %d\n", count, total, kStreams,
                            16 * kStreams);
        }
        std::printf("  listing (open + mhGetSubFiles): median of 3 %.1f ms, %.2f us per stream\n",
                    Median(listing), Median(listing) * 1000 / kStreams);
        std::printf("  size and date of every stream: median of 3 %.1f ms, %.2f us per stream\n",
                    Median(sizing), Median(sizing) * 1000 / kStreams);
    }

    // 2. Summary properties of 1,000 documents in a row.
    constexpr int kFiles = 1000;
    const std::wstring sample = ffmtest::RealCompoundFiles()[0];
    std::ifstream in(std::string(sample.begin(), sample.end()), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::vector<std::wstring> files;
    for (int i = 0; i < kFiles; ++i) {
        files.push_back(folder + L"\\doc" + std::to_wstring(i) + L".xls");
        std::ofstream(std::string(files.back().begin(), files.back().end()), std::ios::binary) << bytes.str();
    }
    const wchar_t* names[] = {L"Title", L"Author", L"LastAuthor", L"AppName", L"Created", L"LastSaved"};
    std::vector<double> perFile;
    std::vector<Usage> usage;
    int found = 0;
    for (int i = 0; i < kFiles; ++i) {
        const auto start = Clock::now();
        ffm::ComPtr<ITovFileNavigator> nav;
        ffm::UniqueBstr path(SysAllocString(files[i].c_str()));
        if (SUCCEEDED(format->OpenFile(path.get(), nullptr, nav.put()))) {
            TovAttribData records[6] = {};
            for (int k = 0; k < 6; ++k) {
                records[k].mbsBlock = SysAllocString(L"SummaryInformation");
                records[k].mbsName = SysAllocString(names[k]);
            }
            nav->GetAttributes(nullptr, 0, nullptr, 6, records);
            for (auto& r : records) {
                found += r.mlStatus != 0;
                SysFreeString(r.mbsBlock);
                SysFreeString(r.mbsName);
                VariantClear(&r.mvValue);
            }
        }
        perFile.push_back(Ms(Clock::now() - start));
        if (i == 9 || i == 99 || i == 499 || i == kFiles - 1)
            usage.push_back(Now());
    }
    std::printf(
        "summary properties of %d documents: median %.2f ms, p95 %.2f ms per document, %d values found\n",
        kFiles, Median(perFile), Percentile(perFile, 0.95), found);
    const int marks[] = {10, 100, 500, kFiles};
    for (std::size_t k = 0; k < usage.size(); ++k)
        std::printf("  after %4d documents: next handle 0x%llx, %.1f MB resident\n", marks[k],
                    static_cast<unsigned long long>(usage[k].nextHandle), usage[k].residentMb);

    for (const auto& f : files)
        DeleteFileW(f.c_str());
    DeleteFileW(big.c_str());
    RemoveDirectoryW(folder.c_str());
    return 0;
}
