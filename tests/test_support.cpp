#include "tests/test_support.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <ostream>
#include <random>
#include <sstream>

#include "tools/param_values.h"

namespace cwtest {

const PF_Pixel kSentinel = {0xA5, 0x5A, 0xC3, 0x3C};

std::vector<std::string> effectNames() {
    std::vector<std::string> names;
    std::stringstream list(CHECKERWARP_EFFECTS);
    for (std::string name; std::getline(list, name, ',');) names.push_back(name);
    return names;
}

std::string modulePath(const std::string& effect) {
    return std::string(CHECKERWARP_BUILD_DIR) + "/" + effect + ".so";
}

std::string frei0rFolder() {
    return std::string(CHECKERWARP_BUILD_DIR) + "/frei0r";
}

refhost::Module& module(const std::string& effect) {
    static std::map<std::string, std::unique_ptr<refhost::Module>> loaded;
    std::unique_ptr<refhost::Module>& m = loaded[effect];
    if (!m) {
        std::string error;
        m = refhost::Module::load(modulePath(effect), error);
        if (!m) {
            ADD_FAILURE() << error;
            std::abort();
        }
    }
    return *m;
}

refhost::Module& plugin() {
    return module("checkerwarp");
}

std::unique_ptr<refhost::Host> startedHost(refhost::Module& m) {
    auto host = std::make_unique<refhost::Host>(m.entry());
    EXPECT_EQ(host->start(), PF_Err_NONE);
    return host;
}

std::unique_ptr<refhost::Host> startedHost() {
    return startedHost(plugin());
}

IsaLevel::IsaLevel(const char* level) {
    const char* now = std::getenv("CHECKERWARP_ISA");
    had_ = now != nullptr;
    if (had_) before_ = now;
    setenv("CHECKERWARP_ISA", level, 1);
}

IsaLevel::~IsaLevel() {
    if (had_)
        setenv("CHECKERWARP_ISA", before_.c_str(), 1);
    else
        unsetenv("CHECKERWARP_ISA");
}

void applySettings(refhost::Host& host, const std::vector<std::string>& settings) {
    for (const std::string& s : settings) {
        std::string error;
        EXPECT_TRUE(cwtool::applySetting(host, s, error)) << s << ": " << error;
    }
}

GuardedWorld::GuardedWorld(int32_t width, int32_t height, int32_t pad_pixels, int32_t border)
    : stride_pixels_(width + pad_pixels + 2 * border), border_(border), total_rows_(height + 2 * border) {
    storage_.assign(static_cast<size_t>(stride_pixels_) * total_rows_, kSentinel);
    inside_.assign(storage_.size(), false);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            inside_[static_cast<size_t>(y + border) * stride_pixels_ + border + x] = true;
    def_.data = &storage_[static_cast<size_t>(border) * stride_pixels_ + border];
    def_.rowbytes = stride_pixels_ * 4;
    def_.width = width;
    def_.height = height;
    def_.extent_hint = {0, 0, width, height};
    fill(PF_Pixel{255, 0, 0, 0});
}

GuardedWorld::GuardedWorld(const GuardedWorld& other) {
    *this = other;
}

GuardedWorld& GuardedWorld::operator=(const GuardedWorld& other) {
    if (this == &other) return *this;
    stride_pixels_ = other.stride_pixels_;
    border_ = other.border_;
    total_rows_ = other.total_rows_;
    storage_ = other.storage_;
    inside_ = other.inside_;
    def_ = other.def_;
    def_.data = &storage_[static_cast<size_t>(border_) * stride_pixels_ + border_];
    return *this;
}

PF_Pixel& GuardedWorld::at(int32_t x, int32_t y) {
    return storage_[static_cast<size_t>(y + border_) * stride_pixels_ + border_ + x];
}

void GuardedWorld::fill(PF_Pixel p) {
    for (int32_t y = 0; y < def_.height; ++y)
        for (int32_t x = 0; x < def_.width; ++x) at(x, y) = p;
}

bool GuardedWorld::intact() const {
    for (size_t i = 0; i < storage_.size(); ++i)
        if (!inside_[i] && !(storage_[i] == kSentinel)) return false;
    return true;
}

static PF_ParamDef& named(refhost::Host& host, const char* name) {
    const int p = host.positionOfName(name);
    if (p < 0) {
        ADD_FAILURE() << "no parameter named " << name;
        std::abort();
    }
    return host.param(p);
}

void setFloat(refhost::Host& host, const char* name, double v) {
    named(host, name).u.fs_d.value = v;
}

void setPopup(refhost::Host& host, const char* name, A_long choice) {
    named(host, name).u.pd.value = choice;
}

void setAngle(refhost::Host& host, const char* name, double degrees) {
    named(host, name).u.ad.value = static_cast<PF_Fixed>(std::lround(degrees * 65536));
}

void setColor(refhost::Host& host, const char* name, uint8_t r, uint8_t g, uint8_t b) {
    named(host, name).u.cd.value = PF_Pixel{255, r, g, b};
}

void setCheckbox(refhost::Host& host, const char* name, bool on) {
    named(host, name).u.bd.value = on ? 1 : 0;
}

void setPointPixels(refhost::Host& host, const char* name, double x, double y) {
    host.setPoint(host.positionOfName(name), static_cast<PF_Fixed>(std::lround(x * 65536)),
                  static_cast<PF_Fixed>(std::lround(y * 65536)));
}

void seededInput(GuardedWorld& w, uint32_t seed, bool varying_alpha) {
    std::mt19937 rng(seed);
    auto byte = [&] {
        const uint32_t r = rng() % 6;
        return static_cast<A_u_char>(r == 0 ? 0 : r == 1 ? 255 : rng() % 256);
    };
    for (int y = 0; y < w.height(); ++y)
        for (int x = 0; x < w.width(); ++x)
            w.at(x, y) = PF_Pixel{varying_alpha ? byte() : A_u_char(255), byte(), byte(), byte()};
}

bool expectTwinsMatch(refhost::Module& module, const GuardedWorld& input, const std::string& what,
                      const std::function<void(refhost::Host&)>& prepare, bool in_place, double time_limit) {
    const int32_t w = input.width(), h = input.height();
    GuardedWorld out[2] = {GuardedWorld(w, h, 1), GuardedWorld(w, h, 2)};
    GuardedWorld in = input;  // (the input's copy keeps its own storage)
    for (int pass = 0; pass < 2; ++pass) {
        std::unique_ptr<IsaLevel> level;
        if (pass == 1) level = std::make_unique<IsaLevel>("reference");
        refhost::Host host(module.entry());
        EXPECT_EQ(host.start(), PF_Err_NONE) << what;
        prepare(host);
        if (time_limit > 0) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(time_limit);
            host.setAbort([end] { return std::chrono::steady_clock::now() > end; });
        }
        PF_Err err;
        if (in_place) {
            out[pass] = input;
            err = host.render(out[pass].def(), out[pass].def());
        } else {
            out[pass].fill(PF_Pixel{0, 0, 0, 0});
            err = host.render(in.def(), out[pass].def());
        }
        if (err == PF_Interrupt_CANCEL && time_limit > 0) return false;
        EXPECT_EQ(err, PF_Err_NONE) << what;
        EXPECT_TRUE(out[pass].intact()) << what << ": a write outside the world";
        if (err) return true;
    }
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            if (!(out[0].at(x, y) == out[1].at(x, y))) {
                ADD_FAILURE() << what << ": first differs at " << x << "," << y << ": " << ::testing::PrintToString(out[0].at(x, y))
                              << " against the reference's " << ::testing::PrintToString(out[1].at(x, y));
                return true;
            }
    return true;
}

refhost::World solidWorld(int32_t width, int32_t height, PF_Pixel p) {
    refhost::World w;
    std::string error;
    if (!w.allocate(width, height, error)) ADD_FAILURE() << error;
    w.clear(p);
    return w;
}

}  // namespace cwtest

void PrintTo(const PF_Pixel& p, std::ostream* os) {
    *os << "argb(" << int(p.alpha) << "," << int(p.red) << "," << int(p.green) << "," << int(p.blue) << ")";
}
