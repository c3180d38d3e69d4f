// An OpenFX image effect on the outside, a host of one effect module on the
// inside: Natron, DaVinci Resolve, Nuke, Vegas, Flame and MLT load the bundle
// NAME.ofx.bundle and find one plug-in, org.kavri.NAME, which drives the
// module through its entry point as the command does, one reference-host
// session per instance.
//
// The module is found as the frei0r filter finds it: NAME_PLUGIN, else beside
// the binary (the installed bundle carries a copy), else where the build or
// an install under the same prefix put it.
//
// The module keeps its current instance per thread, so instances render side
// by side (render thread safety "instance safe"); an instance renders one
// frame at a time, the whole frame, which the host asks for untiled.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "bridges/common/hosted_effect.h"
#include "bridges/openfx/ofx_api.h"
#include "bridges/openfx/ofx_params.h"
#include "bridges/openfx/ofx_pixels.h"
#include "host/reference_host.h"

#ifndef KAVRI_BRIDGE_EFFECT
#error "KAVRI_BRIDGE_EFFECT names the effect the bridge hosts"
#endif

#define KAVRI_OFX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using ofxbridge::Kind;
using ofxbridge::OfxParam;

const char kEffect[] = KAVRI_BRIDGE_EFFECT;
const std::string kIdentifier = std::string("org.kavri.") + KAVRI_BRIDGE_EFFECT;
const char kSourceRoI[] = "OfxImageClipPropRoI_" kOfxImageEffectSimpleSourceClipName;
const char kOutputComponents[] = "OfxImageClipPropComponents_" kOfxImageEffectOutputClipName;

// ---- the effect and the host's suites ----

std::mutex g_lock;  // everything below, and the live instances
std::unique_ptr<kvbridge::HostedEffect> g_effect;
bool g_learnt = false;
std::vector<OfxParam> g_params;
OfxHost* g_host = nullptr;
const OfxPropertySuiteV1* g_props = nullptr;
const OfxImageEffectSuiteV1* g_effects = nullptr;
const OfxParameterSuiteV1* g_param_suite = nullptr;
const OfxMessageSuiteV1* g_messages = nullptr;
int g_loads = 0;  // loads not yet unloaded: more than one host in a process may load the binary

OfxStatus mainEntry(const char* action, const void* handle, OfxPropertySetHandle in_args,
                    OfxPropertySetHandle out_args);
void setHost(OfxHost* host);

OfxPlugin g_plugin = {kOfxImageEffectPluginApi, kOfxImageEffectPluginApiVersion, kIdentifier.c_str(), 0, 0,
                      setHost, mainEntry};

// The module, learnt once (under g_lock).
bool learnt() {
    if (!g_learnt) {
        g_learnt = true;
        std::string error;
        g_effect = kvbridge::learnEffect(kEffect, reinterpret_cast<const void*>(&learnt), error);
        if (!g_effect) {
            std::fprintf(stderr, "%s OpenFX: %s\n", kEffect, error.c_str());
        } else {
            const kvbridge::HostedEffect& e = *g_effect;
            g_params = ofxbridge::ofxParams(e.registered, [&e](A_long id) { return e.hint(id); });
            g_plugin.pluginVersionMajor = static_cast<unsigned>(e.major);
            g_plugin.pluginVersionMinor = static_cast<unsigned>(e.minor);
        }
    }
    return g_effect != nullptr;
}

void setHost(OfxHost* host) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_host = host;
}

void message(const void* handle, const char* type, const std::string& text) {
    if (g_messages && g_messages->message)
        g_messages->message(const_cast<void*>(handle), type, "", "%s: %s", kEffect, text.c_str());
    else
        std::fprintf(stderr, "%s OpenFX: %s\n", kEffect, text.c_str());
}

// ---- small property helpers: a failed set of an optional property is no failure ----

void setString(OfxPropertySetHandle props, const char* name, const std::string& value) {
    g_props->propSetString(props, name, 0, value.c_str());
}
void setInt(OfxPropertySetHandle props, const char* name, int value) {
    g_props->propSetInt(props, name, 0, value);
}
void setDouble(OfxPropertySetHandle props, const char* name, double value) {
    g_props->propSetDouble(props, name, 0, value);
}
OfxStatus setStrings(OfxPropertySetHandle props, const char* name, const std::vector<const char*>& values) {
    OfxStatus st = kOfxStatOK;
    for (size_t i = 0; i < values.size() && st == kOfxStatOK; ++i)
        st = g_props->propSetString(props, name, static_cast<int>(i), values[i]);
    return st;
}
std::string getString(OfxPropertySetHandle props, const char* name, const std::string& otherwise = "") {
    char* value = nullptr;
    if (!props || g_props->propGetString(props, name, 0, &value) != kOfxStatOK || !value) return otherwise;
    return value;
}

// ---- instances ----

struct Instance {
    OfxImageEffectHandle effect = nullptr;
    OfxImageClipHandle source = nullptr, output = nullptr;
    std::vector<OfxParamHandle> handles;  // by g_params' order; null for groups
    std::unique_ptr<refhost::Host> host;
    refhost::World input, rendered;       // kept from frame to frame while the size stays
    std::mutex lock;                      // one render at a time
};

std::set<Instance*> g_instances;

OfxPropertySetHandle effectProps(const void* handle) {
    OfxPropertySetHandle props = nullptr;
    if (!handle || g_effects->getPropertySet(static_cast<OfxImageEffectHandle>(const_cast<void*>(handle)), &props) !=
                       kOfxStatOK)
        return nullptr;
    return props;
}

// The live instance behind an instance handle; null for a descriptor or a stranger.
Instance* instanceOf(const void* handle) {
    const OfxPropertySetHandle props = effectProps(handle);
    void* data = nullptr;
    if (!props || g_props->propGetPointer(props, kOfxPropInstanceData, 0, &data) != kOfxStatOK) return nullptr;
    std::lock_guard<std::mutex> hold(g_lock);
    Instance* in = static_cast<Instance*>(data);
    return g_instances.count(in) ? in : nullptr;
}

// ---- the actions ----

OfxStatus load() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_host || !g_host->fetchSuite) return kOfxStatErrMissingHostFeature;
    auto fetch = [](const char* name, int version) { return g_host->fetchSuite(g_host->host, name, version); };
    g_props = static_cast<const OfxPropertySuiteV1*>(fetch(kOfxPropertySuite, 1));
    g_effects = static_cast<const OfxImageEffectSuiteV1*>(fetch(kOfxImageEffectSuite, 1));
    g_param_suite = static_cast<const OfxParameterSuiteV1*>(fetch(kOfxParameterSuite, 1));
    g_messages = static_cast<const OfxMessageSuiteV1*>(fetch(kOfxMessageSuite, 2));
    if (!g_messages) g_messages = static_cast<const OfxMessageSuiteV1*>(fetch(kOfxMessageSuite, 1));
    if (!g_props || !g_effects || !g_param_suite) {
        std::fprintf(stderr, "%s OpenFX: the host lacks the %s suite\n", kEffect,
                     !g_props ? kOfxPropertySuite : !g_effects ? kOfxImageEffectSuite : kOfxParameterSuite);
        if (g_loads == 0) g_props = nullptr;
        return kOfxStatErrMissingHostFeature;
    }
    if (!learnt()) return kOfxStatFailed;
    ++g_loads;
    return kOfxStatOK;
}

// The last unload takes every instance a host left behind with it.
OfxStatus unload() {
    std::set<Instance*> left;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (--g_loads > 0) return kOfxStatOK;
        left.swap(g_instances);
    }
    for (Instance* in : left) delete in;
    return kOfxStatOK;
}

OfxStatus describe(const void* handle) {
    const OfxPropertySetHandle props = effectProps(handle);
    if (!props) return kOfxStatErrBadHandle;
    const kvbridge::HostedEffect& e = *g_effect;
    setString(props, kOfxPropLabel, kEffect);
    setString(props, kOfxPropShortLabel, kEffect);
    setString(props, kOfxPropLongLabel, kEffect);
    setString(props, kOfxImageEffectPluginPropGrouping, "Kavri");
    setString(props, kOfxPropPluginDescription,
              e.explanation +
                  "\n\nThe effect works in 8 bits a channel: 16-bit and float images are rounded to bytes and back, "
                  "and premultiplied images are unpremultiplied for it and premultiplied again.");
    const int version[3] = {e.major, e.minor, 0};
    g_props->propSetIntN(props, kOfxPropVersion, 3, version);
    setString(props, kOfxPropVersionLabel, std::to_string(e.major) + "." + std::to_string(e.minor));
    OfxStatus st = setStrings(props, kOfxImageEffectPropSupportedContexts,
                              {kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral});
    if (st == kOfxStatOK)
        st = setStrings(props, kOfxImageEffectPropSupportedPixelDepths,
                        {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat});
    if (st != kOfxStatOK) return st;
    setInt(props, kOfxImageEffectPropSupportsTiles, 0);
    setInt(props, kOfxImageEffectPropSupportsMultiResolution, 1);
    setInt(props, kOfxImageEffectPropTemporalClipAccess, 0);
    setInt(props, kOfxImageEffectPropSupportsMultipleClipDepths, 0);
    setInt(props, kOfxImageEffectPropSupportsMultipleClipPARs, 0);
    setInt(props, kOfxImageEffectPluginPropSingleInstance, 0);
    setInt(props, kOfxImageEffectPluginPropFieldRenderTwiceAlways, 0);
    setString(props, kOfxImageEffectPluginRenderThreadSafety, kOfxImageEffectRenderInstanceSafe);
    setInt(props, kOfxImageEffectPluginPropHostFrameThreading, 0);
    return kOfxStatOK;
}

OfxStatus defineClip(OfxImageEffectHandle effect, const char* name, const std::vector<const char*>& components) {
    OfxPropertySetHandle clip = nullptr;
    OfxStatus st = g_effects->clipDefine(effect, name, &clip);
    if (st != kOfxStatOK || !clip) return st != kOfxStatOK ? st : kOfxStatFailed;
    st = setStrings(clip, kOfxImageEffectPropSupportedComponents, components);
    setInt(clip, kOfxImageEffectPropSupportsTiles, 0);
    setInt(clip, kOfxImageEffectPropTemporalClipAccess, 0);
    return st;
}

OfxStatus defineParam(OfxParamSetHandle set, const OfxParam& p) {
    OfxPropertySetHandle props = nullptr;
    const OfxStatus st = g_param_suite->paramDefine(set, p.type, p.name.c_str(), &props);
    if (st != kOfxStatOK || !props) return st != kOfxStatOK ? st : kOfxStatFailed;
    setString(props, kOfxPropLabel, p.label);
    setString(props, kOfxParamPropScriptName, p.name);
    if (!p.hint.empty()) setString(props, kOfxParamPropHint, p.hint);
    if (!p.parent.empty()) setString(props, kOfxParamPropParent, p.parent);
    switch (p.kind) {
    case Kind::kGroup: setInt(props, kOfxParamPropGroupOpen, p.group_open ? 1 : 0); return kOfxStatOK;
    case Kind::kDouble:
    case Kind::kFixed:
    case Kind::kAngle:
        setString(props, kOfxParamPropDoubleType, p.kind == Kind::kAngle ? kOfxParamDoubleTypeAngle
                                                                         : kOfxParamDoubleTypePlain);
        setDouble(props, kOfxParamPropDefault, p.dflt[0]);
        setDouble(props, kOfxParamPropMin, p.min);
        setDouble(props, kOfxParamPropMax, p.max);
        setDouble(props, kOfxParamPropDisplayMin, p.display_min);
        setDouble(props, kOfxParamPropDisplayMax, p.display_max);
        setInt(props, kOfxParamPropDigits, p.digits);
        break;
    case Kind::kInteger:
        setInt(props, kOfxParamPropDefault, static_cast<int>(p.dflt[0]));
        setInt(props, kOfxParamPropMin, static_cast<int>(p.min));
        setInt(props, kOfxParamPropMax, static_cast<int>(p.max));
        setInt(props, kOfxParamPropDisplayMin, static_cast<int>(p.display_min));
        setInt(props, kOfxParamPropDisplayMax, static_cast<int>(p.display_max));
        break;
    case Kind::kBoolean: setInt(props, kOfxParamPropDefault, static_cast<int>(p.dflt[0])); break;
    case Kind::kChoice:
        for (size_t i = 0; i < p.choices.size(); ++i)
            g_props->propSetString(props, kOfxParamPropChoiceOption, static_cast<int>(i), p.choices[i].c_str());
        setInt(props, kOfxParamPropDefault, static_cast<int>(p.dflt[0]));
        break;
    case Kind::kColour: g_props->propSetDoubleN(props, kOfxParamPropDefault, 3, p.dflt); break;
    case Kind::kPoint:
        setString(props, kOfxParamPropDoubleType, kOfxParamDoubleTypeXYAbsolute);
        setString(props, kOfxParamPropDefaultCoordinateSystem, kOfxParamCoordinatesNormalised);
        g_props->propSetDoubleN(props, kOfxParamPropDefault, 2, p.dflt);
        break;
    }
    setInt(props, kOfxParamPropAnimates, 1);
    return kOfxStatOK;
}

OfxStatus describeInContext(const void* handle, OfxPropertySetHandle in_args) {
    if (!effectProps(handle)) return kOfxStatErrBadHandle;
    const std::string context = getString(in_args, kOfxImageEffectPropContext);
    if (context != kOfxImageEffectContextFilter && context != kOfxImageEffectContextGeneral)
        return kOfxStatErrMissingHostFeature;
    const auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
    OfxStatus st = defineClip(effect, kOfxImageEffectSimpleSourceClipName, {kOfxImageComponentRGBA, kOfxImageComponentRGB});
    if (st == kOfxStatOK) st = defineClip(effect, kOfxImageEffectOutputClipName, {kOfxImageComponentRGBA});
    if (st != kOfxStatOK) return st;
    OfxParamSetHandle set = nullptr;
    st = g_effects->getParamSet(effect, &set);
    if (st != kOfxStatOK || !set) return st != kOfxStatOK ? st : kOfxStatFailed;
    for (const OfxParam& p : g_params)
        if ((st = defineParam(set, p)) != kOfxStatOK) return st;
    return kOfxStatOK;
}

OfxStatus createInstance(const void* handle) {
    const OfxPropertySetHandle props = effectProps(handle);
    if (!props) return kOfxStatErrBadHandle;
    auto in = std::make_unique<Instance>();
    in->effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
    OfxStatus st = g_effects->clipGetHandle(in->effect, kOfxImageEffectSimpleSourceClipName, &in->source, nullptr);
    if (st == kOfxStatOK)
        st = g_effects->clipGetHandle(in->effect, kOfxImageEffectOutputClipName, &in->output, nullptr);
    if (st != kOfxStatOK) return st;
    OfxParamSetHandle set = nullptr;
    if ((st = g_effects->getParamSet(in->effect, &set)) != kOfxStatOK) return st;
    for (const OfxParam& p : g_params) {
        OfxParamHandle h = nullptr;
        if (p.kind != Kind::kGroup && (st = g_param_suite->paramGetHandle(set, p.name.c_str(), &h, nullptr)) != kOfxStatOK)
            return st;
        in->handles.push_back(h);
    }
    in->host = std::make_unique<refhost::Host>(g_effect->module->entry());
    if (const PF_Err err = in->host->start()) {
        message(handle, kOfxMessageError, "the effect failed to start (error " + std::to_string(err) + ")");
        return kOfxStatFailed;
    }
    if ((st = g_props->propSetPointer(props, kOfxPropInstanceData, 0, in.get())) != kOfxStatOK) return st;
    std::lock_guard<std::mutex> hold(g_lock);
    g_instances.insert(in.release());
    return kOfxStatOK;
}

OfxStatus destroyInstance(const void* handle) {
    Instance* in = instanceOf(handle);
    if (!in) return kOfxStatErrBadHandle;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_instances.erase(in);
    }
    g_props->propSetPointer(effectProps(handle), kOfxPropInstanceData, 0, nullptr);
    { std::lock_guard<std::mutex> finished(in->lock); }  // a render of it still under way ends first
    delete in;  // its host sends the setdowns
    return kOfxStatOK;
}

// The source's region of definition at the action's time (canonical), as
// x1, y1, x2, y2; a status other than OK when there is none to give.
OfxStatus sourceRegion(const void* handle, OfxPropertySetHandle in_args, double values[4]) {
    Instance* in = instanceOf(handle);
    if (!in) return kOfxStatErrBadHandle;
    double time = 0;
    g_props->propGetDouble(in_args, kOfxPropTime, 0, &time);
    OfxRectD rod{};
    if (g_effects->clipGetRegionOfDefinition(in->source, time, &rod) != kOfxStatOK) return kOfxStatReplyDefault;
    values[0] = rod.x1, values[1] = rod.y1, values[2] = rod.x2, values[3] = rod.y2;
    return kOfxStatOK;
}

// The output covers what the source does.
OfxStatus regionOfDefinition(const void* handle, OfxPropertySetHandle in_args, OfxPropertySetHandle out_args) {
    double values[4];
    const OfxStatus st = sourceRegion(handle, in_args, values);
    return st != kOfxStatOK ? st : g_props->propSetDoubleN(out_args, kOfxImageEffectPropRegionOfDefinition, 4, values);
}

// Every cell averages the source under it wherever the output is asked for,
// so the whole source is needed.
OfxStatus regionsOfInterest(const void* handle, OfxPropertySetHandle in_args, OfxPropertySetHandle out_args) {
    double values[4];
    const OfxStatus st = sourceRegion(handle, in_args, values);
    return st != kOfxStatOK ? st : g_props->propSetDoubleN(out_args, kSourceRoI, 4, values);
}

OfxStatus clipPreferences(const void* handle, OfxPropertySetHandle out_args) {
    Instance* in = instanceOf(handle);
    if (!in) return kOfxStatErrBadHandle;
    OfxPropertySetHandle source = nullptr;
    g_effects->clipGetPropertySet(in->source, &source);
    // the output keeps the source's alpha state; an opaque source may come out
    // with holes (a knockout), premultiplied as most hosts keep pictures
    std::string pre = getString(source, kOfxImageEffectPropPreMultiplication, kOfxImagePreMultiplied);
    if (pre == kOfxImageOpaque) pre = kOfxImagePreMultiplied;
    setString(out_args, kOfxImageEffectPropPreMultiplication, pre);
    setString(out_args, kOutputComponents, kOfxImageComponentRGBA);
    setInt(out_args, kOfxImageEffectFrameVarying, 0);
    return kOfxStatOK;
}

// ---- rendering ----

// An image fetched from a clip, released whatever happens.
struct FetchedImage {
    OfxPropertySetHandle props = nullptr;
    OfxStatus fetch(OfxImageClipHandle clip, double time) {
        const OfxStatus st = g_effects->clipGetImage(clip, time, nullptr, &props);
        if (st != kOfxStatOK) props = nullptr;
        return st != kOfxStatOK ? st : props ? kOfxStatOK : kOfxStatFailed;
    }
    ~FetchedImage() {
        if (props) g_effects->clipReleaseImage(props);
    }
};

// The image's pixels, or false when they cannot be addressed safely.
bool viewOf(OfxPropertySetHandle image, ofxbridge::ImageView& view, ofxbridge::Alpha& alpha) {
    int b[4] = {0, 0, 0, 0};
    void* data = nullptr;
    if (g_props->propGetPointer(image, kOfxImagePropData, 0, &data) != kOfxStatOK || !data) return false;
    if (g_props->propGetIntN(image, kOfxImagePropBounds, 4, b) != kOfxStatOK) return false;
    if (g_props->propGetInt(image, kOfxImagePropRowBytes, 0, &view.rowbytes) != kOfxStatOK) return false;
    const std::string depth = getString(image, kOfxImageEffectPropPixelDepth);
    const std::string components = getString(image, kOfxImageEffectPropComponents);
    if (depth == kOfxBitDepthByte)
        view.depth = ofxbridge::Depth::kByte;
    else if (depth == kOfxBitDepthShort)
        view.depth = ofxbridge::Depth::kShort;
    else if (depth == kOfxBitDepthFloat)
        view.depth = ofxbridge::Depth::kFloat;
    else
        return false;
    if (components == kOfxImageComponentRGBA)
        view.components = 4;
    else if (components == kOfxImageComponentRGB)
        view.components = 3;
    else
        return false;
    view.data = data;
    view.bounds = {b[0], b[1], b[2], b[3]};
    const int64_t width = int64_t{b[2]} - b[0], height = int64_t{b[3]} - b[1];
    if (width <= 0 || height <= 0 || width > INT32_MAX / 16 || height > INT32_MAX / 16) return false;
    if (std::abs(int64_t{view.rowbytes}) < width * ofxbridge::pixelBytes(view)) return false;
    alpha = getString(image, kOfxImageEffectPropPreMultiplication) == kOfxImagePreMultiplied
                ? ofxbridge::Alpha::kPremultiplied
                : ofxbridge::Alpha::kStraight;
    return true;
}

// A positive ratio as a fraction with a denominator up to 10000 (1/2, 10/11).
void fractionOf(double v, A_long& num, A_u_long& den) {
    num = 1;
    den = 1;
    if (!(v > 0) || !std::isfinite(v) || v > 10000) return;
    // continued fraction convergents
    int64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0;
    double x = v;
    for (int i = 0; i < 32; ++i) {
        const double a = std::floor(x);
        const int64_t p2 = static_cast<int64_t>(a) * p1 + p0, q2 = static_cast<int64_t>(a) * q1 + q0;
        if (q2 > 10000 || p2 > INT32_MAX) break;
        p0 = p1, q0 = q1, p1 = p2, q1 = q2;
        if (std::fabs(v - static_cast<double>(p1) / static_cast<double>(q1)) < 1e-9 || x - a < 1e-12) break;
        x = 1.0 / (x - a);
    }
    if (p1 > 0 && q1 > 0) {
        num = static_cast<A_long>(p1);
        den = static_cast<A_u_long>(q1);
    }
}

// The instance's parameters at the render's time, points in full-resolution
// pixels of the frame (y down), as the command takes them.
void readParams(Instance& in, double time, const OfxRectI& frame, const double scale[2], double aspect) {
    refhost::Host& host = *in.host;
    for (size_t i = 0; i < g_params.size(); ++i) {
        const OfxParam& p = g_params[i];
        const OfxParamHandle h = in.handles[i];
        if (!h) continue;
        ofxbridge::OfxValue v;
        OfxStatus st;
        switch (p.kind) {
        case Kind::kDouble:
        case Kind::kFixed:
        case Kind::kAngle: st = g_param_suite->paramGetValueAtTime(h, time, &v.d[0]); break;
        case Kind::kColour: st = g_param_suite->paramGetValueAtTime(h, time, &v.d[0], &v.d[1], &v.d[2]); break;
        case Kind::kPoint: st = g_param_suite->paramGetValueAtTime(h, time, &v.d[0], &v.d[1]); break;
        default: st = g_param_suite->paramGetValueAtTime(h, time, &v.i); break;
        }
        if (st != kOfxStatOK) continue;  // the value it had
        if (p.kind != Kind::kPoint) {
            ofxbridge::setFromOfx(p, v, host.param(p.position));
            continue;
        }
        // canonical: full-resolution pixels, x times the pixel aspect, y up
        const double x = v.d[0] / aspect - frame.x1 / scale[0];
        const double y = frame.y2 / scale[1] - v.d[1];
        host.setPoint(p.position, ofxbridge::fixedOf(x), ofxbridge::fixedOf(y));
    }
}

OfxStatus render(const void* handle, OfxPropertySetHandle in_args) {
    Instance* found = instanceOf(handle);
    if (!found) return kOfxStatErrBadHandle;
    Instance& in = *found;
    std::lock_guard<std::mutex> hold(in.lock);
    double time = 0;
    double scale[2] = {1, 1};
    int w[4] = {0, 0, 0, 0};
    g_props->propGetDouble(in_args, kOfxPropTime, 0, &time);
    if (g_props->propGetDoubleN(in_args, kOfxImageEffectPropRenderScale, 2, scale) != kOfxStatOK) scale[0] = scale[1] = 1;
    if (g_props->propGetIntN(in_args, kOfxImageEffectPropRenderWindow, 4, w) != kOfxStatOK) return kOfxStatErrValue;
    for (double& s : scale)
        if (!(s > 0) || !std::isfinite(s)) s = 1;
    if (!std::isfinite(time)) time = 0;

    FetchedImage output_image, source_image;
    OfxStatus st = output_image.fetch(in.output, time);
    if (st != kOfxStatOK) return st;
    ofxbridge::ImageView out_view, src_view;
    ofxbridge::Alpha out_alpha = ofxbridge::Alpha::kStraight, src_alpha = ofxbridge::Alpha::kStraight;
    if (!viewOf(output_image.props, out_view, out_alpha)) {
        message(handle, kOfxMessageError, "the host's output image cannot be written (unknown depth or layout)");
        return kOfxStatErrFormat;
    }
    // a source that cannot be fetched is transparent black, as the standard says
    st = source_image.fetch(in.source, time);
    if (st == kOfxStatErrMemory) return st;
    const bool have_source = st == kOfxStatOK;
    if (have_source && !viewOf(source_image.props, src_view, src_alpha)) {
        message(handle, kOfxMessageError, "the host's source image cannot be read (unknown depth or layout)");
        return kOfxStatErrFormat;
    }
    const OfxRectI frame = have_source ? src_view.bounds : out_view.bounds;
    const int32_t width = frame.x2 - frame.x1, height = frame.y2 - frame.y1;

    double aspect = 1;
    if (have_source && (g_props->propGetDouble(source_image.props, kOfxImagePropPixelAspectRatio, 0, &aspect) !=
                            kOfxStatOK || !(aspect > 0) || !std::isfinite(aspect)))
        aspect = 1;
    refhost::Host& host = *in.host;
    A_long xn, yn, an;
    A_u_long xd, yd, ad;
    fractionOf(scale[0], xn, xd);
    fractionOf(scale[1], yn, yd);
    fractionOf(aspect, an, ad);
    host.setDownsample(xn, xd, yn, yd);
    host.setPixelAspect(an, ad);
    host.setFrame(static_cast<int64_t>(std::llround(std::max(-1e9, std::min(1e9, time)))));

    std::string error;
    if (in.input.width() != width || in.input.height() != height) {
        if (!in.input.allocate(width, height, error) || !in.rendered.allocate(width, height, error)) {
            in.input = refhost::World();
            message(handle, kOfxMessageError, "cannot take " + std::to_string(width) + " x " + std::to_string(height) +
                                                  " frames: " + error);
            return kOfxStatErrMemory;
        }
    }
    if (have_source)
        ofxbridge::imageToWorld(src_view, src_alpha, frame, in.input);
    else
        in.input.clear(PF_Pixel{0, 0, 0, 0});
    readParams(in, time, frame, scale, aspect);
    // the output starts transparent, as the command's does, unless the effect
    // writes every pixel of it anyway
    if (!g_effect->covers_output) in.rendered.clear(PF_Pixel{0, 0, 0, 0});

    bool aborted = false;
    host.setAbort([&] { return aborted = aborted || (g_effects->abort && g_effects->abort(in.effect) != 0); });
    const PF_Err err = host.renderFrame(in.input.def(), in.rendered.def());
    host.setAbort(nullptr);
    if (err) {
        if (!aborted)
            message(handle, kOfxMessageError, "the effect failed to render (error " + std::to_string(err) + "): " +
                                                  host.returnMessage());
        return kOfxStatFailed;
    }
    ofxbridge::worldToImage(in.rendered, frame, out_alpha, OfxRectI{w[0], w[1], w[2], w[3]}, out_view);
    return kOfxStatOK;
}

OfxStatus purgeCaches(const void* handle) {
    Instance* in = instanceOf(handle);
    if (!in) return kOfxStatErrBadHandle;
    std::lock_guard<std::mutex> hold(in->lock);
    in->input = refhost::World();
    in->rendered = refhost::World();
    return kOfxStatOK;
}

OfxStatus dispatch(const std::string& action, const void* handle, OfxPropertySetHandle in_args,
                   OfxPropertySetHandle out_args) {
    if (action == kOfxActionLoad) return load();
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_loads == 0) return action == kOfxActionUnload ? kOfxStatReplyDefault : kOfxStatFailed;
    }
    if (action == kOfxActionUnload) return unload();
    if (action == kOfxActionDescribe) return describe(handle);
    if (action == kOfxImageEffectActionDescribeInContext) return describeInContext(handle, in_args);
    if (action == kOfxActionCreateInstance) return createInstance(handle);
    if (action == kOfxActionDestroyInstance) return destroyInstance(handle);
    if (action == kOfxImageEffectActionRender) return render(handle, in_args);
    if (action == kOfxImageEffectActionGetRegionOfDefinition) return regionOfDefinition(handle, in_args, out_args);
    if (action == kOfxImageEffectActionGetRegionsOfInterest) return regionsOfInterest(handle, in_args, out_args);
    if (action == kOfxImageEffectActionGetClipPreferences) return clipPreferences(handle, out_args);
    if (action == kOfxImageEffectActionBeginSequenceRender || action == kOfxImageEffectActionEndSequenceRender)
        return instanceOf(handle) ? kOfxStatOK : kOfxStatErrBadHandle;
    if (action == kOfxActionPurgeCaches) return purgeCaches(handle);
    return kOfxStatReplyDefault;  // the standard's answer to what a plug-in does not trap
}

OfxStatus mainEntry(const char* action, const void* handle, OfxPropertySetHandle in_args,
                    OfxPropertySetHandle out_args) {
    if (!action) return kOfxStatErrUnknown;
    try {
        return dispatch(action, handle, in_args, out_args);
    } catch (const std::bad_alloc&) {
        return kOfxStatErrMemory;
    } catch (...) {
        return kOfxStatErrUnknown;
    }
}

}  // namespace

KAVRI_OFX_EXPORT int OfxGetNumberOfPlugins(void) {
    std::lock_guard<std::mutex> hold(g_lock);
    return learnt() ? 1 : 0;
}

KAVRI_OFX_EXPORT OfxPlugin* OfxGetPlugin(int nth) {
    std::lock_guard<std::mutex> hold(g_lock);
    return nth == 0 && learnt() ? &g_plugin : nullptr;
}
