#include "tools/param_values.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cwtool {

const char* typeName(PF_ParamType type) {
    switch (type) {
    case PF_Param_LAYER: return "layer";
    case PF_Param_SLIDER: return "slider";
    case PF_Param_FIX_SLIDER: return "fixed slider";
    case PF_Param_ANGLE: return "angle";
    case PF_Param_CHECKBOX: return "checkbox";
    case PF_Param_COLOR: return "color";
    case PF_Param_POINT: return "point";
    case PF_Param_POPUP: return "popup";
    case PF_Param_FLOAT_SLIDER: return "float slider";
    case PF_Param_PATH: return "path";
    case PF_Param_GROUP_START: return "group start";
    case PF_Param_GROUP_END: return "group end";
    default: return "other";
    }
}

std::vector<std::string> popupChoices(const PF_ParamDef& def) {
    std::vector<std::string> choices;
    if (def.param_type != PF_Param_POPUP || !def.u.pd.u.namesptr) return choices;
    std::string all = def.u.pd.u.namesptr;
    size_t start = 0;
    while (true) {
        const size_t bar = all.find('|', start);
        choices.push_back(all.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    return choices;
}

std::string shortFloat(float v) {
    char text[32];
    // start with every integer digit, so that 1000 does not read 1e+03
    const double magnitude = std::fabs(static_cast<double>(v));
    const int digits = magnitude >= 1 && magnitude < 1e9 ? static_cast<int>(std::floor(std::log10(magnitude))) + 1 : 1;
    for (int precision = digits; precision <= 9; ++precision) {
        std::snprintf(text, sizeof(text), "%.*g", precision, static_cast<double>(v));
        if (std::strtof(text, nullptr) == v) break;
    }
    return text;
}

static size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

static bool settable(const PF_ParamDef& def) {
    return def.param_type != PF_Param_GROUP_START && def.param_type != PF_Param_GROUP_END &&
           def.param_type != PF_Param_LAYER;
}

std::vector<std::string> nearestNames(const refhost::Host& host, const std::string& name) {
    std::vector<std::pair<size_t, std::string>> scored;
    for (size_t p = 1; p < host.definitions().size(); ++p) {
        const PF_ParamDef& def = host.definitions()[p];
        if (settable(def)) scored.emplace_back(editDistance(name, def.name), def.name);
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> names;
    for (size_t i = 0; i < scored.size() && i < 3; ++i) names.push_back(scored[i].second);
    return names;
}

// ---- parsing ----

static std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

static bool parseNumber(const std::string& text, double& v) {
    const std::string t = trim(text);
    if (t.empty()) return false;
    errno = 0;
    char* end = nullptr;
    v = std::strtod(t.c_str(), &end);
    return end && *end == 0 && errno != ERANGE && std::isfinite(v);
}

static bool parseInteger(const std::string& text, long& v) {
    const std::string t = trim(text);
    if (t.empty()) return false;
    errno = 0;
    char* end = nullptr;
    v = std::strtol(t.c_str(), &end, 10);
    return end && *end == 0 && errno != ERANGE;
}

static bool splitPair(const std::string& text, std::string& a, std::string& b) {
    const size_t comma = text.find(',');
    if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos) return false;
    a = text.substr(0, comma);
    b = text.substr(comma + 1);
    return true;
}

// 16.16 from a number of units, rounded to nearest; false when it does not fit.
static bool toFixed(double v, PF_Fixed& out) {
    const double scaled = std::round(v * 65536.0);
    if (!(scaled >= -2147483648.0 && scaled <= 2147483647.0)) return false;
    out = static_cast<PF_Fixed>(scaled);
    return true;
}

static bool parseColour(const std::string& text, PF_Pixel& p) {
    const std::string t = trim(text);
    if (t.size() == 7 && t[0] == '#') {
        unsigned v = 0;
        for (size_t i = 1; i < 7; ++i)
            if (!std::isxdigit(static_cast<unsigned char>(t[i]))) return false;
        v = static_cast<unsigned>(std::strtoul(t.c_str() + 1, nullptr, 16));
        p = PF_Pixel{255, static_cast<A_u_char>(v >> 16), static_cast<A_u_char>(v >> 8), static_cast<A_u_char>(v)};
        return true;
    }
    long c[3];
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t comma = t.find(',', start);
        if ((i < 2) != (comma != std::string::npos)) return false;
        if (!parseInteger(t.substr(start, comma == std::string::npos ? std::string::npos : comma - start), c[i]) ||
            c[i] < 0 || c[i] > 255)
            return false;
        start = comma + 1;
    }
    p = PF_Pixel{255, static_cast<A_u_char>(c[0]), static_cast<A_u_char>(c[1]), static_cast<A_u_char>(c[2])};
    return true;
}

// In double quotes, with control characters escaped so a message stays one line.
static std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof(esc), "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool applySetting(refhost::Host& host, const std::string& assignment, std::string& error) {
    const size_t eq = assignment.find('=');
    if (eq == std::string::npos) {
        error = "--set takes NAME=VALUE, got " + quoted(assignment);
        return false;
    }
    const std::string name = assignment.substr(0, eq), value = assignment.substr(eq + 1);
    const int position = host.positionOfName(name);
    if (position < 0 || !settable(host.param(position))) {
        std::string near;
        for (const std::string& n : nearestNames(host, name)) near += (near.empty() ? "" : ", ") + quoted(n);
        error = "unknown parameter " + quoted(name) + "; did you mean " + near + "? ('checkerwarp params' lists them)";
        return false;
    }
    PF_ParamDef& def = host.param(position);
    const std::string what = quoted(name) + " (" + typeName(def.param_type) + ")";
    switch (def.param_type) {
    case PF_Param_FLOAT_SLIDER: {
        double v;
        if (!parseNumber(value, v)) {
            error = what + " takes a decimal number, got " + quoted(value);
            return false;
        }
        // The bounds are single precision: a number that rounds onto a bound (0.1
        // for 0.1f) is accepted as that bound, so the plug-in gets the value that
        // was checked, never one just outside the range.
        const float f = static_cast<float>(v);
        if (!(f >= def.u.fs_d.valid_min && f <= def.u.fs_d.valid_max)) {
            error = what + " must be from " + shortFloat(def.u.fs_d.valid_min) + " to " +
                    shortFloat(def.u.fs_d.valid_max) + ", got " + quoted(value);
            return false;
        }
        def.u.fs_d.value = std::min(std::max(v, static_cast<double>(def.u.fs_d.valid_min)),
                                    static_cast<double>(def.u.fs_d.valid_max));
        return true;
    }
    case PF_Param_SLIDER: {
        long v;
        if (!parseInteger(value, v)) {
            error = what + " takes a whole number, got " + quoted(value);
            return false;
        }
        if (v < def.u.sd.valid_min || v > def.u.sd.valid_max) {
            error = what + " must be from " + std::to_string(def.u.sd.valid_min) + " to " +
                    std::to_string(def.u.sd.valid_max) + ", got " + quoted(value);
            return false;
        }
        def.u.sd.value = static_cast<A_long>(v);
        return true;
    }
    case PF_Param_FIX_SLIDER: {
        double v;
        PF_Fixed fixed;
        if (!parseNumber(value, v) || !toFixed(v, fixed)) {
            error = what + " takes a decimal number, got " + quoted(value);
            return false;
        }
        if (fixed < def.u.fd.valid_min || fixed > def.u.fd.valid_max) {
            error = what + " must be from " + std::to_string(def.u.fd.valid_min / 65536.0) + " to " +
                    std::to_string(def.u.fd.valid_max / 65536.0) + ", got " + quoted(value);
            return false;
        }
        def.u.fd.value = fixed;
        return true;
    }
    case PF_Param_ANGLE: {
        double v;
        PF_Fixed fixed;
        if (!parseNumber(value, v) || !toFixed(v, fixed)) {
            error = what + " takes degrees, a decimal number from -32768 to 32767, got " + quoted(value);
            return false;
        }
        def.u.ad.value = fixed;
        return true;
    }
    case PF_Param_POINT: {
        std::string xs, ys;
        double x, y;
        PF_Fixed fx, fy;
        if (!splitPair(value, xs, ys) || !parseNumber(xs, x) || !parseNumber(ys, y) || !toFixed(x, fx) ||
            !toFixed(y, fy)) {
            error = what + " takes X,Y in layer pixels, each from -32768 to 32767, got " + quoted(value);
            return false;
        }
        host.setPoint(position, fx, fy);
        return true;
    }
    case PF_Param_COLOR: {
        PF_Pixel p;
        if (!parseColour(value, p)) {
            error = what + " takes #RRGGBB or R,G,B with each from 0 to 255, got " + quoted(value);
            return false;
        }
        def.u.cd.value = p;
        return true;
    }
    case PF_Param_POPUP: {
        const std::vector<std::string> choices = popupChoices(def);
        for (size_t i = 0; i < choices.size(); ++i) {
            if (choices[i] == trim(value)) {
                def.u.pd.value = static_cast<A_long>(i + 1);
                return true;
            }
        }
        long n;
        if (parseInteger(value, n) && n >= 1 && n <= static_cast<long>(choices.size())) {
            def.u.pd.value = static_cast<A_long>(n);
            return true;
        }
        std::string list;
        for (size_t i = 0; i < choices.size(); ++i) list += (i ? ", " : "") + quoted(choices[i]);
        error = what + " is one of " + list + " (or 1 to " + std::to_string(choices.size()) + "), got " +
                quoted(value);
        return false;
    }
    case PF_Param_CHECKBOX: {
        const std::string t = trim(value);
        if (t == "on" || t == "1") {
            def.u.bd.value = 1;
        } else if (t == "off" || t == "0") {
            def.u.bd.value = 0;
        } else {
            error = what + " is on or off (or 1 or 0), got " + quoted(value);
            return false;
        }
        return true;
    }
    default:
        error = what + " cannot be set from the command line";
        return false;
    }
}

}  // namespace cwtool
