// The reference host: loads a plug-in module by path and drives it through its
// entry point the way the host application does, supplying every callback and
// suite the plug-in relies on. Tests can switch individual services off to see
// how the plug-in copes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/ae_effect.h"

namespace refhost {

// Frees a world's pixels the way they were allocated.
struct WorldRelease {
    size_t mapped = 0;  // bytes mapped; 0: from the heap
    void operator()(uint8_t* p) const;
};

// An 8-bit world owned by the host, with padded rows (rowbytes > 4 * width) as
// real hosts hand them out. Large worlds are mapped on demand, so pages nothing
// touches cost no memory; a world may hold more than 2 GiB.
class World {
public:
    World() = default;
    // Allocates width x height pixels, all bytes 0. On failure returns false and
    // says why in `error` ("image too large", "out of memory").
    bool allocate(int32_t width, int32_t height, std::string& error, int32_t extra_row_bytes = -1);
    PF_LayerDef& def() { return def_; }
    const PF_LayerDef& def() const { return def_; }
    int32_t width() const { return def_.width; }
    int32_t height() const { return def_.height; }
    PF_Pixel* row(int32_t y) { return reinterpret_cast<PF_Pixel*>(storage_.get() + static_cast<size_t>(y) * def_.rowbytes); }
    const PF_Pixel* row(int32_t y) const {
        return reinterpret_cast<const PF_Pixel*>(storage_.get() + static_cast<size_t>(y) * def_.rowbytes);
    }
    PF_Pixel& at(int32_t x, int32_t y) { return row(y)[x]; }
    const PF_Pixel& at(int32_t x, int32_t y) const { return row(y)[x]; }
    void clear(PF_Pixel p);
    // Same size and the same pixels (row padding is not compared).
    bool samePixels(const World& other) const;

    // A row's bytes are a 32-bit count in the host's records.
    static constexpr int64_t kMaxRowBytes = INT32_MAX;
    // Worlds from this size on are mapped rather than allocated.
    static constexpr int64_t kMapFromBytes = int64_t{16} << 20;

private:
    std::unique_ptr<uint8_t[], WorldRelease> storage_;
    PF_LayerDef def_{};
};

// A loaded plug-in module.
class Module {
public:
    // Loads the module and resolves its entry point; null with a message on failure.
    static std::unique_ptr<Module> load(const std::string& path, std::string& error);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    PF_EntryPointFunc entry() const { return entry_; }
    void* symbol(const char* name) const;
    const std::string& path() const { return path_; }

private:
    Module() = default;
    void* handle_ = nullptr;
    PF_EntryPointFunc entry_ = nullptr;
    std::string path_;
};

// Services the host can withhold or make fail, for tests.
struct Failures {
    bool no_basic_suite = false;           // pica_basicP is null
    std::set<std::string> withheld_suites; // AcquireSuite finds no such suite
    bool no_handle_callbacks = false;      // the four handle callbacks are null
    bool no_abort_callback = false;        // inter.abort is null
    int fail_add_param_at = 0;             // the Nth add_param (1-based) fails; 0 never
    PF_Err add_param_error = PF_Err_OUT_OF_MEMORY;
    int fail_handle_alloc_at = 0;          // the Nth host_new_handle (1-based) gives null
    bool fail_checkout = false;
    bool fail_comp_time = false;
};

// Counts of what the plug-in asked for, for tests.
struct Counters {
    int add_param_calls = 0;
    int handle_allocations = 0;
    int handle_locks = 0;
    int handle_unlocks = 0;
    int fills = 0;
    int composites = 0;
    int samples = 0;
    int checkouts = 0;
    int checkins = 0;
    int suite_acquisitions = 0;
    int suite_releases = 0;
    int update_param_ui_calls = 0;
    int64_t abort_checks = 0;
    A_long last_checkout_time = 0;
    A_long last_checkout_step = 0;
    A_u_long last_checkout_scale = 0;
};

class Host {
public:
    // The entry point must stay valid (its module loaded) for the host's life.
    explicit Host(PF_EntryPointFunc entry);
    // Sends the setdowns still owed and frees every handle the host handed out.
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // ---- commands, in the host's order ----
    PF_Err about(std::string& text);
    PF_Err globalSetup();
    PF_Err paramsSetup();
    PF_Err sequenceSetup();
    PF_Err sequenceResetup();
    PF_Err updateParamsUI();
    PF_Err frameSetup();
    // Renders input into output with the current parameter values.
    PF_Err render(PF_LayerDef& input, PF_LayerDef& output);
    PF_Err queryDynamicFlags();
    PF_Err sequenceSetdown();
    PF_Err globalSetdown();
    // Global setup, parameter setup and sequence setup; stops at the first error.
    PF_Err start();
    // Any command, with this host's records; out_data is cleared first.
    PF_Err send(PF_Cmd cmd, PF_ParamDef** params = nullptr, PF_LayerDef* output = nullptr);
    // Any command with a caller's out_data, left as the plug-in leaves it.
    PF_Err sendWith(PF_Cmd cmd, PF_OutData& out, PF_ParamDef** params = nullptr, PF_LayerDef* output = nullptr);

    // ---- parameters ----
    // The host's copy of every definition in host order; position 0 is the input layer.
    const std::vector<PF_ParamDef>& definitions() const { return params_; }
    // The definitions as registered (point defaults in percent), for listings.
    const std::vector<PF_ParamDef>& registered() const { return registered_; }
    // Forgets every registered definition but the input layer, for driving
    // parameter registration directly.
    void resetRegistered();
    PF_ParamDef& param(int position) { return params_.at(static_cast<size_t>(position)); }
    // Host position of a stable index or a name; -1 when there is none.
    int positionOfId(A_long id) const;
    int positionOfName(const std::string& name) const;
    // Sets a point in layer pixels (16.16); unset points follow their percent
    // defaults against the input layer's size.
    void setPoint(int position, PF_Fixed x, PF_Fixed y);
    // The parameter array handed to the plug-in for the given input layer.
    PF_ParamDef** paramArray(const PF_LayerDef* input);
    // What checkout_param gives for a layer position other than 0 (null: no layer).
    void setCheckoutLayer(int position, const PF_LayerDef* layer);
    // The input layer outside a render (render sets it to the layer it renders).
    void setInput(const PF_LayerDef* input) { input_ = input; }

    // ---- render settings ----
    void setQuality(PF_Quality q) { in_.quality = q; }
    void setPixelAspect(A_long num, A_u_long den) { in_.pixel_aspect_ratio = {num, den}; }
    void setDownsample(A_long xn, A_u_long xd, A_long yn, A_u_long yd);
    void setTime(A_long current_time, A_long time_step, A_u_long time_scale);
    void setLayerStart(A_Time start) { layer_start_ = start; }
    // The plug-in's abort checks answer PF_Interrupt_CANCEL once `stop` says so
    // (a user's cancel, a time limit); without it they never stop a render.
    void setAbort(std::function<bool()> stop) { stop_ = std::move(stop); }

    // ---- state ----
    // The host's input record with its callbacks in place, for calling library
    // routines directly.
    PF_InData& inData() {
        prepareInData();
        return in_;
    }
    PF_OutData& outData() { return out_; }
    std::string returnMessage() const;
    Failures& failures() { return failures_; }
    const Counters& counters() const { return counters_; }
    // Handles handed out by host_new_handle and not yet disposed.
    size_t liveHandles() const { return handles_.size(); }
    // Suites acquired and not yet released.
    int outstandingSuites() const { return counters_.suite_acquisitions - counters_.suite_releases; }
    int outstandingCheckouts() const { return counters_.checkouts - counters_.checkins; }
    bool hasGlobal() const { return in_.global_data != nullptr; }
    bool hasSequence() const { return in_.sequence_data != nullptr; }

    // ---- the callbacks, reached from their C trampolines ----
    PF_Err addParam(PF_ParamIndex index, const PF_ParamDef* def);
    PF_Err checkoutParam(PF_ParamIndex index, A_long what_time, A_long step, A_u_long scale, PF_ParamDef* param);
    PF_Err checkinParam(PF_ParamDef* param);
    PF_Handle newHandle(A_u_longlong size);
    void* lockHandle(PF_Handle h);
    void unlockHandle(PF_Handle h);
    void disposeHandle(PF_Handle h);
    SPErr acquireSuite(const char* name, A_long version, const void** suite);
    SPErr releaseSuite(const char* name, A_long version);
    PF_Err updateParamUI(PF_ParamIndex index, const PF_ParamDef* def);
    PF_Err convertEffectToCompTime(A_long what_time, A_u_long time_scale, A_Time* comp_time);
    PF_Err abortRequested();
    void countFill() { ++counters_.fills; }
    void countComposite() { ++counters_.composites; }
    void countSample() { ++counters_.samples; }

private:
    void prepareInData();
    void releaseHandle(PF_Handle h);
    PF_ParamDef inputLayerDef(const PF_LayerDef* input) const;
    // The current value of a position as handed to the plug-in.
    PF_ParamDef resolved(size_t position, const PF_LayerDef* input) const;

    PF_EntryPointFunc entry_;
    PF_InData in_{};
    PF_OutData out_{};
    PF_UtilCallbacks utils_{};
    SPBasicSuite basic_{};
    std::vector<PF_ParamDef> registered_;
    std::vector<PF_ParamDef> params_;
    std::vector<bool> point_set_;
    std::vector<PF_ParamDef> call_params_;
    std::vector<PF_ParamDef*> call_pointers_;
    std::map<int, const PF_LayerDef*> checkout_layers_;
    const PF_LayerDef* input_ = nullptr;
    A_Time layer_start_{0, 1};
    Failures failures_;
    Counters counters_;
    std::set<PF_Handle> handles_;
    Host* previous_active_ = nullptr;
    std::function<bool()> stop_;
};

// The host whose callbacks are being served on this thread (the innermost live
// Host, or the one sending a command).
Host* activeHost();

// Reads a world's pixel as "a,r,g,b" for messages.
std::string describePixel(const PF_Pixel& p);

}  // namespace refhost
