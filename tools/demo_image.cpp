#include "tools/demo_image.h"

#include <algorithm>
#include <cmath>

namespace cwtool {

namespace {

struct Rgb {
    double r, g, b;
};

Rgb hue(double h) {  // h in [0, 1): a saturated colour wheel
    const double k[3] = {5, 3, 1};
    Rgb c;
    double* out[3] = {&c.r, &c.g, &c.b};
    for (int i = 0; i < 3; ++i) {
        const double t = std::fmod(k[i] + h * 6, 6.0);
        *out[i] = 1 - std::max(0.0, std::min({t, 4 - t, 1.0}));
    }
    return c;
}

uint8_t byte(double v) {
    return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
}

double smooth(double edge0, double edge1, double x) {
    const double t = std::clamp((x - edge0) / (edge1 - edge0), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

}  // namespace

bool makeDemoImage(refhost::World& world, std::string& error, int width, int height) {
    if (!world.allocate(width, height, error)) return false;
    const double w = width, h = height;
    for (int y = 0; y < height; ++y) {
        PF_Pixel* row = world.row(y);
        for (int x = 0; x < width; ++x) {
            const double u = (x + 0.5) / w, v = (y + 0.5) / h;
            // a rainbow sweeping across, darker towards the bottom, with soft waves
            Rgb c = hue(std::fmod(u * 0.9 + 0.15 * std::sin(v * 6.3), 1.0));
            const double light = 0.35 + 0.65 * (1 - v) + 0.08 * std::sin(u * 40 + v * 25);
            c = {c.r * light, c.g * light, c.b * light};
            // a white disc and a dark ring
            const double d1 = std::hypot(x - w * 0.28, y - h * 0.42) / (h * 0.2);
            const double disc = 1 - smooth(0.95, 1.0, d1);
            c = {c.r + (1 - c.r) * disc, c.g + (1 - c.g) * disc, c.b + (1 - c.b) * disc};
            const double d2 = std::hypot(x - w * 0.62, y - h * 0.55) / (h * 0.24);
            const double ring = smooth(0.7, 0.75, d2) * (1 - smooth(0.95, 1.0, d2));
            c = {c.r * (1 - 0.85 * ring), c.g * (1 - 0.85 * ring), c.b * (1 - 0.85 * ring)};
            // diagonal stripes in the top right
            if (u > 0.72 && v < 0.4 && std::fmod(x + y, 48.0) < 20) c = {0.1, 0.2, 0.9};
            // a transparent window, fading in, bottom left
            double alpha = 1;
            if (u > 0.05 && u < 0.4 && v > 0.7 && v < 0.95) alpha = std::clamp((u - 0.05) / 0.35, 0.0, 1.0) * 0.6;
            row[x] = PF_Pixel{byte(alpha), byte(c.r), byte(c.g), byte(c.b)};
        }
    }
    return true;
}

}  // namespace cwtool
