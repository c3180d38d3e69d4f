#include "bridges/openfx/ofx_params.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <set>

#include "bridges/openfx/ofx_api.h"
#include "host/param_store.h"

namespace ofxbridge {

namespace {

// The identity of the framework's own debug group, which starts closed.
constexpr A_long kDebugGroupId = 97;
// The widest angle 16.16 degrees hold.
constexpr double kAngleLimit = 32767.0;

std::string scriptNameOf(const std::string& name) {
    std::string s;
    for (char c : name) s += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) s = "p_" + s;
    return s;
}

// A name no parameter before it has ("name_2", "name_3", ... on a clash).
std::string uniqueName(const std::string& name, std::set<std::string>& taken) {
    std::string candidate = name;
    for (int n = 2; !taken.insert(candidate).second; ++n) candidate = name + "_" + std::to_string(n);
    return candidate;
}

double clampTo(double v, double lo, double hi) {
    if (std::isnan(v)) return lo;
    return std::min(std::max(v, lo), hi);
}

}  // namespace

PF_Fixed fixedOf(double v) {
    const double scaled = std::round(clampTo(v * 65536.0, -2147483648.0, 2147483647.0));
    return static_cast<PF_Fixed>(scaled);
}

uint8_t byteOfUnit(double v) {
    return static_cast<uint8_t>(std::lround(clampTo(v, 0.0, 1.0) * 255.0));
}

std::vector<OfxParam> ofxParams(const std::vector<PF_ParamDef>& registered,
                                const std::function<std::string(A_long)>& hint_of) {
    std::vector<OfxParam> params;
    std::vector<std::string> groups;  // the open groups, innermost last
    std::set<std::string> taken;
    for (size_t position = 1; position < registered.size(); ++position) {
        const PF_ParamDef& def = registered[position];
        if (def.param_type == PF_Param_GROUP_END) {
            if (!groups.empty()) groups.pop_back();
            continue;
        }
        OfxParam p;
        p.position = static_cast<int>(position);
        p.parent = groups.empty() ? std::string() : groups.back();
        switch (def.param_type) {
        case PF_Param_FLOAT_SLIDER:
            p.type = kOfxParamTypeDouble;
            p.kind = Kind::kDouble;
            p.dflt[0] = def.u.fs_d.dephault;
            p.min = def.u.fs_d.valid_min;
            p.max = def.u.fs_d.valid_max;
            p.display_min = def.u.fs_d.slider_min;
            p.display_max = def.u.fs_d.slider_max;
            p.digits = def.u.fs_d.precision;
            break;
        case PF_Param_FIX_SLIDER:
            p.type = kOfxParamTypeDouble;
            p.kind = Kind::kFixed;
            p.dflt[0] = def.u.fd.dephault / 65536.0;
            p.min = def.u.fd.valid_min / 65536.0;
            p.max = def.u.fd.valid_max / 65536.0;
            p.display_min = def.u.fd.slider_min / 65536.0;
            p.display_max = def.u.fd.slider_max / 65536.0;
            p.digits = def.u.fd.precision;
            break;
        case PF_Param_SLIDER:
            p.type = kOfxParamTypeInteger;
            p.kind = Kind::kInteger;
            p.dflt[0] = def.u.sd.dephault;
            p.min = def.u.sd.valid_min;
            p.max = def.u.sd.valid_max;
            p.display_min = def.u.sd.slider_min;
            p.display_max = def.u.sd.slider_max;
            break;
        case PF_Param_ANGLE:
            p.type = kOfxParamTypeDouble;
            p.kind = Kind::kAngle;
            p.dflt[0] = def.u.ad.dephault / 65536.0;
            if (def.u.ad.valid_min < def.u.ad.valid_max) {
                p.min = def.u.ad.valid_min / 65536.0;
                p.max = def.u.ad.valid_max / 65536.0;
            } else {
                p.min = -kAngleLimit;
                p.max = kAngleLimit;
            }
            p.display_min = std::max(p.min, -360.0);
            p.display_max = std::min(p.max, 360.0);
            p.digits = 2;
            break;
        case PF_Param_CHECKBOX:
            p.type = kOfxParamTypeBoolean;
            p.kind = Kind::kBoolean;
            p.dflt[0] = def.u.bd.dephault ? 1 : 0;
            break;
        case PF_Param_COLOR:
            p.type = kOfxParamTypeRGB;
            p.kind = Kind::kColour;
            p.dflt[0] = unitOfByte(def.u.cd.dephault.red);
            p.dflt[1] = unitOfByte(def.u.cd.dephault.green);
            p.dflt[2] = unitOfByte(def.u.cd.dephault.blue);
            break;
        case PF_Param_POPUP:
            p.type = kOfxParamTypeChoice;
            p.kind = Kind::kChoice;
            p.choices = refhost::popupChoices(def);
            p.dflt[0] = std::max(0, def.u.pd.dephault - 1);
            break;
        case PF_Param_POINT:
            p.type = kOfxParamTypeDouble2D;
            p.kind = Kind::kPoint;
            // a whole percent from the top left; OpenFX's y runs up
            p.dflt[0] = def.u.td.x_dephault / 65536.0 / 100.0;
            p.dflt[1] = 1.0 - def.u.td.y_dephault / 65536.0 / 100.0;
            break;
        case PF_Param_GROUP_START:
            p.type = kOfxParamTypeGroup;
            p.kind = Kind::kGroup;
            p.group_open = def.uu.id != kDebugGroupId;
            break;
        default:  // layers, paths
            continue;
        }
        p.label = def.name;
        p.name = uniqueName(scriptNameOf(def.name), taken);
        if (hint_of) p.hint = hint_of(def.uu.id);
        if (p.kind == Kind::kGroup) groups.push_back(p.name);
        params.push_back(std::move(p));
    }
    return params;
}

void setFromOfx(const OfxParam& p, const OfxValue& value, PF_ParamDef& def) {
    switch (p.kind) {
    case Kind::kDouble:
        def.u.fs_d.value = clampTo(value.d[0], def.u.fs_d.valid_min, def.u.fs_d.valid_max);
        break;
    case Kind::kFixed:
        def.u.fd.value = std::min(std::max(fixedOf(value.d[0]), def.u.fd.valid_min), def.u.fd.valid_max);
        break;
    case Kind::kInteger:
        def.u.sd.value = std::min(std::max(value.i, def.u.sd.valid_min), def.u.sd.valid_max);
        break;
    case Kind::kAngle:
        def.u.ad.value = fixedOf(clampTo(value.d[0], p.min, p.max));
        break;
    case Kind::kBoolean:
        def.u.bd.value = value.i != 0 ? 1 : 0;
        break;
    case Kind::kColour:
        def.u.cd.value.red = byteOfUnit(value.d[0]);
        def.u.cd.value.green = byteOfUnit(value.d[1]);
        def.u.cd.value.blue = byteOfUnit(value.d[2]);
        break;
    case Kind::kChoice: {
        const int count = std::max<int>(1, static_cast<int>(p.choices.size()));
        def.u.pd.value = std::min(std::max(value.i, 0), count - 1) + 1;
        break;
    }
    case Kind::kPoint:
    case Kind::kGroup: break;
    }
}

}  // namespace ofxbridge
