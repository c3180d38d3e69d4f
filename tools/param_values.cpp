#include "tools/param_values.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cwtool {

// In double quotes, with control characters escaped so a message stays one
// line, and cut after 80 characters so it stays a short one.
std::string quoted(const std::string& s) {
    constexpr size_t kShown = 80;
    std::string out = "\"";
    for (unsigned char c : s.substr(0, kShown)) {
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
    if (s.size() > kShown) out += "\"... (" + std::to_string(s.size()) + " characters)";
    else out += "\"";
    return out;
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

// ---- numbers as listings show them ----

// The shortest decimal that reads back as the same double.
static std::string shortDouble(double v) {
    char text[40];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(text, sizeof(text), "%.*g", precision, v);
        if (std::strtod(text, nullptr) == v) break;
    }
    return text;
}

// A single-precision bound or default as a JSON number: whole numbers as
// integers, others as their shortest decimal (0.1, not 0.100000001490116).
static nlohmann::ordered_json number(float v) {
    if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 9e15f) return static_cast<int64_t>(v);
    return std::strtod(shortFloat(v).c_str(), nullptr);
}

static nlohmann::ordered_json fixedNumber(PF_Fixed v) {
    return number(static_cast<float>(v / 65536.0));
}

static std::string hexColour(const PF_Pixel& p) {
    char text[8];
    std::snprintf(text, sizeof(text), "#%02x%02x%02x", p.red, p.green, p.blue);
    return text;
}

static std::string numberText(const nlohmann::ordered_json& n) {
    return n.dump();
}

// ---- one row per type ----

namespace {

struct TypeRow {
    PF_ParamType type;
    const char* name;
    void (*list)(const PF_ParamDef& d, ParamListing& l);
    std::string (*text)(const PF_ParamDef& d);
    // Parses into `out`; false with the allowed syntax, "takes ..." or "must be ...".
    bool (*parse)(const PF_ParamDef& d, const std::string& value, PF_ParamDef& out, std::string& why);
};

void listFloatSlider(const PF_ParamDef& d, ParamListing& l) {
    l.valid_min = number(d.u.fs_d.valid_min);
    l.valid_max = number(d.u.fs_d.valid_max);
    l.slider_min = number(d.u.fs_d.slider_min);
    l.slider_max = number(d.u.fs_d.slider_max);
    l.dflt = number(d.u.fs_d.dephault);
    l.dflt_text = numberText(l.dflt) + (d.u.fs_d.display_flags & PF_ValueDisplayFlag_PERCENT ? "%" : "");
}

std::string textFloatSlider(const PF_ParamDef& d) {
    return shortDouble(d.u.fs_d.value);
}

bool parseFloatSlider(const PF_ParamDef& d, const std::string& value, PF_ParamDef& out, std::string& why) {
    double v;
    if (!parseNumber(value, v)) {
        why = "takes a decimal number, got " + quoted(value);
        return false;
    }
    // The bounds are single precision: a number that rounds onto a bound (0.1
    // for 0.1f) is accepted as that bound, so the plug-in gets the value that
    // was checked, never one just outside the range.
    const float f = static_cast<float>(v);
    if (!(f >= d.u.fs_d.valid_min && f <= d.u.fs_d.valid_max)) {
        why = "must be from " + shortFloat(d.u.fs_d.valid_min) + " to " + shortFloat(d.u.fs_d.valid_max) + ", got " +
              quoted(value);
        return false;
    }
    out.u.fs_d.value = std::min(std::max(v, static_cast<double>(d.u.fs_d.valid_min)),
                                static_cast<double>(d.u.fs_d.valid_max));
    return true;
}

void listSlider(const PF_ParamDef& d, ParamListing& l) {
    l.valid_min = d.u.sd.valid_min;
    l.valid_max = d.u.sd.valid_max;
    l.slider_min = d.u.sd.slider_min;
    l.slider_max = d.u.sd.slider_max;
    l.dflt = d.u.sd.dephault;
    l.dflt_text = numberText(l.dflt);
}

std::string textSlider(const PF_ParamDef& d) {
    return std::to_string(d.u.sd.value);
}

bool parseSlider(const PF_ParamDef& d, const std::string& value, PF_ParamDef& out, std::string& why) {
    long v;
    if (!parseInteger(value, v)) {
        why = "takes a whole number, got " + quoted(value);
        return false;
    }
    if (v < d.u.sd.valid_min || v > d.u.sd.valid_max) {
        why = "must be from " + std::to_string(d.u.sd.valid_min) + " to " + std::to_string(d.u.sd.valid_max) +
              ", got " + quoted(value);
        return false;
    }
    out.u.sd.value = static_cast<A_long>(v);
    return true;
}

void listFixSlider(const PF_ParamDef& d, ParamListing& l) {
    l.valid_min = fixedNumber(d.u.fd.valid_min);
    l.valid_max = fixedNumber(d.u.fd.valid_max);
    l.slider_min = fixedNumber(d.u.fd.slider_min);
    l.slider_max = fixedNumber(d.u.fd.slider_max);
    l.dflt = fixedNumber(d.u.fd.dephault);
    l.dflt_text = numberText(l.dflt);
}

std::string textFixSlider(const PF_ParamDef& d) {
    return shortDouble(d.u.fd.value / 65536.0);
}

bool parseFixSlider(const PF_ParamDef& d, const std::string& value, PF_ParamDef& out, std::string& why) {
    double v;
    PF_Fixed fixed;
    if (!parseNumber(value, v) || !toFixed(v, fixed)) {
        why = "takes a decimal number, got " + quoted(value);
        return false;
    }
    if (fixed < d.u.fd.valid_min || fixed > d.u.fd.valid_max) {
        why = "must be from " + shortDouble(d.u.fd.valid_min / 65536.0) + " to " +
              shortDouble(d.u.fd.valid_max / 65536.0) + ", got " + quoted(value);
        return false;
    }
    out.u.fd.value = fixed;
    return true;
}

void listAngle(const PF_ParamDef& d, ParamListing& l) {
    l.dflt = fixedNumber(d.u.ad.dephault);
    l.dflt_text = numberText(l.dflt) + " degrees";
}

std::string textAngle(const PF_ParamDef& d) {
    return shortDouble(d.u.ad.value / 65536.0);
}

bool parseAngle(const PF_ParamDef&, const std::string& value, PF_ParamDef& out, std::string& why) {
    double v;
    PF_Fixed fixed;
    if (!parseNumber(value, v) || !toFixed(v, fixed)) {
        why = "takes degrees, a decimal number from -32768 to 32767, got " + quoted(value);
        return false;
    }
    out.u.ad.value = fixed;
    return true;
}

void listCheckbox(const PF_ParamDef& d, ParamListing& l) {
    l.dflt = d.u.bd.dephault != 0;
    l.dflt_text = d.u.bd.dephault ? "on" : "off";
}

std::string textCheckbox(const PF_ParamDef& d) {
    return d.u.bd.value ? "on" : "off";
}

bool parseCheckbox(const PF_ParamDef&, const std::string& value, PF_ParamDef& out, std::string& why) {
    const std::string t = trim(value);
    if (t == "on" || t == "1") {
        out.u.bd.value = 1;
    } else if (t == "off" || t == "0") {
        out.u.bd.value = 0;
    } else {
        why = "is on or off (or 1 or 0), got " + quoted(value);
        return false;
    }
    return true;
}

void listColour(const PF_ParamDef& d, ParamListing& l) {
    l.dflt_text = hexColour(d.u.cd.dephault);
    l.dflt = l.dflt_text;
}

std::string textColour(const PF_ParamDef& d) {
    return hexColour(d.u.cd.value);
}

bool parseColourValue(const PF_ParamDef&, const std::string& value, PF_ParamDef& out, std::string& why) {
    PF_Pixel p;
    if (!parseColour(value, p)) {
        why = "takes #RRGGBB or R,G,B with each from 0 to 255, got " + quoted(value);
        return false;
    }
    out.u.cd.value = p;
    return true;
}

void listPoint(const PF_ParamDef& d, ParamListing& l) {
    l.dflt = {{"x_percent", fixedNumber(d.u.td.x_dephault)}, {"y_percent", fixedNumber(d.u.td.y_dephault)}};
    l.dflt_text = numberText(l.dflt["x_percent"]) + "%, " + numberText(l.dflt["y_percent"]) + "% of the layer";
}

std::string textPoint(const PF_ParamDef& d) {
    return shortDouble(d.u.td.x_value / 65536.0) + "," + shortDouble(d.u.td.y_value / 65536.0);
}

bool parsePoint(const PF_ParamDef&, const std::string& value, PF_ParamDef& out, std::string& why) {
    std::string xs, ys;
    double x, y;
    PF_Fixed fx, fy;
    if (!splitPair(value, xs, ys) || !parseNumber(xs, x) || !parseNumber(ys, y) || !toFixed(x, fx) ||
        !toFixed(y, fy)) {
        why = "takes X,Y in layer pixels, each from -32768 to 32767, got " + quoted(value);
        return false;
    }
    out.u.td.x_value = fx;
    out.u.td.y_value = fy;
    return true;
}

void listPopup(const PF_ParamDef& d, ParamListing& l) {
    l.choices = refhost::popupChoices(d);
    l.dflt = d.u.pd.dephault;
    const size_t i = static_cast<size_t>(d.u.pd.dephault - 1);
    l.dflt_text = i < l.choices.size() ? l.choices[i] : numberText(l.dflt);
}

std::string textPopup(const PF_ParamDef& d) {
    const std::vector<std::string> choices = refhost::popupChoices(d);
    const size_t i = static_cast<size_t>(d.u.pd.value - 1);
    return i < choices.size() ? choices[i] : std::to_string(d.u.pd.value);
}

bool parsePopup(const PF_ParamDef& d, const std::string& value, PF_ParamDef& out, std::string& why) {
    const std::vector<std::string> choices = refhost::popupChoices(d);
    for (size_t i = 0; i < choices.size(); ++i) {
        if (choices[i] == trim(value)) {
            out.u.pd.value = static_cast<A_long>(i + 1);
            return true;
        }
    }
    long n;
    if (parseInteger(value, n) && n >= 1 && n <= static_cast<long>(choices.size())) {
        out.u.pd.value = static_cast<A_long>(n);
        return true;
    }
    std::string list;
    for (size_t i = 0; i < choices.size(); ++i) list += (i ? ", " : "") + quoted(choices[i]);
    why = "is one of " + list + " (or 1 to " + std::to_string(choices.size()) + "), got " + quoted(value);
    return false;
}

void listNothing(const PF_ParamDef&, ParamListing&) {}

std::string textNothing(const PF_ParamDef&) {
    return "";
}

bool parseNothing(const PF_ParamDef&, const std::string&, PF_ParamDef&, std::string& why) {
    why = "cannot be set from the command line";
    return false;
}

const TypeRow kTypes[] = {
    {PF_Param_FLOAT_SLIDER, "float slider", listFloatSlider, textFloatSlider, parseFloatSlider},
    {PF_Param_SLIDER, "slider", listSlider, textSlider, parseSlider},
    {PF_Param_FIX_SLIDER, "fixed slider", listFixSlider, textFixSlider, parseFixSlider},
    {PF_Param_ANGLE, "angle", listAngle, textAngle, parseAngle},
    {PF_Param_CHECKBOX, "checkbox", listCheckbox, textCheckbox, parseCheckbox},
    {PF_Param_COLOR, "color", listColour, textColour, parseColourValue},
    {PF_Param_POINT, "point", listPoint, textPoint, parsePoint},
    {PF_Param_POPUP, "popup", listPopup, textPopup, parsePopup},
    {PF_Param_LAYER, "layer", listNothing, textNothing, parseNothing},
    {PF_Param_PATH, "path", listNothing, textNothing, parseNothing},
    {PF_Param_GROUP_START, "group start", listNothing, textNothing, parseNothing},
    {PF_Param_GROUP_END, "group end", listNothing, textNothing, parseNothing},
};
const TypeRow kOtherType = {PF_Param_NO_DATA, "other", listNothing, textNothing, parseNothing};

const TypeRow& rowOf(PF_ParamType type) {
    for (const TypeRow& row : kTypes)
        if (row.type == type) return row;
    return kOtherType;
}

}  // namespace

const char* typeName(PF_ParamType type) {
    return rowOf(type).name;
}

ParamListing listingOf(const PF_ParamDef& registered) {
    ParamListing l;
    rowOf(registered.param_type).list(registered, l);
    return l;
}

nlohmann::ordered_json jsonOf(const PF_ParamDef& d, size_t position) {
    const ParamListing l = listingOf(d);
    nlohmann::ordered_json j;
    j["position"] = position;
    j["id"] = d.uu.id;
    j["name"] = std::string(d.name, strnlen(d.name, sizeof(d.name)));
    j["type"] = typeName(d.param_type);
    if (!l.valid_min.is_null()) {
        j["valid_min"] = l.valid_min;
        j["valid_max"] = l.valid_max;
        j["slider_min"] = l.slider_min;
        j["slider_max"] = l.slider_max;
    }
    if (!l.dflt.is_null()) j["default"] = l.dflt;
    if (d.param_type == PF_Param_POPUP) j["choices"] = l.choices;
    j["flags"] = d.flags;
    j["ui_flags"] = d.ui_flags;
    return j;
}

std::string oneLineJson(const nlohmann::ordered_json& value) {
    if (value.is_object()) {
        std::string out = "{";
        for (auto it = value.begin(); it != value.end(); ++it)
            out += (it == value.begin() ? "" : ", ") + nlohmann::ordered_json(it.key()).dump() + ": " + oneLineJson(*it);
        return out + "}";
    }
    if (value.is_array()) {
        std::string out = "[";
        for (size_t i = 0; i < value.size(); ++i) out += (i ? ", " : "") + oneLineJson(value[i]);
        return out + "]";
    }
    return value.dump();
}

std::string valueText(const PF_ParamDef& def) {
    return rowOf(def.param_type).text(def);
}

bool parseValue(const PF_ParamDef& def, const std::string& text, PF_ParamDef& out, std::string& error) {
    out = def;
    std::string why;
    if (rowOf(def.param_type).parse(def, text, out, why)) return true;
    error = quoted(std::string(def.name, strnlen(def.name, sizeof(def.name)))) + " (" + typeName(def.param_type) +
            ") " + why;
    return false;
}


int settablePosition(const refhost::Host& host, const std::string& name, std::string& error) {
    const int position = host.positionOfName(name);
    if (position >= 0 && settable(host.definitions()[static_cast<size_t>(position)])) return position;
    std::string near;
    for (const std::string& n : nearestNames(host, name)) near += (near.empty() ? "" : ", ") + quoted(n);
    error = "unknown parameter " + quoted(name) + "; did you mean " + near + "? ('checkerwarp params' lists them)";
    return -1;
}

bool applySetting(refhost::Host& host, const std::string& assignment, std::string& error) {
    const size_t eq = assignment.find('=');
    if (eq == std::string::npos) {
        error = "--set takes NAME=VALUE, got " + quoted(assignment);
        return false;
    }
    const int position = settablePosition(host, assignment.substr(0, eq), error);
    if (position < 0) return false;
    PF_ParamDef value;
    if (!parseValue(host.param(position), assignment.substr(eq + 1), value, error)) return false;
    if (value.param_type == PF_Param_POINT)
        host.setPoint(position, value.u.td.x_value, value.u.td.y_value);
    else
        host.param(position) = value;
    return true;
}

}  // namespace cwtool
