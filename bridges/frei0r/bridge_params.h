// The effect's parameters as frei0r parameters, learnt from the definitions the
// module registers. frei0r hosts pass doubles and booleans in [0, 1], colours
// as three floats in [0, 1] and strings; the mapping:
//   float slider, slider, fixed slider: [0, 1] linearly onto the valid range,
//             or onto 0 to its top where the range starts above 0 (held to
//             its bottom), so that a host's display factor shows the value
//   angle:    [0, 1] onto 0 to 360 degrees
// Numbers are snapped to hundredths where a host's 6 significant digits put
// them within rounding of one, so a saved project gives back what was set.
//   checkbox: a boolean (0.5 and above is on)
//   colour:   a colour, each channel times 255, rounded
//   popup:    a string, the choice's text (its number from 1 is taken too)
//   point:    two doubles, "NAME x" and "NAME y", fractions of the frame's width
//             and height (hosts such as MLT never pass frei0r positions)
// Group markers and layers are left out. Values outside [0, 1] are clamped.
#pragma once

#include <frei0r.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/ae_effect.h"

namespace f0rbridge {

// One frei0r parameter.
struct BridgeParam {
    std::string name;         // as `checkerwarp params` lists it ("center x" for a point's x)
    std::string explanation;  // what 0 and 1 mean in the parameter's own units
    int type;                 // F0R_PARAM_*
    int position;             // the host position it sets
    int coordinate;           // a point's: 0 x, 1 y; otherwise 0
};

// The frei0r parameters of the registered definitions, in host order; each
// explanation starts with the parameter's hint where `hint_of` (by identity,
// uu.id) gives one.
std::vector<BridgeParam> bridgeParams(const std::vector<PF_ParamDef>& registered,
                                      const std::function<std::string(A_long)>& hint_of = nullptr);

// A frei0r value, as the host passes it to f0r_set_param_value.
union BridgeValue {
    double number;  // bool, double
    f0r_param_color_t colour;
    const char* text;
};

// Sets `def` (the current value at the parameter's position) from a frei0r
// value; false, leaving it as it was, for a NaN or a string that names no
// choice. `fraction` is a point's coordinate as a fraction of the frame: the
// caller turns it into pixels, since the frame's size belongs to the instance.
bool setFromBridge(const BridgeParam& p, const BridgeValue& value, PF_ParamDef& def, double& fraction);

// The frei0r value of `def` (a point's coordinate from `fraction`). A string
// points into `text`, which the caller keeps.
void bridgeValueOf(const PF_ParamDef& def, double fraction, BridgeValue& value,
                   std::string& text);

// The default of a point's coordinate, as a fraction of the frame.
double pointDefaultFraction(const PF_ParamDef& registered, int coordinate);

}  // namespace f0rbridge
