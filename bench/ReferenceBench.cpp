// Times the reference rewrite and the reference reading with 100,000 references on in-process
// fake navigators, and compares the indexed passes and pair summary with their literal
// (quadratic) forms at sizes where those still finish. Figures are medians of several runs.
#include "BenchKit.h"
#include "content/References.h"
#include "refupdate/ReferenceRewrite.h"
#include "support/LiteralReferences.h"
#include "support/ReferenceFakes.h"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>

using ffmtest::refs::ConfigElement;
using ffmtest::refs::CountingTarget;
using ffmtest::refs::Generation;
using ffmtest::refs::PluginNavigator;
using ffmtest::refs::PluginRef;

using bench::Median;
using bench::Seconds;

namespace {

constexpr long kLarge = 100000;

std::wstring MixCase(std::wstring text, std::mt19937& random) {
    for (wchar_t& c : text)
        if (random() % 3 == 0)
            c = static_cast<wchar_t>(c >= L'a' && c <= L'z' ? c - 32 : (c >= L'A' && c <= L'Z' ? c + 32 : c));
    return text;
}

// ---- Rewrite --------------------------------------------------------------------------------

// n references below the old root; half are moved by exact path, a quarter by file name from
// elsewhere, a quarter of the moves match nothing; the roots rebase everything. The moves come
// in shuffled order so that no pass finds its move at the head of the list by luck.
struct RewriteLoad {
    explicit RewriteLoad(long n) {
        std::mt19937 random(42);
        for (long i = 0; i < n; ++i)
            paths.push_back(L"C:\\Vault\\Project" + std::to_wstring(i % 997) + L"\\Part" +
                            std::to_wstring(i) + L".ipt");
        for (long i = 0; i < n; ++i) {
            const std::wstring name = L"Part" + std::to_wstring(i) + L".ipt";
            if (i < n / 2)
                moves.push_back({MixCase(paths[i], random), L"C:\\Vault\\Moved\\" + name});
            else if (i < 3 * n / 4)
                moves.push_back({L"E:\\Elsewhere\\" + MixCase(name, random), L"C:\\Vault\\Renamed\\" + name});
            else
                moves.push_back({L"F:\\Gone\\X" + std::to_wstring(i) + L".ipt", L"F:\\New\\X.ipt"});
        }
        std::shuffle(moves.begin(), moves.end(), random);
        for (MoveRef& m : moves)
            list.AddTail(&m);
    }
    std::vector<std::wstring> paths;
    std::vector<MoveRef> moves;
    ffm::Lst<MoveRef*> list;
};

using Passes = std::vector<long> (*)(TovRefData*, long, const ffm::Lst<MoveRef*>&, const wchar_t*,
                                     const wchar_t*, const wchar_t*);

double TimePasses(const RewriteLoad& load, Passes passes, int runs) {
    return Median(runs, [&] {
        std::vector<TovRefData> records(load.paths.size());
        for (std::size_t i = 0; i < records.size(); ++i)
            records[i].mbsFilePath = ::SysAllocString(load.paths[i].c_str());
        std::size_t changed = 0;
        const double seconds = Seconds([&] {
            changed = passes(records.data(), static_cast<long>(records.size()), load.list, L"D:\\Vault",
                             L"C:\\Vault", L"")
                          .size();
        });
        for (TovRefData& r : records)
            ffm::FreeRefRecord(r);
        if (changed != records.size())
            std::printf("  (unexpected: %zu of %zu changed)\n", changed, records.size());
        return seconds;
    });
}

double TimeRewrite(const RewriteLoad& load, int runs) {
    return Median(runs, [&] {
        const auto navigator = ffm::Make<PluginNavigator>(Generation::Records);
        navigator->recordWrites = false;
        for (std::size_t i = 0; i < load.paths.size(); ++i)
            navigator->refs.push_back(PluginRef{L"r", load.paths[i], L"", L"", false, 0, 0, 0, 0, 0, 0});
        HRESULT hr = S_OK;
        const double seconds = Seconds(
            [&] { hr = ghUpdateReferences(navigator.get(), load.list, L"D:\\Vault", L"C:\\Vault", L""); });
        if (hr != S_OK)
            std::printf("  (rewrite failed: 0x%08lx)\n", static_cast<unsigned long>(hr));
        return seconds;
    });
}

// ---- Reading --------------------------------------------------------------------------------

// n references and n configuration elements, each element for a reference picked at random and
// spelled in mixed case, with a few configuration names in mixed case and random flags.
struct ReadLoad {
    explicit ReadLoad(long n) {
        std::mt19937 random(7);
        for (long i = 0; i < n; ++i)
            refPaths.push_back(L"Assembly\\Sub" + std::to_wstring(i % 311) + L"\\Part" + std::to_wstring(i) +
                               L".ipt");
        const wchar_t* names[] = {L"Default", L"Alt", L"Config1", L"Config2", L"Config3"};
        const VARIANT_BOOL flags[] = {VARIANT_FALSE, VARIANT_TRUE};
        for (long i = 0; i < n; ++i)
            configs.push_back({MixCase(refPaths[random() % n], random), MixCase(names[random() % 5], random),
                               MixCase(names[random() % 5], random), flags[random() % 2],
                               flags[random() % 2]});
        for (const ConfigElement& c : configs)
            elements.push_back({::SysAllocString(c.path.c_str()),
                                {},
                                ::SysAllocString(c.config1.c_str()),
                                ::SysAllocString(c.config2.c_str()),
                                c.flag1,
                                c.flag2});
        for (const std::wstring& p : refPaths)
            bstrs.push_back(::SysAllocString(p.c_str()));
    }
    ~ReadLoad() {
        for (TovRefConfigData& e : elements) {
            ::SysFreeString(e.mbsPath);
            ::SysFreeString(e.mbsConfig1);
            ::SysFreeString(e.mbsConfig2);
        }
        for (BSTR b : bstrs)
            ::SysFreeString(b);
    }
    std::vector<std::wstring> refPaths;
    std::vector<ConfigElement> configs;
    std::vector<TovRefConfigData> elements;
    std::vector<BSTR> bstrs;
};

double TimeIndexedPairs(const ReadLoad& load, int runs) {
    return Median(runs, [&] {
        long pairs = 0;
        return Seconds([&] {
            ffm::ConfigPairIndex index(load.elements.data(), static_cast<long>(load.elements.size()));
            for (BSTR refPath : load.bstrs) {
                ffm::XRefConfigList list;
                index.AppendPairs(refPath, list.List());
                pairs += list.List().GetCount();
            }
        });
    });
}

double TimeLiteralPairs(const ReadLoad& load, int runs) {
    return Median(runs, [&] {
        return Seconds([&] {
            for (BSTR refPath : load.bstrs)
                ffmliteral::ConfigPairs(load.elements.data(), static_cast<long>(load.elements.size()),
                                        refPath);
        });
    });
}

double TimeReading(const ReadLoad& load, int runs, long& deliveries, long& pairs) {
    FileFormatMgr manager;
    return Median(runs, [&] {
        const auto navigator = ffm::Make<PluginNavigator>(Generation::Records2);
        for (const std::wstring& p : load.refPaths)
            navigator->refs.push_back(PluginRef{p, L"C:\\Vault\\" + p, L"", L"", false, 0, 0, 0, 0, 0, 1});
        navigator->configs = load.configs;
        CountingTarget target;
        const double seconds = Seconds([&] { manager.mhGetReferences(navigator.get(), &target, nullptr); });
        deliveries = target.deliveries;
        pairs = target.pairs;
        return seconds;
    });
}

void Row(long n, double fast, double literal) {
    std::printf("  %8ld   %10.2f ms   %12.1f ms   %8.0fx\n", n, fast * 1e3, literal * 1e3, literal / fast);
}

} // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const long sizes[] = {2000, 5000, 10000};

    std::printf("Reference rewrite, as many moves as references (medians)\n");
    std::printf("      size       indexed passes    literal passes    speed-up\n");
    double literalAtLargest = 0;
    for (long n : sizes) {
        const RewriteLoad load(n);
        const double fast = TimePasses(load, &ffm::refupdate::ApplyMoves, 5);
        literalAtLargest = TimePasses(load, &ffmliteral::ApplyMoves, n >= 10000 ? 1 : 3);
        Row(n, fast, literalAtLargest);
    }
    {
        const RewriteLoad load(kLarge);
        const double fast = TimePasses(load, &ffm::refupdate::ApplyMoves, 5);
        const double scale = static_cast<double>(kLarge) / sizes[2];
        const double literal = literalAtLargest * scale * scale;
        std::printf("  %8ld   %10.2f ms   %12.0f ms   %8.0fx   (literal extrapolated as n^2 from %ld)\n",
                    kLarge, fast * 1e3, literal * 1e3, literal / fast, sizes[2]);
        const double whole = TimeRewrite(load, 5);
        std::printf("  ghUpdateReferences with %ld references and %ld moves: %.1f ms, %.2f us per reference\n"
                    "  (includes the fake plug-in building and freeing its records)\n\n",
                    kLarge, kLarge, whole * 1e3, whole * 1e6 / kLarge);
    }

    std::printf("Reference reading, as many configuration elements as references (medians)\n");
    std::printf("      size   indexed pair summary  literal summary    speed-up\n");
    const long readSizes[] = {1000, 2000, 5000};
    for (long n : readSizes) {
        const ReadLoad load(n);
        const double fast = TimeIndexedPairs(load, 5);
        literalAtLargest = TimeLiteralPairs(load, n >= 5000 ? 1 : 3);
        Row(n, fast, literalAtLargest);
    }
    {
        const ReadLoad load(kLarge);
        const double fast = TimeIndexedPairs(load, 5);
        const double scale = static_cast<double>(kLarge) / readSizes[2];
        const double literal = literalAtLargest * scale * scale;
        std::printf("  %8ld   %10.2f ms   %12.0f ms   %8.0fx   (literal extrapolated as n^2 from %ld)\n",
                    kLarge, fast * 1e3, literal * 1e3, literal / fast, readSizes[2]);
        long deliveries = 0;
        long pairs = 0;
        const double whole = TimeReading(load, 5, deliveries, pairs);
        std::printf(
            "  mhGetReferences with %ld references and %ld elements: %.1f ms, %.2f us per reference\n"
            "  (%ld deliveries, %ld pairs; includes the fake plug-in building its records and array)\n",
            kLarge, kLarge, whole * 1e3, whole * 1e6 / kLarge, deliveries, pairs);
    }
    CoUninitialize();
    return 0;
}
