// Parameter values as a person types them on the command line, checked against
// the definitions the plug-in registered.
#pragma once

#include <string>
#include <vector>

#include "host/reference_host.h"

namespace cwtool {

// A short name for a host parameter type ("float slider", "point", ...).
const char* typeName(PF_ParamType type);

// The choices of a popup, in order.
std::vector<std::string> popupChoices(const PF_ParamDef& def);

// A float as the shortest decimal that reads back as the same float.
std::string shortFloat(float v);

// The names closest to `name` among the settable parameters, nearest first.
std::vector<std::string> nearestNames(const refhost::Host& host, const std::string& name);

// Applies "NAME=VALUE" to the host's current values. On failure says why in
// `error` (naming what is allowed) and changes nothing.
//   float slider, slider: a decimal number within the valid range
//   point:    X,Y in layer pixels            angle: degrees
//   colour:   #RRGGBB or R,G,B               popup: a choice's text or its number
//   checkbox: on, off, 1 or 0
bool applySetting(refhost::Host& host, const std::string& assignment, std::string& error);

}  // namespace cwtool
