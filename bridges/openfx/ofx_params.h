// The effect's parameters as OpenFX parameters, learnt from the definitions
// the module registers. OpenFX describes real ranges, so nothing is squeezed
// into [0, 1]:
//   float slider  a double: the valid range as its range, the slider range as
//                 its display range, the registered precision as its digits
//   fixed slider  a double (16.16 rounded to nearest), two digits
//   slider        an integer with its range
//   angle         an angle double in degrees (16.16 rounded to nearest)
//   checkbox      a boolean
//   colour        RGB in [0, 1]: a byte b is b / 255, a value v the byte
//                 round(v x 255) of v held to [0, 1] (NaN is 0)
//   popup         a choice of its texts (OpenFX counts from 0, the effect from 1)
//   point         an absolute 2D double in canonical coordinates (the image's
//                 pixels at full resolution, x times the pixel aspect, y up);
//                 its default, a whole percent of the layer from the top left,
//                 is given in normalised coordinates
//   group         a group of the parameters up to its end; the framework's
//                 debug group starts closed
// Layers other than the input and paths have no OpenFX counterpart and are
// left out. A parameter's label is its name as `checkerwarp params` lists it;
// its OpenFX name (and script name) is that name with '_' for anything but
// letters and digits ("squares_across"), unique, as hosts such as Nuke want.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/ae_effect.h"

namespace ofxbridge {

enum class Kind { kDouble, kFixed, kInteger, kAngle, kBoolean, kColour, kChoice, kPoint, kGroup };

struct OfxParam {
    std::string name;         // the OpenFX name and script name: letters, digits and '_'
    std::string label;        // the effect's own name for it
    const char* type;         // kOfxParamType*
    Kind kind;
    int position;             // the host position it sets
    std::string parent;       // the enclosing group's OpenFX name; empty: the top level
    std::string hint;
    bool group_open = true;
    // defaults and ranges in OpenFX's units (a point's default normalised, y up)
    double dflt[3] = {0, 0, 0};
    double min = 0, max = 0, display_min = 0, display_max = 0;
    int digits = 0;
    std::vector<std::string> choices;
};

// The OpenFX parameters of the registered definitions, in host order; `hint_of`
// gives a parameter's hint by identity (uu.id).
std::vector<OfxParam> ofxParams(const std::vector<PF_ParamDef>& registered,
                                const std::function<std::string(A_long)>& hint_of);

// A value as the host hands it: up to three doubles, or an integer.
struct OfxValue {
    double d[3] = {0, 0, 0};
    int i = 0;
};

// Sets the current value `def` of every kind but points and groups from an
// OpenFX value, held inside the parameter's valid range.
void setFromOfx(const OfxParam& p, const OfxValue& value, PF_ParamDef& def);

// A colour channel's byte from an OpenFX value and back.
uint8_t byteOfUnit(double v);
inline double unitOfByte(uint8_t b) { return b / 255.0; }

// 16.16 of a number of units, rounded to nearest and held to the type's range.
PF_Fixed fixedOf(double v);

}  // namespace ofxbridge
