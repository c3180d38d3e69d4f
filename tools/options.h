// A command line read from one table of options with getopt_long: --name VALUE,
// --name=VALUE, -x VALUE and -xVALUE for every option that takes a value, in
// any order among the positional arguments ("--" ends the options). The same
// table writes the options' part of --help, so the two cannot part.
#pragma once

#include <string>
#include <vector>

namespace cwtool {

struct OptionSpec {
    const char* name;        // without the dashes: "quality"
    char short_name;         // 'j', or 0 for none
    const char* value;       // what it takes, "high|low"; null for a switch
    int values;              // how many words it takes (0, 1, or 2 for "NAME KEYS")
    const char* help;        // one line for --help ("\n" starts a continuation line)
    const char* missing;     // the message when its value is missing
    unsigned commands;       // bit set of the commands that accept it
};

// One option as given, in the order given: its spec and its words.
struct GivenOption {
    const OptionSpec* spec;
    std::vector<std::string> values;
};

struct ParsedLine {
    std::vector<GivenOption> options;
    std::vector<std::string> positional;  // the command first
};

// Reads argv; false with a one-line reason in `error` (an unknown option, a
// missing value) for the caller to report as a usage error.
bool parseOptions(int argc, char** argv, const std::vector<OptionSpec>& table, ParsedLine& line, std::string& error);

// The options of the table that `command` (a bit) accepts, as --help lists
// them: "  --quality high|low     anti-aliased edges...".
std::string optionHelp(const std::vector<OptionSpec>& table, unsigned command);

// "--quality high|low", "-j, --jobs N": the option as a reader writes it.
std::string optionSyntax(const OptionSpec& spec);

}  // namespace cwtool
