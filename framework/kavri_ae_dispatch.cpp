// The entry point and the commands that manage the effect's records: About,
// global setup and setdown, sequence setup and setdown, frame setup and the
// dynamic-flags query.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "framework/kavri_ae_effect_framework.h"
#include "graphics/kavri_isa.h"
#include "platform/mac_memory.h"

const int kNsAeBuildNumber = 383;
const char kNsAeBuildStamp[] = "2011.02.02-20:14:23";

extern "C" {
thread_local kavri_ae_filter_context* gSequenceContext __attribute__((tls_model("initial-exec"))) = nullptr;
}

// ---- handles ----

static PF_UtilCallbacks* hostUtils(PF_InData* in_data) {
    return in_data ? in_data->utils : nullptr;
}

PF_Handle nr_ae_new_handle(PF_InData* in_data, A_u_longlong size) {
    PF_UtilCallbacks* utils = hostUtils(in_data);
    if (utils && utils->host_new_handle) return utils->host_new_handle(size);
    return reinterpret_cast<PF_Handle>(NewHandle(static_cast<long>(size)));
}

void nr_ae_dispose_handle(PF_InData* in_data, PF_Handle handle) {
    if (!handle) return;
    PF_UtilCallbacks* utils = hostUtils(in_data);
    if (utils && utils->host_dispose_handle)
        utils->host_dispose_handle(handle);
    else
        DisposeHandle(reinterpret_cast<Handle>(handle));
}

void nr_ae_lock_handle(PF_InData* in_data, PF_Handle handle) {
    PF_UtilCallbacks* utils = hostUtils(in_data);
    if (utils && utils->host_lock_handle)
        utils->host_lock_handle(handle);
    else
        HLock(reinterpret_cast<Handle>(handle));
}

void nr_ae_unlock_handle(PF_InData* in_data, PF_Handle handle) {
    PF_UtilCallbacks* utils = hostUtils(in_data);
    if (utils && utils->host_unlock_handle)
        utils->host_unlock_handle(handle);
    else
        HUnlock(reinterpret_cast<Handle>(handle));
}

void* nr_ae_handle_record(PF_Handle handle) {
    return handle ? *handle : nullptr;
}

void nr_ae_report(PF_InData* in_data, PF_OutData* out_data, const char* format, const char* argument) {
    if (!out_data) return;
    out_data->out_flags |= PF_OutFlag_DISPLAY_ERROR_MESSAGE;
    PF_UtilCallbacks* utils = hostUtils(in_data);
    if (utils && utils->ansi.sprintf) utils->ansi.sprintf(out_data->return_msg, format, argument);
}

PF_Err nr_ae_check_abort(PF_InData* in_data) {
    if (!in_data || !in_data->inter.abort) return PF_Err_NONE;
    return in_data->inter.abort(in_data->effect_ref);
}

// A count of steps as the host's 32-bit integer: held to 0 .. INT32_MAX, NaN as 0.
static A_long progressCount(double v) {
    if (!(v > 0)) return 0;
    return v >= 2147483647.0 ? 2147483647 : static_cast<A_long>(v);
}

PF_Err nr_ae_report_progress(PF_InData* in_data, double done, double total) {
    if (!in_data || !in_data->inter.progress) return PF_Err_NONE;
    const A_long t = progressCount(total), d = progressCount(done);
    return in_data->inter.progress(in_data->effect_ref, d < t ? d : t, t);
}

// ---- About ----

// The header, the effect's description, then the credits: the framework's
// line, the effect's summary and its own closing lines. The name and the
// description are held to lengths that leave the credits room.
#define ABOUT_HEADER "%.60s, v%d.%d build %d %s\r\r%.100s\r\rkavri effect framework"
static const char kAboutFormat[] = ABOUT_HEADER "%s%.*s%s%.*s";

static int textLength(const char* s) {
    return static_cast<int>(std::strlen(s));
}

PF_Err nr_ae_about(const ns_ae_description* description, PF_InData* in_data, PF_OutData* out_data) {
    PF_UtilCallbacks* utils = hostUtils(in_data);
    if (!out_data || !utils || !utils->ansi.sprintf) return PF_Err_BAD_CALLBACK_PARAM;
    const char* name = description->name ? description->name : "";
    const char* text = description->description ? description->description : "";
    const char* summary = description->summary ? description->summary : "";
    const char* credits = description->credits ? description->credits : "";
    // The host's sprintf knows no bounds: the summary and then the credits
    // get what the header leaves of the message buffer, each after a "\r".
    const int header = std::snprintf(nullptr, 0, ABOUT_HEADER, name, description->major, description->minor,
                                     kNsAeBuildNumber, kNsAeBuildStamp, text);
    int room = PF_RETURN_MSG_SIZE - 1 - header;
    const int summary_length = *summary && room > 1 ? std::min(textLength(summary), room - 1) : 0;
    if (summary_length) room -= summary_length + 1;
    const int credits_length = *credits && room > 1 ? std::min(textLength(credits), room - 1) : 0;
    utils->ansi.sprintf(out_data->return_msg, kAboutFormat, name, description->major, description->minor,
                        kNsAeBuildNumber, kNsAeBuildStamp, text, summary_length ? "\r" : "", summary_length,
                        summary, credits_length ? "\r" : "", credits_length, credits);
    return PF_Err_NONE;
}
#undef ABOUT_HEADER

// ---- global record ----

static A_u_long packVersion(const ns_ae_description* d) {
    return (static_cast<A_u_long>(d->build) & 0x1FFu) |
           ((static_cast<A_u_long>(d->stage) & 0x3u) << 9) |
           ((static_cast<A_u_long>(d->bugfix) & 0xFu) << 11) |
           ((static_cast<A_u_long>(d->minor) & 0xFu) << 15) |
           ((static_cast<A_u_long>(d->major) & 0x7u) << 19);
}

PF_Err nr_ae_global_setup(const ns_ae_description* description, PF_InData* in_data, PF_OutData* out_data) {
    if (!out_data) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    kvIsaSelect();  // (CHECKERWARP_ISA as it is now, for the effect being set up)
    out_data->my_version = packVersion(description);
    PF_Handle handle = nr_ae_new_handle(in_data, sizeof(kavri_ae_filter_context_global));
    void* record = nr_ae_handle_record(handle);
    if (!record) {
        nr_ae_dispose_handle(in_data, handle);
        return PF_Err_OUT_OF_MEMORY;
    }
    std::memset(record, 0, sizeof(kavri_ae_filter_context_global));
    out_data->global_data = handle;
    out_data->out_flags = description->out_flags | PF_OutFlag_SEND_UPDATE_PARAMS_UI;
    // every effect on the framework renders on several threads at once: the
    // current instance is per thread and nothing else is shared
    out_data->out_flags2 = description->out_flags2 | PF_OutFlag2_SUPPORTS_THREADED_RENDERING;
    return PF_Err_NONE;
}

PF_Err nr_ae_global_setdown(const ns_ae_description*, PF_InData* in_data, PF_OutData*) {
    if (in_data) nr_ae_dispose_handle(in_data, in_data->global_data);
    return PF_Err_NONE;
}

// ---- the hooks an effect may leave out ----
// Weak: an effect that defines one of them replaces the framework's.

__attribute__((weak)) PF_Err nr_ae_init(kavri_ae_filter_context*) {
    return PF_Err_NONE;
}

__attribute__((weak)) PF_Err nr_ae_frame_setup(kavri_ae_filter_context*, PF_InData*, PF_OutData*) {
    return PF_Err_NONE;
}

__attribute__((weak)) PF_Err nr_ae_enable_params(kavri_ae_filter_context*, PF_InData*, PF_OutData*) {
    return PF_Err_NONE;
}

// ---- sequence record ----

PF_Err nr_ae_sequence_setup(const ns_ae_description*, PF_InData* in_data, PF_OutData* out_data) {
    if (!out_data) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    PF_Handle handle = nr_ae_new_handle(in_data, sizeof(kavri_ae_filter_context));
    kavri_ae_filter_context* context = static_cast<kavri_ae_filter_context*>(nr_ae_handle_record(handle));
    if (!context) {
        nr_ae_dispose_handle(in_data, handle);
        return PF_Err_OUT_OF_MEMORY;
    }
    std::memset(context, 0, sizeof(kavri_ae_filter_context));
    out_data->sequence_data = handle;
    nr_ae_init(context);
    return PF_Err_NONE;
}

PF_Err nr_ae_sequence_setdown(const ns_ae_description*, PF_InData* in_data, PF_OutData*) {
    if (!in_data) return PF_Err_NONE;
    kavri_ae_filter_context* context =
        static_cast<kavri_ae_filter_context*>(nr_ae_handle_record(in_data->sequence_data));
    if (!context) {
        nr_ae_dispose_handle(in_data, in_data->sequence_data);
        return PF_Err_NONE;
    }
    context->global = static_cast<kavri_ae_filter_context_global*>(nr_ae_handle_record(in_data->global_data));
    if (context->user_handle) {
        nr_ae_dispose_handle(in_data, context->user_handle);
        context->user_handle = nullptr;
    }
    nr_ae_dispose_handle(in_data, in_data->sequence_data);
    return PF_Err_NONE;
}

// ---- frame setup and flags ----

PF_Err nr_ae_frame_setup_outer(const ns_ae_description* description, PF_InData* in_data,
                               PF_OutData* out_data, PF_ParamDef* params[]) {
    if (!(description->framework_flags & NS_AE_FRAME_SETUP_HOOK)) return PF_Err_NONE;
    kavri_ae_filter_context* context = getInstanceContext(in_data, params);
    if (!context || !context->global) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    return nr_ae_frame_setup(context, in_data, out_data);
}

PF_Err nr_ae_query_dynamic_flags(const ns_ae_description* description, PF_OutData* out_data) {
    if (!out_data) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    out_data->out_flags = description->out_flags;
    out_data->out_flags2 = description->out_flags2;
    return PF_Err_NONE;
}

// ---- the entry point ----

static PF_Err dispatch(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                       PF_LayerDef* output) {
    switch (cmd) {
    case PF_Cmd_ABOUT: return nr_ae_about(&g_d, in_data, out_data);
    case PF_Cmd_GLOBAL_SETUP: return nr_ae_global_setup(&g_d, in_data, out_data);
    case PF_Cmd_GLOBAL_SETDOWN: return nr_ae_global_setdown(&g_d, in_data, out_data);
    case PF_Cmd_PARAMS_SETUP: return nr_ae_param_setup(&g_d, in_data, out_data);
    case PF_Cmd_SEQUENCE_SETUP:
    case PF_Cmd_SEQUENCE_RESETUP: return nr_ae_sequence_setup(&g_d, in_data, out_data);
    case PF_Cmd_SEQUENCE_SETDOWN: return nr_ae_sequence_setdown(&g_d, in_data, out_data);
    case PF_Cmd_FRAME_SETUP: return nr_ae_frame_setup_outer(&g_d, in_data, out_data, params);
    case PF_Cmd_RENDER: return nr_ae_render(in_data, out_data, params, output);
    case PF_Cmd_UPDATE_PARAMS_UI: return nr_ae_update_params_ui(in_data, out_data, params);
    case PF_Cmd_QUERY_DYNAMIC_FLAGS: return nr_ae_query_dynamic_flags(&g_d, out_data);
    default: return PF_Err_NONE;
    }
}

extern "C" PF_Err EntryPointFunc(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                 PF_ParamDef* params[], PF_LayerDef* output, void*) {
    kavri_ae_filter_context* saved = gSequenceContext;
    gSequenceContext = nullptr;
    if (in_data && in_data->sequence_data)
        gSequenceContext = static_cast<kavri_ae_filter_context*>(nr_ae_handle_record(in_data->sequence_data));
    PF_Err err = dispatch(cmd, in_data, out_data, params, output);
    gSequenceContext = saved;
    return err;
}
