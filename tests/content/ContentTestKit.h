#pragma once
// What the content tests share: a caller's configuration list that deletes its records, and the
// allocation-failure sweep under a memory ledger.
#include "support/ComMemoryLedger.h"
#include "support/DataCardFakes.h"
#include "support/Sandbox.h"
#include <gtest/gtest.h>
#include <optional>

namespace ffmtest {

struct OwnedConfigs : ConfigDataLst {
    ~OwnedConfigs() override {
        for (ConfigData* c : *this)
            delete c;
    }
};

// The configurations as "[name:tag]..." in list order.
inline std::wstring Describe(const ConfigDataLst& list) {
    std::wstring text;
    for (const ConfigData* c : list)
        text += L"[" + std::wstring(c->moName.W() ? c->moName.W() : L"") + L":" +
                std::to_wstring(c->mlValue) + L"]";
    return text;
}

// Makes the 1st, 2nd, ... allocation of op fail, each run under a memory ledger of its own that
// starts before setup: op answers success or E_OUTOFMEMORY, and once done has let go of what the
// caller holds, every block is freed. Gives the number of points; last is the result of the run
// that met no failure.
inline int LedgerSweep(const std::function<void()>& setup, const std::function<HRESULT()>& op,
                       const std::function<void(HRESULT)>& done, HRESULT* last = nullptr) {
    std::optional<ComMemoryLedger> ledger;
    HRESULT hr = S_OK;
    const int points = ForEachAllocationFailure(
        [&] {
            ledger.emplace();
            setup();
        },
        [&](int) { hr = op(); },
        [&](int point) {
            EXPECT_TRUE(SUCCEEDED(hr) || hr == E_OUTOFMEMORY) << HexCode(hr) << " at " << point;
            done(hr);
            EXPECT_EQ("", ledger->Problems()) << "at " << point;
            ledger.reset();
        });
    if (last)
        *last = hr;
    return points;
}

} // namespace ffmtest
