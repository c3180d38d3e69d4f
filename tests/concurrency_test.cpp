// Two instances of an effect rendering at once on two threads, each with its
// own settings: every frame must be the one the instance renders alone. The
// module keeps its current instance per thread; run under ThreadSanitizer
// (the tsan preset), this also shows that nothing else is shared unguarded.
#include <thread>
#include <vector>

#include "tests/test_support.h"

namespace {

struct Job {
    std::vector<std::string> settings;
    int32_t width, height;
};

// The frames of one instance: `frames` renders, each at its own time.
std::vector<std::vector<PF_Pixel>> renderAll(const std::string& effect, const Job& job, int frames) {
    refhost::Host host(cwtest::module(effect).entry());
    EXPECT_EQ(host.start(), PF_Err_NONE);
    cwtest::applySettings(host, job.settings);
    cwtest::GuardedWorld in(job.width, job.height);
    cwtest::seededInput(in, static_cast<uint32_t>(job.width), true);
    std::vector<std::vector<PF_Pixel>> out;
    for (int f = 0; f < frames; ++f) {
        cwtest::GuardedWorld world(job.width, job.height);
        host.setFrame(f);
        EXPECT_EQ(host.renderFrame(in.def(), world.def()), PF_Err_NONE);
        std::vector<PF_Pixel> pixels;
        for (int32_t y = 0; y < job.height; ++y)
            for (int32_t x = 0; x < job.width; ++x) pixels.push_back(world.at(x, y));
        out.push_back(std::move(pixels));
    }
    return out;
}

TEST(Concurrency, TwoInstancesOnTwoThreadsRenderWhatEachRendersAlone) {
    const int frames = 6;
    for (const std::string& effect : {std::string("checkerwarp"), std::string("pixelate")}) {
        SCOPED_TRACE(effect);
        const Job a = effect == "checkerwarp"
                          ? Job{{"squares across=40", "background fill=tile", "background color=#ffffff"}, 211, 131}
                          : Job{{"cell size=7.5", "keep alpha=on"}, 211, 131};
        const Job b = effect == "checkerwarp" ? Job{{"wibble max=2", "squares fill=tile", "stamp params=on"}, 160, 97}
                                              : Job{{"cell size=3", "offset=5,9"}, 160, 97};
        const auto alone_a = renderAll(effect, a, frames), alone_b = renderAll(effect, b, frames);
        std::vector<std::vector<PF_Pixel>> together_a, together_b;
        std::thread ta([&] { together_a = renderAll(effect, a, frames); });
        std::thread tb([&] { together_b = renderAll(effect, b, frames); });
        ta.join();
        tb.join();
        for (int f = 0; f < frames; ++f) {
            EXPECT_TRUE(together_a[static_cast<size_t>(f)] == alone_a[static_cast<size_t>(f)]) << "first, frame " << f;
            EXPECT_TRUE(together_b[static_cast<size_t>(f)] == alone_b[static_cast<size_t>(f)]) << "second, frame " << f;
        }
    }
}

}  // namespace
