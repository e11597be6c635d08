// Times the whole reference update of one file with 10,000 references after 10,000 moves, on
// real files through the text-file plug-in double: without a working copy (the plug-in writes
// the file itself) and with one (the file and every moved file copied into a temporary folder,
// the result copied back). Next to it: the same bytes copied with plain CopyFileW calls, and the
// rewrite alone on an open navigator, so the library's own share stands apart from the copying
// and from the plug-in's reading and writing. Figures are medians of several runs.
#include "BenchKit.h"
#include "refupdate/TextRefPlugin.h"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>

using namespace ffmtest::textref;

using bench::Median;
using bench::Seconds;

namespace {

constexpr int kReferences = 10000;
constexpr int kRuns = 3;
constexpr int kCopyRuns = 1; // each places 10,000 files: minutes under Wine, whose name lookup scans folders
constexpr std::size_t kMovedFileBytes = 4096;

std::wstring TempBase() {
    std::wstring path(32768, L'\0');
    path.resize(GetTempPathW(static_cast<DWORD>(path.size()), path.data()));
    return path;
}

void DeleteTree(const std::wstring& folder) {
    std::error_code ignored; // what cannot go stays in the temporary folder
    std::filesystem::remove_all(folder, ignored);
}

struct Load {
    std::wstring root;
    std::vector<MoveRef> moves;
    ffm::Lst<MoveRef*> list;
    std::string original;
    std::size_t movedBytes = 0;

    // 10,000 parts moved from old\ to new\ (present at their new places, as after a move); the
    // file refers to every one by its old path.
    Load() : root(TempBase() + L"ffm-bench-" + std::to_wstring(GetCurrentProcessId())) {
        CreateDirectoryW(root.c_str(), nullptr);
        CreateDirectoryW((root + L"\\new").c_str(), nullptr);
        std::vector<std::wstring> refs;
        const std::string content(kMovedFileBytes, 'p');
        for (int i = 0; i < kReferences; ++i) {
            const std::wstring name = L"part-" + std::to_wstring(i) + L".ipt";
            refs.push_back(root + L"\\old\\" + name);
            moves.push_back({root + L"\\old\\" + name, root + L"\\new\\" + name});
            WriteBytes(moves.back().moNewPath, content, content.size());
            movedBytes += content.size();
        }
        for (MoveRef& m : moves)
            list.AddTail(&m);
        original = Document(refs);
    }
    ~Load() { DeleteTree(root); }
};

} // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        const Load load;
        Script script;
        ffm::ComPtr<ITovFileFormat> format(new Format(script));
        const auto update = [&](const wchar_t* name, int runs) {
            const std::wstring file = load.root + L"\\" + name;
            return Median(runs, [&] {
                WriteBytes(file, load.original, load.original.size());
                HRESULT hr = E_FAIL;
                const double s = Seconds([&] {
                    hr = ghUpdateXRefPaths(file.c_str(), nullptr, nullptr, nullptr, load.list,
                                           ffm::kKeepLastWriteTime, format.get());
                });
                if (FAILED(hr))
                    std::printf("update of %ls failed: 0x%08lX\n", name, static_cast<unsigned long>(hr));
                return s;
            });
        };
        const double direct = update(L"direct.txt", kRuns);
        const double copied = update(L"copied.iam", kCopyRuns);

        // The copying a working copy needs, done by hand: the file in, every moved file beside
        // it, the result back, and everything deleted again.
        const double copying = Median(kCopyRuns, [&] {
            const std::wstring file = load.root + L"\\plain.iam", folder = load.root + L"\\plain";
            WriteBytes(file, load.original, load.original.size());
            return Seconds([&] {
                CreateDirectoryW(folder.c_str(), nullptr);
                CopyFileW(file.c_str(), (folder + L"\\plain.iam").c_str(), TRUE);
                for (const MoveRef& m : load.moves)
                    CopyFileW(m.moNewPath.c_str(),
                              (folder + L"\\" + m.moNewPath.substr(m.moNewPath.rfind(L'\\') + 1)).c_str(),
                              TRUE);
                CopyFileW((folder + L"\\plain.iam").c_str(), file.c_str(), FALSE);
                DeleteTree(folder);
            });
        });

        // The rewrite alone, on a navigator opened beforehand: what every update spends in the
        // library's matching, without files or plug-in work.
        const double rewrite = Median(kRuns, [&] {
            const std::wstring file = load.root + L"\\rewrite.txt";
            WriteBytes(file, load.original, load.original.size());
            ffm::ComPtr<ITovFileNavigator> navigator;
            std::wstring path = file;
            format->OpenFile(path.data(), nullptr, navigator.put());
            script.failAt = Step::Save; // no writing: the rewrite and nothing else
            const double s =
                Seconds([&] { ghUpdateReferences(navigator.get(), load.list, nullptr, nullptr, nullptr); });
            script.failAt = Step::None;
            return s;
        });

        const double fileBytes = static_cast<double>(load.original.size());
        const double copiedBytes = 2 * fileBytes + static_cast<double>(load.movedBytes);
        std::printf("Reference update of one file: %d references after %d moves, medians of %d runs (%d with "
                    "copies)\n",
                    kReferences, kReferences, kRuns, kCopyRuns);
        std::printf("  file %.0f bytes, moved files %d x %zu bytes\n\n", fileBytes, kReferences,
                    kMovedFileBytes);
        std::printf("  %-46s %9.1f ms %8.2f us/reference\n", "update without a working copy (.txt)",
                    direct * 1e3, direct * 1e6 / kReferences);
        std::printf("  %-46s %9.1f ms %8.2f us/reference\n", "update with a working copy (.iam)",
                    copied * 1e3, copied * 1e6 / kReferences);
        std::printf("  %-46s %9.1f ms %8.2f us/reference\n", "  the same copying with plain CopyFileW",
                    copying * 1e3, copying * 1e6 / kReferences);
        std::printf("  %-46s %9.1f ms %8.2f us/reference\n", "  the rewrite alone (matching, no files)",
                    rewrite * 1e3, rewrite * 1e6 / kReferences);
        std::printf("\n  bytes copied per update with a working copy: %.0f (%.1f x the file)\n", copiedBytes,
                    copiedBytes / fileBytes);
        std::printf("  working copy / no working copy:               %.1f x\n", copied / direct);
        // A ratio, not a difference: the copying dominates and both figures move with the load.
        std::printf("  update with a working copy / the copying alone:  %.2f x\n", copied / copying);
    }
    CoUninitialize();
    return 0;
}
