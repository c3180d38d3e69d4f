#include "host/animation.h"

#include <cmath>
#include <cstddef>

namespace refhost {

namespace {

// The value between p1 (at u = 0) and p2 (at u = 1): linear, or the
// Catmull-Rom cubic with p0 before and p3 after. Exactly p1 at u = 0.
double between(double p0, double p1, double p2, double p3, double u, KeyMode mode) {
    if (mode == KeyMode::kLinear) return p1 + (p2 - p1) * u;
    const double u2 = u * u, u3 = u2 * u;
    return 0.5 * ((2 * p1) + (-p0 + p2) * u + (2 * p0 - 5 * p1 + 4 * p2 - p3) * u2 + (-p0 + 3 * p1 - 3 * p2 + p3) * u3);
}

// 32-bit integers (16.16 values, sliders) rounded to nearest and held in range.
A_long roundToLong(double v) {
    const double r = std::round(v);
    if (!(r > -2147483648.0)) return INT32_MIN;
    if (r >= 2147483647.0) return INT32_MAX;
    return static_cast<A_long>(r);
}

A_u_char roundToByte(double v) {
    const double r = std::round(v);
    if (!(r > 0)) return 0;
    return r >= 255 ? 255 : static_cast<A_u_char>(r);
}

}  // namespace

PF_ParamDef valueAtFrame(const std::vector<ParamKey>& keys, double frame) {
    const size_t n = keys.size();
    if (n == 1 || !(frame > static_cast<double>(keys[0].frame))) return keys[0].value;
    if (frame >= static_cast<double>(keys[n - 1].frame)) return keys[n - 1].value;
    size_t i = 0;
    while (i + 2 < n && frame >= static_cast<double>(keys[i + 1].frame)) ++i;
    const ParamKey& a = keys[i];
    const ParamKey& b = keys[i + 1];
    if (a.mode == KeyMode::kHold) return a.value;
    const ParamKey& before = i > 0 ? keys[i - 1] : a;
    const ParamKey& after = i + 2 < n ? keys[i + 2] : b;
    const double u = (frame - static_cast<double>(a.frame)) / static_cast<double>(b.frame - a.frame);
    auto at = [&](auto field) {
        return between(field(before.value), field(a.value), field(b.value), field(after.value), u, a.mode);
    };
    PF_ParamDef v = a.value;
    switch (v.param_type) {
    case PF_Param_FLOAT_SLIDER: v.u.fs_d.value = at([](const PF_ParamDef& d) { return d.u.fs_d.value; }); break;
    case PF_Param_ANGLE:
        v.u.ad.value = roundToLong(at([](const PF_ParamDef& d) { return static_cast<double>(d.u.ad.value); }));
        break;
    case PF_Param_SLIDER:
        v.u.sd.value = roundToLong(at([](const PF_ParamDef& d) { return static_cast<double>(d.u.sd.value); }));
        break;
    case PF_Param_FIX_SLIDER:
        v.u.fd.value = roundToLong(at([](const PF_ParamDef& d) { return static_cast<double>(d.u.fd.value); }));
        break;
    case PF_Param_POINT:
        v.u.td.x_value = roundToLong(at([](const PF_ParamDef& d) { return static_cast<double>(d.u.td.x_value); }));
        v.u.td.y_value = roundToLong(at([](const PF_ParamDef& d) { return static_cast<double>(d.u.td.y_value); }));
        break;
    case PF_Param_COLOR:
        v.u.cd.value.alpha = roundToByte(at([](const PF_ParamDef& d) { return static_cast<double>(d.u.cd.value.alpha); }));
        v.u.cd.value.red = roundToByte(at([](const PF_ParamDef& d) { return static_cast<double>(d.u.cd.value.red); }));
        v.u.cd.value.green = roundToByte(at([](const PF_ParamDef& d) { return static_cast<double>(d.u.cd.value.green); }));
        v.u.cd.value.blue = roundToByte(at([](const PF_ParamDef& d) { return static_cast<double>(d.u.cd.value.blue); }));
        break;
    default: break;  // popups, checkboxes: held
    }
    return v;
}

}  // namespace refhost
