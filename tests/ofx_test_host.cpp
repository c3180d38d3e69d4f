#include "tests/ofx_test_host.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace ofxtest {

// ---- properties ----

int Property::dimension() const {
    switch (type) {
    case kInt: return static_cast<int>(ints.size());
    case kDouble: return static_cast<int>(doubles.size());
    case kString: return static_cast<int>(strings.size());
    case kPointer: return static_cast<int>(pointers.size());
    }
    return 0;
}

int PropertySet::getInt(const std::string& name, int index, int otherwise) const {
    const auto p = props.find(name);
    if (p == props.end() || p->second.type != Property::kInt || index >= p->second.dimension()) return otherwise;
    return p->second.ints[static_cast<size_t>(index)];
}

double PropertySet::getDouble(const std::string& name, int index, double otherwise) const {
    const auto p = props.find(name);
    if (p == props.end() || p->second.type != Property::kDouble || index >= p->second.dimension()) return otherwise;
    return p->second.doubles[static_cast<size_t>(index)];
}

std::string PropertySet::getString(const std::string& name, int index, const std::string& otherwise) const {
    const auto p = props.find(name);
    if (p == props.end() || p->second.type != Property::kString || index >= p->second.dimension()) return otherwise;
    return p->second.strings[static_cast<size_t>(index)];
}

void PropertySet::setInt(const std::string& name, std::vector<int> v) {
    Property& p = props[name];
    p = Property{};
    p.type = Property::kInt;
    p.ints = std::move(v);
}

void PropertySet::setDouble(const std::string& name, std::vector<double> v) {
    Property& p = props[name];
    p = Property{};
    p.type = Property::kDouble;
    p.doubles = std::move(v);
}

void PropertySet::setString(const std::string& name, std::vector<std::string> v) {
    Property& p = props[name];
    p = Property{};
    p.type = Property::kString;
    p.strings = std::move(v);
}

void PropertySet::setPointer(const std::string& name, void* v) {
    Property& p = props[name];
    p = Property{};
    p.type = Property::kPointer;
    p.pointers = {v};
}

std::vector<double> Param::at(double time) const {
    if (keys.empty()) return value;
    auto after = keys.lower_bound(time);
    if (after == keys.end()) return std::prev(after)->second;
    if (after->first == time || after == keys.begin()) return after->second;
    const auto before = std::prev(after);
    const double t = (time - before->first) / (after->first - before->first);
    std::vector<double> v(before->second.size());
    for (size_t i = 0; i < v.size(); ++i) v[i] = before->second[i] + (after->second[i] - before->second[i]) * t;
    return v;
}

Param* ParamSet::find(const std::string& name) {
    for (auto& p : params)
        if (p.first == name) return p.second.get();
    return nullptr;
}

Param* ParamSet::findLabel(const std::string& label) {
    for (auto& p : params)
        if (p.second->props.getString(kOfxPropLabel) == label) return p.second.get();
    return nullptr;
}

Clip* Effect::clip(const std::string& name) {
    for (auto& c : clips)
        if (c.first == name) return c.second.get();
    return nullptr;
}

std::string bundleBinary(const std::string& bundle) {
    std::string name = bundle;
    while (!name.empty() && name.back() == '/') name.pop_back();
    name = name.substr(name.find_last_of('/') + 1);
    const std::string suffix = ".ofx.bundle";
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.resize(name.size() - suffix.size());
    return bundle + "/Contents/Linux-x86-64/" + name + ".ofx";
}

// ---- what a render hands the callbacks ----

struct Frame {
    TestHost* host = nullptr;
    const Picture* source = nullptr;
    const SourceSpec* spec = nullptr;
    RenderSpec render;
    OfxRectI out_bounds{};
    std::vector<uint8_t> source_storage;  // the source image's pixels, made before the render
    int source_rowbytes = 0;
    std::vector<uint8_t> out_storage;  // the output image's pixels, owned by the host
    int out_rowbytes = 0;
    std::string out_premultiplication;
    int abort_checks = 0;
};

struct TestHost::State {
    static std::mutex lock;            // images and messages, across render threads
    static std::set<Image*> images;    // fetched and not yet released
    static std::map<Effect*, Frame*> frames;  // an instance's render under way
    static std::map<const void*, TestHost*> hosts;  // by descriptor or instance
};
std::mutex TestHost::State::lock;
std::set<Image*> TestHost::State::images;
std::map<Effect*, Frame*> TestHost::State::frames;
std::map<const void*, TestHost*> TestHost::State::hosts;

namespace {

using State = TestHost::State;

PropertySet* setOf(OfxPropertySetHandle h) { return reinterpret_cast<PropertySet*>(h); }
OfxPropertySetHandle handleOf(PropertySet* p) { return reinterpret_cast<OfxPropertySetHandle>(p); }

int depthBytes(const std::string& depth) {
    return depth == kOfxBitDepthShort ? 2 : depth == kOfxBitDepthFloat ? 4 : 1;
}

// ---- the property suite ----

template <typename T>
OfxStatus setValue(OfxPropertySetHandle h, const char* name, int index, Property::Type type, T value,
                   std::vector<T> Property::*values) {
    if (!h || !name || index < 0) return kOfxStatErrBadHandle;
    PropertySet& set = *setOf(h);
    auto found = set.props.find(name);
    if (found == set.props.end()) {
        Property p;
        p.type = type;
        found = set.props.emplace(name, std::move(p)).first;
    }
    Property& p = found->second;
    if (p.type != type) return kOfxStatErrValue;
    std::vector<T>& v = p.*values;
    if (static_cast<size_t>(index) >= v.size()) v.resize(static_cast<size_t>(index) + 1);
    v[static_cast<size_t>(index)] = value;
    return kOfxStatOK;
}

template <typename T>
OfxStatus getValue(OfxPropertySetHandle h, const char* name, int index, Property::Type type, T* out,
                   std::vector<T> Property::*values) {
    if (!h || !name || !out) return kOfxStatErrBadHandle;
    const PropertySet& set = *setOf(h);
    const auto found = set.props.find(name);
    if (found == set.props.end()) return kOfxStatErrUnknown;
    if (found->second.type != type) return kOfxStatErrValue;
    const std::vector<T>& v = found->second.*values;
    if (index < 0 || static_cast<size_t>(index) >= v.size()) return kOfxStatErrBadIndex;
    *out = v[static_cast<size_t>(index)];
    return kOfxStatOK;
}

OfxStatus propSetPointer(OfxPropertySetHandle h, const char* n, int i, void* v) {
    return setValue<void*>(h, n, i, Property::kPointer, v, &Property::pointers);
}
OfxStatus propSetString(OfxPropertySetHandle h, const char* n, int i, const char* v) {
    if (!v) return kOfxStatErrValue;
    return setValue<std::string>(h, n, i, Property::kString, v, &Property::strings);
}
OfxStatus propSetDouble(OfxPropertySetHandle h, const char* n, int i, double v) {
    return setValue<double>(h, n, i, Property::kDouble, v, &Property::doubles);
}
OfxStatus propSetInt(OfxPropertySetHandle h, const char* n, int i, int v) {
    return setValue<int>(h, n, i, Property::kInt, v, &Property::ints);
}
OfxStatus propSetPointerN(OfxPropertySetHandle h, const char* n, int count, void* const* v) {
    OfxStatus st = kOfxStatOK;
    for (int i = 0; i < count && st == kOfxStatOK; ++i) st = propSetPointer(h, n, i, v[i]);
    return st;
}
OfxStatus propSetStringN(OfxPropertySetHandle h, const char* n, int count, const char* const* v) {
    OfxStatus st = kOfxStatOK;
    for (int i = 0; i < count && st == kOfxStatOK; ++i) st = propSetString(h, n, i, v[i]);
    return st;
}
OfxStatus propSetDoubleN(OfxPropertySetHandle h, const char* n, int count, const double* v) {
    OfxStatus st = kOfxStatOK;
    for (int i = 0; i < count && st == kOfxStatOK; ++i) st = propSetDouble(h, n, i, v[i]);
    return st;
}
OfxStatus propSetIntN(OfxPropertySetHandle h, const char* n, int count, const int* v) {
    OfxStatus st = kOfxStatOK;
    for (int i = 0; i < count && st == kOfxStatOK; ++i) st = propSetInt(h, n, i, v[i]);
    return st;
}
OfxStatus propGetPointer(OfxPropertySetHandle h, const char* n, int i, void** v) {
    return getValue<void*>(h, n, i, Property::kPointer, v, &Property::pointers);
}
OfxStatus propGetString(OfxPropertySetHandle h, const char* n, int i, char** v) {
    if (!h || !n || !v) return kOfxStatErrBadHandle;
    PropertySet& set = *setOf(h);
    auto found = set.props.find(n);
    if (found == set.props.end()) return kOfxStatErrUnknown;
    if (found->second.type != Property::kString) return kOfxStatErrValue;
    if (i < 0 || static_cast<size_t>(i) >= found->second.strings.size()) return kOfxStatErrBadIndex;
    *v = &found->second.strings[static_cast<size_t>(i)][0];  // valid while the property is
    return kOfxStatOK;
}
OfxStatus propGetDouble(OfxPropertySetHandle h, const char* n, int i, double* v) {
    return getValue<double>(h, n, i, Property::kDouble, v, &Property::doubles);
}
OfxStatus propGetInt(OfxPropertySetHandle h, const char* n, int i, int* v) {
    return getValue<int>(h, n, i, Property::kInt, v, &Property::ints);
}
OfxStatus propGetPointerN(OfxPropertySetHandle h, const char* n, int count, void** v) {
    OfxStatus st = kOfxStatOK;
    for (int i = 0; i < count && st == kOfxStatOK; ++i) st = propGetPointer(h, n, i, &v[i]);
    return st;
}
OfxStatus propGetStringN(OfxPropertySetHandle h, const char* n, int count, char** v) {
    OfxStatus st = kOfxStatOK;
    for (int i = 0; i < count && st == kOfxStatOK; ++i) st = propGetString(h, n, i, &v[i]);
    return st;
}
OfxStatus propGetDoubleN(OfxPropertySetHandle h, const char* n, int count, double* v) {
    OfxStatus st = kOfxStatOK;
    for (int i = 0; i < count && st == kOfxStatOK; ++i) st = propGetDouble(h, n, i, &v[i]);
    return st;
}
OfxStatus propGetIntN(OfxPropertySetHandle h, const char* n, int count, int* v) {
    OfxStatus st = kOfxStatOK;
    for (int i = 0; i < count && st == kOfxStatOK; ++i) st = propGetInt(h, n, i, &v[i]);
    return st;
}
OfxStatus propReset(OfxPropertySetHandle h, const char* n) {
    if (!h || !n) return kOfxStatErrBadHandle;
    return setOf(h)->has(n) ? kOfxStatOK : kOfxStatErrUnknown;
}
OfxStatus propGetDimension(OfxPropertySetHandle h, const char* n, int* count) {
    if (!h || !n || !count) return kOfxStatErrBadHandle;
    const auto found = setOf(h)->props.find(n);
    if (found == setOf(h)->props.end()) return kOfxStatErrUnknown;
    *count = found->second.dimension();
    return kOfxStatOK;
}

const OfxPropertySuiteV1 kPropertySuite = {
    propSetPointer, propSetString,  propSetDouble,  propSetInt,    propSetPointerN, propSetStringN,
    propSetDoubleN, propSetIntN,    propGetPointer, propGetString, propGetDouble,   propGetInt,
    propGetPointerN, propGetStringN, propGetDoubleN, propGetIntN,  propReset,       propGetDimension};

// ---- the image effect suite ----

Effect* effectOf(OfxImageEffectHandle h) { return reinterpret_cast<Effect*>(h); }

OfxStatus getPropertySet(OfxImageEffectHandle h, OfxPropertySetHandle* out) {
    if (!h || !out) return kOfxStatErrBadHandle;
    *out = handleOf(&effectOf(h)->props);
    return kOfxStatOK;
}

OfxStatus getParamSet(OfxImageEffectHandle h, OfxParamSetHandle* out) {
    if (!h || !out) return kOfxStatErrBadHandle;
    *out = reinterpret_cast<OfxParamSetHandle>(&effectOf(h)->params);
    return kOfxStatOK;
}

OfxStatus clipDefine(OfxImageEffectHandle h, const char* name, OfxPropertySetHandle* out) {
    if (!h || !name || !out) return kOfxStatErrBadHandle;
    Effect& e = *effectOf(h);
    if (e.clip(name)) return kOfxStatErrExists;
    auto clip = std::make_unique<Clip>();
    clip->name = name;
    clip->props.setString(kOfxPropType, {kOfxTypeClip});
    clip->props.setString(kOfxPropName, {name});
    *out = handleOf(&clip->props);
    e.clips.emplace_back(name, std::move(clip));
    return kOfxStatOK;
}

OfxStatus clipGetHandle(OfxImageEffectHandle h, const char* name, OfxImageClipHandle* clip,
                        OfxPropertySetHandle* props) {
    if (!h || !name || !clip) return kOfxStatErrBadHandle;
    Clip* c = effectOf(h)->clip(name);
    if (!c) return kOfxStatErrUnknown;
    *clip = reinterpret_cast<OfxImageClipHandle>(c);
    if (props) *props = handleOf(&c->props);
    return kOfxStatOK;
}

OfxStatus clipGetPropertySet(OfxImageClipHandle clip, OfxPropertySetHandle* out) {
    if (!clip || !out) return kOfxStatErrBadHandle;
    *out = handleOf(&reinterpret_cast<Clip*>(clip)->props);
    return kOfxStatOK;
}

// The frame under way for the instance a clip belongs to.
Frame* frameOfClip(Clip* clip) {
    std::lock_guard<std::mutex> hold(State::lock);
    for (auto& f : State::frames)
        for (auto& c : f.first->clips)
            if (c.second.get() == clip) return f.second;
    return nullptr;
}

// The source image's memory: picture row y in memory row y (top first) for
// negative row bytes, else bottom first; samples at the depth.
void makeSource(Frame& f) {
    const Picture& pic = *f.source;
    const std::string& depth = f.spec->depth;
    const int sample = depthBytes(depth);
    f.source_rowbytes = pic.width * 4 * sample + f.spec->padding;
    f.source_storage.assign(static_cast<size_t>(f.source_rowbytes) * static_cast<size_t>(pic.height), 0xCD);
    for (int32_t y = 0; y < pic.height; ++y) {
        const int32_t m = f.spec->negative_rowbytes ? y : pic.height - 1 - y;
        uint8_t* row = f.source_storage.data() + static_cast<size_t>(m) * f.source_rowbytes;
        const uint8_t* in = pic.rgba.data() + static_cast<size_t>(y) * pic.width * 4;
        const int n = pic.width * 4;
        if (sample == 1) {
            std::memcpy(row, in, static_cast<size_t>(n));
        } else if (sample == 2) {
            for (int i = 0; i < n; ++i) {
                const uint16_t v = static_cast<uint16_t>(in[i] * 257);
                std::memcpy(row + 2 * i, &v, 2);
            }
        } else {
            for (int i = 0; i < n; ++i) {
                const float v = static_cast<float>(in[i]) / 255.0f;
                std::memcpy(row + 4 * i, &v, 4);
            }
        }
    }
}

OfxStatus clipGetImage(OfxImageClipHandle clip, OfxTime, const OfxRectD*, OfxPropertySetHandle* out) {
    if (!clip || !out) return kOfxStatErrBadHandle;
    Clip* c = reinterpret_cast<Clip*>(clip);
    Frame* f = frameOfClip(c);
    if (!f) return kOfxStatFailed;  // no render under way
    const bool output = c->name == kOfxImageEffectOutputClipName;
    if (output ? f->host->fail_output_fetch : f->host->fail_source_fetch) return kOfxStatFailed;
    auto image = std::make_unique<Image>();
    PropertySet& p = image->props;
    p.setString(kOfxPropType, {kOfxTypeImage});
    p.setString(kOfxImageEffectPropPixelDepth, {f->spec->depth});
    p.setString(kOfxImageEffectPropComponents, {kOfxImageComponentRGBA});
    p.setDouble(kOfxImageEffectPropRenderScale, {f->render.scale, f->render.scale});
    p.setDouble(kOfxImagePropPixelAspectRatio, {f->spec->pixel_aspect});
    p.setString(kOfxImagePropField, {kOfxImageFieldNone});
    p.setString(kOfxImagePropUniqueIdentifier, {c->name});
    if (output) {
        const OfxRectI b = f->out_bounds;
        p.setInt(kOfxImagePropBounds, {b.x1, b.y1, b.x2, b.y2});
        p.setInt(kOfxImagePropRegionOfDefinition, {b.x1, b.y1, b.x2, b.y2});
        p.setString(kOfxImageEffectPropPreMultiplication, {f->out_premultiplication});
        const int rows = b.y2 - b.y1;
        uint8_t* bottom = f->out_storage.data() +
                          (f->spec->negative_rowbytes ? static_cast<size_t>(rows - 1) * f->out_rowbytes : 0);
        p.setPointer(kOfxImagePropData, bottom);
        p.setInt(kOfxImagePropRowBytes, {f->spec->negative_rowbytes ? -f->out_rowbytes : f->out_rowbytes});
    } else {
        const Picture& pic = *f->source;
        p.setInt(kOfxImagePropBounds, {0, 0, pic.width, pic.height});
        p.setInt(kOfxImagePropRegionOfDefinition, {0, 0, pic.width, pic.height});
        p.setString(kOfxImageEffectPropPreMultiplication, {f->spec->premultiplication});
        uint8_t* bottom = f->source_storage.data() +
                          (f->spec->negative_rowbytes ? static_cast<size_t>(pic.height - 1) * f->source_rowbytes : 0);
        p.setPointer(kOfxImagePropData, bottom);
        p.setInt(kOfxImagePropRowBytes, {f->spec->negative_rowbytes ? -f->source_rowbytes : f->source_rowbytes});
        if (f->host->source_rowbytes_claim) p.setInt(kOfxImagePropRowBytes, {f->host->source_rowbytes_claim});
        if (!f->host->source_depth_claim.empty())
            p.setString(kOfxImageEffectPropPixelDepth, {f->host->source_depth_claim});
    }
    std::lock_guard<std::mutex> hold(State::lock);
    *out = handleOf(&image->props);
    State::images.insert(image.release());
    return kOfxStatOK;
}

OfxStatus clipReleaseImage(OfxPropertySetHandle h) {
    Image* image = reinterpret_cast<Image*>(h);
    std::lock_guard<std::mutex> hold(State::lock);
    if (!State::images.erase(image)) return kOfxStatErrBadHandle;
    delete image;
    return kOfxStatOK;
}

OfxStatus clipGetRegionOfDefinition(OfxImageClipHandle clip, OfxTime, OfxRectD* bounds) {
    if (!clip || !bounds) return kOfxStatErrBadHandle;
    Frame* f = frameOfClip(reinterpret_cast<Clip*>(clip));
    if (!f) return kOfxStatFailed;
    // canonical: the full-resolution frame, x times the pixel aspect
    const double s = f->render.scale;
    *bounds = OfxRectD{0, 0, f->source->width / s * f->spec->pixel_aspect, f->source->height / s};
    return kOfxStatOK;
}

int abortRender(OfxImageEffectHandle h) {
    if (!h) return 0;
    std::lock_guard<std::mutex> hold(State::lock);
    const auto f = State::frames.find(effectOf(h));
    if (f == State::frames.end()) return 0;
    const int after = f->second->host->abort_after;
    return after >= 0 && f->second->abort_checks++ >= after ? 1 : 0;
}

struct ImageMemory {
    std::vector<uint8_t> bytes;
};

OfxStatus imageMemoryAlloc(OfxImageEffectHandle, size_t n, OfxImageMemoryHandle* out) {
    if (!out) return kOfxStatErrBadHandle;
    auto m = std::make_unique<ImageMemory>();
    m->bytes.resize(n);
    *out = reinterpret_cast<OfxImageMemoryHandle>(m.release());
    return kOfxStatOK;
}
OfxStatus imageMemoryFree(OfxImageMemoryHandle h) {
    delete reinterpret_cast<ImageMemory*>(h);
    return kOfxStatOK;
}
OfxStatus imageMemoryLock(OfxImageMemoryHandle h, void** out) {
    if (!h || !out) return kOfxStatErrBadHandle;
    *out = reinterpret_cast<ImageMemory*>(h)->bytes.data();
    return kOfxStatOK;
}
OfxStatus imageMemoryUnlock(OfxImageMemoryHandle h) { return h ? kOfxStatOK : kOfxStatErrBadHandle; }

const OfxImageEffectSuiteV1 kImageEffectSuite = {
    getPropertySet, getParamSet, clipDefine, clipGetHandle, clipGetPropertySet, clipGetImage, clipReleaseImage,
    clipGetRegionOfDefinition, abortRender, imageMemoryAlloc, imageMemoryFree, imageMemoryLock, imageMemoryUnlock};

// ---- the parameter suite ----

ParamSet* paramSetOf(OfxParamSetHandle h) { return reinterpret_cast<ParamSet*>(h); }
Param* paramOf(OfxParamHandle h) { return reinterpret_cast<Param*>(h); }

// How many values of which kind a parameter type takes through varargs.
bool valueShape(const std::string& type, int& count, bool& integers) {
    integers = type == kOfxParamTypeInteger || type == kOfxParamTypeBoolean || type == kOfxParamTypeChoice ||
               type == kOfxParamTypeInteger2D || type == kOfxParamTypeInteger3D;
    if (type == kOfxParamTypeInteger || type == kOfxParamTypeBoolean || type == kOfxParamTypeChoice ||
        type == kOfxParamTypeDouble)
        count = 1;
    else if (type == kOfxParamTypeDouble2D || type == kOfxParamTypeInteger2D)
        count = 2;
    else if (type == kOfxParamTypeRGB || type == kOfxParamTypeDouble3D || type == kOfxParamTypeInteger3D)
        count = 3;
    else if (type == kOfxParamTypeRGBA)
        count = 4;
    else
        return false;
    return true;
}

OfxStatus paramDefine(OfxParamSetHandle set, const char* type, const char* name, OfxPropertySetHandle* out) {
    if (!set || !type || !name) return kOfxStatErrBadHandle;
    ParamSet& s = *paramSetOf(set);
    if (s.find(name)) return kOfxStatErrExists;
    auto p = std::make_unique<Param>();
    p->type = type;
    p->props.setString(kOfxPropType, {kOfxTypeParameter});
    p->props.setString(kOfxPropName, {name});
    p->props.setString(kOfxParamPropType, {type});
    if (out) *out = handleOf(&p->props);
    s.params.emplace_back(name, std::move(p));
    return kOfxStatOK;
}

OfxStatus paramGetHandle(OfxParamSetHandle set, const char* name, OfxParamHandle* param, OfxPropertySetHandle* props) {
    if (!set || !name || !param) return kOfxStatErrBadHandle;
    Param* p = paramSetOf(set)->find(name);
    if (!p) return kOfxStatErrUnknown;
    *param = reinterpret_cast<OfxParamHandle>(p);
    if (props) *props = handleOf(&p->props);
    return kOfxStatOK;
}

OfxStatus paramSetGetPropertySet(OfxParamSetHandle set, OfxPropertySetHandle* out) {
    if (!set || !out) return kOfxStatErrBadHandle;
    *out = handleOf(&paramSetOf(set)->props);
    return kOfxStatOK;
}

OfxStatus paramGetPropertySet(OfxParamHandle param, OfxPropertySetHandle* out) {
    if (!param || !out) return kOfxStatErrBadHandle;
    *out = handleOf(&paramOf(param)->props);
    return kOfxStatOK;
}

OfxStatus getValues(Param* p, double time, va_list args) {
    int count = 0;
    bool integers = false;
    if (!valueShape(p->type, count, integers)) return kOfxStatErrUnsupported;
    const std::vector<double> v = p->at(time);
    for (int i = 0; i < count; ++i) {
        const double d = static_cast<size_t>(i) < v.size() ? v[static_cast<size_t>(i)] : 0;
        if (integers)
            *va_arg(args, int*) = static_cast<int>(d);
        else
            *va_arg(args, double*) = d;
    }
    return kOfxStatOK;
}

OfxStatus paramGetValue(OfxParamHandle h, ...) {
    if (!h) return kOfxStatErrBadHandle;
    va_list args;
    va_start(args, h);
    const OfxStatus st = getValues(paramOf(h), 0, args);
    va_end(args);
    return st;
}

OfxStatus paramGetValueAtTime(OfxParamHandle h, OfxTime time, ...) {
    if (!h) return kOfxStatErrBadHandle;
    va_list args;
    va_start(args, time);
    const OfxStatus st = getValues(paramOf(h), time, args);
    va_end(args);
    return st;
}

OfxStatus paramGetDerivative(OfxParamHandle, OfxTime, ...) { return kOfxStatErrUnsupported; }
OfxStatus paramGetIntegral(OfxParamHandle, OfxTime, OfxTime, ...) { return kOfxStatErrUnsupported; }

OfxStatus setValues(Param* p, va_list args) {
    int count = 0;
    bool integers = false;
    if (!valueShape(p->type, count, integers)) return kOfxStatErrUnsupported;
    p->value.assign(static_cast<size_t>(count), 0);
    for (int i = 0; i < count; ++i)
        p->value[static_cast<size_t>(i)] = integers ? va_arg(args, int) : va_arg(args, double);
    return kOfxStatOK;
}

OfxStatus paramSetValue(OfxParamHandle h, ...) {
    if (!h) return kOfxStatErrBadHandle;
    va_list args;
    va_start(args, h);
    const OfxStatus st = setValues(paramOf(h), args);
    va_end(args);
    return st;
}

OfxStatus paramSetValueAtTime(OfxParamHandle h, OfxTime, ...) { return h ? kOfxStatErrUnsupported : kOfxStatErrBadHandle; }
OfxStatus paramGetNumKeys(OfxParamHandle h, unsigned int* n) {
    if (!h || !n) return kOfxStatErrBadHandle;
    *n = static_cast<unsigned>(paramOf(h)->keys.size());
    return kOfxStatOK;
}
OfxStatus paramGetKeyTime(OfxParamHandle, unsigned int, OfxTime*) { return kOfxStatErrUnsupported; }
OfxStatus paramGetKeyIndex(OfxParamHandle, OfxTime, int, int*) { return kOfxStatErrUnsupported; }
OfxStatus paramDeleteKey(OfxParamHandle, OfxTime) { return kOfxStatErrUnsupported; }
OfxStatus paramDeleteAllKeys(OfxParamHandle) { return kOfxStatErrUnsupported; }
OfxStatus paramCopy(OfxParamHandle, OfxParamHandle, OfxTime, const OfxRangeD*) { return kOfxStatErrUnsupported; }
OfxStatus paramEditBegin(OfxParamSetHandle, const char*) { return kOfxStatOK; }
OfxStatus paramEditEnd(OfxParamSetHandle) { return kOfxStatOK; }

const OfxParameterSuiteV1 kParameterSuite = {
    paramDefine,      paramGetHandle,     paramSetGetPropertySet, paramGetPropertySet, paramGetValue,
    paramGetValueAtTime, paramGetDerivative, paramGetIntegral,    paramSetValue,       paramSetValueAtTime,
    paramGetNumKeys,  paramGetKeyTime,    paramGetKeyIndex,       paramDeleteKey,      paramDeleteAllKeys,
    paramCopy,        paramEditBegin,     paramEditEnd};

// ---- memory, threads, messages, progress ----

OfxStatus memoryAlloc(void*, size_t n, void** out) {
    if (!out) return kOfxStatErrBadHandle;
    *out = std::malloc(n ? n : 1);
    return *out ? kOfxStatOK : kOfxStatErrMemory;
}
OfxStatus memoryFree(void* p) {
    std::free(p);
    return kOfxStatOK;
}
const OfxMemorySuiteV1 kMemorySuite = {memoryAlloc, memoryFree};

OfxStatus multiThread(OfxThreadFunctionV1 func, unsigned int n, void* arg) {
    if (!func) return kOfxStatFailed;
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < n; ++i) threads.emplace_back(func, i, n, arg);
    for (std::thread& t : threads) t.join();
    return kOfxStatOK;
}
OfxStatus multiThreadNumCPUs(unsigned int* n) {
    if (!n) return kOfxStatFailed;
    *n = std::max(1u, std::thread::hardware_concurrency());
    return kOfxStatOK;
}
OfxStatus multiThreadIndex(unsigned int* i) {
    if (!i) return kOfxStatFailed;
    *i = 0;
    return kOfxStatOK;
}
int multiThreadIsSpawnedThread() { return 0; }
OfxStatus mutexCreate(OfxMutexHandle* m, int) {
    if (!m) return kOfxStatErrBadHandle;
    *m = reinterpret_cast<OfxMutexHandle>(new std::recursive_mutex);
    return kOfxStatOK;
}
OfxStatus mutexDestroy(const OfxMutexHandle m) {
    delete reinterpret_cast<std::recursive_mutex*>(m);
    return kOfxStatOK;
}
OfxStatus mutexLock(const OfxMutexHandle m) {
    if (!m) return kOfxStatErrBadHandle;
    reinterpret_cast<std::recursive_mutex*>(m)->lock();
    return kOfxStatOK;
}
OfxStatus mutexUnLock(const OfxMutexHandle m) {
    if (!m) return kOfxStatErrBadHandle;
    reinterpret_cast<std::recursive_mutex*>(m)->unlock();
    return kOfxStatOK;
}
OfxStatus mutexTryLock(const OfxMutexHandle m) {
    if (!m) return kOfxStatErrBadHandle;
    return reinterpret_cast<std::recursive_mutex*>(m)->try_lock() ? kOfxStatOK : kOfxStatFailed;
}
const OfxMultiThreadSuiteV1 kMultiThreadSuite = {multiThread, multiThreadNumCPUs, multiThreadIndex,
                                                 multiThreadIsSpawnedThread, mutexCreate, mutexDestroy,
                                                 mutexLock, mutexUnLock, mutexTryLock};

OfxStatus postMessage(void* handle, const char* type, const char*, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format ? format : "", args);
    va_end(args);
    std::lock_guard<std::mutex> hold(State::lock);
    const auto h = State::hosts.find(handle);
    if (h != State::hosts.end()) h->second->messages.push_back(std::string(type ? type : "") + ": " + text);
    return kOfxStatOK;
}
OfxStatus setPersistentMessage(void*, const char*, const char*, const char*, ...) { return kOfxStatOK; }
OfxStatus clearPersistentMessage(void*) { return kOfxStatOK; }
const OfxMessageSuiteV2 kMessageSuite = {postMessage, setPersistentMessage, clearPersistentMessage};

OfxStatus progressStart(void*, const char*) { return kOfxStatOK; }
OfxStatus progressUpdate(void*, double) { return kOfxStatOK; }
OfxStatus progressEnd(void*) { return kOfxStatOK; }
const OfxProgressSuiteV1 kProgressSuite = {progressStart, progressUpdate, progressEnd};

const void* fetchSuite(OfxPropertySetHandle host, const char* name, int version) {
    if (!host || !name) return nullptr;
    void* owner = nullptr;
    propGetPointer(host, "org.kavri.test.host", 0, &owner);
    return owner ? static_cast<TestHost*>(owner)->fetch(name, version) : nullptr;
}

uint8_t byteOfSample(const uint8_t* p, const std::string& depth) {
    if (depth == kOfxBitDepthShort) {
        uint16_t s;
        std::memcpy(&s, p, 2);
        return static_cast<uint8_t>((s + 128) / 257);
    }
    if (depth == kOfxBitDepthFloat) {
        float f;
        std::memcpy(&f, p, 4);
        if (!(f > 0)) return 0;
        return f >= 1 ? 255 : static_cast<uint8_t>(std::lround(f * 255.0));
    }
    return *p;
}

}  // namespace

// ---- the host ----

TestHost::TestHost() {
    host_props_.setString(kOfxPropType, {kOfxTypeImageEffectHost});
    host_props_.setString(kOfxPropName, {"org.kavri.testhost"});
    host_props_.setString(kOfxPropLabel, {"kavri test host"});
    host_props_.setInt(kOfxPropAPIVersion, {1, 4});
    host_props_.setInt(kOfxPropVersion, {1, 0});
    host_props_.setInt(kOfxImageEffectHostPropIsBackground, {1});
    host_props_.setInt(kOfxImageEffectPropSupportsOverlays, {0});
    host_props_.setInt(kOfxImageEffectPropSupportsMultiResolution, {1});
    host_props_.setInt(kOfxImageEffectPropSupportsTiles, {1});
    host_props_.setInt(kOfxImageEffectPropTemporalClipAccess, {0});
    host_props_.setString(kOfxImageEffectPropSupportedComponents, {kOfxImageComponentRGBA, kOfxImageComponentAlpha});
    host_props_.setString(kOfxImageEffectPropSupportedContexts,
                          {kOfxImageEffectContextFilter, kOfxImageEffectContextGeneral});
    host_props_.setString(kOfxImageEffectPropSupportedPixelDepths, {kOfxBitDepthByte, kOfxBitDepthShort, kOfxBitDepthFloat});
    host_props_.setInt(kOfxImageEffectPropSupportsMultipleClipDepths, {0});
    host_props_.setInt(kOfxImageEffectPropSupportsMultipleClipPARs, {0});
    host_props_.setInt(kOfxImageEffectPropSetableFrameRate, {0});
    host_props_.setInt(kOfxImageEffectPropSetableFielding, {0});
    host_props_.setPointer("org.kavri.test.host", this);  // the fetcher's way back to this host
    ofx_host_.host = handleOf(&host_props_);
    ofx_host_.fetchSuite = fetchSuite;
    descriptor_.props.setString(kOfxPropType, {kOfxTypeImageEffect});
    context_.props.setString(kOfxPropType, {kOfxTypeImageEffect});
    std::lock_guard<std::mutex> hold(State::lock);
    State::hosts[&descriptor_] = this;
    State::hosts[&context_] = this;
}

TestHost::~TestHost() {
    if (instance_) destroyInstance();
    if (loaded_) unload();  // as a host does before it closes the binary
    {
        std::lock_guard<std::mutex> hold(State::lock);
        State::hosts.erase(&descriptor_);
        State::hosts.erase(&context_);
    }
    if (library_) dlclose(library_);
}

const void* TestHost::fetch(const char* name, int version) {
    const std::string n = name;
    if (hidden_.count(n)) return nullptr;
    if (n == kOfxPropertySuite && version == 1) return &kPropertySuite;
    if (n == kOfxImageEffectSuite && version == 1) return &kImageEffectSuite;
    if (n == kOfxParameterSuite && version == 1) return &kParameterSuite;
    if (n == kOfxMemorySuite && version == 1) return &kMemorySuite;
    if (n == kOfxMultiThreadSuite && version == 1) return &kMultiThreadSuite;
    if (n == kOfxMessageSuite && (version == 1 || version == 2)) return &kMessageSuite;
    if (n == kOfxProgressSuite && version == 1) return &kProgressSuite;
    return nullptr;
}

bool TestHost::open(const std::string& bundle, std::string& error) {
    const std::string binary = bundleBinary(bundle);
    library_ = dlopen(binary.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library_) {
        const char* why = dlerror();
        error = why ? why : "cannot open " + binary;
        return false;
    }
    using Count = int (*)();
    using Get = OfxPlugin* (*)(int);
    const auto count = reinterpret_cast<Count>(dlsym(library_, "OfxGetNumberOfPlugins"));
    const auto get = reinterpret_cast<Get>(dlsym(library_, "OfxGetPlugin"));
    if (!count || !get) {
        error = binary + " lacks OfxGetNumberOfPlugins or OfxGetPlugin";
        return false;
    }
    if (count() < 1 || !(plugin_ = get(0))) {
        error = binary + " has no plug-in";
        return false;
    }
    if (std::string(plugin_->pluginApi) != kOfxImageEffectPluginApi || !plugin_->setHost || !plugin_->mainEntry) {
        error = binary + " is not an image effect";
        return false;
    }
    plugin_->setHost(&ofx_host_);
    return true;
}

OfxStatus TestHost::action(const char* name, void* handle, PropertySet* in, PropertySet* out) {
    actions.push_back(name);
    return plugin_->mainEntry(name, handle, in ? handleOf(in) : nullptr, out ? handleOf(out) : nullptr);
}

OfxStatus TestHost::loadAndDescribe(const std::string& context) {
    OfxStatus st = action(kOfxActionLoad, nullptr, nullptr, nullptr);
    if (st != kOfxStatOK && st != kOfxStatReplyDefault) return st;
    loaded_ = true;
    if ((st = action(kOfxActionDescribe, &descriptor_, nullptr, nullptr)) != kOfxStatOK) return st;
    PropertySet in;
    in.setString(kOfxImageEffectPropContext, {context});
    context_name_ = context;
    return action(kOfxImageEffectActionDescribeInContext, &context_, &in, nullptr);
}

OfxStatus TestHost::unload() {
    loaded_ = false;
    return action(kOfxActionUnload, nullptr, nullptr, nullptr);
}

OfxStatus TestHost::createInstance() {
    instance_ = std::make_unique<Effect>();
    Effect& e = *instance_;
    e.props.setString(kOfxPropType, {kOfxTypeImageEffectInstance});
    e.props.setString(kOfxImageEffectPropContext, {context_name_});
    e.props.setPointer(kOfxPropInstanceData, nullptr);
    e.props.setPointer(kOfxImageEffectPropPluginHandle, &descriptor_);
    e.props.setDouble(kOfxImageEffectPropProjectSize, {project_w_, project_h_});
    e.props.setDouble(kOfxImageEffectPropProjectExtent, {project_w_, project_h_});
    e.props.setDouble(kOfxImageEffectPropProjectOffset, {0, 0});
    e.props.setDouble(kOfxImageEffectPropProjectPixelAspectRatio, {1});
    e.props.setDouble(kOfxImageEffectPropFrameRate, {25});
    e.props.setDouble(kOfxImageEffectInstancePropEffectDuration, {100});
    e.props.setInt(kOfxPropIsInteractive, {0});
    for (auto& c : context_.clips) {
        auto clip = std::make_unique<Clip>(*c.second);
        clip->props.setInt(kOfxImageClipPropConnected, {1});
        e.clips.emplace_back(c.first, std::move(clip));
    }
    for (auto& p : context_.params.params) {
        auto param = std::make_unique<Param>(*p.second);
        param->props.setString(kOfxPropType, {kOfxTypeParameterInstance});
        const Property* d = param->props.has(kOfxParamPropDefault) ? &param->props.props[kOfxParamPropDefault] : nullptr;
        if (d && d->type == Property::kDouble) param->value = d->doubles;
        if (d && d->type == Property::kInt) param->value.assign(d->ints.begin(), d->ints.end());
        // a normalised spatial default is of the project's size
        if (param->type == kOfxParamTypeDouble2D &&
            param->props.getString(kOfxParamPropDefaultCoordinateSystem) == kOfxParamCoordinatesNormalised &&
            param->value.size() == 2) {
            param->value[0] *= project_w_;
            param->value[1] *= project_h_;
        }
        e.params.params.emplace_back(p.first, std::move(param));
    }
    {
        std::lock_guard<std::mutex> hold(State::lock);
        State::hosts[&e] = this;
    }
    return action(kOfxActionCreateInstance, &e, nullptr, nullptr);
}

OfxStatus TestHost::destroyInstance() {
    if (!instance_) return kOfxStatErrBadHandle;
    const OfxStatus st = action(kOfxActionDestroyInstance, instance_.get(), nullptr, nullptr);
    {
        std::lock_guard<std::mutex> hold(State::lock);
        State::hosts.erase(instance_.get());
    }
    instance_.reset();
    return st;
}

bool TestHost::setParam(const std::string& name, std::vector<double> value) {
    Param* p = instance_ ? instance_->params.findLabel(name) : nullptr;
    if (!p) return false;
    p->value = std::move(value);
    p->keys.clear();
    return true;
}

bool TestHost::setParamKey(const std::string& name, double time, std::vector<double> value) {
    Param* p = instance_ ? instance_->params.findLabel(name) : nullptr;
    if (!p) return false;
    p->keys[time] = std::move(value);
    return true;
}

OfxStatus TestHost::renderFrame(const Picture& source, const SourceSpec& spec, const RenderSpec& render, Picture& out) {
    if (!instance_) return kOfxStatErrBadHandle;
    Effect& e = *instance_;
    Frame frame;
    frame.host = this;
    frame.source = &source;
    frame.spec = &spec;
    frame.render = render;
    frame.source_storage.swap(source_buffer_);
    frame.out_storage.swap(output_buffer_);
    makeSource(frame);
    {
        std::lock_guard<std::mutex> hold(State::lock);
        State::frames[&e] = &frame;
    }
    struct Done {
        Effect* e;
        Frame* frame;
        TestHost* host;
        ~Done() {
            {
                std::lock_guard<std::mutex> hold(State::lock);
                State::frames.erase(e);
            }
            frame->source_storage.swap(host->source_buffer_);
            frame->out_storage.swap(host->output_buffer_);
        }
    } done{&e, &frame, this};
    Clip* src = e.clip(kOfxImageEffectSimpleSourceClipName);
    Clip* dst = e.clip(kOfxImageEffectOutputClipName);
    if (!src || !dst) return kOfxStatErrUnknown;
    for (Clip* c : {src, dst}) {
        c->props.setString(kOfxImageEffectPropPixelDepth, {spec.depth});
        c->props.setString(kOfxImageEffectPropComponents, {kOfxImageComponentRGBA});
        c->props.setString(kOfxImageClipPropUnmappedPixelDepth, {spec.depth});
        c->props.setString(kOfxImageClipPropUnmappedComponents, {kOfxImageComponentRGBA});
        c->props.setDouble(kOfxImagePropPixelAspectRatio, {spec.pixel_aspect});
        c->props.setDouble(kOfxImageEffectPropFrameRate, {25});
        c->props.setDouble(kOfxImageEffectPropFrameRange, {0, 99});
        c->props.setString(kOfxImageClipPropFieldOrder, {kOfxImageFieldNone});
    }
    src->props.setString(kOfxImageEffectPropPreMultiplication, {spec.premultiplication});

    // clip preferences, with the defaults in place first
    PropertySet prefs;
    for (const char* clip : {kOfxImageEffectSimpleSourceClipName, kOfxImageEffectOutputClipName}) {
        prefs.setString(std::string("OfxImageClipPropComponents_") + clip, {kOfxImageComponentRGBA});
        prefs.setString(std::string("OfxImageClipPropDepth_") + clip, {spec.depth});
        prefs.setDouble(std::string("OfxImageClipPropPAR_") + clip, {spec.pixel_aspect});
    }
    prefs.setString(kOfxImageEffectPropPreMultiplication, {spec.premultiplication});
    prefs.setDouble(kOfxImageEffectPropFrameRate, {25});
    prefs.setString(kOfxImageClipPropFieldOrder, {kOfxImageFieldNone});
    prefs.setInt(kOfxImageClipPropContinuousSamples, {0});
    prefs.setInt(kOfxImageEffectFrameVarying, {0});
    OfxStatus st = action(kOfxImageEffectActionGetClipPreferences, &e, nullptr, &prefs);
    if (st != kOfxStatOK && st != kOfxStatReplyDefault) return st;
    frame.out_premultiplication = prefs.getString(kOfxImageEffectPropPreMultiplication, 0, spec.premultiplication);
    dst->props.setString(kOfxImageEffectPropPreMultiplication, {frame.out_premultiplication});

    // the region of definition, by default the source's
    const double s = render.scale;
    PropertySet rod_in, rod_out;
    rod_in.setDouble(kOfxPropTime, {render.time});
    rod_in.setDouble(kOfxImageEffectPropRenderScale, {s, s});
    OfxRectD source_rod{};
    clipGetRegionOfDefinition(reinterpret_cast<OfxImageClipHandle>(src), render.time, &source_rod);
    rod_out.setDouble(kOfxImageEffectPropRegionOfDefinition, {source_rod.x1, source_rod.y1, source_rod.x2, source_rod.y2});
    st = action(kOfxImageEffectActionGetRegionOfDefinition, &e, &rod_in, &rod_out);
    if (st != kOfxStatOK && st != kOfxStatReplyDefault) return st;
    const double par = spec.pixel_aspect;
    frame.out_bounds = {
        static_cast<int>(std::floor(rod_out.getDouble(kOfxImageEffectPropRegionOfDefinition, 0) * s / par)),
        static_cast<int>(std::floor(rod_out.getDouble(kOfxImageEffectPropRegionOfDefinition, 1) * s)),
        static_cast<int>(std::ceil(rod_out.getDouble(kOfxImageEffectPropRegionOfDefinition, 2) * s / par - 1e-9)),
        static_cast<int>(std::ceil(rod_out.getDouble(kOfxImageEffectPropRegionOfDefinition, 3) * s - 1e-9))};
    const OfxRectI& b = frame.out_bounds;
    const OfxRectI window = render.whole_window ? b : render.window;

    // the regions of interest, asked for as a host does before fetching
    PropertySet roi_in, roi_out;
    roi_in.setDouble(kOfxPropTime, {render.time});
    roi_in.setDouble(kOfxImageEffectPropRenderScale, {s, s});
    roi_in.setDouble(kOfxImageEffectPropRegionOfInterest,
                     {window.x1 / s * par, window.y1 / s, window.x2 / s * par, window.y2 / s});
    roi_out.setDouble("OfxImageClipPropRoI_Source", roi_in.props[kOfxImageEffectPropRegionOfInterest].doubles);
    st = action(kOfxImageEffectActionGetRegionsOfInterest, &e, &roi_in, &roi_out);
    if (st != kOfxStatOK && st != kOfxStatReplyDefault) return st;

    const int bytes = 4 * depthBytes(spec.depth);
    frame.out_rowbytes = (b.x2 - b.x1) * bytes + spec.padding;
    frame.out_storage.assign(static_cast<size_t>(frame.out_rowbytes) * static_cast<size_t>(std::max(0, b.y2 - b.y1)),
                             0xAB);

    PropertySet seq;
    seq.setDouble(kOfxImageEffectPropFrameRange, {render.time, render.time});
    seq.setDouble(kOfxImageEffectPropFrameStep, {1});
    seq.setInt(kOfxPropIsInteractive, {0});
    seq.setDouble(kOfxImageEffectPropRenderScale, {s, s});
    seq.setInt(kOfxImageEffectPropSequentialRenderStatus, {0});
    seq.setInt(kOfxImageEffectPropInteractiveRenderStatus, {0});
    if ((st = action(kOfxImageEffectActionBeginSequenceRender, &e, &seq, nullptr)) != kOfxStatOK &&
        st != kOfxStatReplyDefault)
        return st;
    PropertySet args;
    args.setDouble(kOfxPropTime, {render.time});
    args.setString(kOfxImageEffectPropFieldToRender, {kOfxImageFieldNone});
    args.setInt(kOfxImageEffectPropRenderWindow, {window.x1, window.y1, window.x2, window.y2});
    args.setDouble(kOfxImageEffectPropRenderScale, {s, s});
    args.setInt(kOfxImageEffectPropSequentialRenderStatus, {0});
    args.setInt(kOfxImageEffectPropInteractiveRenderStatus, {0});
    args.setInt(kOfxImageEffectPropRenderQualityDraft, {0});
    const auto started = std::chrono::steady_clock::now();
    const OfxStatus rendered = action(kOfxImageEffectActionRender, &e, &args, nullptr);
    render_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    st = action(kOfxImageEffectActionEndSequenceRender, &e, &seq, nullptr);
    if (rendered != kOfxStatOK) return rendered;
    if (st != kOfxStatOK && st != kOfxStatReplyDefault) return st;

    // the output's rows, top first, as bytes (and as delivered)
    out.width = b.x2 - b.x1;
    out.height = b.y2 - b.y1;
    out.rgba.assign(static_cast<size_t>(out.width) * out.height * 4, 0);
    float_out_.clear();
    short_out_.clear();
    const int sample = depthBytes(spec.depth);
    for (int32_t y = 0; y < out.height; ++y) {
        const int32_t m = spec.negative_rowbytes ? y : out.height - 1 - y;
        const uint8_t* row = frame.out_storage.data() + static_cast<size_t>(m) * frame.out_rowbytes;
        for (int32_t i = 0; i < out.width * 4; ++i) {
            const uint8_t* p = row + i * sample;
            out.rgba[static_cast<size_t>(y) * out.width * 4 + i] = byteOfSample(p, spec.depth);
            if (spec.depth == kOfxBitDepthFloat) {
                float f;
                std::memcpy(&f, p, 4);
                float_out_.push_back(f);
            } else if (spec.depth == kOfxBitDepthShort) {
                uint16_t v;
                std::memcpy(&v, p, 2);
                short_out_.push_back(v);
            }
        }
    }
    return kOfxStatOK;
}

}  // namespace ofxtest
