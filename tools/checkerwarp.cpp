// checkerwarp: applies the checkerwarp effect to images from the shell, loading
// the plug-in module through its entry point as the host application does.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "tools/options.h"
#include "tools/render.h"

namespace {

// The commands, as bits of OptionSpec::commands.
enum : unsigned { kAbout = 1, kParams = 2, kRender = 4, kVersion = 8, kEvery = 15 };

// Every option of every command: parsing and --help both read this table.
const std::vector<cwtool::OptionSpec> kOptions = {
    {"set", 0, "\"NAME=VALUE\"", 1,
     "set a parameter (repeatable); NAME as 'checkerwarp params' lists it.\n"
     "float slider: 2.5   point: X,Y in pixels   color: #RRGGBB or R,G,B\n"
     "popup: a choice's text or number   angle: degrees   checkbox: on/off",
     "--set needs \"NAME=VALUE\"", kRender},
    {"quality", 0, "high|low", 1, "anti-aliased edges, or whole pixels only (default high)", "--quality is high or low",
     kRender},
    {"pixel-aspect", 0, "N/D", 1, "pixel aspect ratio of the image (default 1/1)",
     "--pixel-aspect takes N/D with whole numbers from 1 to 1000000, such as 10/11", kRender},
    {"downsample", 0, "N", 1, "render a proxy at 1/N of the size, as a host's downsampled render (default 1)",
     "--downsample takes a whole number from 1 to 16, such as 2 for half size", kRender},
    {"animate", 0, "NAME KEYS", 2,
     "animate a parameter (repeatable): \"0=0;48=360\", frames or HH:MM:SS.mmm;\n"
     "= linear, |= hold, ~= smooth; values as for --set",
     "--animate needs NAME and KEYS, such as \"x offset\" \"0=0;48=360\"", kRender},
    {"fps", 0, "R", 1, "frames a second up to 1000, N or N/D (default: the video's, else 25)",
     "--fps needs frames a second, such as 25 or 30000/1001", kRender},
    {"duration", 0, "N|Ns", 1, "a still's length in frames or seconds (default 1 frame)",
     "--duration needs frames (48) or seconds (2s)", kRender},
    {"frames", 0, "A-B", 1, "render frames A to B only, in the input's numbering",
     "--frames takes A-B, two frame numbers such as 0-99", kRender},
    {"jobs", 'j', "N", 1, "worker processes (default: one a core; one from a video to a video)",
     "--jobs takes a number of worker processes from 1 to 256", kRender},
    {"quiet", 0, nullptr, 0, "no progress line", nullptr, kRender},
    {"compression", 0, "fast|default|small", 1, "PNG output: stored (large, quickest), quick (default) or smallest",
     "--compression is fast, default or small", kRender},
    {"time-limit", 0, "SECONDS", 1, "stop a frame that takes longer (status 1, no output)",
     "--time-limit takes a number of seconds greater than 0, such as 2.5", kRender},
    {"max-pixels", 0, "N", 1, "refuse larger input pictures and video frames (default 268435456)",
     "--max-pixels takes a whole number of pixels greater than 0", kRender},
    {"demo", 0, nullptr, 0, nullptr, nullptr, kRender},
    {"json", 0, nullptr, 0, nullptr, nullptr, kParams},
    {"plugin", 0, "PATH|NAME", 1,
     "the plug-in module, for every command: a path, or an effect's name (pixelate)\n"
     "found beside this program (default: checkerwarp)",
     "--plugin needs a path", kEvery},
    {"help", 'h', nullptr, 0, nullptr, nullptr, kEvery},
    {"version", 0, nullptr, 0, nullptr, nullptr, kEvery},
};

std::string usage() {
    return "usage:\n"
           "  checkerwarp about                          the plug-in's About text\n"
           "  checkerwarp params [--json]                every parameter in host order\n"
           "  checkerwarp render INPUT OUTPUT [options]\n"
           "  checkerwarp render --demo OUTPUT.png [options]    (or any OUTPUT)\n"
           "\n"
           "INPUT:  a PNG (a still), a numbered sequence (shots/in_%04d.png), or a video ffmpeg reads\n"
           "OUTPUT: a PNG (one frame), a sequence (out/frame_%04d.png), or a video: .mp4 (H.264, even sizes),\n"
           "        .mov (ProRes 4444 with alpha), .mkv (FFV1, lossless, with alpha), .webm (VP9 with alpha), .gif\n"
           "  checkerwarp --help | --version\n"
           "\n"
           "render options (--name VALUE or --name=VALUE; -j4 or -j 4):\n" +
           cwtool::optionHelp(kOptions, kRender) +
           "\n"
           "INPUT - reads the picture from standard input, OUTPUT - writes it to standard output.\n"
           "\n"
           "examples:\n"
           "  checkerwarp render --demo demo.png\n"
           "  checkerwarp render photo.png mosaic.png --set \"background fill=tile\" --set \"background color=#ffffff\"\n"
           "    --set \"squares fill=none\"\n"
           "  checkerwarp render --demo pixels.png --plugin pixelate --set \"cell size=24\"\n";
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "checkerwarp: %s (see 'checkerwarp --help')\n", message.c_str());
    return cwtool::kUsage;
}

int failure(const std::string& message, int status = cwtool::kFailed) {
    std::fprintf(stderr, "checkerwarp: %s\n", message.c_str());
    return status;
}

bool parseAspect(const std::string& text, A_long& num, A_u_long& den) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + slash) return false;
    const char* d_text = text.c_str() + slash + 1;
    const long d = std::strtol(d_text, &end, 10);
    if (*d_text == 0 || *end != 0 || n <= 0 || d <= 0 || n > 1000000 || d > 1000000) return false;
    num = static_cast<A_long>(n);
    den = static_cast<A_u_long>(d);
    return true;
}

// Frame numbers go up to here, so that a range's length never overflows.
constexpr long long kMaxFrameNumber = 999999999999999LL;

// "A-B", two whole numbers from 0 to kMaxFrameNumber.
bool parseRange(const std::string& text, long long& first, long long& last) {
    const size_t dash = text.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 >= text.size()) return false;
    auto number = [](const std::string& digits, long long& n) {
        if (digits.empty() || digits.size() > 15 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        n = std::stoll(digits);
        return n <= kMaxFrameNumber;
    };
    return number(text.substr(0, dash), first) && number(text.substr(dash + 1), last);
}

bool parsePositive(const std::string& text, double& v) {
    char* end = nullptr;
    v = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == 0 && v > 0 && v < 1e9;
}

// The plug-in given with --plugin, else the one beside the program.
std::string pluginOf(const cwtool::ParsedLine& line) {
    for (const cwtool::GivenOption& o : line.options)
        if (std::strcmp(o.spec->name, "plugin") == 0) return cwtool::pluginPath(o.values[0]);
    return cwtool::defaultPluginPath();
}

bool given(const cwtool::ParsedLine& line, const char* name) {
    for (const cwtool::GivenOption& o : line.options)
        if (std::strcmp(o.spec->name, name) == 0) return true;
    return false;
}

int runAbout(const cwtool::ParsedLine& line) {
    cwtool::Session session;
    std::string error;
    if (!cwtool::openSession(pluginOf(line), session, error)) return failure(error);
    std::cout << cwtool::aboutText(*session.host) << "\n";
    return cwtool::kOk;
}

// The command's version, then the plug-in's as it reports it.
int runVersion(const cwtool::ParsedLine& line) {
    std::cout << "checkerwarp " CHECKERWARP_VERSION "\n";
    const std::string path = pluginOf(line);
    cwtool::Session session;
    std::string error;
    if (!cwtool::openSession(path, session, error)) return failure(error);
    const A_u_long v = session.host->pluginVersion();
    const std::string about = cwtool::aboutText(*session.host);
    std::cout << "plug-in " << path << ": version " << ((v >> 19) & 0x7) << "." << ((v >> 15) & 0xF) << "."
              << ((v >> 11) & 0xF) << ", " << about.substr(0, about.find('\n')) << "\n";
    return cwtool::kOk;
}

int runParams(const cwtool::ParsedLine& line) {
    cwtool::Session session;
    std::string error;
    if (!cwtool::openSession(pluginOf(line), session, error)) return failure(error);
    cwtool::listParams(*session.host, std::cout, given(line, "json"));
    return cwtool::kOk;
}

// Sets the request from one render option; a usage message when its value is not allowed.
std::string takeRenderOption(const cwtool::GivenOption& o, cwtool::RenderRequest& request) {
    const std::string name = o.spec->name;
    const std::string v = o.values.empty() ? "" : o.values[0];
    if (name == "set") {
        request.settings.push_back(v);
    } else if (name == "quality") {
        if (v != "high" && v != "low") return o.spec->missing;
        request.quality = v == "high" ? PF_Quality_HI : PF_Quality_LO;
    } else if (name == "pixel-aspect") {
        if (!parseAspect(v, request.aspect_num, request.aspect_den)) return o.spec->missing;
    } else if (name == "time-limit") {
        if (!parsePositive(v, request.time_limit)) return o.spec->missing;
    } else if (name == "max-pixels") {
        char* end = nullptr;
        errno = 0;
        const long long n = std::strtoll(v.c_str(), &end, 10);
        if (v.empty() || *end != 0 || errno == ERANGE || n <= 0) return o.spec->missing;
        request.max_pixels = n;
    } else if (name == "animate") {
        request.animations.emplace_back(o.values[0], o.values[1]);
    } else if (name == "fps") {
        request.fps = v;
    } else if (name == "duration") {
        request.duration = v;
    } else if (name == "frames") {
        long long first = 0, last = 0;
        if (!parseRange(v, first, last))
            return "--frames takes A-B, two frame numbers from 0 to " + std::to_string(kMaxFrameNumber) + " such as 0-99";
        request.has_range = true;
        request.range_first = first;
        request.range_last = last;
    } else if (name == "downsample") {
        char* end = nullptr;
        const long n = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || *end != 0 || n < 1 || n > 16) return o.spec->missing;
        request.downsample = static_cast<int>(n);
    } else if (name == "jobs") {
        char* end = nullptr;
        const long n = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || *end != 0 || n < 1 || n > 256) return o.spec->missing;
        request.jobs = static_cast<int>(n);
    } else if (name == "quiet") {
        request.quiet = true;
    } else if (name == "compression") {
        if (v != "fast" && v != "default" && v != "small") return o.spec->missing;
        request.compression = v == "fast"    ? cwtool::Compression::kFast
                              : v == "small" ? cwtool::Compression::kSmall
                                             : cwtool::Compression::kDefault;
    } else if (name == "plugin") {
        request.plugin = cwtool::pluginPath(v);
    }
    return "";
}

int runRender(const cwtool::ParsedLine& line) {
    cwtool::RenderRequest request;
    for (const cwtool::GivenOption& o : line.options) {
        const std::string problem = takeRenderOption(o, request);
        if (!problem.empty()) return usageError(problem);
    }
    const std::vector<std::string> files(line.positional.begin() + 1, line.positional.end());
    if (given(line, "demo")) {
        if (files.size() != 1) return usageError("'render --demo' takes one OUTPUT");
        request.output = files[0];
    } else {
        if (files.size() != 2) return usageError("'render' takes INPUT.png and OUTPUT.png (or a sequence or a video for either, or --demo OUTPUT)");
        request.input = files[0];
        request.output = files[1];
    }
    std::string error;
    const cwtool::Status status = cwtool::renderImage(request, error);
    if (status == cwtool::kUsage) return usageError(error);
    if (status != cwtool::kOk) return failure(error);
    return cwtool::kOk;
}

int run(int argc, char** argv) {
    cwtool::ParsedLine line;
    std::string error;
    if (!cwtool::parseOptions(argc, argv, kOptions, line, error)) return usageError(error);
    for (const cwtool::GivenOption& o : line.options)
        if (std::strcmp(o.spec->name, "plugin") == 0 && o.values[0].empty())
            return usageError("--plugin needs a path, got an empty one");
    if (given(line, "help") || (!line.positional.empty() && line.positional[0] == "help")) {
        std::cout << usage();
        return cwtool::kOk;
    }
    if (given(line, "version")) {
        if (!line.positional.empty()) return usageError("'--version' takes no arguments, got '" + line.positional[0] + "'");
        return runVersion(line);
    }
    if (line.positional.empty()) return usageError("no command given");
    const std::string command = line.positional[0];
    const unsigned bit = command == "about"    ? unsigned{kAbout}
                         : command == "params" ? unsigned{kParams}
                         : command == "render" ? unsigned{kRender}
                                               : 0u;
    if (!bit) return usageError("unknown command '" + command + "'");
    for (const cwtool::GivenOption& o : line.options)
        if (!(o.spec->commands & bit))
            return usageError("'" + command + "' takes no option --" + o.spec->name +
                              (bit == kParams ? " (it takes only --json)" : ""));
    if (bit == kRender) return runRender(line);
    if (line.positional.size() > 1)
        return usageError("'" + command + "' takes no arguments, got '" + line.positional[1] + "'");
    return bit == kAbout ? runAbout(line) : runParams(line);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        return failure("out of memory");
    } catch (const std::exception& e) {
        return failure(e.what());
    }
}
