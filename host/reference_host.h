// The reference host: drives a plug-in module through its entry point the way
// the host application does, supplying every callback and suite the plug-in
// relies on. A Host is one applied effect: it sends the commands in the
// host's order, keeps the parameters (param_store.h) and the handles it hands
// out, and serves the plug-in's callbacks (host_callbacks.cpp). Frames are
// worlds (world.h); modules are loaded by module.h. What tests can switch off
// or count is in host_testing.h, apart from what a command or a bridge sees.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/module.h"
#include "host/param_store.h"
#include "host/world.h"
#include "platform/ae_effect.h"

namespace refhost {

namespace testing {
struct Failures;
struct Counters;
}  // namespace testing

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
    // One frame as the host application renders it: the parameter UI update,
    // frame setup and render, each only while the one before succeeded, with
    // `input` as the layer throughout.
    PF_Err renderFrame(PF_LayerDef& input, PF_LayerDef& output);
    PF_Err queryDynamicFlags();
    PF_Err sequenceSetdown();
    PF_Err globalSetdown();
    // Global setup, parameter setup and sequence setup; stops at the first error.
    PF_Err start();
    // Any command, with this host's records; out_data is cleared first.
    PF_Err send(PF_Cmd cmd, PF_ParamDef** params = nullptr, PF_LayerDef* output = nullptr);
    // Any command with a caller's out_data, left as the plug-in leaves it.
    PF_Err sendWith(PF_Cmd cmd, PF_OutData& out, PF_ParamDef** params = nullptr, PF_LayerDef* output = nullptr);

    // ---- parameters (the store's, by host position) ----
    ParamStore& params() { return params_; }
    const ParamStore& params() const { return params_; }
    const std::vector<PF_ParamDef>& definitions() const { return params_.definitions(); }
    const std::vector<PF_ParamDef>& registered() const { return params_.registered(); }
    // Forgets every registered definition but the input layer, for driving
    // parameter registration directly.
    void resetRegistered() { params_.beginRegistration(); }
    PF_ParamDef& param(int position) { return params_.param(position); }
    int positionOfId(A_long id) const { return params_.positionOfId(id); }
    int positionOfName(const std::string& name) const { return params_.positionOfName(name); }
    void setPoint(int position, PF_Fixed x, PF_Fixed y) { params_.setPoint(position, x, y); }
    // The parameter array handed to the plug-in for the given input layer.
    PF_ParamDef** paramArray(const PF_LayerDef* input) { return params_.array(input); }
    // What checkout_param gives for a layer position other than 0 (null: no layer).
    void setCheckoutLayer(int position, const PF_LayerDef* layer);
    // The input layer outside a render (render sets it to the layer it renders).
    void setInput(const PF_LayerDef* input) { input_ = input; }

    // ---- render settings ----
    void setQuality(PF_Quality q) { in_.quality = q; }
    void setPixelAspect(A_long num, A_u_long den) { in_.pixel_aspect_ratio = {num, den}; }
    // Downsampling factors of the render (1/2: half resolution); points that
    // are set or keyed in full-resolution pixels are handed over scaled by them.
    void setDownsample(A_long xn, A_u_long xd, A_long yn, A_u_long yd);
    void setTime(A_long current_time, A_long time_step, A_u_long time_scale);
    // The timeline's frame rate, num / den frames a second (25/1, 30000/1001):
    // animated parameters take their keys' frames on it.
    void setFrameRate(A_long num, A_u_long den);
    // The frame to render: current_time, time_step and time_scale as the host
    // application sets them for it on the timeline (time_scale num, time_step den).
    void setFrame(int64_t frame);
    // The timeline frame of a time in a scale (checkout_param's), between frames too.
    double frameAt(A_long time, A_u_long scale) const;
    void setLayerStart(A_Time start) { layer_start_ = start; }
    // The plug-in's abort checks answer PF_Interrupt_CANCEL once `stop` says so
    // (a user's cancel, a time limit); without it they never stop a render.
    void setAbort(std::function<bool()> stop) { stop_ = std::move(stop); }
    // Hears the plug-in's progress reports (done of total) during a command.
    void setProgress(std::function<void(A_long done, A_long total)> hear) { hear_progress_ = std::move(hear); }

    // ---- state ----
    // The host's input record with its callbacks in place, for calling library
    // routines directly.
    PF_InData& inData() {
        prepareInData();
        return in_;
    }
    PF_OutData& outData() { return out_; }
    std::string returnMessage() const;
    bool hasGlobal() const { return in_.global_data != nullptr; }
    // What the plug-in said of itself through the description suite at
    // parameter setup: its one-line summary, and a hint by parameter identity
    // (uu.id); empty where it said nothing.
    const std::string& summary() const { return summary_; }
    std::string hint(A_long id) const;
    // Whether the plug-in said its render writes every output pixel
    // (KAVRI_RENDER_COVERS_OUTPUT): its output need not be cleared first.
    bool coversOutput() const { return (render_flags_ & KAVRI_RENDER_COVERS_OUTPUT) != 0; }
    // The version the plug-in reported at global setup (PF_OutData my_version).
    A_u_long pluginVersion() const { return plugin_version_; }
    bool hasSequence() const { return in_.sequence_data != nullptr; }

private:
    friend struct HostServices;  // the callback table's way in
    friend struct TestAccess;    // host_testing.h

    void prepareInData();
    // ---- the services behind the callbacks ----
    PF_Err addParam(PF_ParamIndex index, const PF_ParamDef* def);
    PF_Err checkoutParam(PF_ParamIndex index, A_long what_time, A_long step, A_u_long scale, PF_ParamDef* param);
    PF_Err checkinParam(PF_ParamDef* param);
    PF_Handle newHandle(A_u_longlong size);
    void* lockHandle(PF_Handle h);
    void unlockHandle(PF_Handle h);
    void disposeHandle(PF_Handle h);
    void releaseHandle(PF_Handle h);
    SPErr acquireSuite(const char* name, A_long version, const void** suite);
    SPErr releaseSuite(const char* name, A_long version);
    PF_Err updateParamUI(PF_ParamIndex index, const PF_ParamDef* def);
    PF_Err convertEffectToCompTime(A_long what_time, A_u_long time_scale, A_Time* comp_time);
    PF_Err setSummary(const A_char* summary);
    PF_Err setHint(A_long id, const A_char* hint);
    PF_Err setRenderFlags(A_u_long flags);
    PF_Err abortRequested();
    PF_Err progressReported(A_long done, A_long total);

    PF_EntryPointFunc entry_;
    PF_InData in_{};
    PF_OutData out_{};
    PF_UtilCallbacks utils_{};
    SPBasicSuite basic_{};
    ParamStore params_;
    std::map<int, const PF_LayerDef*> checkout_layers_;
    const PF_LayerDef* input_ = nullptr;
    A_Time layer_start_{0, 1};
    A_long rate_num_ = 30;
    A_u_long rate_den_ = 1;
    std::function<bool()> stop_;
    std::function<void(A_long, A_long)> hear_progress_;
    A_u_long plugin_version_ = 0;
    std::string summary_;
    A_u_long render_flags_ = 0;
    std::map<A_long, std::string> hints_;
    std::set<PF_Handle> handles_;
    std::unique_ptr<testing::Failures> failures_;
    std::unique_ptr<testing::Counters> counters_;
    Host* previous_active_ = nullptr;
};

// The host whose callbacks are being served on this thread (the innermost live
// Host, or the one sending a command).
Host* activeHost();

}  // namespace refhost
