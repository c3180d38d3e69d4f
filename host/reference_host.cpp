#include "host/reference_host.h"

#include <dlfcn.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/host_pixels.h"
#include "platform/mac_memory.h"

namespace refhost {

// ---- worlds ----

void WorldRelease::operator()(uint8_t* p) const {
    if (mapped)
        munmap(p, mapped);
    else
        std::free(p);
}

bool World::allocate(int32_t width, int32_t height, std::string& error, int32_t extra_row_bytes) {
    if (width < 0 || height < 0) {
        error = "negative image size";
        return false;
    }
    // Rows padded past their pixels and rounded up to 64 bytes, so no row is packed.
    const int64_t pad = extra_row_bytes >= 0 ? extra_row_bytes : 16;
    int64_t rowbytes = static_cast<int64_t>(width) * 4 + pad;
    if (extra_row_bytes < 0) rowbytes = (rowbytes + 63) / 64 * 64;
    const int64_t bytes = rowbytes * std::max<int64_t>(height, 1);
    if (rowbytes > kMaxRowBytes) {
        error = "image too large: " + std::to_string(width) + " pixels is more than a row can hold";
        return false;
    }
    const size_t size = static_cast<size_t>((bytes + 63) / 64 * 64);
    uint8_t* raw = nullptr;
    WorldRelease release;
    if (bytes >= kMapFromBytes) {
        // anonymous pages read as zero and take memory only once written
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p != MAP_FAILED) {
            raw = static_cast<uint8_t*>(p);
            release.mapped = size;
        }
    } else if (void* p = std::aligned_alloc(64, size)) {
        std::memset(p, 0, static_cast<size_t>(bytes));
        raw = static_cast<uint8_t*>(p);
    }
    if (!raw) {
        error = "out of memory for a " + std::to_string(width) + " x " + std::to_string(height) + " frame";
        return false;
    }
    storage_ = std::unique_ptr<uint8_t[], WorldRelease>(raw, release);
    def_ = PF_LayerDef{};
    def_.data = reinterpret_cast<PF_Pixel*>(storage_.get());
    def_.rowbytes = static_cast<A_long>(rowbytes);
    def_.width = width;
    def_.height = height;
    def_.extent_hint = {0, 0, width, height};
    def_.pix_aspect_ratio = {1, 1};
    return true;
}

void World::clear(PF_Pixel p) {
    for (int32_t y = 0; y < def_.height; ++y) std::fill_n(row(y), def_.width, p);
}

bool World::samePixels(const World& other) const {
    if (width() != other.width() || height() != other.height()) return false;
    for (int32_t y = 0; y < height(); ++y)
        if (std::memcmp(row(y), other.row(y), static_cast<size_t>(width()) * 4) != 0) return false;
    return true;
}

std::string describePixel(const PF_Pixel& p) {
    char text[32];
    std::snprintf(text, sizeof(text), "%d,%d,%d,%d", p.alpha, p.red, p.green, p.blue);
    return text;
}

// ---- modules ----

std::unique_ptr<Module> Module::load(const std::string& path, std::string& error) {
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = "cannot load plug-in module " + path + ": " + (why ? why : "unknown error");
        return nullptr;
    }
    void* entry = dlsym(handle, PF_ENTRY_POINT_NAME);
    if (!entry) {
        dlclose(handle);
        error = "plug-in module " + path + " has no " PF_ENTRY_POINT_NAME;
        return nullptr;
    }
    std::unique_ptr<Module> module(new Module());
    module->handle_ = handle;
    module->entry_ = reinterpret_cast<PF_EntryPointFunc>(entry);
    module->path_ = path;
    return module;
}

Module::~Module() {
    if (handle_) dlclose(handle_);
}

void* Module::symbol(const char* name) const {
    return dlsym(handle_, name);
}

// ---- the active host ----

static thread_local Host* t_active = nullptr;

Host* activeHost() {
    return t_active;
}

static Host* hostOf(PF_ProgPtr effect_ref) {
    return effect_ref ? static_cast<Host*>(effect_ref) : t_active;
}

// ---- C trampolines ----

namespace {

PF_Err cbAddParam(PF_ProgPtr ref, PF_ParamIndex index, PF_ParamDefPtr def) {
    return hostOf(ref)->addParam(index, def);
}
PF_Err cbCheckout(PF_ProgPtr ref, PF_ParamIndex index, A_long t, A_long step, A_u_long scale, PF_ParamDef* p) {
    return hostOf(ref)->checkoutParam(index, t, step, scale, p);
}
PF_Err cbCheckin(PF_ProgPtr ref, PF_ParamDef* p) {
    return hostOf(ref)->checkinParam(p);
}
PF_Err cbAbort(PF_ProgPtr ref) {
    Host* h = hostOf(ref);
    return h ? h->abortRequested() : PF_Err_NONE;
}
PF_Err cbProgress(PF_ProgPtr, A_long, A_long) {
    return PF_Err_NONE;
}
PF_Err cbFill(PF_ProgPtr ref, const PF_Pixel* color, const PF_Rect* rect, PF_EffectWorld* world) {
    if (Host* h = hostOf(ref)) h->countFill();
    return fillWorld(color, rect, world);
}
PF_Err cbComposite(PF_ProgPtr ref, PF_Rect* src_rect, A_long opacity, PF_EffectWorld* src, A_long dx, A_long dy,
                   PF_Field, PF_XferMode mode, PF_EffectWorld* dst) {
    if (Host* h = hostOf(ref)) h->countComposite();
    return compositeWorld(src_rect, opacity, src, dx, dy, mode, dst);
}
PF_Err cbSample(PF_ProgPtr ref, PF_Fixed x, PF_Fixed y, const PF_SampPB* pb, PF_Pixel* out) {
    if (Host* h = hostOf(ref)) h->countSample();
    return sampleBilinear(x, y, pb, out);
}
PF_Handle cbNewHandle(A_u_longlong size) {
    return t_active->newHandle(size);
}
void* cbLockHandle(PF_Handle h) {
    return t_active->lockHandle(h);
}
void cbUnlockHandle(PF_Handle h) {
    t_active->unlockHandle(h);
}
void cbDisposeHandle(PF_Handle h) {
    t_active->disposeHandle(h);
}
// The host's sprintf only ever writes return_msg here, so it is bounded to it.
int cbSprintf(A_char* buffer, const A_char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, PF_RETURN_MSG_SIZE, format, args);
    va_end(args);
    return n;
}
A_char* cbStrcpy(A_char* dest, const A_char* src) {
    return std::strcpy(dest, src);
}
SPErr cbAcquireSuite(const char* name, A_long version, const void** suite) {
    return t_active->acquireSuite(name, version, suite);
}
SPErr cbReleaseSuite(const char* name, A_long version) {
    return t_active->releaseSuite(name, version);
}
A_long cbIsEqual(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}
SPErr cbAllocateBlock(A_u_long size, void** block) {
    *block = std::malloc(size);
    if (!*block) return PF_Err_OUT_OF_MEMORY;
    return kSPNoError;
}
SPErr cbFreeBlock(void* block) {
    std::free(block);
    return kSPNoError;
}
SPErr cbReallocateBlock(void* block, A_u_long size, void** out) {
    void* p = std::realloc(block, size);
    if (!p) return PF_Err_OUT_OF_MEMORY;
    *out = p;
    return kSPNoError;
}
SPErr cbUndefined() {
    return kSPNoError;
}
PF_Err cbUpdateParamUI(PF_ProgPtr ref, PF_ParamIndex index, const PF_ParamDef* def) {
    return hostOf(ref)->updateParamUI(index, def);
}
PF_Err cbConvertToCompTime(PF_ProgPtr ref, A_long what_time, A_u_long scale, A_Time* out) {
    return hostOf(ref)->convertEffectToCompTime(what_time, scale, out);
}
PF_Err cbGetEffectLayer(PF_ProgPtr, void** layer) {
    *layer = nullptr;
    return PF_Err_BAD_CALLBACK_PARAM;
}
PF_Err cbGetNewEffect(A_long, PF_ProgPtr, void** effect) {
    *effect = nullptr;
    return PF_Err_BAD_CALLBACK_PARAM;
}
PF_Err cbIterate(void*, A_long, A_long, PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                 PF_Err (*pix_fn)(void*, A_long, A_long, PF_Pixel*, PF_Pixel*), PF_EffectWorld* dst) {
    if (!src || !dst || !pix_fn) return PF_Err_BAD_CALLBACK_PARAM;
    PF_Rect r = area ? *area : PF_Rect{0, 0, dst->width, dst->height};
    r.left = std::max<A_long>(r.left, 0);
    r.top = std::max<A_long>(r.top, 0);
    r.right = std::min({r.right, dst->width, src->width});
    r.bottom = std::min({r.bottom, dst->height, src->height});
    for (A_long y = r.top; y < r.bottom; ++y)
        for (A_long x = r.left; x < r.right; ++x)
            if (PF_Err err = pix_fn(refcon, x, y, pixelAt(src, x, y), pixelAt(dst, x, y))) return err;
    return PF_Err_NONE;
}

const PF_Iterate8Suite1 kIterate8Suite = {cbIterate};
const PF_ParamUtilsSuite2 kParamUtilsSuite = {cbUpdateParamUI};
const AEGP_PFInterfaceSuite1 kPFInterfaceSuite = {cbGetEffectLayer, cbGetNewEffect, cbConvertToCompTime};

struct SuiteEntry {
    const char* name;
    A_long version;
    const void* suite;
};
const SuiteEntry kSuites[] = {
    {kPFIterate8Suite, kPFIterate8SuiteVersion1, &kIterate8Suite},
    {kPFParamUtilsSuite, kPFParamUtilsSuiteVersion2, &kParamUtilsSuite},
    {kAEGPPFInterfaceSuite, kAEGPPFInterfaceSuiteVersion1, &kPFInterfaceSuite},
};

// The host's record for a handle it hands out: the master pointer comes first,
// so the handle is the record's address.
struct HostHandle {
    void* master;
    A_u_longlong size;
    int locks;
};

}  // namespace

// ---- the host ----

Host::Host(PF_EntryPointFunc entry) : entry_(entry) {
    previous_active_ = t_active;
    t_active = this;
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
    basic_ = {cbAcquireSuite, cbReleaseSuite, cbIsEqual, cbAllocateBlock, cbFreeBlock, cbReallocateBlock, cbUndefined};
}

Host::~Host() {
    if (entry_ && in_.sequence_data) sequenceSetdown();
    if (entry_ && in_.global_data) globalSetdown();
    // Whatever the plug-in left behind is the host's to free.
    while (!handles_.empty()) releaseHandle(*handles_.begin());
    t_active = previous_active_;
}

void Host::prepareInData() {
    in_.inter.add_param = cbAddParam;
    in_.inter.checkout_param = cbCheckout;
    in_.inter.checkin_param = cbCheckin;
    in_.inter.abort = failures_.no_abort_callback ? nullptr : cbAbort;
    in_.inter.progress = cbProgress;
    utils_ = PF_UtilCallbacks{};
    utils_.subpixel_sample = cbSample;
    utils_.composite_rect = cbComposite;
    utils_.fill = cbFill;
    if (!failures_.no_handle_callbacks) {
        utils_.host_new_handle = cbNewHandle;
        utils_.host_lock_handle = cbLockHandle;
        utils_.host_unlock_handle = cbUnlockHandle;
        utils_.host_dispose_handle = cbDisposeHandle;
    }
    utils_.ansi.sprintf = cbSprintf;
    utils_.ansi.strcpy = cbStrcpy;
    in_.utils = &utils_;
    in_.pica_basicP = failures_.no_basic_suite ? nullptr : &basic_;
    in_.num_params = static_cast<A_long>(params_.size());
}

PF_Err Host::sendWith(PF_Cmd cmd, PF_OutData& out, PF_ParamDef** params, PF_LayerDef* output) {
    prepareInData();
    if (!entry_) return PF_Err_INVALID_CALLBACK;
    Host* saved = t_active;
    t_active = this;
    PF_Err err = entry_(cmd, &in_, &out, params, output, nullptr);
    t_active = saved;
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
    return err;
}

void Host::resetRegistered() {
    registered_.assign(1, inputLayerDef(nullptr));
}

PF_Err Host::paramsSetup() {
    resetRegistered();
    PF_Err err = send(PF_Cmd_PARAMS_SETUP);
    params_ = registered_;
    point_set_.assign(params_.size(), false);
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
    return send(PF_Cmd_UPDATE_PARAMS_UI, paramArray(input_));
}

PF_Err Host::frameSetup() {
    return send(PF_Cmd_FRAME_SETUP, paramArray(input_));
}

PF_Err Host::render(PF_LayerDef& input, PF_LayerDef& output) {
    input_ = &input;
    in_.width = input.width;
    in_.height = input.height;
    in_.extent_hint = {0, 0, input.width, input.height};
    return send(PF_Cmd_RENDER, paramArray(&input), &output);
}

PF_Err Host::queryDynamicFlags() {
    return send(PF_Cmd_QUERY_DYNAMIC_FLAGS);
}

void Host::setDownsample(A_long xn, A_u_long xd, A_long yn, A_u_long yd) {
    in_.downsample_x = {xn, xd};
    in_.downsample_y = {yn, yd};
}

void Host::setTime(A_long current_time, A_long time_step, A_u_long time_scale) {
    in_.current_time = current_time;
    in_.time_step = time_step;
    in_.time_scale = time_scale;
}

int Host::positionOfId(A_long id) const {
    for (size_t p = 1; p < params_.size(); ++p)
        if (params_[p].uu.id == id) return static_cast<int>(p);
    return -1;
}

int Host::positionOfName(const std::string& name) const {
    for (size_t p = 1; p < params_.size(); ++p)
        if (params_[p].param_type != PF_Param_GROUP_END && name == params_[p].name) return static_cast<int>(p);
    return -1;
}

void Host::setPoint(int position, PF_Fixed x, PF_Fixed y) {
    PF_ParamDef& def = param(position);
    def.u.td.x_value = x;
    def.u.td.y_value = y;
    point_set_.at(static_cast<size_t>(position)) = true;
}

void Host::setCheckoutLayer(int position, const PF_LayerDef* layer) {
    checkout_layers_[position] = layer;
}

PF_ParamDef Host::inputLayerDef(const PF_LayerDef* input) const {
    PF_ParamDef def{};
    def.param_type = PF_Param_LAYER;
    if (input) def.u.ld = *input;
    return def;
}

// A point default is a whole percent of the layer as 16.16.
static PF_Fixed percentOf(PF_Fixed percent, A_long extent) {
    return static_cast<PF_Fixed>(static_cast<int64_t>(percent) * extent / 100);
}

PF_ParamDef Host::resolved(size_t position, const PF_LayerDef* input) const {
    if (position == 0 || position >= params_.size()) return inputLayerDef(input);
    PF_ParamDef def = params_[position];
    if (def.param_type == PF_Param_POINT && !point_set_[position]) {
        const A_long w = input ? input->width : 0, h = input ? input->height : 0;
        def.u.td.x_value = percentOf(def.u.td.x_dephault, w);
        def.u.td.y_value = percentOf(def.u.td.y_dephault, h);
    }
    if (def.param_type == PF_Param_LAYER && input) def.u.ld = *input;
    return def;
}

PF_ParamDef** Host::paramArray(const PF_LayerDef* input) {
    const size_t n = std::max<size_t>(params_.size(), 1);
    call_params_.resize(n);
    for (size_t p = 0; p < n; ++p) call_params_[p] = resolved(p, input);
    call_pointers_.clear();
    for (PF_ParamDef& def : call_params_) call_pointers_.push_back(&def);
    return call_pointers_.data();
}

// ---- callbacks ----

PF_Err Host::addParam(PF_ParamIndex, const PF_ParamDef* def) {
    ++counters_.add_param_calls;
    if (failures_.fail_add_param_at == counters_.add_param_calls) return failures_.add_param_error;
    registered_.push_back(*def);
    return PF_Err_NONE;
}

PF_Err Host::checkoutParam(PF_ParamIndex index, A_long what_time, A_long step, A_u_long scale, PF_ParamDef* param) {
    counters_.last_checkout_time = what_time;
    counters_.last_checkout_step = step;
    counters_.last_checkout_scale = scale;
    if (failures_.fail_checkout) return PF_Err_BAD_CALLBACK_PARAM;
    if (index < 0 || static_cast<size_t>(index) >= std::max<size_t>(params_.size(), 1)) return PF_Err_INVALID_INDEX;
    ++counters_.checkouts;
    auto layer = checkout_layers_.find(index);
    if (layer != checkout_layers_.end()) {
        *param = inputLayerDef(layer->second);
        return PF_Err_NONE;
    }
    *param = resolved(static_cast<size_t>(index), input_);
    return PF_Err_NONE;
}

PF_Err Host::checkinParam(PF_ParamDef*) {
    ++counters_.checkins;
    return PF_Err_NONE;
}

PF_Handle Host::newHandle(A_u_longlong size) {
    ++counters_.handle_allocations;
    if (failures_.fail_handle_alloc_at == counters_.handle_allocations) return nullptr;
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
    ++counters_.handle_locks;
    if (!handles_.count(h)) return nullptr;
    ++reinterpret_cast<HostHandle*>(h)->locks;
    return *h;
}

void Host::unlockHandle(PF_Handle h) {
    ++counters_.handle_unlocks;
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

PF_Err Host::abortRequested() {
    ++counters_.abort_checks;
    return stop_ && stop_() ? PF_Interrupt_CANCEL : PF_Err_NONE;
}

SPErr Host::acquireSuite(const char* name, A_long version, const void** suite) {
    *suite = nullptr;
    if (failures_.withheld_suites.count(name)) return kSPSuiteNotFoundError;
    for (const SuiteEntry& e : kSuites) {
        if (std::strcmp(e.name, name) == 0 && e.version == version) {
            *suite = e.suite;
            ++counters_.suite_acquisitions;
            return kSPNoError;
        }
    }
    return kSPSuiteNotFoundError;
}

SPErr Host::releaseSuite(const char*, A_long) {
    ++counters_.suite_releases;
    return kSPNoError;
}

PF_Err Host::updateParamUI(PF_ParamIndex index, const PF_ParamDef* def) {
    ++counters_.update_param_ui_calls;
    if (index <= 0 || static_cast<size_t>(index) >= params_.size()) return PF_Err_INVALID_INDEX;
    params_[static_cast<size_t>(index)].ui_flags = def->ui_flags;
    return PF_Err_NONE;
}

PF_Err Host::convertEffectToCompTime(A_long what_time, A_u_long time_scale, A_Time* comp_time) {
    if (failures_.fail_comp_time || time_scale == 0) return PF_Err_BAD_CALLBACK_PARAM;
    // layer start + what_time / time_scale, over the common scale
    comp_time->value = static_cast<A_long>(static_cast<int64_t>(layer_start_.value) * time_scale +
                                           static_cast<int64_t>(what_time) * layer_start_.scale);
    comp_time->scale = layer_start_.scale * time_scale;
    return PF_Err_NONE;
}

}  // namespace refhost
