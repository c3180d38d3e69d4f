#include "host/reference_host.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host/host_callbacks.h"
#include "host/host_testing.h"
#include "platform/mac_memory.h"

namespace refhost {

namespace {

// The host's record for a handle it hands out: the master pointer comes first,
// so the handle is the record's address.
struct HostHandle {
    void* master;
    A_u_longlong size;
    int locks;
};

}  // namespace

Host::Host(PF_EntryPointFunc entry)
    : entry_(entry), failures_(new testing::Failures()), counters_(new testing::Counters()) {
    previous_active_ = setActiveHost(this);
    in_.effect_ref = this;
    in_.quality = PF_Quality_HI;
    in_.time_step = 1;
    in_.local_time_step = 1;
    in_.time_scale = 30;
    in_.total_time = 1;
    in_.field = PF_Field_FRAME;
    in_.downsample_x = {1, 1};
    in_.downsample_y = {1, 1};
    in_.pixel_aspect_ratio = {1, 1};
    in_.version = 0x000D0000;
    basic_ = basicSuite();
}

Host::~Host() {
    if (entry_ && in_.sequence_data) sequenceSetdown();
    if (entry_ && in_.global_data) globalSetdown();
    // Whatever the plug-in left behind is the host's to free.
    while (!handles_.empty()) releaseHandle(*handles_.begin());
    setActiveHost(previous_active_);
}

void Host::prepareInData() {
    installCallbacks(in_, utils_, !failures_->no_handle_callbacks, !failures_->no_abort_callback);
    in_.pica_basicP = failures_->no_basic_suite ? nullptr : &basic_;
    in_.num_params = static_cast<A_long>(params_.size());
}

PF_Err Host::sendWith(PF_Cmd cmd, PF_OutData& out, PF_ParamDef** params, PF_LayerDef* output) {
    prepareInData();
    if (!entry_) return PF_Err_INVALID_CALLBACK;
    Host* saved = setActiveHost(this);
    PF_Err err = entry_(cmd, &in_, &out, params, output, nullptr);
    setActiveHost(saved);
    return err;
}

PF_Err Host::send(PF_Cmd cmd, PF_ParamDef** params, PF_LayerDef* output) {
    out_ = PF_OutData{};
    return sendWith(cmd, out_, params, output);
}

std::string Host::returnMessage() const {
    return std::string(out_.return_msg, strnlen(out_.return_msg, sizeof(out_.return_msg)));
}

PF_Err Host::about(std::string& text) {
    PF_Err err = send(PF_Cmd_ABOUT);
    text = returnMessage();
    return err;
}

PF_Err Host::globalSetup() {
    PF_Err err = send(PF_Cmd_GLOBAL_SETUP);
    if (!err) in_.global_data = out_.global_data;
    plugin_version_ = out_.my_version;
    return err;
}

PF_Err Host::paramsSetup() {
    params_.beginRegistration();
    summary_.clear();
    hints_.clear();
    render_flags_ = 0;
    PF_Err err = send(PF_Cmd_PARAMS_SETUP);
    params_.endRegistration();
    return err;
}

PF_Err Host::sequenceSetup() {
    PF_Err err = send(PF_Cmd_SEQUENCE_SETUP);
    if (!err) in_.sequence_data = out_.sequence_data;
    return err;
}

PF_Err Host::sequenceResetup() {
    PF_Handle old = in_.sequence_data;
    PF_Err err = send(PF_Cmd_SEQUENCE_RESETUP);
    if (!err && out_.sequence_data) {
        in_.sequence_data = out_.sequence_data;
        if (old && old != in_.sequence_data) releaseHandle(old);
    }
    return err;
}

PF_Err Host::sequenceSetdown() {
    PF_Err err = send(PF_Cmd_SEQUENCE_SETDOWN);
    in_.sequence_data = nullptr;
    return err;
}

PF_Err Host::globalSetdown() {
    PF_Err err = send(PF_Cmd_GLOBAL_SETDOWN);
    in_.global_data = nullptr;
    return err;
}

PF_Err Host::start() {
    PF_Err err = globalSetup();
    if (!err) err = paramsSetup();
    if (!err) err = sequenceSetup();
    return err;
}

PF_Err Host::updateParamsUI() {
    return send(PF_Cmd_UPDATE_PARAMS_UI, params_.array(input_, frameAt(in_.current_time, in_.time_scale)));
}

PF_Err Host::frameSetup() {
    return send(PF_Cmd_FRAME_SETUP, params_.array(input_, frameAt(in_.current_time, in_.time_scale)));
}

PF_Err Host::render(PF_LayerDef& input, PF_LayerDef& output) {
    input_ = &input;
    in_.width = input.width;
    in_.height = input.height;
    in_.extent_hint = {0, 0, input.width, input.height};
    return send(PF_Cmd_RENDER, params_.array(&input, frameAt(in_.current_time, in_.time_scale)), &output);
}

PF_Err Host::renderFrame(PF_LayerDef& input, PF_LayerDef& output) {
    setInput(&input);
    PF_Err err = updateParamsUI();
    if (!err) err = frameSetup();
    if (!err) err = render(input, output);
    return err;
}

PF_Err Host::queryDynamicFlags() {
    return send(PF_Cmd_QUERY_DYNAMIC_FLAGS);
}

void Host::setDownsample(A_long xn, A_u_long xd, A_long yn, A_u_long yd) {
    in_.downsample_x = {xn, xd};
    in_.downsample_y = {yn, yd};
    params_.setPointScale(xd ? static_cast<double>(xn) / xd : 1, yd ? static_cast<double>(yn) / yd : 1);
}

void Host::setFrameRate(A_long num, A_u_long den) {
    rate_num_ = num > 0 ? num : 30;
    rate_den_ = den > 0 ? den : 1;
}

void Host::setFrame(int64_t frame) {
    const int64_t t = frame * static_cast<int64_t>(rate_den_);
    in_.current_time = static_cast<A_long>(std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, t)));
    in_.time_step = static_cast<A_long>(rate_den_);
    in_.local_time_step = in_.time_step;
    in_.time_scale = static_cast<A_u_long>(rate_num_);
}

double Host::frameAt(A_long time, A_u_long scale) const {
    if (scale == 0) return 0;
    return static_cast<double>(time) * static_cast<double>(rate_num_) /
           (static_cast<double>(scale) * static_cast<double>(rate_den_));
}

void Host::setTime(A_long current_time, A_long time_step, A_u_long time_scale) {
    in_.current_time = current_time;
    in_.time_step = time_step;
    in_.time_scale = time_scale;
}




void Host::setCheckoutLayer(int position, const PF_LayerDef* layer) {
    checkout_layers_[position] = layer;
}





// ---- callbacks ----

PF_Err Host::addParam(PF_ParamIndex, const PF_ParamDef* def) {
    ++counters_->add_param_calls;
    if (failures_->fail_add_param_at == counters_->add_param_calls) return failures_->add_param_error;
    params_.add(*def);
    return PF_Err_NONE;
}

PF_Err Host::checkoutParam(PF_ParamIndex index, A_long what_time, A_long step, A_u_long scale, PF_ParamDef* param) {
    counters_->last_checkout_time = what_time;
    counters_->last_checkout_step = step;
    counters_->last_checkout_scale = scale;
    if (failures_->fail_checkout) return PF_Err_BAD_CALLBACK_PARAM;
    if (index < 0 || static_cast<size_t>(index) >= std::max<size_t>(params_.size(), 1)) return PF_Err_INVALID_INDEX;
    ++counters_->checkouts;
    auto layer = checkout_layers_.find(index);
    if (layer != checkout_layers_.end()) {
        *param = layerParam(layer->second);
        return PF_Err_NONE;
    }
    *param = params_.resolved(static_cast<size_t>(index), input_, frameAt(what_time, scale));
    return PF_Err_NONE;
}

PF_Err Host::checkinParam(PF_ParamDef*) {
    ++counters_->checkins;
    return PF_Err_NONE;
}

PF_Handle Host::newHandle(A_u_longlong size) {
    ++counters_->handle_allocations;
    if (failures_->fail_handle_alloc_at == counters_->handle_allocations) return nullptr;
    HostHandle* h = static_cast<HostHandle*>(std::malloc(sizeof(HostHandle)));
    if (!h) return nullptr;
    h->master = std::malloc(size ? size : 1);
    if (!h->master) {
        std::free(h);
        return nullptr;
    }
    h->size = size;
    h->locks = 0;
    PF_Handle handle = &h->master;
    handles_.insert(handle);
    return handle;
}

void* Host::lockHandle(PF_Handle h) {
    ++counters_->handle_locks;
    if (!handles_.count(h)) return nullptr;
    ++reinterpret_cast<HostHandle*>(h)->locks;
    return *h;
}

void Host::unlockHandle(PF_Handle h) {
    ++counters_->handle_unlocks;
    if (handles_.count(h)) --reinterpret_cast<HostHandle*>(h)->locks;
}

void Host::disposeHandle(PF_Handle h) {
    releaseHandle(h);
}

// Frees a handle of ours, or one the plug-in made with the platform's memory
// handles when it had no handle callbacks.
void Host::releaseHandle(PF_Handle h) {
    if (!h) return;
    auto it = handles_.find(h);
    if (it == handles_.end()) {
        DisposeHandle(reinterpret_cast<Handle>(h));
        return;
    }
    handles_.erase(it);
    HostHandle* record = reinterpret_cast<HostHandle*>(h);
    std::free(record->master);
    std::free(record);
}

PF_Err Host::progressReported(A_long done, A_long total) {
    ++counters_->progress_reports;
    if (hear_progress_) hear_progress_(done, total);
    return PF_Err_NONE;
}

// The texts are the plug-in's for the call only: copied, at most a line's worth.
static std::string copiedText(const A_char* text) {
    return text ? std::string(text, strnlen(text, 1000)) : std::string();
}

PF_Err Host::setSummary(const A_char* summary) {
    summary_ = copiedText(summary);
    return PF_Err_NONE;
}

PF_Err Host::setRenderFlags(A_u_long flags) {
    render_flags_ = flags;
    return PF_Err_NONE;
}

PF_Err Host::setHint(A_long id, const A_char* hint) {
    hints_[id] = copiedText(hint);
    return PF_Err_NONE;
}

std::string Host::hint(A_long id) const {
    auto it = hints_.find(id);
    return it == hints_.end() ? std::string() : it->second;
}

PF_Err Host::abortRequested() {
    ++counters_->abort_checks;
    return stop_ && stop_() ? PF_Interrupt_CANCEL : PF_Err_NONE;
}

SPErr Host::acquireSuite(const char* name, A_long version, const void** suite) {
    *suite = nullptr;
    if (failures_->withheld_suites.count(name)) return kSPSuiteNotFoundError;
    *suite = findSuite(name, version);
    if (!*suite) return kSPSuiteNotFoundError;
    ++counters_->suite_acquisitions;
    return kSPNoError;
}

SPErr Host::releaseSuite(const char*, A_long) {
    ++counters_->suite_releases;
    return kSPNoError;
}

PF_Err Host::updateParamUI(PF_ParamIndex index, const PF_ParamDef* def) {
    ++counters_->update_param_ui_calls;
    if (index <= 0 || static_cast<size_t>(index) >= params_.size()) return PF_Err_INVALID_INDEX;
    params_.param(index).ui_flags = def->ui_flags;
    return PF_Err_NONE;
}

PF_Err Host::convertEffectToCompTime(A_long what_time, A_u_long time_scale, A_Time* comp_time) {
    if (failures_->fail_comp_time || time_scale == 0) return PF_Err_BAD_CALLBACK_PARAM;
    // layer start + what_time / time_scale, over the common scale
    comp_time->value = static_cast<A_long>(static_cast<int64_t>(layer_start_.value) * time_scale +
                                           static_cast<int64_t>(what_time) * layer_start_.scale);
    comp_time->scale = layer_start_.scale * time_scale;
    return PF_Err_NONE;
}

}  // namespace refhost
