#include "tools/options.h"

#include <getopt.h>

#include <cstring>
#include <sstream>

namespace cwtool {

namespace {

// getopt_long reports an option by its index in the long table, or a short one by its letter.
const OptionSpec* byShortName(const std::vector<OptionSpec>& table, int c) {
    for (const OptionSpec& s : table)
        if (s.short_name && s.short_name == c) return &s;
    return nullptr;
}

}  // namespace

bool parseOptions(int argc, char** argv, const std::vector<OptionSpec>& table, ParsedLine& line, std::string& error) {
    std::vector<option> longs;
    std::string shorts = ":";  // (':' first: a missing value is told apart from an unknown option)
    for (const OptionSpec& s : table) {
        longs.push_back(option{s.name, s.values ? required_argument : no_argument, nullptr, 0});
        if (s.short_name) {
            shorts += s.short_name;
            if (s.values) shorts += ':';
        }
    }
    longs.push_back(option{nullptr, 0, nullptr, 0});
    opterr = 0;
    optind = 0;  // (0: getopt starts afresh, should it have been used before)
    for (;;) {
        int index = -1;
        const int c = getopt_long(argc, argv, shorts.c_str(), longs.data(), &index);
        if (c == -1) break;
        if (c == '?') {
            const std::string given = optopt ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
            error = "unknown option '" + given.substr(0, given.find('=')) + "'";
            return false;
        }
        const OptionSpec* spec = nullptr;
        if (c == ':')
            spec = optopt ? byShortName(table, optopt) : nullptr;
        else
            spec = c == 0 ? &table[static_cast<size_t>(index)] : byShortName(table, c);
        if (c == ':' && !spec) {  // a long option without its value: find it by the word given
            const std::string word = argv[optind - 1];
            for (const OptionSpec& s : table)
                if (word == std::string("--") + s.name) spec = &s;
        }
        if (!spec) {
            error = "unknown option";
            return false;
        }
        if (c == ':') {
            error = spec->missing;
            return false;
        }
        GivenOption given{spec, {}};
        if (spec->values > 0) given.values.push_back(optarg);
        // the words after the first are the next arguments, whatever they look like
        for (int extra = 1; extra < spec->values; ++extra) {
            if (optind >= argc) {
                error = spec->missing;
                return false;
            }
            given.values.push_back(argv[optind++]);
        }
        line.options.push_back(std::move(given));
    }
    for (int i = optind; i < argc; ++i) line.positional.push_back(argv[i]);
    return true;
}

std::string optionSyntax(const OptionSpec& spec) {
    std::string s = spec.short_name ? std::string("-") + spec.short_name + ", " : "";
    s += std::string("--") + spec.name;
    if (spec.value) s += std::string(" ") + spec.value;
    return s;
}

std::string optionHelp(const std::vector<OptionSpec>& table, unsigned command) {
    std::ostringstream out;
    for (const OptionSpec& s : table) {
        if (!(s.commands & command) || !s.help) continue;
        std::string first = "  " + optionSyntax(s);
        std::istringstream lines(s.help);
        std::string text;
        bool opening = true;
        while (std::getline(lines, text)) {
            if (opening) {
                if (first.size() < 25)
                    first.append(25 - first.size(), ' ');
                else
                    first += "  ";
                out << first << text << "\n";
                opening = false;
            } else {
                out << std::string(25, ' ') << text << "\n";
            }
        }
    }
    return out.str();
}

}  // namespace cwtool
