#include "bridges/frei0r/bridge_params.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/param_store.h"

namespace f0rbridge {

namespace {

std::string nameOf(const PF_ParamDef& d) {
    return std::string(d.name, strnlen(d.name, sizeof(d.name)));
}

// A bound as people write it: 1, 0.1, 1000.
std::string shortNumber(double v) {
    char text[32];
    if (v == std::trunc(v) && std::fabs(v) < 1e9) {
        std::snprintf(text, sizeof(text), "%.0f", v);
        return text;
    }
    for (int precision = 1; precision <= 9; ++precision) {
        std::snprintf(text, sizeof(text), "%.*g", precision, v);
        if (static_cast<float>(std::strtod(text, nullptr)) == static_cast<float>(v)) break;
    }
    return text;
}

// [0, 1], a NaN left for the caller to refuse.
double clamp01(double v) {
    if (v < 0) return 0;
    if (v > 1) return 1;
    return v;
}

// 16.16 from a number of units, rounded to nearest and held to the type's range.
PF_Fixed toFixed(double v) {
    const double scaled = std::round(v * 65536.0);
    if (scaled >= 2147483647.0) return INT32_MAX;
    if (scaled <= -2147483648.0) return INT32_MIN;
    return static_cast<PF_Fixed>(scaled);
}

A_u_char toByte(float v) {
    if (!(v > 0)) return 0;  // (NaN too)
    if (v >= 1) return 255;
    return static_cast<A_u_char>(std::lround(static_cast<double>(v) * 255.0));
}

// The bottom of frei0r's [0, 1]: a range that starts above 0 is mapped from 0,
// so that a host's display factor alone (Kdenlive, Shotcut) shows the value.
double mappedLow(double low) {
    return low > 0 ? 0 : low;
}

// "0 is 0, 1 is 255 (at least 1)" with the unit after each bound.
std::string range(double low, double high, const std::string& unit) {
    const double from = mappedLow(low);
    return "0 is " + shortNumber(from) + unit + ", 1 is " + shortNumber(high) + unit +
           (from != low ? " (at least " + shortNumber(low) + unit + ")" : "");
}

// A value from frei0r's [0, 1] onto low..high (from 0 where low is above 0),
// held to low..high and snapped: hosts write values with 6 significant digits
// (an error of at most 5e-7 of the range), so one within twice that of a
// hundredth is that hundredth, the double the command reads for it.
double fromFraction(double v, double low, double high) {
    const double from = mappedLow(low);
    double x = from + v * (high - from);
    const double hundredths = std::round(x * 100.0) / 100.0;
    if (std::fabs(x - hundredths) <= 1e-6 * std::max(1.0, high - from)) x = hundredths;
    return std::min(high, std::max(low, x));
}

// The fraction of a value, the inverse of fromFraction.
double toFraction(double x, double low, double high) {
    const double from = mappedLow(low);
    return high > from ? clamp01((x - from) / (high - from)) : 0.0;
}

}  // namespace

std::vector<BridgeParam> bridgeParams(const std::vector<PF_ParamDef>& registered,
                                      const std::function<std::string(A_long)>& hint_of) {
    std::vector<BridgeParam> out;
    for (size_t position = 1; position < registered.size(); ++position) {
        const PF_ParamDef& d = registered[position];
        const std::string name = nameOf(d);
        const int pos = static_cast<int>(position);
        switch (d.param_type) {
        case PF_Param_FLOAT_SLIDER: {
            const std::string unit = d.u.fs_d.display_flags & PF_ValueDisplayFlag_PERCENT ? "%" : "";
            out.push_back({name, name + ": " + range(d.u.fs_d.valid_min, d.u.fs_d.valid_max, unit), F0R_PARAM_DOUBLE,
                           pos, 0});
            break;
        }
        case PF_Param_SLIDER:
            out.push_back({name, name + ": " + range(d.u.sd.valid_min, d.u.sd.valid_max, ""), F0R_PARAM_DOUBLE, pos, 0});
            break;
        case PF_Param_FIX_SLIDER:
            out.push_back({name, name + ": " + range(d.u.fd.valid_min / 65536.0, d.u.fd.valid_max / 65536.0, ""),
                           F0R_PARAM_DOUBLE, pos, 0});
            break;
        case PF_Param_ANGLE:
            out.push_back({name, name + ": 0 is 0 degrees, 1 is 360 degrees", F0R_PARAM_DOUBLE, pos, 0});
            break;
        case PF_Param_CHECKBOX: out.push_back({name, name + ": on or off", F0R_PARAM_BOOL, pos, 0}); break;
        case PF_Param_COLOR: out.push_back({name, name, F0R_PARAM_COLOR, pos, 0}); break;
        case PF_Param_POPUP: {
            std::string list;
            for (const std::string& c : refhost::popupChoices(d)) list += (list.empty() ? "" : ", ") + c;
            out.push_back({name, name + ": one of " + list, F0R_PARAM_STRING, pos, 0});
            break;
        }
        case PF_Param_POINT:
            out.push_back({name + " x", name + ", across: 0 is the left edge, 1 the right", F0R_PARAM_DOUBLE, pos, 0});
            out.push_back({name + " y", name + ", down: 0 is the top edge, 1 the bottom", F0R_PARAM_DOUBLE, pos, 1});
            break;
        default: break;  // group markers, layers and what frei0r cannot carry
        }
    }
    // The effect's own hint first, then what 0 and 1 mean: "cells across the
    // width (0 is 1, 1 is 255)".
    for (BridgeParam& p : out) {
        const std::string hint = hint_of ? hint_of(registered[static_cast<size_t>(p.position)].uu.id) : "";
        if (hint.empty()) continue;
        const std::string prefix = nameOf(registered[static_cast<size_t>(p.position)]);
        std::string units = p.explanation.substr(std::min(p.explanation.size(), prefix.size()));
        if (units.rfind(": ", 0) == 0) units = units.substr(2);
        else if (units.rfind(", ", 0) == 0) units = units.substr(2);
        p.explanation = units.empty() ? hint : hint + " (" + units + ")";
    }
    return out;
}

bool setFromBridge(const BridgeParam& p, const BridgeValue& value, PF_ParamDef& def, double& fraction) {
    if (p.type == F0R_PARAM_STRING) {
        if (!value.text) return false;
        const std::vector<std::string> choices = refhost::popupChoices(def);
        for (size_t i = 0; i < choices.size(); ++i) {
            if (choices[i] == value.text) {
                def.u.pd.value = static_cast<A_long>(i + 1);
                return true;
            }
        }
        char* end = nullptr;
        const long n = std::strtol(value.text, &end, 10);
        if (end == value.text || *end != 0 || n < 1 || n > static_cast<long>(choices.size())) return false;
        def.u.pd.value = static_cast<A_long>(n);
        return true;
    }
    if (p.type == F0R_PARAM_COLOR) {
        const f0r_param_color_t& c = value.colour;
        if (std::isnan(c.r) || std::isnan(c.g) || std::isnan(c.b)) return false;
        def.u.cd.value = PF_Pixel{255, toByte(c.r), toByte(c.g), toByte(c.b)};
        return true;
    }
    if (std::isnan(value.number)) return false;
    const double v = clamp01(value.number);
    switch (def.param_type) {
    case PF_Param_FLOAT_SLIDER:
        def.u.fs_d.value = fromFraction(v, def.u.fs_d.valid_min, def.u.fs_d.valid_max);
        return true;
    case PF_Param_SLIDER:
        def.u.sd.value = static_cast<A_long>(std::lround(fromFraction(v, def.u.sd.valid_min, def.u.sd.valid_max)));
        return true;
    case PF_Param_FIX_SLIDER:
        def.u.fd.value = toFixed(fromFraction(v, def.u.fd.valid_min / 65536.0, def.u.fd.valid_max / 65536.0));
        return true;
    case PF_Param_ANGLE: def.u.ad.value = toFixed(fromFraction(v, 0, 360)); return true;
    case PF_Param_CHECKBOX: def.u.bd.value = v >= 0.5 ? 1 : 0; return true;
    case PF_Param_POINT: fraction = v; return true;
    default: return false;
    }
}

void bridgeValueOf(const PF_ParamDef& def, double fraction, BridgeValue& value,
                   std::string& text) {
    switch (def.param_type) {
    case PF_Param_FLOAT_SLIDER:
        value.number = toFraction(def.u.fs_d.value, def.u.fs_d.valid_min, def.u.fs_d.valid_max);
        break;
    case PF_Param_SLIDER: value.number = toFraction(def.u.sd.value, def.u.sd.valid_min, def.u.sd.valid_max); break;
    case PF_Param_FIX_SLIDER:
        value.number = toFraction(def.u.fd.value / 65536.0, def.u.fd.valid_min / 65536.0, def.u.fd.valid_max / 65536.0);
        break;
    case PF_Param_ANGLE: value.number = toFraction(def.u.ad.value / 65536.0, 0, 360); break;
    case PF_Param_CHECKBOX: value.number = def.u.bd.value ? 1.0 : 0.0; break;
    case PF_Param_POINT: value.number = fraction; break;
    case PF_Param_COLOR:
        value.colour = {def.u.cd.value.red / 255.0f, def.u.cd.value.green / 255.0f, def.u.cd.value.blue / 255.0f};
        break;
    case PF_Param_POPUP: {
        const std::vector<std::string> choices = refhost::popupChoices(def);
        const size_t i = static_cast<size_t>(def.u.pd.value - 1);
        text = i < choices.size() ? choices[i] : std::to_string(def.u.pd.value);
        value.text = text.c_str();
        break;
    }
    default: value.number = 0; break;
    }
}

double pointDefaultFraction(const PF_ParamDef& registered, int coordinate) {
    // a point's default is a percent of the layer, as 16.16
    return (coordinate == 0 ? registered.u.td.x_dephault : registered.u.td.y_dephault) / 65536.0 / 100.0;
}

}  // namespace f0rbridge
