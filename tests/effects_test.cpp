// Every effect kavri_add_effect builds, through the same helpers: each
// parameter at the ends of its range and seeded random settings, rendered with
// the fast paths and with the reference loops, byte for byte, at odd sizes.
#include <random>
#include <string>
#include <vector>

#include "framework/kavri_ae_effect_framework.h"
#include "tests/test_support.h"

namespace {

// The value of a registered definition at one end of its range (end 0 low, 1
// high), or a seeded one between; false for a type with nothing to set.
bool setEnd(PF_ParamDef& d, const PF_ParamDef& registered, int end, std::mt19937& rng, int32_t width) {
    if (registered.uu.id == kNsAeStampTime) return false;  // (the render time differs from run to run)
    const bool low = end == 0, high = end == 1;
    auto between = [&](double lo, double hi) { return low ? lo : high ? hi : lo + (hi - lo) * (rng() % 1001) / 1000.0; };
    switch (d.param_type) {
    case PF_Param_FLOAT_SLIDER:
        d.u.fs_d.value = between(registered.u.fs_d.valid_min, registered.u.fs_d.valid_max);
        return true;
    case PF_Param_SLIDER:
        d.u.sd.value = static_cast<A_long>(between(registered.u.sd.valid_min, registered.u.sd.valid_max));
        return true;
    case PF_Param_FIX_SLIDER:
        d.u.fd.value = static_cast<PF_Fixed>(between(registered.u.fd.valid_min, registered.u.fd.valid_max));
        return true;
    case PF_Param_ANGLE: d.u.ad.value = static_cast<PF_Fixed>(between(-720, 720) * 65536); return true;
    case PF_Param_POPUP: d.u.pd.value = static_cast<A_long>(between(1, registered.u.pd.num_choices) + 0.5); return true;
    case PF_Param_CHECKBOX: d.u.bd.value = low ? 0 : high ? 1 : static_cast<A_long>(rng() % 2); return true;
    case PF_Param_COLOR: {
        auto byte = [&] { return static_cast<A_u_char>(between(0, 255)); };
        d.u.cd.value = PF_Pixel{255, byte(), byte(), byte()};
        return true;
    }
    case PF_Param_POINT:
        d.u.td.x_value = static_cast<PF_Fixed>(between(-50, width + 50) * 65536);
        d.u.td.y_value = static_cast<PF_Fixed>(between(-50, width + 50) * 65536);
        return true;
    default: return false;
    }
}

void twinsAtEveryEnd(const std::string& effect) {
    refhost::Module& module = cwtest::module(effect);
    const std::vector<PF_ParamDef> registered = cwtest::startedHost(module)->registered();
    uint32_t seed = 500;
    for (auto size : {std::pair<int, int>{1, 1}, {97, 61}, {333, 2}, {640, 360}}) {
        cwtest::GuardedWorld input(size.first, size.second);
        cwtest::seededInput(input, ++seed, true);
        // each parameter at each end, the others at their defaults
        for (size_t p = 1; p < registered.size(); ++p)
            for (int end = 0; end < 2; ++end) {
                std::mt19937 rng(seed);
                PF_ParamDef probe = registered[p];
                if (!setEnd(probe, registered[p], end, rng, size.first)) break;  // (nothing to set)
                cwtest::expectTwinsMatch(module, input,
                                         effect + " " + registered[p].name + (end ? " high" : " low") + " at " +
                                             std::to_string(size.first) + " x " + std::to_string(size.second),
                                         [&](refhost::Host& host) {
                                             std::mt19937 again(seed);
                                             setEnd(host.param(static_cast<int>(p)), registered[p], end, again,
                                                    size.first);
                                         });
                if (::testing::Test::HasFailure()) return;
            }
        // everything at once, seeded, in place too; a combination that takes
        // too long (the squares' tiniest cells are billions) is stopped, and
        // most must finish
        int finished = 0;
        for (int round = 0; round < 6; ++round) {
            const uint32_t round_seed = seed * 100 + static_cast<uint32_t>(round);
            const auto prepare = [&](refhost::Host& host) {
                std::mt19937 rng(round_seed);
                for (size_t p = 1; p < registered.size(); ++p)
                    setEnd(host.param(static_cast<int>(p)), registered[p], static_cast<int>(rng() % 3), rng,
                           size.first);
                host.setQuality(round % 2 ? PF_Quality_LO : PF_Quality_HI);
            };
            finished += cwtest::expectTwinsMatch(module, input, effect + " seed " + std::to_string(round_seed), prepare,
                                                 round == 5, 2.0);
            if (::testing::Test::HasFailure()) return;
        }
        EXPECT_GE(finished, 3) << effect << " at " << size.first << " x " << size.second;
    }
}

class EveryEffect : public ::testing::TestWithParam<std::string> {};

TEST_P(EveryEffect, FastPathsMatchTheReferenceLoopsAtEveryEnd) {
    twinsAtEveryEnd(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Built, EveryEffect, ::testing::ValuesIn(cwtest::effectNames()),
                         [](const ::testing::TestParamInfo<std::string>& effect) { return effect.param; });

}  // namespace
