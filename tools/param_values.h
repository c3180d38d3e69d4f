// Parameter values as a person reads and types them, one description per host
// parameter type: its name, the syntax a value takes, its listing (range and
// default) as text and as JSON, the text form of a value, and parsing. The
// command's `params`, `params --json`, `--set` and their messages all read it.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "host/reference_host.h"

namespace cwtool {

// A short name for a host parameter type ("float slider", "point", ...).
const char* typeName(PF_ParamType type);

// A float as the shortest decimal that reads back as the same float.
std::string shortFloat(float v);

// A registered definition as a listing shows it: the valid and slider ranges
// (empty for types without one), the default, and a popup's choices.
struct ParamListing {
    nlohmann::ordered_json valid_min, valid_max, slider_min, slider_max;  // null: no range
    nlohmann::ordered_json dflt;                                          // null: no default
    std::string dflt_text;
    std::vector<std::string> choices;
};
ParamListing listingOf(const PF_ParamDef& registered);

// One definition as a JSON object (position and id first), and written on one
// line the way `params --json` lists them.
nlohmann::ordered_json jsonOf(const PF_ParamDef& registered, size_t position);
std::string oneLineJson(const nlohmann::ordered_json& value);

// The value `def` holds, in the syntax `--set` takes (a point in layer pixels).
std::string valueText(const PF_ParamDef& def);

// Parses a typed value for the parameter `def` into `out` (a copy of def with
// the new value); false with the reason, naming what is allowed, in `error`.
//   float slider, slider: a decimal number within the valid range
//   point:    X,Y in layer pixels            angle: degrees
//   colour:   #RRGGBB or R,G,B               popup: a choice's text or its number
//   checkbox: on, off, 1 or 0
bool parseValue(const PF_ParamDef& def, const std::string& text, PF_ParamDef& out, std::string& error);

// The names closest to `name` among the settable parameters, nearest first.
std::vector<std::string> nearestNames(const refhost::Host& host, const std::string& name);

// The host position of a settable parameter by name; -1 with the message (and
// the nearest names) in `error`.
int settablePosition(const refhost::Host& host, const std::string& name, std::string& error);

// Applies "NAME=VALUE" to the host's current values. On failure says why in
// `error` and changes nothing.
bool applySetting(refhost::Host& host, const std::string& assignment, std::string& error);

// In double quotes, with control characters escaped so a message stays one line.
std::string quoted(const std::string& s);

}  // namespace cwtool
