#include "tests/test_support.h"

#include <cmath>
#include <ostream>

namespace cwtest {

const PF_Pixel kSentinel = {0xA5, 0x5A, 0xC3, 0x3C};

refhost::Module& plugin() {
    static std::unique_ptr<refhost::Module> module = [] {
        std::string error;
        auto m = refhost::Module::load(CHECKERWARP_MODULE_PATH, error);
        if (!m) {
            ADD_FAILURE() << error;
            std::abort();
        }
        return m;
    }();
    return *module;
}

std::unique_ptr<refhost::Host> startedHost() {
    auto host = std::make_unique<refhost::Host>(plugin().entry());
    EXPECT_EQ(host->start(), PF_Err_NONE);
    return host;
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
