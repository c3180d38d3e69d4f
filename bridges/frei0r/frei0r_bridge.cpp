// A frei0r filter on the outside, a host of one effect module on the inside:
// ffmpeg, MLT (melt, Kdenlive, Shotcut) and GStreamer load it as the filter
// named after the effect, and it drives the module through its entry point as
// the command does, one reference-host session per filter instance.
//
// The module is found where the environment variable NAME_PLUGIN (upper case,
// CHECKERWARP_PLUGIN for checkerwarp) says, else beside the bridge as
// installed (lib/frei0r-1/NAME.so finds lib/checkerwarp/NAME.so) or as built
// (build/frei0r/NAME.so finds build/NAME.so).
//
// The module keeps its current instance per thread, so instances render side
// by side on the host's threads; each instance's own calls take turns under
// its lock, and the loading of the module and the warnings under one more.
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#pragma GCC visibility push(default)
extern "C" {
#include <frei0r.h>
}
#pragma GCC visibility pop

#include "bridges/common/hosted_effect.h"
#include "bridges/frei0r/bridge_params.h"
#include "host/host_pixels.h"
#include "host/reference_host.h"

#ifndef KAVRI_BRIDGE_EFFECT
#error "KAVRI_BRIDGE_EFFECT names the effect the bridge hosts"
#endif

namespace {

using f0rbridge::BridgeParam;
using f0rbridge::BridgeValue;

const char kEffect[] = KAVRI_BRIDGE_EFFECT;

// ---- the effect, learnt once at f0r_init ----

struct Effect {
    std::unique_ptr<kvbridge::HostedEffect> hosted;
    std::vector<BridgeParam> params;
};

std::mutex g_lock;                 // the module's loading and the effect shared by the instances
std::mutex g_warn_lock;            // g_warned
// Null until f0r_init succeeds and again after the last f0r_deinit; every
// instance holds the effect too, so a host that deinits before it destructs
// its instances does not unload the module under them.
std::shared_ptr<Effect> g_effect;
int g_inits = 0;
std::set<std::string> g_warned;    // one line on standard error per kind of trouble

void warnOnce(const std::string& key, const std::string& message) {
    std::lock_guard<std::mutex> hold(g_warn_lock);
    if (!g_warned.insert(key).second) return;
    std::fprintf(stderr, "%s frei0r: %s\n", kEffect, message.c_str());
}

// The module (the environment's NAME_PLUGIN, else beside the bridge as built
// or installed) loaded and asked for its parameters, version and description.
std::unique_ptr<Effect> learnEffect() {
    std::string error;
    auto effect = std::make_unique<Effect>();
    effect->hosted = kvbridge::learnEffect(kEffect, reinterpret_cast<void*>(&warnOnce), error);
    if (!effect->hosted) {
        std::fprintf(stderr, "%s frei0r: %s\n", kEffect, error.c_str());
        return nullptr;
    }
    const kvbridge::HostedEffect& hosted = *effect->hosted;
    effect->params = f0rbridge::bridgeParams(hosted.registered, [&hosted](A_long id) { return hosted.hint(id); });
    return effect;
}

// ffmpeg's frei0r filter before libavfilter 9 (ffmpeg 6) hands over frames
// whose rows are padded when the width is not a multiple of 16 pixels, which
// frei0r has no way to say: the picture comes out sheared. The caller is
// ffmpeg's when the code that called us is libavfilter's.
bool paddingFfmpeg(const void* caller, unsigned& version) {
    Dl_info info{};
    if (!dladdr(caller, &info) || !info.dli_fname || !std::strstr(info.dli_fname, "libavfilter")) return false;
    using VersionFunction = unsigned (*)();
    const auto avfilter_version = reinterpret_cast<VersionFunction>(dlsym(RTLD_DEFAULT, "avfilter_version"));
    if (!avfilter_version) return false;
    version = avfilter_version();
    return (version >> 16) < 9;
}

// (once per instance: its host and its width stay)
void warnOfPaddedRows(const void* caller, unsigned width, bool& checked) {
    if (checked) return;
    checked = true;
    if (width % 16 == 0) return;
    unsigned version = 0;
    if (!paddingFfmpeg(caller, version)) return;
    warnOnce("padded rows", "this ffmpeg (libavfilter " + std::to_string(version >> 16) + "." +
                                std::to_string((version >> 8) & 0xFF) + ") hands frei0r filters frames of width " +
                                std::to_string(width) +
                                " with padded rows, so the picture will come out sheared: use a width that is a "
                                "multiple of 16 (-vf scale=W:-2 or pad before the filter), ffmpeg 6 or later, or "
                                "`checkerwarp render`");
}

// ---- one filter instance ----

struct Instance {
    std::shared_ptr<Effect> effect;
    std::unique_ptr<refhost::Host> host;  // destroyed before the effect: its setdowns need the module
    refhost::World input, output;  // (the output only for frames the host's cannot be drawn into)
    int32_t width = 0, height = 0;
    std::map<int, double> point_x, point_y;  // a point's coordinates as fractions, by host position
    std::vector<std::string> texts;          // the strings f0r_get_param_value hands out
    std::mutex lock;                         // the instance's own calls, one at a time
    bool rows_checked = false;               // whether its host pads rows has been asked
};

// 16.16 pixels of a fraction of the frame.
PF_Fixed pixelsOf(double fraction, int32_t extent) {
    const double scaled = std::round(fraction * extent * 65536.0);
    return static_cast<PF_Fixed>(std::max(-2147483648.0, std::min(2147483647.0, scaled)));
}

// RGBA8888 (bytes red, green, blue, alpha) into the host's ARGB world, and back.
void frameToWorld(const uint32_t* frame, refhost::World& world) {
    const size_t width = static_cast<size_t>(world.width());
    for (int32_t y = 0; y < world.height(); ++y, frame += width)
        refhost::pixelsFromRgba(reinterpret_cast<const uint8_t*>(frame), world.row(y), width);
}

void worldToFrame(const refhost::World& world, uint32_t* frame) {
    const size_t width = static_cast<size_t>(world.width());
    for (int32_t y = 0; y < world.height(); ++y, frame += width)
        refhost::pixelsToRgba(world.row(y), reinterpret_cast<uint8_t*>(frame), width);
}

}  // namespace

extern "C" {

int f0r_init() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_inits++ > 0) return g_effect ? 1 : 0;
    g_effect = learnEffect();
    return g_effect ? 1 : 0;
}

void f0r_deinit() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_inits > 0 && --g_inits == 0) g_effect.reset();
}

void f0r_get_plugin_info(f0r_plugin_info_t* info) {
    if (!info) return;
    std::lock_guard<std::mutex> hold(g_lock);
    info->name = kEffect;
    info->author = "kavri";
    info->plugin_type = F0R_PLUGIN_TYPE_FILTER;
    info->color_model = F0R_COLOR_MODEL_RGBA8888;
    info->frei0r_version = FREI0R_MAJOR_VERSION;
    info->major_version = g_effect ? g_effect->hosted->major : 0;
    info->minor_version = g_effect ? g_effect->hosted->minor : 0;
    info->num_params = g_effect ? static_cast<int>(g_effect->params.size()) : 0;
    info->explanation = g_effect ? g_effect->hosted->explanation.c_str() : "the effect module could not be loaded";
}

void f0r_get_param_info(f0r_param_info_t* info, int param_index) {
    if (!info) return;
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_effect || param_index < 0 || static_cast<size_t>(param_index) >= g_effect->params.size()) {
        *info = f0r_param_info_t{"", F0R_PARAM_DOUBLE, ""};
        return;
    }
    const BridgeParam& p = g_effect->params[static_cast<size_t>(param_index)];
    *info = f0r_param_info_t{p.name.c_str(), p.type, p.explanation.c_str()};
}

f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_effect || width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return nullptr;
    auto instance = std::make_unique<Instance>();
    instance->effect = g_effect;
    instance->width = static_cast<int32_t>(width);
    instance->height = static_cast<int32_t>(height);
    std::string error;
    if (!instance->input.allocate(instance->width, instance->height, error)) {
        warnOnce("frame", "cannot take " + std::to_string(width) + " x " + std::to_string(height) + " frames: " + error);
        return nullptr;
    }
    instance->host = std::make_unique<refhost::Host>(g_effect->hosted->module->entry());
    if (const PF_Err err = instance->host->start()) {
        warnOnce("start", "the effect failed to start (error " + std::to_string(err) + ")");
        return nullptr;
    }
    instance->texts.resize(g_effect->params.size());
    for (const BridgeParam& p : g_effect->params) {
        if (g_effect->hosted->registered[static_cast<size_t>(p.position)].param_type != PF_Param_POINT) continue;
        const double f = f0rbridge::pointDefaultFraction(g_effect->hosted->registered[static_cast<size_t>(p.position)], p.coordinate);
        (p.coordinate == 0 ? instance->point_x : instance->point_y)[p.position] = f;
    }
    return instance.release();
}

void f0r_destruct(f0r_instance_t instance) {
    std::lock_guard<std::mutex> hold(g_lock);
    delete static_cast<Instance*>(instance);  // its host sends the setdowns
}

void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int param_index) {
    Instance* in = static_cast<Instance*>(instance);
    if (!in) return;
    std::lock_guard<std::mutex> hold(in->lock);
    if (!param || param_index < 0 || static_cast<size_t>(param_index) >= in->effect->params.size())
        return;
    const BridgeParam& p = in->effect->params[static_cast<size_t>(param_index)];
    BridgeValue value{};
    if (p.type == F0R_PARAM_COLOR)
        value.colour = *static_cast<const f0r_param_color_t*>(param);
    else if (p.type == F0R_PARAM_STRING)
        value.text = *static_cast<const f0r_param_string*>(param);
    else
        value.number = *static_cast<const double*>(param);
    PF_ParamDef& def = in->host->param(p.position);
    std::map<int, double>& coordinates = p.coordinate == 0 ? in->point_x : in->point_y;
    double fraction = def.param_type == PF_Param_POINT ? coordinates[p.position] : 0;
    if (!f0rbridge::setFromBridge(p, value, def, fraction)) {
        warnOnce("value " + p.name, "\"" + p.name + "\" keeps its value: " +
                                        (p.type == F0R_PARAM_STRING ? "the text names none of its choices"
                                                                    : "the value is not a number"));
        return;
    }
    if (def.param_type == PF_Param_POINT) {
        coordinates[p.position] = fraction;
        in->host->setPoint(p.position, pixelsOf(in->point_x[p.position], in->width),
                           pixelsOf(in->point_y[p.position], in->height));
    }
}

void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int param_index) {
    Instance* in = static_cast<Instance*>(instance);
    if (!in) return;
    std::lock_guard<std::mutex> hold(in->lock);
    if (!param || param_index < 0 || static_cast<size_t>(param_index) >= in->effect->params.size())
        return;
    const BridgeParam& p = in->effect->params[static_cast<size_t>(param_index)];
    const PF_ParamDef& def = in->host->param(p.position);
    const double fraction = def.param_type == PF_Param_POINT
                                ? (p.coordinate == 0 ? in->point_x : in->point_y)[p.position]
                                : 0;
    BridgeValue value{};
    f0rbridge::bridgeValueOf(def, fraction, value, in->texts[static_cast<size_t>(param_index)]);
    if (p.type == F0R_PARAM_COLOR)
        *static_cast<f0r_param_color_t*>(param) = value.colour;
    else if (p.type == F0R_PARAM_STRING)
        *static_cast<f0r_param_string*>(param) = const_cast<char*>(value.text);
    else
        *static_cast<double*>(param) = value.number;
}

void f0r_update(f0r_instance_t instance, double time, const uint32_t* inframe, uint32_t* outframe) {
    const void* caller = __builtin_return_address(0);
    Instance* in = static_cast<Instance*>(instance);
    if (!in) return;
    std::lock_guard<std::mutex> hold(in->lock);
    if (!inframe || !outframe) return;
    warnOfPaddedRows(caller, static_cast<unsigned>(in->width), in->rows_checked);
    frameToWorld(inframe, in->input);
    // The effect draws straight into the host's output frame, as a world of
    // rows without padding, which is then turned into RGBA where it lies: one
    // pass over it fewer than drawing into a world of our own and copying it
    // out. (Not where the host hands frames that overlap, or an output that is
    // not aligned to whole words: then into our own.)
    const size_t bytes = static_cast<size_t>(in->width) * static_cast<size_t>(in->height) * 4;
    const uintptr_t from = reinterpret_cast<uintptr_t>(inframe), to = reinterpret_cast<uintptr_t>(outframe);
    const bool apart = (to + bytes <= from || from + bytes <= to) && to % alignof(uint32_t) == 0;
    std::string error;
    if (!apart && in->output.width() == 0 && !in->output.allocate(in->width, in->height, error)) {
        warnOnce("frame", "no room for an output frame (" + error + "): frames pass through unchanged");
        std::memmove(outframe, inframe, bytes);
        return;
    }
    PF_LayerDef out = apart ? in->input.def() : in->output.def();
    if (apart) {
        out.data = reinterpret_cast<PF_Pixel*>(outframe);
        out.rowbytes = in->width * static_cast<A_long>(sizeof(PF_Pixel));
    }
    // the output starts fully transparent, as the command's does, unless the
    // effect writes every pixel of it anyway
    if (!in->effect->hosted->covers_output)
        for (int32_t y = 0; y < out.height; ++y)
            std::memset(reinterpret_cast<uint8_t*>(out.data) + static_cast<size_t>(y) * out.rowbytes, 0,
                        static_cast<size_t>(out.width) * sizeof(PF_Pixel));
    // the host's time in milliseconds of the filter's time in seconds
    const double ms = std::isfinite(time) ? std::round(time * 1000.0) : 0;
    in->host->setTime(static_cast<A_long>(std::max(-2147483648.0, std::min(2147483647.0, ms))), 1, 1000);
    refhost::Host& host = *in->host;
    const PF_Err err = host.renderFrame(in->input.def(), out);
    if (err) {
        // the frame goes through as it came, never a half-drawn one
        warnOnce("render", "the effect failed to render (error " + std::to_string(err) + "): " + host.returnMessage() +
                               "; frames pass through unchanged");
        std::memmove(outframe, inframe, bytes);
        return;
    }
    if (apart)
        refhost::pixelsToRgba(reinterpret_cast<const PF_Pixel*>(outframe), reinterpret_cast<uint8_t*>(outframe),
                              static_cast<size_t>(in->width) * static_cast<size_t>(in->height));
    else
        worldToFrame(in->output, outframe);
}

void f0r_update2(f0r_instance_t instance, double time, const uint32_t* inframe1, const uint32_t*, const uint32_t*,
                 uint32_t* outframe) {
    f0r_update(instance, time, inframe1, outframe);
}

}  // extern "C"
