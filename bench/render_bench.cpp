// Renders through the built module and the reference host, as users run it, with
// the machine's own floor measured in the same run: copying one frame of the same
// size (read the input once, write the output once).
//
//   checkerwarp_bench [benchmark flags]          the workloads
//   checkerwarp_bench --make-input W H OUT.png   writes a workload's input picture
//   checkerwarp_bench --pair A.so B.so WORKLOAD [FRAMES]
//                                                 two builds, frame by frame in turn
//   checkerwarp_bench --ofx W H [FRAMES]          the OpenFX bridge's render action at
//                                                 byte and float depth against the module alone
#include <deque>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "effect/kavri_squares.h"
#include "host/host_pixels.h"
#include "host/reference_host.h"
#include "tests/ofx_test_host.h"
#include "tools/png_io.h"
#include "tools/param_values.h"

namespace {

// Photo-like: smooth gradients plus noise; opaque, or with varying alpha.
void makePhoto(refhost::World& w, int width, int height, bool varying_alpha) {
    std::string error;
    if (!w.allocate(width, height, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    std::mt19937 rng(1234);
    for (int y = 0; y < height; ++y) {
        PF_Pixel* row = w.row(y);
        for (int x = 0; x < width; ++x) {
            const double u = double(x) / width, v = double(y) / height;
            auto ch = [&](double base) {
                const double n = int(rng() % 17) - 8;
                return static_cast<A_u_char>(std::clamp(base * 255 + n, 0.0, 255.0));
            };
            const A_u_char a = varying_alpha ? ch(0.5 + 0.5 * std::sin(u * 9 + v * 4)) : 255;
            row[x] = PF_Pixel{a, ch(0.5 + 0.5 * std::sin(u * 5 + 1)), ch(v), ch(0.5 + 0.5 * std::cos(u * 3 + v * 7))};
        }
    }
}

struct Workload {
    const char* name;
    int width, height;
    std::vector<std::string> settings;
    bool varying_alpha;
};

refhost::Module& module() {
    static std::unique_ptr<refhost::Module> m = [] {
        std::string error;
        // CHECKERWARP_PLUGIN times another build of the module, such as an older one.
        const char* path = std::getenv("CHECKERWARP_PLUGIN");
        auto loaded = refhost::Module::load(path && *path ? path : CHECKERWARP_MODULE_PATH, error);
        if (!loaded) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        return loaded;
    }();
    return *m;
}

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The floor: one frame copied row by row from the input to the output world.
double copyOnce(refhost::World& in, refhost::World& out) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int y = 0; y < in.height(); ++y) std::memcpy(out.row(y), in.row(y), size_t(in.width()) * 4);
    benchmark::ClobberMemory();
    return seconds(std::chrono::steady_clock::now() - t0);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int64_t visitedCells(refhost::Host& host, refhost::World& in, refhost::World& out) {
    kavri_ae_filter_context* context = getInstanceContext(&host.inData(), host.paramArray(&in.def()));
    int64_t cells = 0;
    squaresWalk(context, &host.inData(), &out.def(), [](void* n, const SquaresCell*) { ++*static_cast<int64_t*>(n); },
                &cells);
    return cells;
}

void renderWorkload(benchmark::State& state, const Workload* w) {
    refhost::World in, out;
    makePhoto(in, w->width, w->height, w->varying_alpha);
    std::string error;
    out.allocate(w->width, w->height, error);
    refhost::Host host(module().entry());
    host.start();
    for (const std::string& s : w->settings)
        if (!cwtool::applySetting(host, s, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
    // The floor is timed before every frame, so that the ratio holds even when
    // the machine's speed drifts during the run (it is a shared machine).
    std::vector<double> renders, floors;
    for (auto _ : state) {
        floors.push_back(copyOnce(in, out));
        const auto t0 = std::chrono::steady_clock::now();
        host.render(in.def(), out.def());
        const double t = seconds(std::chrono::steady_clock::now() - t0);
        state.SetIterationTime(t);
        renders.push_back(t);
    }
    const double per_frame = median(renders), floor = median(floors);
    state.counters["floor_ms"] = floor * 1e3;
    state.counters["x_floor"] = per_frame / floor;
    state.counters["Mpix/s"] = double(w->width) * w->height / per_frame / 1e6;
    const int64_t cells = visitedCells(host, in, out);
    state.counters["cells"] = double(cells);
    state.counters["ns_per_cell"] = per_frame * 1e9 / double(cells);
}

const Workload kWorkloads[] = {
    {"1_hd_defaults", 1920, 1080, {}, false},
    {"1b_hd_defaults_alpha", 1920, 1080, {}, true},
    {"2_4k_defaults", 3840, 2160, {}, false},
    {"3_4k_mosaic", 3840, 2160, {"background fill=tile", "squares fill=none", "squares across=64"}, false},
    {"4_4k_dense", 3840, 2160, {"squares across=255", "background fill=tile", "squares fill=tile"}, false},
    {"5_hd_tiny_cells", 1920, 1080, {"squares across=255", "x scale=10", "y scale=10"}, false},
    {"6_8k_defaults", 7680, 4320, {}, false},
    // the mosaic of frei0r's pixeliz0r (8 x 8 cells), one whose cells' edges fall inside pixels, and
    // 20-pixel cells at 4K
    {"9_hd_mosaic_8px", 1920, 1080, {"background fill=tile", "squares fill=none", "squares across=240"}, false},
    {"9c_4k_mosaic_20px", 3840, 2160, {"background fill=tile", "squares fill=none", "squares across=192"}, false},
    {"9b_hd_mosaic_fractional", 1920, 1080, {"background fill=tile", "squares fill=none", "squares across=239.94"},
     false},
};

// Every background and squares fill at 4K, with the default grid and with 255
// squares across: "7_modes_12/tinted_tile", "8_modes_255/color_none", ...
const std::vector<Workload>& allWorkloads() {
    static const std::vector<Workload> all = [] {
        static std::deque<std::string> names;
        std::vector<Workload> w(std::begin(kWorkloads), std::end(kWorkloads));
        const std::pair<const char*, const char*> backgrounds[] = {
            {"color", "color"}, {"tile", "tile"}, {"tinted", "source (tinted)"}, {"knockout", "knockout"}};
        const char* squares[] = {"color", "tile", "none", "knockout"};
        for (const char* across : {"12", "255"})
            for (const auto& b : backgrounds)
                for (const char* s : squares) {
                    names.push_back(std::string(std::strcmp(across, "12") == 0 ? "7_modes_12/" : "8_modes_255/") +
                                    b.first + "_" + s);
                    w.push_back({names.back().c_str(), 3840, 2160,
                                 {std::string("background fill=") + b.second, std::string("squares fill=") + s,
                                  std::string("squares across=") + across, "background color=#c08040"},
                                 false});
                }
        return w;
    }();
    return all;
}

int makeInput(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: checkerwarp_bench --make-input W H OUT.png\n");
        return 2;
    }
    refhost::World w;
    makePhoto(w, std::atoi(argv[2]), std::atoi(argv[3]), false);
    std::string error;
    if (!cwtool::writePng(argv[4], w, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return 0;
}

// Two builds of the module on one workload, frame by frame in turn, each frame
// after its own floor: on a machine whose speed drifts, the ratio of each pair
// of frames shows a difference of a few percent that separate runs cannot.
int comparePair(int argc, char** argv) {
    const Workload* w = nullptr;
    for (const Workload& k : allWorkloads())
        if (argc >= 5 && std::strcmp(argv[4], k.name) == 0) w = &k;
    const int frames = argc >= 6 ? std::atoi(argv[5]) : 40;
    if (argc < 5 || argc > 6 || !w || frames < 1) {
        std::fprintf(stderr, "usage: checkerwarp_bench --pair A.so B.so WORKLOAD [FRAMES]\n  workloads:");
        for (const Workload& k : allWorkloads()) std::fprintf(stderr, " %s", k.name);
        std::fprintf(stderr, "\n");
        return 2;
    }
    std::string error;
    std::unique_ptr<refhost::Module> modules[2] = {refhost::Module::load(argv[2], error), nullptr};
    if (modules[0]) modules[1] = refhost::Module::load(argv[3], error);
    if (!modules[0] || !modules[1]) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    refhost::World in, out;
    makePhoto(in, w->width, w->height, w->varying_alpha);
    if (!out.allocate(w->width, w->height, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::unique_ptr<refhost::Host> hosts[2];
    for (int m = 0; m < 2; ++m) {
        hosts[m] = std::make_unique<refhost::Host>(modules[m]->entry());
        hosts[m]->start();
        for (const std::string& setting : w->settings)
            if (!cwtool::applySetting(*hosts[m], setting, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
    }
    std::vector<double> x_floor[2], a_over_b;
    for (int frame = 0; frame < frames; ++frame) {
        double render[2];
        for (int k = 0; k < 2; ++k) {
            const int m = (frame + k) % 2;  // each goes first every other frame
            const double floor = copyOnce(in, out);
            const auto t0 = std::chrono::steady_clock::now();
            hosts[m]->render(in.def(), out.def());
            render[m] = seconds(std::chrono::steady_clock::now() - t0);
            x_floor[m].push_back(render[m] / floor);
        }
        a_over_b.push_back(render[0] / render[1]);
    }
    std::printf("%s, %d frames each, medians: A %.3f x floor, B %.3f x floor, A / B %.3f\n", w->name, frames,
                median(x_floor[0]), median(x_floor[1]), median(a_over_b));
    return 0;
}

// --threads WORKLOAD [PAIRS]: two instances rendering a frame each on two
// threads at once, against one instance rendering both frames in turn; each
// pair timed back to back, the median of the speed-ups printed.
int compareThreads(int argc, char** argv) {
    const Workload* w = nullptr;
    for (const Workload& k : allWorkloads())
        if (argc > 2 && k.name == std::string(argv[2])) w = &k;
    if (!w) {
        std::fprintf(stderr, "usage: checkerwarp_bench --threads WORKLOAD [PAIRS]\n");
        return 2;
    }
    const int pairs = argc > 3 ? std::atoi(argv[3]) : 10;
    std::string error;
    refhost::World in, out[2];
    makePhoto(in, w->width, w->height, w->varying_alpha);
    std::unique_ptr<refhost::Host> hosts[2];
    for (int h = 0; h < 2; ++h) {
        out[h].allocate(w->width, w->height, error);
        hosts[h] = std::make_unique<refhost::Host>(module().entry());
        hosts[h]->start();
        for (const std::string& setting : w->settings) cwtool::applySetting(*hosts[h], setting, error);
    }
    std::vector<double> speedups;
    for (int pair = 0; pair < pairs; ++pair) {
        auto t0 = std::chrono::steady_clock::now();
        hosts[0]->render(in.def(), out[0].def());
        hosts[0]->render(in.def(), out[1].def());
        const double one = seconds(std::chrono::steady_clock::now() - t0);
        t0 = std::chrono::steady_clock::now();
        std::thread second([&] { hosts[1]->render(in.def(), out[1].def()); });
        hosts[0]->render(in.def(), out[0].def());
        second.join();
        const double two = seconds(std::chrono::steady_clock::now() - t0);
        speedups.push_back(one / two);
    }
    std::printf("%s, %d pairs: two instances on two threads do two frames %.2f x as fast as one instance (median)\n",
                w->name, pairs, median(speedups));
    return 0;
}

// --ofx W H [FRAMES]: checkerwarp's defaults on a W x H photo, frame by frame
// in turn: the module alone (the reference host's render of a world), and the
// bundle's render action through the test host at byte and at float depth
// (the host's own making of images is not timed).
int compareOfx(int argc, char** argv) {
    const int width = argc > 3 ? std::atoi(argv[2]) : 0, height = argc > 3 ? std::atoi(argv[3]) : 0;
    const int frames = argc > 4 ? std::atoi(argv[4]) : 10;
    if (width < 1 || height < 1 || frames < 1) {
        std::fprintf(stderr, "usage: checkerwarp_bench --ofx W H [FRAMES]\n");
        return 2;
    }
    refhost::World in, out;
    std::string error;
    makePhoto(in, width, height, false);
    out.allocate(width, height, error);
    refhost::Host alone(module().entry());
    alone.start();
    ofxtest::Picture picture{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 4)};
    for (int y = 0; y < height; ++y)
        refhost::pixelsToRgba(in.row(y), picture.rgba.data() + static_cast<size_t>(y) * width * 4,
                              static_cast<size_t>(width));
    ofxtest::TestHost host;
    if (!host.open(std::string(CHECKERWARP_OFX_BUNDLE), error) || host.loadAndDescribe() != kOfxStatOK) {
        std::fprintf(stderr, "checkerwarp_bench: %s\n", error.empty() ? "the bundle did not load" : error.c_str());
        return 1;
    }
    host.setProjectSize(width, height);
    host.createInstance();
    std::vector<double> module_s, byte_s, float_s, premultiplied_s;
    ofxtest::Picture got;
    for (int f = 0; f < frames; ++f) {
        const auto t0 = std::chrono::steady_clock::now();
        alone.renderFrame(in.def(), out.def());
        module_s.push_back(seconds(std::chrono::steady_clock::now() - t0));
        for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthFloat, "premultiplied float"}) {
            ofxtest::SourceSpec spec;
            const bool premultiplied = depth == std::string("premultiplied float");
            spec.depth = premultiplied ? kOfxBitDepthFloat : depth;
            if (premultiplied) spec.premultiplication = kOfxImagePreMultiplied;
            spec.negative_rowbytes = true;
            if (host.renderFrame(picture, spec, ofxtest::RenderSpec{}, got) != kOfxStatOK) {
                std::fprintf(stderr, "checkerwarp_bench: the OpenFX render failed\n");
                return 1;
            }
            (premultiplied ? premultiplied_s : depth == std::string(kOfxBitDepthByte) ? byte_s : float_s)
                .push_back(host.render_seconds);
        }
    }
    std::printf("%d x %d, %d frames, medians: module alone %.1f ms; through OpenFX: byte %.1f ms (%.2f x), float "
                "%.1f ms (%.2f x), premultiplied float %.1f ms (%.2f x)\n",
                width, height, frames, median(module_s) * 1e3, median(byte_s) * 1e3, median(byte_s) / median(module_s),
                median(float_s) * 1e3, median(float_s) / median(module_s), median(premultiplied_s) * 1e3,
                median(premultiplied_s) / median(module_s));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--ofx") == 0) return compareOfx(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--threads") == 0) return compareThreads(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--make-input") == 0) return makeInput(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--pair") == 0) return comparePair(argc, argv);
    for (const Workload& w : allWorkloads())
        benchmark::RegisterBenchmark(w.name, renderWorkload, &w)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(5)
            ->ReportAggregatesOnly(true)
            ->MinTime(0.5);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
