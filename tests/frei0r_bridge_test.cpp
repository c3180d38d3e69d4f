// The frei0r bridge driven through the frei0r interface itself, as ffmpeg, MLT
// and GStreamer drive it: its parameters, the mapping of their values, frames
// of any size, and instances used from two threads at once.
#include <dlfcn.h>
#include <frei0r.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/png_test_files.h"
#include "tests/test_support.h"

namespace {

// The frei0r functions of one loaded bridge.
struct Frei0r {
    void* handle = nullptr;
    int (*init)();
    void (*deinit)();
    void (*plugin_info)(f0r_plugin_info_t*);
    void (*param_info)(f0r_param_info_t*, int);
    f0r_instance_t (*construct)(unsigned, unsigned);
    void (*destruct)(f0r_instance_t);
    void (*set)(f0r_instance_t, f0r_param_t, int);
    void (*get)(f0r_instance_t, f0r_param_t, int);
    void (*update)(f0r_instance_t, double, const uint32_t*, uint32_t*);
    void (*update2)(f0r_instance_t, double, const uint32_t*, const uint32_t*, const uint32_t*, uint32_t*);

    explicit Frei0r(const std::string& path) {
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        auto sym = [&](const char* name) { return dlsym(handle, name); };
        init = reinterpret_cast<int (*)()>(sym("f0r_init"));
        deinit = reinterpret_cast<void (*)()>(sym("f0r_deinit"));
        plugin_info = reinterpret_cast<void (*)(f0r_plugin_info_t*)>(sym("f0r_get_plugin_info"));
        param_info = reinterpret_cast<void (*)(f0r_param_info_t*, int)>(sym("f0r_get_param_info"));
        construct = reinterpret_cast<f0r_instance_t (*)(unsigned, unsigned)>(sym("f0r_construct"));
        destruct = reinterpret_cast<void (*)(f0r_instance_t)>(sym("f0r_destruct"));
        set = reinterpret_cast<void (*)(f0r_instance_t, f0r_param_t, int)>(sym("f0r_set_param_value"));
        get = reinterpret_cast<void (*)(f0r_instance_t, f0r_param_t, int)>(sym("f0r_get_param_value"));
        update = reinterpret_cast<void (*)(f0r_instance_t, double, const uint32_t*, uint32_t*)>(sym("f0r_update"));
        update2 = reinterpret_cast<void (*)(f0r_instance_t, double, const uint32_t*, const uint32_t*, const uint32_t*,
                                            uint32_t*)>(sym("f0r_update2"));
    }
    ~Frei0r() {
        if (handle) dlclose(handle);
    }
    int index(const std::string& name) const {
        f0r_plugin_info_t info;
        plugin_info(&info);
        for (int i = 0; i < info.num_params; ++i) {
            f0r_param_info_t p;
            param_info(&p, i);
            if (name == p.name) return i;
        }
        ADD_FAILURE() << "no frei0r parameter " << name;
        return 0;
    }
    void setDouble(f0r_instance_t in, const std::string& name, double v) const { set(in, &v, index(name)); }
    double getDouble(f0r_instance_t in, const std::string& name) const {
        double v = -1;
        get(in, &v, index(name));
        return v;
    }
    void setText(f0r_instance_t in, const std::string& name, const char* text) const {
        f0r_param_string s = const_cast<char*>(text);
        set(in, &s, index(name));
    }
    std::string getText(f0r_instance_t in, const std::string& name) const {
        f0r_param_string s = nullptr;
        get(in, &s, index(name));
        return s ? s : "(null)";
    }
};

Frei0r& bridge() {
    static Frei0r b(cwtest::frei0rFolder() + "/checkerwarp.so");
    static const bool ready = [] {
        EXPECT_NE(b.handle, nullptr) << dlerror();
        EXPECT_EQ(b.init(), 1);
        return true;
    }();
    (void)ready;
    return b;
}

// A frame in RGBA8888 of seeded pixels, biased to 0 and 255.
std::vector<uint32_t> frame(unsigned width, unsigned height, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint32_t> f(static_cast<size_t>(width) * height);
    for (uint32_t& p : f) {
        uint8_t b[4];
        for (uint8_t& c : b) {
            const uint32_t r = rng() % 8;
            c = r == 0 ? 0 : r == 1 ? 255 : static_cast<uint8_t>(rng());
        }
        std::memcpy(&p, b, 4);
    }
    return f;
}

// What the reference host renders of the same RGBA8888 frame, as RGBA8888.
std::vector<uint32_t> referenceRender(const std::vector<uint32_t>& in, unsigned width, unsigned height,
                                      const std::function<void(refhost::Host&)>& settings) {
    refhost::World input, output;
    std::string error;
    EXPECT_TRUE(input.allocate(static_cast<int32_t>(width), static_cast<int32_t>(height), error));
    EXPECT_TRUE(output.allocate(static_cast<int32_t>(width), static_cast<int32_t>(height), error));
    const uint8_t* src = reinterpret_cast<const uint8_t*>(in.data());
    for (int32_t y = 0; y < input.height(); ++y)
        for (int32_t x = 0; x < input.width(); ++x, src += 4) input.at(x, y) = PF_Pixel{src[3], src[0], src[1], src[2]};
    auto host = cwtest::startedHost();
    if (settings) settings(*host);
    EXPECT_EQ(host->render(input.def(), output.def()), PF_Err_NONE);
    std::vector<uint32_t> out(in.size());
    uint8_t* dst = reinterpret_cast<uint8_t*>(out.data());
    for (int32_t y = 0; y < output.height(); ++y)
        for (int32_t x = 0; x < output.width(); ++x, dst += 4) {
            const PF_Pixel p = output.at(x, y);
            dst[0] = p.red, dst[1] = p.green, dst[2] = p.blue, dst[3] = p.alpha;
        }
    return out;
}

TEST(Frei0rBridge, DescribesEveryParameterByTheCommandsNames) {
    Frei0r& b = bridge();
    f0r_plugin_info_t info;
    b.plugin_info(&info);
    EXPECT_STREQ(info.name, "checkerwarp");
    EXPECT_EQ(info.plugin_type, F0R_PLUGIN_TYPE_FILTER);
    EXPECT_EQ(info.color_model, F0R_COLOR_MODEL_RGBA8888);
    EXPECT_EQ(info.major_version, 1);
    EXPECT_EQ(info.minor_version, 4);
    EXPECT_STREQ(info.explanation, "squares modulated by the colour beneath them") << "the effect's summary";
    // the squares effect's 21 settable rows, the centre as two, and the debug
    // group's six, its two points as two each; group markers left out
    const std::vector<std::pair<std::string, int>> expected = {
        {"squares across", F0R_PARAM_DOUBLE}, {"center x", F0R_PARAM_DOUBLE}, {"center y", F0R_PARAM_DOUBLE},
        {"background color", F0R_PARAM_COLOR}, {"background fill", F0R_PARAM_STRING}, {"squares color", F0R_PARAM_COLOR},
        {"squares fill", F0R_PARAM_STRING}, {"x scale", F0R_PARAM_DOUBLE}, {"y scale", F0R_PARAM_DOUBLE},
        {"brick rows", F0R_PARAM_STRING}, {"brick offset", F0R_PARAM_DOUBLE}, {"x offset", F0R_PARAM_DOUBLE}};
    ASSERT_EQ(info.num_params, 22 + 8);
    for (size_t i = 0; i < expected.size(); ++i) {
        f0r_param_info_t p;
        b.param_info(&p, static_cast<int>(i));
        EXPECT_EQ(p.name, expected[i].first) << i;
        EXPECT_EQ(p.type, expected[i].second) << i;
    }
    f0r_param_info_t p;
    b.param_info(&p, b.index("squares across"));
    // the effect's hint, then what frei0r's 0 and 1 mean
    EXPECT_STREQ(p.explanation, "how many cells fit across the layer's width (0 is 0, 1 is 255 (at least 1))");
    b.param_info(&p, b.index("x scale"));
    EXPECT_STREQ(p.explanation, "stretches the cells across (0 is 0%, 1 is 1000% (at least 0.1%))");
    b.param_info(&p, b.index("background fill"));
    EXPECT_STREQ(p.explanation,
                 "what lies behind the squares: a flat colour, each cell's average, the layer tinted, or nothing "
                 "(one of color, tile, source (tinted), knockout)");
    b.param_info(&p, b.index("center x"));
    EXPECT_STREQ(p.explanation,
                 "a cell is centred here, and the grid grows from it (across: 0 is the left edge, 1 the right)");
    b.param_info(&p, b.index("stamp time"));
    EXPECT_STREQ(p.explanation, "draws how long the frame took to render (on or off)") << "the framework's own hints";
    b.param_info(&p, 999);  // out of range: an empty row, not a fault
    EXPECT_STREQ(p.name, "");
}

TEST(Frei0rBridge, ValuesMapOntoEachParametersRange) {
    Frei0r& b = bridge();
    f0r_instance_t in = b.construct(64, 48);
    ASSERT_NE(in, nullptr);
    // defaults, mapped the same way: a range that starts above 0 from 0
    EXPECT_DOUBLE_EQ(b.getDouble(in, "squares across"), 12.0 / 255.0);
    EXPECT_DOUBLE_EQ(b.getDouble(in, "center x"), 0.5);
    EXPECT_DOUBLE_EQ(b.getDouble(in, "x scale"), 100.0 / 1000.0);
    EXPECT_EQ(b.getText(in, "background fill"), "color");
    f0r_param_color_t c{};
    b.get(in, &c, b.index("squares color"));
    EXPECT_EQ(c.r, 1.0f);
    // 0, 1 and between
    b.setDouble(in, "squares across", 0);  // held to its valid bottom, 1
    EXPECT_DOUBLE_EQ(b.getDouble(in, "squares across"), 1.0 / 255.0);
    b.setDouble(in, "squares across", 1);
    EXPECT_EQ(b.getDouble(in, "squares across"), 1.0);
    b.setDouble(in, "brick offset", 0.25);
    EXPECT_EQ(b.getDouble(in, "brick offset"), 0.25);
    // outside [0, 1] (ffmpeg passes values raw): clamped
    b.setDouble(in, "wibble max", 7.5);
    EXPECT_EQ(b.getDouble(in, "wibble max"), 1.0);
    b.setDouble(in, "wibble max", -3);
    EXPECT_EQ(b.getDouble(in, "wibble max"), 0.0);
    // a NaN and a string that names no choice leave the value as it was, with
    // one line on standard error the first time
    b.setDouble(in, "wibble max", 0.5);
    b.setText(in, "background fill", "tile");
    testing::internal::CaptureStderr();
    for (int twice = 0; twice < 2; ++twice) {
        b.setDouble(in, "wibble max", NAN);
        b.setText(in, "background fill", "plaid");
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(b.getDouble(in, "wibble max"), 0.5);
    EXPECT_EQ(b.getText(in, "background fill"), "tile");
    EXPECT_EQ(err, "checkerwarp frei0r: \"wibble max\" keeps its value: the value is not a number\n"
                   "checkerwarp frei0r: \"background fill\" keeps its value: the text names none of its choices\n");
    b.setText(in, "background fill", "4");
    EXPECT_EQ(b.getText(in, "background fill"), "knockout") << "a choice's number is taken too";
    b.set(in, nullptr, 0);  // no value: ignored
    b.destruct(in);
}

TEST(Frei0rBridge, FramesOfAnySizeMatchTheReferenceHost) {
    Frei0r& b = bridge();
    for (const auto& size : std::vector<std::pair<unsigned, unsigned>>{{1, 1}, {101, 75}, {3, 200}, {640, 8}}) {
        const unsigned w = size.first, h = size.second;
        f0r_instance_t in = b.construct(w, h);
        ASSERT_NE(in, nullptr) << w << "x" << h;
        b.setDouble(in, "squares across", 0.5);  // 0.5 * 255 = 127.5
        b.setDouble(in, "center x", 0.25);
        b.setDouble(in, "x offset", 0.25);  // 90 degrees
        b.setText(in, "background fill", "tile");
        b.setText(in, "squares fill", "2");
        f0r_param_color_t colour = {0.2f, 0.4f, 0.6f};  // 51, 102, 153
        b.set(in, &colour, b.index("background color"));
        const std::vector<uint32_t> input = frame(w, h, w * 31 + h);
        std::vector<uint32_t> output(input.size(), 0xDEADBEEF);
        b.update(in, 1.5, input.data(), output.data());
        const std::vector<uint32_t> expected = referenceRender(input, w, h, [&](refhost::Host& host) {
            cwtest::setFloat(host, "squares across", 127.5);
            cwtest::setPointPixels(host, "center", 0.25 * w, h / 2.0);
            cwtest::setAngle(host, "x offset", 90);
            cwtest::setPopup(host, "background fill", 2);
            cwtest::setPopup(host, "squares fill", 2);
            cwtest::setColor(host, "background color", 51, 102, 153);
        });
        EXPECT_EQ(output, expected) << w << "x" << h;
        // the centre's y stays at its default until it is set: the middle
        std::vector<uint32_t> again(input.size());
        b.setDouble(in, "center y", 0.5);
        b.update2(in, 1.5, input.data(), nullptr, nullptr, again.data());
        EXPECT_EQ(output, again) << w << "x" << h;
        b.destruct(in);
    }
}

// The effect draws into the host's output frame where it can; a host that
// hands one frame as input and output, or an output not aligned to whole
// words, gets the same picture through a frame of the bridge's own.
TEST(Frei0rBridge, OneFrameAsBothOrAnUnalignedOutputGivesTheSamePicture) {
    Frei0r& b = bridge();
    const unsigned w = 77, h = 41;
    f0r_instance_t in = b.construct(w, h);
    ASSERT_NE(in, nullptr);
    b.setDouble(in, "squares across", 0.05);
    b.setText(in, "background fill", "tile");
    const std::vector<uint32_t> input = frame(w, h, 5);
    std::vector<uint32_t> apart(input.size(), 0xDEADBEEF);
    b.update(in, 0, input.data(), apart.data());
    const std::vector<uint32_t> expected = referenceRender(input, w, h, [](refhost::Host& host) {
        cwtest::setFloat(host, "squares across", 12.75);
        cwtest::setPopup(host, "background fill", 2);
    });
    EXPECT_EQ(apart, expected);
    std::vector<uint32_t> both = input;
    b.update(in, 0, both.data(), both.data());
    EXPECT_EQ(both, expected) << "one frame as both";
    std::vector<uint8_t> bytes(input.size() * 4 + 1, 0xAB);
    b.update(in, 0, input.data(), reinterpret_cast<uint32_t*>(bytes.data() + 1));
    EXPECT_EQ(std::memcmp(bytes.data() + 1, expected.data(), input.size() * 4), 0) << "an unaligned output";
    EXPECT_EQ(bytes[0], 0xAB);
    b.destruct(in);
}

TEST(Frei0rBridge, InstancesOnTwoThreadsGiveTheFramesTheyGiveOneAtATime) {
    Frei0r& b = bridge();
    const unsigned w = 160, h = 90;
    const std::vector<uint32_t> input = frame(w, h, 7);
    auto settle = [&](f0r_instance_t in, double across) {
        b.setDouble(in, "squares across", across);
        b.setText(in, "background fill", "tile");
    };
    // one at a time
    std::vector<std::vector<uint32_t>> alone(2, std::vector<uint32_t>(input.size()));
    for (int k = 0; k < 2; ++k) {
        f0r_instance_t in = b.construct(w, h);
        settle(in, k == 0 ? 0.1 : 0.9);
        b.update(in, 0, input.data(), alone[k].data());
        b.destruct(in);
    }
    // both at once, many frames each
    f0r_instance_t instances[2] = {b.construct(w, h), b.construct(w, h)};
    settle(instances[0], 0.1);
    settle(instances[1], 0.9);
    bool same[2] = {true, true};
    std::vector<std::thread> threads;
    for (int k = 0; k < 2; ++k)
        threads.emplace_back([&, k] {
            std::vector<uint32_t> out(input.size());
            for (int n = 0; n < 40; ++n) {
                b.update(instances[k], n / 25.0, input.data(), out.data());
                if (out != alone[k]) same[k] = false;
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(same[0]);
    EXPECT_TRUE(same[1]);
    b.destruct(instances[0]);
    b.destruct(instances[1]);
    EXPECT_NE(alone[0], alone[1]) << "the two settings draw different frames";
}

TEST(Frei0rBridge, ADeinitWhileAnInstanceLivesKeepsTheModuleForIt) {
    // Some hosts deinit when they are done with the plug-in, not with its
    // instances: the instance must still render and destruct.
    Frei0r& b = bridge();
    ASSERT_EQ(b.init(), 1);
    const unsigned w = 33, h = 17;
    f0r_instance_t in = b.construct(w, h);
    ASSERT_NE(in, nullptr);
    const int across = b.index("squares across");
    b.deinit();
    b.deinit();  // every init undone: the bridge itself lets go of the effect
    f0r_plugin_info_t info;
    b.plugin_info(&info);
    EXPECT_EQ(info.num_params, 0) << "no effect is described after the last deinit";
    const double v = 0.25;
    b.set(in, const_cast<double*>(&v), across);
    const std::vector<uint32_t> input = frame(w, h, 7);
    std::vector<uint32_t> output(input.size());
    b.update(in, 0, input.data(), output.data());
    EXPECT_EQ(output, referenceRender(input, w, h, [](refhost::Host& host) {
                  cwtest::setFloat(host, "squares across", 0.25 * 255);
              }));
    b.destruct(in);
    EXPECT_EQ(b.init(), 1) << "and it can be started again";
}

TEST(Frei0rBridge, AMissingModuleFailsInitWithOneLineNamingThePath) {
    // a copy of the bridge where nothing lies beside it
    cwtest::TempDir dir;
    const std::string copy = dir.path("lonely/checkerwarp.so");
    ASSERT_EQ(std::system(("mkdir -p " + dir.path("lonely") + " && cp " + cwtest::frei0rFolder() + "/checkerwarp.so " +
                           copy).c_str()),
              0);
    testing::internal::CaptureStderr();
    {
        Frei0r lonely(copy);
        ASSERT_NE(lonely.handle, nullptr);
        EXPECT_EQ(lonely.init(), 0);
        f0r_plugin_info_t info;
        lonely.plugin_info(&info);
        EXPECT_EQ(info.num_params, 0);
        EXPECT_EQ(lonely.construct(64, 48), nullptr) << "no instance without the module";
        uint32_t pixel = 0;
        lonely.update(nullptr, 0, &pixel, &pixel);
        lonely.deinit();
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("checkerwarp frei0r: cannot load plug-in module " + dir.path("lonely") + "/../checkerwarp/checkerwarp.so"),
              std::string::npos)
        << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

}  // namespace
