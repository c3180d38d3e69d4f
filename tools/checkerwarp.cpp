// checkerwarp: applies the checkerwarp effect to images from the shell, loading
// the plug-in module through its entry point as the host application does.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "tools/render_job.h"

namespace {

const char kUsage[] =
    "usage:\n"
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
    "render options:\n"
    "  --set \"NAME=VALUE\"     set a parameter (repeatable); NAME as 'checkerwarp params' lists it.\n"
    "                         float slider: 2.5   point: X,Y in pixels   color: #RRGGBB or R,G,B\n"
    "                         popup: a choice's text or number   angle: degrees   checkbox: on/off\n"
    "  --quality high|low     anti-aliased edges, or whole pixels only (default high)\n"
    "  --pixel-aspect N/D     pixel aspect ratio of the image (default 1/1)\n"
    "  --animate NAME KEYS    animate a parameter (repeatable): \"0=0;48=360\", frames or HH:MM:SS.mmm;\n"
    "                         = linear, |= hold, ~= smooth; values as for --set\n"
    "  --fps R                frames a second up to 1000, N or N/D (default: the video's, else 25)\n"
    "  --duration N|Ns        a still's length in frames or seconds (default 1 frame)\n"
    "  --frames A-B           render frames A to B only, in the input's numbering\n"
    "  -j, --jobs N           worker processes (default: one a core)\n"
    "  --quiet                no progress line\n"
    "  --compression fast|default|small   PNG output: quick, or the smallest files\n"
    "  --time-limit SECONDS   stop a frame that takes longer (status 1, no output)\n"
    "  --max-pixels N         refuse larger input pictures and video frames (default 268435456)\n"
    "  --plugin PATH          the plug-in module (default: the one beside this program)\n"
    "\n"
    "INPUT - reads the picture from standard input, OUTPUT - writes it to standard output.\n"
    "\n"
    "examples:\n"
    "  checkerwarp render --demo demo.png\n"
    "  checkerwarp render photo.png mosaic.png --set \"background fill=tile\" --set \"background color=#ffffff\"\n"
    "    --set \"squares fill=none\"\n";

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

// Options every subcommand accepts: --plugin PATH.
struct Common {
    std::string plugin;
};

// Options of `render` that take a value, so that their values are not read as
// options of their own.
bool takesValue(const std::string& option) {
    return option == "--set" || option == "--quality" || option == "--pixel-aspect" || option == "--time-limit" ||
           option == "--max-pixels" || option == "--plugin" || option == "--animate" || option == "--fps" ||
           option == "--duration" || option == "--frames" || option == "-j" || option == "--jobs" ||
           option == "--compression";
}

// Takes --plugin PATH (or --plugin=PATH) out of the arguments, wherever it
// stands; an empty error when it is absent or well formed.
std::string takePlugin(std::vector<std::string>& args, Common& common) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string path;
        if (args[i] == "--plugin") {
            if (i + 1 >= args.size()) return "--plugin needs a path";
            path = args[i + 1];
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        } else if (args[i].rfind("--plugin=", 0) == 0) {
            path = args[i].substr(9);
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            if (takesValue(args[i])) ++i;
            continue;
        }
        if (path.empty()) return "--plugin needs a path, got an empty one";
        common.plugin = path;
        --i;
    }
    return "";
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

int runAbout(const std::vector<std::string>& args, const Common& common) {
    if (!args.empty()) return usageError("'about' takes no arguments, got '" + args[0] + "'");
    cwtool::Session session;
    std::string error;
    if (!cwtool::openSession(common.plugin.empty() ? cwtool::defaultPluginPath() : common.plugin, session, error))
        return failure(error);
    std::cout << cwtool::aboutText(*session.host) << "\n";
    return cwtool::kOk;
}

// The command's version, then the plug-in's as it reports it.
int runVersion(const std::vector<std::string>& args, const Common& common) {
    if (!args.empty()) return usageError("'--version' takes no arguments, got '" + args[0] + "'");
    std::cout << "checkerwarp " CHECKERWARP_VERSION "\n";
    const std::string path = common.plugin.empty() ? cwtool::defaultPluginPath() : common.plugin;
    cwtool::Session session;
    std::string error;
    if (!cwtool::openSession(path, session, error)) return failure(error);
    const A_u_long v = session.host->pluginVersion();
    const std::string about = cwtool::aboutText(*session.host);
    std::cout << "plug-in " << path << ": version " << ((v >> 19) & 0x7) << "." << ((v >> 15) & 0xF) << "."
              << ((v >> 11) & 0xF) << ", " << about.substr(0, about.find('\n')) << "\n";
    return cwtool::kOk;
}

int runParams(const std::vector<std::string>& args, const Common& common) {
    bool json = false;
    for (const std::string& a : args) {
        if (a == "--json")
            json = true;
        else
            return usageError("'params' takes only --json, got '" + a + "'");
    }
    cwtool::Session session;
    std::string error;
    if (!cwtool::openSession(common.plugin.empty() ? cwtool::defaultPluginPath() : common.plugin, session, error))
        return failure(error);
    cwtool::listParams(*session.host, std::cout, json);
    return cwtool::kOk;
}

int runRender(const std::vector<std::string>& args, const Common& common) {
    cwtool::RenderRequest request;
    request.plugin = common.plugin;
    std::vector<std::string> files;
    bool demo = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--demo") {
            demo = true;
        } else if (a == "--set") {
            if (!value(v)) return usageError("--set needs \"NAME=VALUE\"");
            request.settings.push_back(v);
        } else if (a.rfind("--set=", 0) == 0) {
            request.settings.push_back(a.substr(6));
        } else if (a == "--quality") {
            if (!value(v) || (v != "high" && v != "low")) return usageError("--quality is high or low");
            request.quality = v == "high" ? PF_Quality_HI : PF_Quality_LO;
        } else if (a == "--pixel-aspect") {
            if (!value(v) || !parseAspect(v, request.aspect_num, request.aspect_den))
                return usageError("--pixel-aspect takes N/D with whole numbers from 1 to 1000000, such as 10/11");
        } else if (a == "--time-limit") {
            if (!value(v) || !parsePositive(v, request.time_limit))
                return usageError("--time-limit takes a number of seconds greater than 0, such as 2.5");
        } else if (a == "--max-pixels") {
            char* end = nullptr;
            errno = 0;
            const long long n = value(v) ? std::strtoll(v.c_str(), &end, 10) : 0;
            if (v.empty() || !end || *end != 0 || errno == ERANGE || n <= 0)
                return usageError("--max-pixels takes a whole number of pixels greater than 0");
            request.max_pixels = n;
        } else if (a == "--animate") {
            if (i + 2 >= args.size()) return usageError("--animate needs NAME and KEYS, such as \"x offset\" \"0=0;48=360\"");
            request.animations.emplace_back(args[i + 1], args[i + 2]);
            i += 2;
        } else if (a == "--fps") {
            if (!value(request.fps)) return usageError("--fps needs frames a second, such as 25 or 30000/1001");
        } else if (a == "--duration") {
            if (!value(request.duration)) return usageError("--duration needs frames (48) or seconds (2s)");
        } else if (a == "--frames") {
            long long first = 0, last = 0;
            if (!value(v) || !parseRange(v, first, last))
                return usageError("--frames takes A-B, two frame numbers from 0 to " + std::to_string(kMaxFrameNumber) +
                                  " such as 0-99");
            request.has_range = true;
            request.range_first = first;
            request.range_last = last;
        } else if (a == "-j" || a == "--jobs") {
            char* end = nullptr;
            const long n = value(v) ? std::strtol(v.c_str(), &end, 10) : 0;
            if (v.empty() || !end || *end != 0 || n < 1 || n > 256)
                return usageError(a + " takes a number of worker processes from 1 to 256");
            request.jobs = static_cast<int>(n);
        } else if (a == "--quiet") {
            request.quiet = true;
        } else if (a == "--compression") {
            if (!value(v) || (v != "fast" && v != "default" && v != "small"))
                return usageError("--compression is fast, default or small");
            request.compression = v == "fast" ? cwtool::Compression::kFast
                                  : v == "small" ? cwtool::Compression::kSmall
                                                 : cwtool::Compression::kDefault;
        } else if (a == "-") {
            files.push_back(a);
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError("unknown option '" + a + "'");
        } else {
            files.push_back(a);
        }
    }
    if (demo) {
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
    std::vector<std::string> args(argv + 1, argv + argc);
    Common common;
    const std::string plugin_error = takePlugin(args, common);
    if (!plugin_error.empty()) return usageError(plugin_error);
    if (args.empty()) return usageError("no command given");
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kUsage;
        return cwtool::kOk;
    }
    if (command == "--version") return runVersion(args, common);
    if (command == "about") return runAbout(args, common);
    if (command == "params") return runParams(args, common);
    if (command == "render") return runRender(args, common);
    return usageError("unknown command '" + command + "'");
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
