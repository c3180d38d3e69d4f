#include "tools/render_job.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <sstream>

#include "tools/demo_image.h"
#include "tools/param_values.h"
#include "tools/png_io.h"

namespace cwtool {

static std::string programDirectory() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return ".";
    path[n] = 0;
    std::string p(path);
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

std::string defaultPluginPath() {
    const std::string dir = programDirectory();
    const std::string beside = dir + "/checkerwarp.so";
    if (access(beside.c_str(), R_OK) == 0) return beside;
    const std::string installed = dir + "/../lib/checkerwarp/checkerwarp.so";
    if (access(installed.c_str(), R_OK) == 0) return installed;
    return beside;
}

static std::string pluginMessage(refhost::Host& host, PF_Err err) {
    std::string msg = host.returnMessage();
    return "the plug-in failed with error " + std::to_string(err) + (msg.empty() ? "" : ": " + msg);
}

bool openSession(const std::string& plugin_path, Session& session, std::string& error) {
    session.module = refhost::Module::load(plugin_path, error);
    if (!session.module) return false;
    session.host = std::make_unique<refhost::Host>(session.module->entry());
    const PF_Err err = session.host->start();
    if (err) {
        error = pluginMessage(*session.host, err);
        return false;
    }
    return true;
}

std::string aboutText(refhost::Host& host) {
    std::string text;
    host.about(text);
    for (char& c : text)
        if (c == '\r') c = '\n';
    return text;
}

// ---- listings ----

void listParams(const refhost::Host& host, std::ostream& out, bool json) {
    const std::vector<PF_ParamDef>& defs = host.registered();
    if (json) {
        // one definition a line, so that a listing reads and greps well
        out << "[\n";
        for (size_t p = 1; p < defs.size(); ++p)
            out << "  " << oneLineJson(jsonOf(defs[p], p)) << (p + 1 < defs.size() ? "," : "") << "\n";
        out << "]\n";
        return;
    }
    char line[512];
    std::snprintf(line, sizeof(line), "%3s %4s  %-26s %-13s %-17s %-17s %s\n", "pos", "id", "name", "type", "valid",
                  "slider", "default");
    out << line;
    int depth = 0;
    for (size_t p = 1; p < defs.size(); ++p) {
        const PF_ParamDef& d = defs[p];
        const ParamListing l = listingOf(d);
        if (d.param_type == PF_Param_GROUP_END && depth > 0) --depth;
        const std::string name = std::string(2 * static_cast<size_t>(depth), ' ') +
                                 (d.param_type == PF_Param_GROUP_END ? "(end of group)" : d.name);
        const std::string valid = l.valid_min.is_null() ? "" : l.valid_min.dump() + " .. " + l.valid_max.dump();
        const std::string slider = l.slider_min.is_null() ? "" : l.slider_min.dump() + " .. " + l.slider_max.dump();
        std::snprintf(line, sizeof(line), "%3zu %4d  %-26s %-13s %-17s %-17s %s", p, static_cast<int>(d.uu.id),
                      name.c_str(), typeName(d.param_type), valid.c_str(), slider.c_str(), l.dflt_text.c_str());
        out << line;
        if (!l.choices.empty()) {
            out << "  (";
            for (size_t i = 0; i < l.choices.size(); ++i) out << (i ? " | " : "") << i + 1 << " " << l.choices[i];
            out << ")";
        }
        out << "\n";
        if (d.param_type == PF_Param_GROUP_START) ++depth;
    }
}

// ---- rendering ----

// Tiny cells with many squares across can mean billions of cells; the effect
// draws every one, so say so before a render that will take a long time.
static void warnAboutCellCount(refhost::Host& host, int32_t width, int32_t height) {
    for (const char* name : {"squares across", "x scale", "y scale"})
        if (host.positionOfName(name) < 0) return;  // a module without these parameters
    auto value = [&](const char* name) { return host.param(host.positionOfName(name)).u.fs_d.value; };
    const double aspect = static_cast<double>(host.inData().pixel_aspect_ratio.num) / host.inData().pixel_aspect_ratio.den;
    const double base = width / value("squares across");
    const double cell_width = base * value("x scale") / 100, cell_height = base * aspect * value("y scale") / 100;
    if (!(cell_width > 0) || !(cell_height > 0)) return;
    const double cells = (width / cell_width + 9) * (height / cell_height + 7);
    if (cells > 2e8)
        std::fprintf(stderr, "checkerwarp: note: these settings make about %.3g cells of %.3g x %.3g pixels; "
                             "the render will take a long time\n", cells, cell_width, cell_height);
}

Status renderImage(const RenderRequest& request, std::string& error) {
    Session session;
    if (!openSession(request.plugin.empty() ? defaultPluginPath() : request.plugin, session, error)) return kFailed;
    refhost::Host& host = *session.host;
    for (const std::string& s : request.settings)
        if (!applySetting(host, s, error)) return kUsage;
    host.setQuality(request.quality);
    host.setPixelAspect(request.aspect_num, request.aspect_den);

    refhost::World input, output;
    if (request.input.empty()) {
        if (!makeDemoImage(input, error)) return kFailed;
    } else if (!readPng(request.input, input, error, request.max_pixels > 0 ? request.max_pixels : kDefaultMaxPixels)) {
        return kFailed;
    }
    // The output starts fully transparent: every byte 0.
    if (!output.allocate(input.width(), input.height(), error)) return kFailed;

    warnAboutCellCount(host, input.width(), input.height());
    if (request.time_limit > 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(request.time_limit);
        host.setAbort([deadline] { return std::chrono::steady_clock::now() >= deadline; });
    }
    host.setInput(&input.def());
    PF_Err err = host.updateParamsUI();
    if (!err) err = host.frameSetup();
    if (!err) err = host.render(input.def(), output.def());
    if (err == PF_Interrupt_CANCEL && request.time_limit > 0) {
        error = "the render took longer than --time-limit " + shortFloat(static_cast<float>(request.time_limit)) +
                " s and was stopped";
        return kFailed;
    }
    if (err) {
        error = pluginMessage(host, err);
        return kFailed;
    }
    if (host.outData().out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE)
        std::fprintf(stderr, "checkerwarp: the plug-in says: %s\n", host.returnMessage().c_str());
    if (!writePng(request.output, output, error)) return kFailed;
    return kOk;
}

}  // namespace cwtool
