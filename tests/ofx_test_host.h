// An OpenFX host for the tests, written from the standard: it loads a bundle's
// binary, serves the property, image effect, parameter, memory, multi-thread,
// message and progress suites, and runs the actions in the standard's order
// (load, describe, describe in context, create instance, clip preferences,
// region of definition, regions of interest, begin sequence, render, end
// sequence, destroy, unload). Parameters are set by name; source images are
// handed over at any depth, alpha state, row order and render scale, and the
// output comes back as 8-bit RGBA rows, top row first.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bridges/openfx/ofx_api.h"

namespace ofxtest {

// A named, typed property with one or more values.
struct Property {
    enum Type { kInt, kDouble, kString, kPointer } type = kInt;
    std::vector<int> ints;
    std::vector<double> doubles;
    std::vector<std::string> strings;
    std::vector<void*> pointers;
    int dimension() const;
};

struct PropertySet {
    std::map<std::string, Property> props;
    bool has(const std::string& name) const { return props.count(name) != 0; }
    int getInt(const std::string& name, int index = 0, int otherwise = 0) const;
    double getDouble(const std::string& name, int index = 0, double otherwise = 0) const;
    std::string getString(const std::string& name, int index = 0, const std::string& otherwise = "") const;
    void setInt(const std::string& name, std::vector<int> v);
    void setDouble(const std::string& name, std::vector<double> v);
    void setString(const std::string& name, std::vector<std::string> v);
    void setPointer(const std::string& name, void* v);
};

// A parameter: its description, then in an instance its value over time.
struct Param {
    PropertySet props;
    std::string type;
    std::vector<double> value;            // every kind's value, as doubles (an integer's too)
    std::map<double, std::vector<double>> keys;  // time -> value; linear between, held outside
    std::vector<double> at(double time) const;
};

struct ParamSet {
    PropertySet props;
    std::vector<std::pair<std::string, std::unique_ptr<Param>>> params;  // in definition order
    Param* find(const std::string& name);
    Param* findLabel(const std::string& label);  // what a user sees
};

struct Clip {
    PropertySet props;
    std::string name;
};

// An image as a host hands it: the standard's properties and its pixels.
struct Image {
    PropertySet props;
    std::vector<uint8_t> storage;
};

// A plug-in descriptor or instance.
struct Effect {
    PropertySet props;
    ParamSet params;
    std::vector<std::pair<std::string, std::unique_ptr<Clip>>> clips;
    Clip* clip(const std::string& name);
};

// A picture the tests work with: 8-bit RGBA, top row first.
struct Picture {
    int32_t width = 0, height = 0;
    std::vector<uint8_t> rgba;
};

// How a source image is handed to the plug-in.
struct SourceSpec {
    std::string depth = kOfxBitDepthByte;
    std::string premultiplication = kOfxImageUnPreMultiplied;
    bool negative_rowbytes = false;  // top row first in memory, as top-down hosts keep pictures
    int padding = 12;                // bytes after each row
    double pixel_aspect = 1;
};

// A render's settings.
struct RenderSpec {
    double time = 0;
    double scale = 1;          // render scale, both axes
    bool whole_window = true;  // else `window`, in pixels at the render scale
    OfxRectI window{};
};

class TestHost {
public:
    TestHost();
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    // ---- loading ----
    // Opens the bundle's binary and finds its one plug-in; false with a message.
    bool open(const std::string& bundle, std::string& error);
    // A suite the host pretends not to have (before load).
    void hideSuite(const std::string& name) { hidden_.insert(name); }
    // Load, describe and describe in the context; the first failing status.
    OfxStatus loadAndDescribe(const std::string& context = kOfxImageEffectContextFilter);
    OfxStatus unload();
    const OfxPlugin* plugin() const { return plugin_; }
    Effect& descriptor() { return descriptor_; }
    Effect& contextDescriptor() { return context_; }

    // ---- an instance ----
    OfxStatus createInstance();
    OfxStatus destroyInstance();
    Effect* instance() { return instance_.get(); }
    // Sets a parameter's value (every dimension) by its label, the name a user
    // sees; at a time, a key. False when there is no such parameter.
    bool setParam(const std::string& name, std::vector<double> value);
    bool setParamKey(const std::string& name, double time, std::vector<double> value);
    // The project: its size in canonical pixels (normalised defaults are of it).
    void setProjectSize(double width, double height) { project_w_ = width, project_h_ = height; }

    // ---- rendering ----
    // The whole road of one frame: clip preferences, region of definition,
    // regions of interest, begin sequence, render, end sequence. The picture is
    // the source at the render's scale; the output comes back in `out` (the
    // render window's pixels; outside it the host's own fill, 0xAB bytes).
    OfxStatus renderFrame(const Picture& source, const SourceSpec& spec, const RenderSpec& render, Picture& out);
    // The output as delivered, before it was turned into bytes (float depth):
    // RGBA floats, top row first.
    const std::vector<float>& floatOutput() const { return float_out_; }
    const std::vector<uint16_t>& shortOutput() const { return short_out_; }

    // ---- failure switches and what was seen ----
    bool fail_source_fetch = false;
    bool fail_output_fetch = false;
    std::string source_depth_claim;  // a depth the source image claims instead of its own
    int source_rowbytes_claim = 0;   // row bytes it claims instead of its own (0: its own)
    int abort_after = -1;  // the abort check answers yes from this call on (-1: never)
    std::vector<std::string> messages;
    std::vector<std::string> actions;  // every action sent, in order
    double render_seconds = 0;         // the last render action's wall time
    OfxStatus action(const char* name, void* handle, PropertySet* in, PropertySet* out);

    // The host's suite fetcher, for tests that call it directly.
    const void* fetch(const char* name, int version);

    struct State;  // the callbacks' view of the host

private:
    void* library_ = nullptr;
    OfxPlugin* plugin_ = nullptr;
    bool loaded_ = false;
    std::set<std::string> hidden_;
    OfxHost ofx_host_{};
    PropertySet host_props_;
    Effect descriptor_, context_;
    std::unique_ptr<Effect> instance_;
    std::string context_name_;
    double project_w_ = 0, project_h_ = 0;
    std::vector<uint8_t> source_buffer_, output_buffer_;  // reused from frame to frame, as hosts do
    std::vector<float> float_out_;
    std::vector<uint16_t> short_out_;
};

// The binary inside a bundle: BUNDLE/Contents/Linux-x86-64/NAME.ofx.
std::string bundleBinary(const std::string& bundle);

}  // namespace ofxtest
