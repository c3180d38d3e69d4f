#include "host/host_callbacks.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/host_pixels.h"
#include "host/host_testing.h"
#include "host/reference_host.h"

namespace refhost {

// The Host's services, reached from the trampolines below.
struct HostServices {
    static PF_Err addParam(Host* h, PF_ParamIndex index, const PF_ParamDef* def) { return h->addParam(index, def); }
    static PF_Err checkoutParam(Host* h, PF_ParamIndex index, A_long t, A_long step, A_u_long scale, PF_ParamDef* p) {
        return h->checkoutParam(index, t, step, scale, p);
    }
    static PF_Err checkinParam(Host* h, PF_ParamDef* p) { return h->checkinParam(p); }
    static PF_Err abortRequested(Host* h) { return h->abortRequested(); }
    static PF_Err progressReported(Host* h, A_long done, A_long total) { return h->progressReported(done, total); }
    static PF_Handle newHandle(Host* h, A_u_longlong size) { return h->newHandle(size); }
    static void* lockHandle(Host* h, PF_Handle handle) { return h->lockHandle(handle); }
    static void unlockHandle(Host* h, PF_Handle handle) { h->unlockHandle(handle); }
    static void disposeHandle(Host* h, PF_Handle handle) { h->disposeHandle(handle); }
    static SPErr acquireSuite(Host* h, const char* name, A_long version, const void** suite) {
        return h->acquireSuite(name, version, suite);
    }
    static SPErr releaseSuite(Host* h, const char* name, A_long version) { return h->releaseSuite(name, version); }
    static PF_Err updateParamUI(Host* h, PF_ParamIndex index, const PF_ParamDef* def) {
        return h->updateParamUI(index, def);
    }
    static PF_Err setRenderFlags(Host* h, A_u_long flags) { return h->setRenderFlags(flags); }
    static PF_Err convertEffectToCompTime(Host* h, A_long what_time, A_u_long scale, A_Time* out) {
        return h->convertEffectToCompTime(what_time, scale, out);
    }
    static PF_Err setSummary(Host* h, const A_char* summary) { return h->setSummary(summary); }
    static PF_Err setHint(Host* h, A_long id, const A_char* hint) { return h->setHint(id, hint); }
    static testing::Counters& counters(Host* h) { return *h->counters_; }
};

// ---- the host served on this thread ----

// (initial exec, as the module's own: the bridges that carry the host are modules)
static thread_local Host* t_active __attribute__((tls_model("initial-exec"))) = nullptr;

Host* activeHost() {
    return t_active;
}

Host* setActiveHost(Host* host) {
    Host* previous = t_active;
    t_active = host;
    return previous;
}

static Host* hostOf(PF_ProgPtr effect_ref) {
    return effect_ref ? static_cast<Host*>(effect_ref) : t_active;
}

// ---- C trampolines ----

namespace {


PF_Err cbAddParam(PF_ProgPtr ref, PF_ParamIndex index, PF_ParamDefPtr def) {
    return HostServices::addParam(hostOf(ref), index, def);
}
PF_Err cbCheckout(PF_ProgPtr ref, PF_ParamIndex index, A_long t, A_long step, A_u_long scale, PF_ParamDef* p) {
    return HostServices::checkoutParam(hostOf(ref), index, t, step, scale, p);
}
PF_Err cbCheckin(PF_ProgPtr ref, PF_ParamDef* p) {
    return HostServices::checkinParam(hostOf(ref), p);
}
PF_Err cbAbort(PF_ProgPtr ref) {
    Host* h = hostOf(ref);
    return h ? HostServices::abortRequested(h) : PF_Err_NONE;
}
PF_Err cbProgress(PF_ProgPtr ref, A_long done, A_long total) {
    Host* h = hostOf(ref);
    return h ? HostServices::progressReported(h, done, total) : PF_Err_NONE;
}
PF_Err cbFill(PF_ProgPtr ref, const PF_Pixel* color, const PF_Rect* rect, PF_EffectWorld* world) {
    if (Host* h = hostOf(ref)) ++HostServices::counters(h).fills;
    return fillWorld(color, rect, world);
}
PF_Err cbComposite(PF_ProgPtr ref, PF_Rect* src_rect, A_long opacity, PF_EffectWorld* src, A_long dx, A_long dy,
                   PF_Field, PF_XferMode mode, PF_EffectWorld* dst) {
    if (Host* h = hostOf(ref)) ++HostServices::counters(h).composites;
    return compositeWorld(src_rect, opacity, src, dx, dy, mode, dst);
}
PF_Err cbSample(PF_ProgPtr ref, PF_Fixed x, PF_Fixed y, const PF_SampPB* pb, PF_Pixel* out) {
    if (Host* h = hostOf(ref)) ++HostServices::counters(h).samples;
    return sampleBilinear(x, y, pb, out);
}
PF_Handle cbNewHandle(A_u_longlong size) {
    return HostServices::newHandle(t_active, size);
}
void* cbLockHandle(PF_Handle h) {
    return HostServices::lockHandle(t_active, h);
}
void cbUnlockHandle(PF_Handle h) {
    HostServices::unlockHandle(t_active, h);
}
void cbDisposeHandle(PF_Handle h) {
    HostServices::disposeHandle(t_active, h);
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
    return HostServices::acquireSuite(t_active, name, version, suite);
}
SPErr cbReleaseSuite(const char* name, A_long version) {
    return HostServices::releaseSuite(t_active, name, version);
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
    return HostServices::updateParamUI(hostOf(ref), index, def);
}
PF_Err cbConvertToCompTime(PF_ProgPtr ref, A_long what_time, A_u_long scale, A_Time* out) {
    return HostServices::convertEffectToCompTime(hostOf(ref), what_time, scale, out);
}
PF_Err cbSetEffectSummary(PF_ProgPtr ref, const A_char* summary) {
    return HostServices::setSummary(hostOf(ref), summary);
}
PF_Err cbSetParamHint(PF_ProgPtr ref, A_long id, const A_char* hint) {
    return HostServices::setHint(hostOf(ref), id, hint);
}
PF_Err cbSetRenderFlags(PF_ProgPtr ref, A_u_long flags) {
    return HostServices::setRenderFlags(hostOf(ref), flags);
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
const KavriDescriptionSuite2 kDescriptionSuite = {cbSetEffectSummary, cbSetParamHint, cbSetRenderFlags};

struct SuiteEntry {
    const char* name;
    A_long version;
    const void* suite;
};
const SuiteEntry kSuites[] = {
    {kPFIterate8Suite, kPFIterate8SuiteVersion1, &kIterate8Suite},
    {kPFParamUtilsSuite, kPFParamUtilsSuiteVersion2, &kParamUtilsSuite},
    {kAEGPPFInterfaceSuite, kAEGPPFInterfaceSuiteVersion1, &kPFInterfaceSuite},
    {kKavriDescriptionSuite, kKavriDescriptionSuiteVersion1, &kDescriptionSuite},  // (a prefix of 2)
    {kKavriDescriptionSuite, kKavriDescriptionSuiteVersion2, &kDescriptionSuite},
};

}  // namespace

void installCallbacks(PF_InData& in, PF_UtilCallbacks& utils, bool handle_callbacks, bool abort_callback) {
    in.inter.add_param = cbAddParam;
    in.inter.checkout_param = cbCheckout;
    in.inter.checkin_param = cbCheckin;
    in.inter.abort = abort_callback ? cbAbort : nullptr;
    in.inter.progress = cbProgress;
    utils = PF_UtilCallbacks{};
    utils.subpixel_sample = cbSample;
    utils.composite_rect = cbComposite;
    utils.fill = cbFill;
    if (handle_callbacks) {
        utils.host_new_handle = cbNewHandle;
        utils.host_lock_handle = cbLockHandle;
        utils.host_unlock_handle = cbUnlockHandle;
        utils.host_dispose_handle = cbDisposeHandle;
    }
    utils.ansi.sprintf = cbSprintf;
    utils.ansi.strcpy = cbStrcpy;
    in.utils = &utils;
}

SPBasicSuite basicSuite() {
    return {cbAcquireSuite, cbReleaseSuite, cbIsEqual, cbAllocateBlock, cbFreeBlock, cbReallocateBlock, cbUndefined};
}

const void* findSuite(const char* name, A_long version) {
    for (const SuiteEntry& e : kSuites)
        if (std::strcmp(e.name, name) == 0 && e.version == version) return e.suite;
    return nullptr;
}

}  // namespace refhost
