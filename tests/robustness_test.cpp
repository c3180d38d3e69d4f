// Robustness through the reference host and the built module: seeded random
// renders anywhere in the parameters' valid ranges, a hostile host, and many
// whole lifecycles. Run under the sanitizers in CI; CHECKERWARP_SEED and
// CHECKERWARP_RANDOM_CASES pick other runs by hand.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "framework/kavri_ae_effect_framework.h"
#include "host/host_testing.h"
#include "tests/test_support.h"

using cwtest::GuardedWorld;

namespace {

uint32_t envNumber(const char* name, uint32_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? static_cast<uint32_t>(std::strtoul(v, nullptr, 10)) : fallback;
}

// Every float slider, with its valid range as registered.
struct Slider {
    int position;
    float low, high;
};

TEST(RandomRenders, AnyValidParametersStayInsideTheirWorlds) {
    const uint32_t seed = envNumber("CHECKERWARP_SEED", 20261208);
    const uint32_t cases = envNumber("CHECKERWARP_RANDOM_CASES", 4000);
    std::mt19937 rng(seed);
    auto uniform = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
    auto host = cwtest::startedHost();
    std::vector<Slider> sliders;
    for (size_t p = 1; p < host->definitions().size(); ++p) {
        const PF_ParamDef& d = host->definitions()[p];
        if (d.param_type == PF_Param_FLOAT_SLIDER)
            sliders.push_back({static_cast<int>(p), d.u.fs_d.valid_min, d.u.fs_d.valid_max});
    }
    uint32_t rendered = 0, bounded = 0;
    for (uint32_t n = 0; n < cases; ++n) {
        // sizes from 1 x 1 up to 2000 x 50 and 50 x 2000
        int32_t w, h;
        switch (rng() % 4) {
        case 0: w = 1 + rng() % 8, h = 1 + rng() % 8; break;
        case 1: w = 1 + rng() % 2000, h = 1 + rng() % 50; break;
        case 2: w = 1 + rng() % 50, h = 1 + rng() % 2000; break;
        default: w = 1 + rng() % 300, h = 1 + rng() % 300; break;
        }
        for (const Slider& s : sliders) {
            const uint32_t pick = rng() % 6;
            const double v = pick == 0 ? s.low : pick == 1 ? s.high : uniform(s.low, s.high);
            host->param(s.position).u.fs_d.value = pick < 2 ? static_cast<double>(pick == 0 ? s.low : s.high) : v;
        }
        for (const char* popup : {"background fill", "squares fill"}) cwtest::setPopup(*host, popup, 1 + rng() % 4);
        cwtest::setPopup(*host, "brick rows", 1 + rng() % 2);
        for (const char* angle : {"brick offset", "x offset", "y offset", "wibble angle"})
            host->param(host->positionOfName(angle)).u.ad.value = static_cast<PF_Fixed>(rng());
        for (const char* colour : {"background color", "squares color", "wibble influence", "horizontal influence",
                                   "vertical influence", "stamp params color", "stamp time color"})
            cwtest::setColor(*host, colour, rng() % 256, rng() % 256, rng() % 256);
        // the centre anywhere a 16.16 point can be; the stamps near or off the world
        cwtest::setPointPixels(*host, "center", uniform(-32768, 32767), rng() % 3 ? uniform(-10, h + 10) : uniform(-32768, 32767));
        cwtest::setCheckbox(*host, "stamp params", rng() % 8 == 0);
        cwtest::setCheckbox(*host, "stamp time", rng() % 8 == 0);
        cwtest::setPointPixels(*host, "stamp params point", uniform(-300, w + 10), uniform(-300, h + 10));
        cwtest::setPointPixels(*host, "stamp time point", uniform(-100, w + 10), uniform(-100, h + 10));
        host->setQuality(rng() % 2 ? PF_Quality_HI : PF_Quality_LO);
        host->setPixelAspect(1 + rng() % 4, 1 + rng() % 4);
        host->setDownsample(1, 1 + rng() % 4, 1, 1 + rng() % 4);

        // Tiny scales with many squares across make billions of cells: keep the
        // run short by bounding the cells a case visits.
        const double across = host->param(host->positionOfName("squares across")).u.fs_d.value;
        const double xs = host->param(host->positionOfName("x scale")).u.fs_d.value;
        const double ys = host->param(host->positionOfName("y scale")).u.fs_d.value;
        const double aspect = static_cast<double>(host->inData().pixel_aspect_ratio.num) /
                              host->inData().pixel_aspect_ratio.den;
        const double cw = w / across * xs / 100, ch = w / across * aspect * ys / 100;
        if ((w / cw + 9) * (h / ch + 7) > 60000) {
            host->param(host->positionOfName("x scale")).u.fs_d.value = 100;
            host->param(host->positionOfName("y scale")).u.fs_d.value = 100;
            host->param(host->positionOfName("squares across")).u.fs_d.value = 1;
            ++bounded;
        }

        GuardedWorld in(w, h, static_cast<int32_t>(rng() % 17)), out(w, h, static_cast<int32_t>(rng() % 5));
        const PF_Pixel p = {static_cast<A_u_char>(rng()), static_cast<A_u_char>(rng()), static_cast<A_u_char>(rng()),
                            static_cast<A_u_char>(rng())};
        in.fill(p);
        if (rng() % 2) in.at(rng() % w, rng() % h) = PF_Pixel{255, 255, 255, 255};
        ASSERT_EQ(host->render(in.def(), out.def()), PF_Err_NONE) << "seed " << seed << " case " << n;
        ASSERT_TRUE(out.intact()) << "seed " << seed << " case " << n << ": a write outside the output";
        ASSERT_TRUE(in.intact()) << "seed " << seed << " case " << n << ": the input was written";
        ++rendered;
    }
    EXPECT_EQ(refhost::testing::outstandingSuites(*host), 0);
    std::printf("random renders: %u rendered (seed %u, %u with their scales bounded)\n", rendered, seed, bounded);
}

// ---- a hostile host ----

// A whole lifecycle with the host's failure switches set; returns the results of
// each command in order.
std::vector<PF_Err> lifecycle(refhost::Host& host) {
    std::vector<PF_Err> results;
    results.push_back(host.globalSetup());
    results.push_back(host.paramsSetup());
    results.push_back(host.sequenceSetup());
    refhost::World in = cwtest::solidWorld(16, 12, PF_Pixel{255, 90, 160, 30});
    refhost::World out = cwtest::solidWorld(16, 12, PF_Pixel{0, 0, 0, 0});
    results.push_back(host.updateParamsUI());
    results.push_back(host.frameSetup());
    results.push_back(host.render(in.def(), out.def()));
    results.push_back(host.sequenceResetup());
    results.push_back(host.render(in.def(), out.def()));
    results.push_back(host.sequenceSetdown());
    results.push_back(host.globalSetdown());
    return results;
}

TEST(HostileHost, MissingSuitesGiveTheirMessagesAndLeaveNothingAllocated) {
    {
        refhost::Host host(cwtest::plugin().entry());
        refhost::testing::failures(host).no_basic_suite = true;
        auto r = lifecycle(host);
        EXPECT_EQ(r[3], PF_Err_NONE) << "the UI update keeps the hook's result";
        EXPECT_EQ(r[5], PF_Err_BAD_CALLBACK_PARAM);
        EXPECT_EQ(refhost::testing::liveHandles(host), 0u);
    }
    for (const char* suite : {kPFIterate8Suite, kPFParamUtilsSuite, kAEGPPFInterfaceSuite}) {
        refhost::Host host(cwtest::plugin().entry());
        refhost::testing::failures(host).withheld_suites.insert(suite);
        auto r = lifecycle(host);
        EXPECT_EQ(r[5], std::string(suite) == kPFIterate8Suite ? PF_Err_BAD_CALLBACK_PARAM : PF_Err_NONE) << suite;
        EXPECT_EQ(refhost::testing::outstandingSuites(host), 0) << suite;
        EXPECT_EQ(refhost::testing::liveHandles(host), 0u) << suite;
    }
}

TEST(HostileHost, FailingAddParamAtEveryPositionIsReturnedUnchanged) {
    for (int n = 1; n <= 31; ++n) {
        refhost::Host host(cwtest::plugin().entry());
        refhost::testing::failures(host).fail_add_param_at = n;
        refhost::testing::failures(host).add_param_error = PF_Err_INVALID_INDEX;
        auto r = lifecycle(host);
        EXPECT_EQ(r[0], PF_Err_NONE);
        EXPECT_EQ(r[1], PF_Err_INVALID_INDEX) << n;
        EXPECT_EQ(refhost::testing::liveHandles(host), 0u) << n;
    }
}

TEST(HostileHost, FailingHandleAllocationAtEachSetup) {
    for (int n : {1, 2, 3}) {
        refhost::Host host(cwtest::plugin().entry());
        refhost::testing::failures(host).fail_handle_alloc_at = n;
        auto r = lifecycle(host);
        EXPECT_EQ(r[n == 1 ? 0 : n == 2 ? 2 : 6], PF_Err_OUT_OF_MEMORY) << "global, sequence and resetup";
        for (PF_Err e : r) EXPECT_TRUE(e == PF_Err_NONE || e == PF_Err_OUT_OF_MEMORY || e == PF_Err_INTERNAL_STRUCT_DAMAGED) << e;
        EXPECT_EQ(refhost::testing::liveHandles(host), 0u) << n;
    }
}

TEST(HostileHost, NullRecordsAndUnknownCommandsNeverCrash) {
    auto host = cwtest::startedHost();
    EXPECT_EQ(host->send(PF_Cmd_FRAME_SETUP, nullptr), PF_Err_NONE);
    EXPECT_EQ(host->send(PF_Cmd_UPDATE_PARAMS_UI, nullptr), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(host->send(PF_Cmd_RENDER, host->paramArray(nullptr), nullptr), PF_Err_BAD_CALLBACK_PARAM);
    PF_EntryPointFunc entry = cwtest::plugin().entry();
    for (PF_Cmd cmd = -2; cmd < 40; ++cmd) EXPECT_NO_FATAL_FAILURE(entry(cmd, nullptr, nullptr, nullptr, nullptr, nullptr));
    // a resetup with a stale record: the plug-in neither reads nor frees it
    PF_Handle stale = refhost::testing::newHandle(*host, sizeof(kavri_ae_filter_context));
    std::memset(*stale, 0x7F, sizeof(kavri_ae_filter_context));
    PF_Handle current = host->inData().sequence_data;
    host->inData().sequence_data = stale;
    EXPECT_EQ(host->sequenceResetup(), PF_Err_NONE);
    refhost::testing::disposeHandle(*host, current);
    EXPECT_EQ(host->sequenceSetdown(), PF_Err_NONE);
    EXPECT_EQ(host->globalSetdown(), PF_Err_NONE);
    EXPECT_EQ(refhost::testing::liveHandles(*host), 0u);
}

TEST(HostileHost, WorldsWithoutPixelsAreRefusedBeforeAnythingIsDrawn) {
    auto host = cwtest::startedHost();
    cwtest::setCheckbox(*host, "stamp params", true);  // a stamp would write too
    for (int fill = 1; fill <= 4; ++fill) {
        cwtest::setPopup(*host, "background fill", fill);
        GuardedWorld in(16, 12), out(16, 12);
        PF_LayerDef no_input = in.def(), no_output = out.def();
        no_input.data = nullptr;
        no_output.data = nullptr;
        EXPECT_EQ(host->render(in.def(), no_output), PF_Err_BAD_CALLBACK_PARAM) << fill;
        EXPECT_NE(host->returnMessage().find("no pixels in the output layer"), std::string::npos);
        EXPECT_EQ(host->render(no_input, out.def()), PF_Err_BAD_CALLBACK_PARAM) << fill;
        EXPECT_NE(host->returnMessage().find("no pixels in the input layer"), std::string::npos);
        EXPECT_TRUE(out.intact());
        for (int32_t y = 0; y < 12; ++y)
            for (int32_t x = 0; x < 16; ++x) ASSERT_EQ(out.at(x, y), (PF_Pixel{255, 0, 0, 0})) << "nothing written";
    }
    // an empty world without pixels is no fault: there is nothing to draw
    GuardedWorld in(16, 12);
    PF_LayerDef empty{};
    EXPECT_EQ(host->render(in.def(), empty), PF_Err_NONE);
}

TEST(HostileHost, ValuesOutsideTheRangesDrawTheBackgroundOnly) {
    // Values the ranges forbid but a host may hand over anyway; under UBSan any
    // overflow in the grid's skip counts stops the test.
    struct Case {
        const char* name;
        double value;
    };
    const Case cases[] = {{"y scale", -0.0}, {"x scale", -0.0}, {"squares across", -INFINITY},
                          {"squares across", -1e300}, {"squares across", 1e300}, {"y scale", -1e300},
                          {"x scale", NAN}, {"squares across", 0.0}};
    for (const Case& c : cases) {
        auto host = cwtest::startedHost();
        cwtest::setFloat(*host, c.name, c.value);
        cwtest::setColor(*host, "background color", 10, 20, 30);
        GuardedWorld in(40, 30), out(40, 30);
        in.fill(PF_Pixel{200, 90, 90, 90});
        ASSERT_EQ(host->render(in.def(), out.def()), PF_Err_NONE) << c.name << " " << c.value;
        EXPECT_TRUE(out.intact());
        for (int32_t y = 0; y < 30; ++y)
            for (int32_t x = 0; x < 40; ++x)
                ASSERT_EQ(out.at(x, y), (PF_Pixel{200, 10, 20, 30})) << c.name << " " << c.value << " at " << x << "," << y;
    }
}

// ---- frames over 2 GiB ----

TEST(BigWorlds, AFrameOverTwoGibibytesIsDrawnAtItsFarEnd) {
    // 16384 x 32800 pixels: row offsets past 2^31 bytes. One cell as wide as the
    // frame, squares a thousandth of it, centred near the far corner: the render
    // writes a few rows, so the mapped frame costs little memory.
    refhost::World in, out;
    std::string error;
    ASSERT_TRUE(in.allocate(64, 64, error)) << error;
    ASSERT_TRUE(out.allocate(16384, 32800, error)) << error;
    ASSERT_GT(static_cast<int64_t>(out.def().rowbytes) * out.height(), int64_t{1} << 31);
    auto host = cwtest::startedHost();
    cwtest::setFloat(*host, "squares across", 1);
    for (const char* name : {"horizontal min", "horizontal max", "vertical min", "vertical max"})
        cwtest::setFloat(*host, name, 0.001);
    cwtest::setPopup(*host, "background fill", 3);  // a tinted copy of an input of another size: nothing
    cwtest::setPointPixels(*host, "center", 16000, 32700);
    ASSERT_EQ(host->render(in.def(), out.def()), PF_Err_NONE);
    // the square spans 16384 * 0.001 = 16.384 pixels around the centre
    const PF_Pixel white = {255, 255, 255, 255}, untouched = {0, 0, 0, 0};
    EXPECT_EQ(out.at(16000, 32700), white);
    EXPECT_EQ(out.at(15993, 32693), white);
    EXPECT_EQ(out.at(16006, 32706), white);
    EXPECT_EQ(out.at(16000, 32720), untouched);
    EXPECT_EQ(out.at(16383, 32799), untouched);
    // the cell one height above holds a square too, below 2 GiB
    EXPECT_EQ(out.at(16000, 32700 - 16384), white);
}

// ---- a host that stops a render ----

TEST(Abort, AHostThatStopsGetsItsInterruptCodeAndTheFilterStopsAtOnce) {
    // about 5 x 10^10 cells: far longer than any test may take
    auto host = cwtest::startedHost();
    cwtest::setFloat(*host, "squares across", 255);
    cwtest::setFloat(*host, "x scale", 0.1);
    cwtest::setFloat(*host, "y scale", 0.1);
    int checks = 0;
    host->setAbort([&] { return ++checks == 3; });
    refhost::World in = cwtest::solidWorld(64, 48, PF_Pixel{255, 120, 60, 30});
    refhost::World out = cwtest::solidWorld(64, 48, PF_Pixel{0, 0, 0, 0});
    EXPECT_EQ(host->render(in.def(), out.def()), PF_Interrupt_CANCEL);
    EXPECT_EQ(checks, 3) << "asked once per row of cells, and no more once told to stop";
    EXPECT_EQ(refhost::testing::counters(*host).abort_checks, 3);
}

TEST(Abort, ALongFrameReportsItsProgressRowByRow) {
    auto host = cwtest::startedHost();
    cwtest::setFloat(*host, "squares across", 255);
    cwtest::setFloat(*host, "x scale", 2);  // about 400,000 cells: walked cell by cell
    std::vector<std::pair<A_long, A_long>> reports;
    host->setProgress([&](A_long done, A_long total) { reports.emplace_back(done, total); });
    refhost::World in = cwtest::solidWorld(200, 30, PF_Pixel{255, 120, 60, 30});
    refhost::World out = cwtest::solidWorld(200, 30, PF_Pixel{0, 0, 0, 0});
    ASSERT_EQ(host->render(in.def(), out.def()), PF_Err_NONE);
    ASSERT_GT(reports.size(), 10u);
    EXPECT_EQ(static_cast<int64_t>(reports.size()), refhost::testing::counters(*host).abort_checks)
        << "one report and one abort check per row of cells";
    for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].first, std::min<A_long>(static_cast<A_long>(i), reports[i].second)) << i;
        EXPECT_EQ(reports[i].second, reports[0].second) << "the total stays";
    }
    EXPECT_GE(reports.back().second, reports.back().first);
}

TEST(Abort, AHostThatNeverStopsGetsTheSameBytes) {
    refhost::World in = cwtest::solidWorld(97, 61, PF_Pixel{255, 0, 0, 0});
    for (int32_t y = 0; y < 61; ++y)
        for (int32_t x = 0; x < 97; ++x)
            in.at(x, y) = PF_Pixel{static_cast<A_u_char>(255 - x), static_cast<A_u_char>(x * 2), static_cast<A_u_char>(y * 4),
                                   static_cast<A_u_char>(x + y)};
    for (double across : {12.0, 255.0}) {
        refhost::World plain = cwtest::solidWorld(97, 61, PF_Pixel{0, 0, 0, 0});
        refhost::World asked = cwtest::solidWorld(97, 61, PF_Pixel{0, 0, 0, 0});
        auto a = cwtest::startedHost();
        auto b = cwtest::startedHost();
        for (refhost::Host* h : {a.get(), b.get()}) {
            cwtest::setFloat(*h, "squares across", across);
            cwtest::setFloat(*h, "x scale", 7);  // many cells: the walk that asks
            cwtest::setPopup(*h, "background fill", 2);
        }
        refhost::testing::failures(*a).no_abort_callback = true;
        ASSERT_EQ(a->render(in.def(), plain.def()), PF_Err_NONE);
        b->setAbort([] { return false; });
        ASSERT_EQ(b->render(in.def(), asked.def()), PF_Err_NONE);
        EXPECT_TRUE(plain.samePixels(asked)) << across;
        if (across == 255.0) {
            EXPECT_GT(refhost::testing::counters(*b).abort_checks, 100) << "the dense grid is walked cell by cell";
        }
    }
}

TEST(Lifecycles, TenThousandInOneProcessLeaveNothingBehind) {
    const uint32_t count = envNumber("CHECKERWARP_LIFECYCLES", 10000);
    refhost::World in = cwtest::solidWorld(8, 8, PF_Pixel{255, 200, 20, 90});
    refhost::World out = cwtest::solidWorld(8, 8, PF_Pixel{0, 0, 0, 0});
    for (uint32_t n = 0; n < count; ++n) {
        refhost::Host host(cwtest::plugin().entry());
        refhost::testing::failures(host).no_handle_callbacks = n % 2 == 1;  // the platform's handles too
        ASSERT_EQ(host.start(), PF_Err_NONE);
        cwtest::setCheckbox(host, "stamp params", n % 3 == 0);
        ASSERT_EQ(host.render(in.def(), out.def()), PF_Err_NONE);
        ASSERT_EQ(host.sequenceSetdown(), PF_Err_NONE);
        ASSERT_EQ(host.globalSetdown(), PF_Err_NONE);
        ASSERT_EQ(refhost::testing::liveHandles(host), 0u);
    }
    std::printf("lifecycles: %u run, every handle returned\n", count);
}

}  // namespace
