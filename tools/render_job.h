// The work of the checkerwarp command: a plug-in session through the reference
// host, parameter listings, and renders of one image.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "host/reference_host.h"

namespace cwtool {

enum Status { kOk = 0, kFailed = 1, kUsage = 2 };

// The plug-in loaded and started the way the host application starts it.
struct Session {
    std::unique_ptr<refhost::Module> module;
    std::unique_ptr<refhost::Host> host;
};

// The module beside this program, else where it is installed.
std::string defaultPluginPath();
// The module a --plugin value names: a path as given, or an effect's name
// alone ("pixelate"), found beside the command as its own module is.
std::string pluginPath(const std::string& given);

// Loads the module and sends global, parameter and sequence setup.
bool openSession(const std::string& plugin_path, Session& session, std::string& error);

// The About text with its carriage returns as line breaks.
std::string aboutText(refhost::Host& host);

// Every registered parameter in host order, as text or as a JSON array.
void listParams(const refhost::Host& host, std::ostream& out, bool json);

// What the plug-in said when a command failed: its error and message.
std::string pluginMessage(refhost::Host& host, PF_Err err);

enum class Compression { kFast, kDefault, kSmall };

struct RenderRequest {
    std::string input;    // a PNG, a pattern, a video; empty: the built-in demo picture
    std::string output;   // a PNG, a pattern, a video
    std::vector<std::string> settings;                             // "NAME=VALUE"
    std::vector<std::pair<std::string, std::string>> animations;   // NAME, KEYS
    PF_Quality quality = PF_Quality_HI;
    A_long aspect_num = 1;
    A_u_long aspect_den = 1;
    std::string plugin;
    std::string fps;             // empty: the video's rate, else 25
    std::string duration;        // a still's: N frames or Ns seconds; empty: 1 frame
    bool has_range = false;      // --frames A-B, in the input's numbering
    int64_t range_first = 0, range_last = 0;
    int jobs = 0;                // worker processes; 0: one a core
    bool quiet = false;          // no progress line
    Compression compression = Compression::kDefault;
    double time_limit = 0;       // seconds a frame may take; 0: no limit
    int64_t max_pixels = 0;      // the largest input picture; 0: the reader's default
};

// Renders every frame of the request; on failure `error` holds the message and
// the status says whether it was the request (kUsage) or the work (kFailed).
Status renderImage(const RenderRequest& request, std::string& error);

}  // namespace cwtool
