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

// "about 25 minutes", "about 40 seconds"
static std::string roughDuration(double seconds) {
    char text[64];
    if (seconds >= 5400)
        std::snprintf(text, sizeof(text), "about %.0f hours", seconds / 3600);
    else if (seconds >= 90)
        std::snprintf(text, sizeof(text), "about %.0f minutes", seconds / 60);
    else
        std::snprintf(text, sizeof(text), "about %.0f seconds", seconds);
    return text;
}

// Hears a frame's progress reports and, once a frame has run a moment, says
// so if at its pace it will take long: tiny cells with many squares across
// can mean billions of cells, and the effect draws every one.
struct LongFrameNote {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    bool said = false;
    void hear(A_long done, A_long total) {
        if (said || done <= 0 || total <= 0) return;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed < 0.25) return;
        said = true;
        const double expected = elapsed * total / done;
        if (expected >= 30)
            std::fprintf(stderr, "checkerwarp: note: this frame will take %s (%d of %d rows of cells after %.1f s); "
                                 "--time-limit stops it\n", roughDuration(expected).c_str(), static_cast<int>(done),
                         static_cast<int>(total), elapsed);
    }
};

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

    LongFrameNote note;
    host.setProgress([&note](A_long done, A_long total) { note.hear(done, total); });
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
