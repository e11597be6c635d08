// Reads and writes data-card variables on an in-process data-card navigator: V variables, each
// mapped to 2 attributes, over C configurations, in the per-configuration form (one attribute
// request per variable and configuration) and the batch form (one per configuration). Prints the
// plug-in calls made, the time per call and per value, and how the time divides between the
// library and the fake plug-in (measured inside its attribute methods). Smaller sizes first, so
// the time per value shows how the library's work grows.
#include "support/DataCardFakes.h"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

using namespace ffmtest::cards;

namespace {

struct Load {
    Load(long variables, long configs) : card(L"C:\\Vault\\bench.mrdprt", Records::Second, true, true) {
        DataCardNavigator& nav = *card.navigator;
        nav.logCalls = false;
        for (long c = 0; c < configs; ++c)
            nav.configs.emplace_back(L"Config" + std::to_wstring(c), 0x100000000LL + c);
        for (long v = 0; v < variables; ++v) {
            const std::wstring name = L"Prop" + std::to_wstring(v);
            vars.Add(
                NewVariable(name.c_str(), {{L"CustomProperty", name.c_str()}, {L"Summary", name.c_str()}}));
            for (const auto& [config, tag] : nav.configs) {
                // Every other variable has its custom property deleted: the second mapping answers.
                if (v % 2 == 0)
                    nav.Put(config.c_str(), L"CustomProperty", name.c_str(), (config + L"/" + name).c_str());
                nav.Put(config.c_str(), L"Summary", name.c_str(), static_cast<long>(v));
            }
        }
    }
    long Values() const {
        long n = 0;
        for (const VariableData* v : vars.list)
            n += static_cast<long>(v->mpoValues->moItems.size());
        return n;
    }
    HeldCard card;
    VariableList vars;
};

struct Figures {
    double seconds = 0;
    double plugin = 0;
    long calls = 0;
    long values = 0;
    HRESULT hr = S_OK;
};

using Operation = std::function<HRESULT(FileFormatMgr&, Load&)>;

Figures Run(long variables, long configs, const Operation& read, const Operation* write) {
    Load load(variables, configs);
    FileFormatMgr manager;
    DataCardNavigator& nav = *load.card.navigator;
    Figures f;
    if (write) { // the values to write come from a read
        read(manager, load);
        nav.counts.clear();
        nav.pluginSeconds = 0;
    }
    const auto start = std::chrono::steady_clock::now();
    f.hr = (write ? *write : read)(manager, load);
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.plugin = nav.pluginSeconds;
    for (const char* m : {"GetAttributes", "GetAttributes2", "SetAttributes", "SetAttributes2"})
        f.calls += nav.Count(m);
    f.values = load.Values();
    return f;
}

void Print(const char* what, long variables, long configs, const Figures& f) {
    const double library = f.seconds - f.plugin;
    std::printf("  %-24s %4ld x %5ld  %8ld calls  %8.1f ms  %8.2f us/call  %7.0f ns/value  library %7.1f ms "
                "(%4.1f%%, %5.0f ns/value)  plug-in %7.1f ms%s\n",
                what, variables, configs, f.calls, f.seconds * 1e3, f.seconds * 1e6 / std::max(f.calls, 1L),
                f.seconds * 1e9 / std::max(f.values, 1L), library * 1e3, 100 * library / f.seconds,
                library * 1e9 / std::max(f.values, 1L), f.plugin * 1e3, FAILED(f.hr) ? "  (FAILED)" : "");
}

// The fastest of the runs: the one least disturbed by other work on the machine.
Figures Fastest(int runs, const std::function<Figures()>& run) {
    std::vector<Figures> all;
    for (int i = 0; i < runs; ++i)
        all.push_back(run());
    std::sort(all.begin(), all.end(),
              [](const Figures& a, const Figures& b) { return a.seconds < b.seconds; });
    return all.front();
}

} // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const Operation perConfig = [](FileFormatMgr& m, Load& l) {
        return m.mhGetVars(l.card.navigator, 0x80, l.vars.list, nullptr,
                           true); // batch switch off: per configuration
    };
    const Operation batch = [](FileFormatMgr& m, Load& l) {
        return m.mhGetVars2(l.card.navigator, 0x80, l.vars.list, nullptr, true);
    };
    const Operation writePerConfig = [](FileFormatMgr& m, Load& l) {
        return m.mhSetVars(l.card.navigator, 0, 0, l.vars.list, true);
    };
    const Operation writeBatch = [](FileFormatMgr& m, Load& l) {
        return m.mhSetVars2(l.card.navigator, 0, 0, l.vars.list, true);
    };
    struct Row {
        const char* name;
        const Operation* read;
        const Operation* write;
    } rows[] = {{"read per configuration", &perConfig, nullptr},
                {"read batch", &batch, nullptr},
                {"write per configuration", &perConfig, &writePerConfig},
                {"write batch", &batch, &writeBatch}};
    const long sizes[][2] = {{50, 250}, {100, 500}, {200, 1000}};
    std::printf("Data-card variables (2 attributes each), fastest of 3 runs; ns/value over variables x "
                "configurations\n");
    for (const Row& row : rows)
        for (const auto& size : sizes) {
            const Figures f = Fastest(3, [&] { return Run(size[0], size[1], *row.read, row.write); });
            Print(row.name, size[0], size[1], f);
        }
    CoUninitialize();
    return 0;
}
