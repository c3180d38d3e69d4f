// The frei0r parameters as hosts save them: in a fixed order (projects saved
// by position must keep their meaning), and as numbers written with 6
// significant digits (MLT's %g) that must come back as exactly the values the
// user set, the very ones `checkerwarp render --set` reads.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bridges/frei0r/bridge_params.h"
#include "tests/test_support.h"
#include "tools/param_values.h"

namespace {

std::vector<f0rbridge::BridgeParam> paramsOf(const std::string& effect, std::vector<PF_ParamDef>& registered) {
    auto host = cwtest::startedHost(cwtest::module(effect));
    registered = host->registered();
    return f0rbridge::bridgeParams(registered);
}

std::string listing(const std::vector<f0rbridge::BridgeParam>& params) {
    std::string s;
    for (const auto& p : params) s += p.name + ":" + std::to_string(p.type) + "\n";
    return s;
}

// Changing this list remaps every project a host saved by position.
TEST(Frei0rOrder, IsPinnedForEveryEffect) {
    std::vector<PF_ParamDef> registered;
    const int D = F0R_PARAM_DOUBLE, C = F0R_PARAM_COLOR, S = F0R_PARAM_STRING, B = F0R_PARAM_BOOL;
    auto expect = [](const std::vector<std::pair<const char*, int>>& rows) {
        std::string s;
        for (const auto& r : rows) s += std::string(r.first) + ":" + std::to_string(r.second) + "\n";
        return s;
    };
    EXPECT_EQ(listing(paramsOf("checkerwarp", registered)),
              expect({{"squares across", D}, {"center x", D}, {"center y", D}, {"background color", C},
                      {"background fill", S}, {"squares color", C}, {"squares fill", S}, {"x scale", D},
                      {"y scale", D}, {"brick rows", S}, {"brick offset", D}, {"x offset", D}, {"y offset", D},
                      {"wibble angle", D}, {"wibble max", D}, {"wibble influence", C}, {"horizontal min", D},
                      {"horizontal max", D}, {"horizontal influence", C}, {"vertical min", D}, {"vertical max", D},
                      {"vertical influence", C}, {"stamp params", B}, {"stamp params color", C},
                      {"stamp params point x", D}, {"stamp params point y", D}, {"stamp time", B},
                      {"stamp time color", C}, {"stamp time point x", D}, {"stamp time point y", D}}));
    EXPECT_EQ(listing(paramsOf("tint", registered)), expect({{"color", C}, {"amount", D}}));
    EXPECT_EQ(listing(paramsOf("pixelate", registered)),
              expect({{"cell size", D}, {"offset x", D}, {"offset y", D}, {"keep alpha", B}}));
}

// The README gives ffmpeg's positional order of every effect as it is.
TEST(Frei0rOrder, TheReadmeGivesItAsItIs) {
    std::ifstream in(std::string(CHECKERWARP_SOURCE_DIR) + "/README.md");
    std::stringstream readme;
    readme << in.rdbuf();
    for (const std::string& effect : cwtest::effectNames()) {
        std::vector<PF_ParamDef> registered;
        std::string line = effect + ": ";
        bool first = true;
        for (const auto& p : paramsOf(effect, registered)) line += (first ? "" : ", ") + p.name, first = false;
        EXPECT_NE(readme.str().find("\n" + line + "\n"), std::string::npos) << line;
    }
}

// The number a definition holds, whatever its type.
double numberOf(const PF_ParamDef& d) {
    switch (d.param_type) {
    case PF_Param_FLOAT_SLIDER: return d.u.fs_d.value;
    case PF_Param_SLIDER: return d.u.sd.value;
    case PF_Param_FIX_SLIDER: return d.u.fd.value;
    case PF_Param_ANGLE: return d.u.ad.value;
    default: return NAN;
    }
}

// Low and high of what a user types, and where frei0r's 0 lies.
void rangeOf(const PF_ParamDef& d, double& low, double& high) {
    switch (d.param_type) {
    case PF_Param_FLOAT_SLIDER: low = d.u.fs_d.valid_min, high = d.u.fs_d.valid_max; return;
    case PF_Param_SLIDER: low = d.u.sd.valid_min, high = d.u.sd.valid_max; return;
    case PF_Param_FIX_SLIDER: low = d.u.fd.valid_min / 65536.0, high = d.u.fd.valid_max / 65536.0; return;
    default: low = 0, high = 360; return;  // an angle: one turn
    }
}

// A host's round trip: the fraction it computes for a displayed value, written with %g, read back.
double savedFraction(double fraction) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", fraction);
    return std::strtod(text, nullptr);
}

TEST(Frei0rMapping, EveryHundredthComesBackAsTheCommandReadsIt) {
    for (const std::string& effect : cwtest::effectNames()) {
        std::vector<PF_ParamDef> registered;
        for (const auto& p : paramsOf(effect, registered)) {
            const PF_ParamDef& def = registered[static_cast<size_t>(p.position)];
            if (p.type != F0R_PARAM_DOUBLE || def.param_type == PF_Param_POINT) continue;
            double low, high;
            rangeOf(def, low, high);
            const double from = low > 0 ? 0 : low;  // (the bridge's 0)
            int checked = 0;
            // every hundredth up to 1000, then every whole number
            for (int64_t k = static_cast<int64_t>(std::ceil(low * 100)); k <= std::floor(high * 100);
                 k += k < 100000 ? 1 : 100) {
                if (def.param_type == PF_Param_SLIDER && k % 100) continue;  // whole numbers only
                const double value = static_cast<double>(k) / 100.0;
                char typed[32];
                std::snprintf(typed, sizeof(typed), "%.2f", value);
                PF_ParamDef by_command = def, by_host = def;
                std::string error;
                ASSERT_TRUE(cwtool::parseValue(def, typed, by_command, error)) << p.name << " " << typed << ": " << error;
                f0rbridge::BridgeValue v;
                v.number = savedFraction((value - from) / (high - from));
                double unused = 0;
                ASSERT_TRUE(f0rbridge::setFromBridge(p, v, by_host, unused));
                ASSERT_EQ(numberOf(by_host), numberOf(by_command))
                    << effect << " " << p.name << " typed " << typed << " saved as " << v.number;
                ++checked;
            }
            EXPECT_GT(checked, 0) << p.name;
            // the default as the host reports it (melt -query), saved and read back
            f0rbridge::BridgeValue reported;
            std::string text;
            f0rbridge::bridgeValueOf(def, 0, reported, text);
            reported.number = savedFraction(reported.number);
            PF_ParamDef back = def;
            double unused = 0;
            ASSERT_TRUE(f0rbridge::setFromBridge(p, reported, back, unused));
            EXPECT_EQ(numberOf(back), numberOf(def)) << effect << " " << p.name << ": its default";
        }
    }
}

}  // namespace
