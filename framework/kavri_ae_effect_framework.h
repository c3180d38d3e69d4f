// The effect framework: one static description per effect, a table of stable
// parameter indices, per-effect and per-instance records held in host handles, and
// the four hooks through which the framework reaches the effect.
//
// Every framework operation returns the host's error code (0 for success) and
// passes host errors back unchanged. Records the host hands over may be missing;
// operations that need one return PF_Err_INTERNAL_STRUCT_DAMAGED instead of
// reading through a null handle.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "platform/ae_effect.h"

#define KAVRI_EXPORT __attribute__((visibility("default")))

enum {
    kNsAeMaxParams = 120,        // capacity of both tables and of the instance's params
    kNsAeMaxSliders = 121,       // rows in a description, terminator included
    kNsAeDebugTextSize = 10000,  // the instance's debug text, terminator included
    kNsAeDebugTextLimit = 8800,  // appends stop once the text is longer than this
    // Stable indices: an effect's rows 1..kNsAeLastIndexBeforeDebug are
    // registered before the framework's debug group; its rows from
    // kNsAeFirstIndexAfterDebug on go inside that group, after the group's own
    // controls and before its end (with NS_AE_NO_DEBUG_GROUP, straight after
    // the first rows). The indices between are the framework's (the debug
    // group's eight positions, start and end included, and two spare): a
    // description with a row there is refused.
    kNsAeLastIndexBeforeDebug = 89,
    kNsAeFirstIndexAfterDebug = 100,
    kNsAeDebugGroupPositions = 8
};

extern const int kNsAeBuildNumber;     // 383
extern const char kNsAeBuildStamp[];   // "2011.02.02-20:14:23"

// framework_flags bits
#define NS_AE_FILTER_AT_RENDER 1u   // render calls nr_ae_frame_filter
#define NS_AE_FRAME_SETUP_HOOK 8u   // frame setup calls nr_ae_frame_setup
#define NS_AE_NO_DEBUG_GROUP 16u    // no debug group (and so no stamps) for this effect
#define NS_AE_COVERS_OUTPUT 32u     // the frame filter writes every output pixel, whatever the output held
                                    // (told to hosts, which may then skip clearing it; a test must prove it)

// Stable indices of the framework's debug group.
enum {
    kNsAeStampTimePoint = 92,
    kNsAeStampTimeColor = 93,
    kNsAeStampTime = 94,
    kNsAeStampParamsColor = 95,
    kNsAeDebugGroupEnd = 96,
    kNsAeDebugGroupStart = 97,
    kNsAeStampParamsPoint = 98,
    kNsAeStampParams = 99
};

// One parameter row. All numbers are floats whatever the type; registration
// converts them (see nr_ae_param_setup). Write rows with the builders of
// kavri_ae_rows.h, which take each type's values in its own units.
struct ns_ae_slider {
    int32_t type;           // host parameter type code
    int32_t index;          // stable index: 1..89 or 100..119
    const char* name;       // at most 31 characters; null only in the terminating row
    const char* choices;    // popup: "a|b|c"; checkbox: its label; otherwise null
    float slider_min;       // float slider: drag range
    float slider_max;
    float min;              // sliders: valid range; point: default x, y in percent
    float max;              //   of the layer; popup: max is the number of choices
    float default_value;    // colour: 0xBBGGRR; popup: 1-based choice; checkbox: 0/1
    float display_flags;    // float slider: the host's display flags
};

struct ns_ae_description {
    const char* name;
    const char* description;
    int32_t major, minor, bugfix, stage, build;
    uint32_t framework_flags;
    uint32_t out_flags;
    uint32_t out_flags2;
    ns_ae_slider sliders[kNsAeMaxSliders];  // ended by the first row with a null name
    // What hosts that show more than the parameters learn of the effect
    // (editors, OpenFX hosts), through the host's description suite:
    const char* hints[kNsAeMaxSliders];  // hints[r]: one sentence on row r, or null
    const char* summary;                 // what the effect does, one line; may be null
    const char* credits;                 // the About text's closing lines ("\r" between); may be null
};

// Per effect, in the host's global handle.
struct kavri_ae_filter_context_global {
    int32_t count;                                // host positions in use, position 0 included
    int32_t index_of_position[kNsAeMaxParams];    // host position -> stable index
    int32_t position_of_index[kNsAeMaxParams];    // stable index -> host position
};

// Per effect instance, in the host's sequence handle.
struct kavri_ae_filter_context {
    PF_ParamDef* params[kNsAeMaxParams];          // by stable index, valid during one call
    kavri_ae_filter_context_global* global;
    char debug_text[kNsAeDebugTextSize];
    PF_Handle user_handle;                        // the effect's own, may be null
};

extern "C" {
// The instance whose command this thread is serving (one a thread, so that a
// host may render different instances on several threads at once). Initial
// exec: eight bytes of the static TLS block the loader keeps for modules,
// read without a call, and no dynamic TLS for leak checkers to misread.
KAVRI_EXPORT extern thread_local kavri_ae_filter_context* gSequenceContext __attribute__((tls_model("initial-exec")));
KAVRI_EXPORT extern const ns_ae_description g_d;

KAVRI_EXPORT PF_Err EntryPointFunc(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                   PF_ParamDef* params[], PF_LayerDef* output, void* extra);
}

// ---- command handlers (dispatch) ----
PF_Err nr_ae_about(const ns_ae_description* description, PF_InData* in_data, PF_OutData* out_data);
PF_Err nr_ae_global_setup(const ns_ae_description* description, PF_InData* in_data, PF_OutData* out_data);
PF_Err nr_ae_global_setdown(const ns_ae_description* description, PF_InData* in_data, PF_OutData* out_data);
PF_Err nr_ae_sequence_setup(const ns_ae_description* description, PF_InData* in_data, PF_OutData* out_data);
PF_Err nr_ae_sequence_setdown(const ns_ae_description* description, PF_InData* in_data, PF_OutData* out_data);
PF_Err nr_ae_frame_setup_outer(const ns_ae_description* description, PF_InData* in_data,
                               PF_OutData* out_data, PF_ParamDef* params[]);
PF_Err nr_ae_query_dynamic_flags(const ns_ae_description* description, PF_OutData* out_data);

// ---- handles: the host's callbacks when it has them, else the platform's ----
PF_Handle nr_ae_new_handle(PF_InData* in_data, A_u_longlong size);
void nr_ae_dispose_handle(PF_InData* in_data, PF_Handle handle);
void nr_ae_lock_handle(PF_InData* in_data, PF_Handle handle);
void nr_ae_unlock_handle(PF_InData* in_data, PF_Handle handle);
// The record a handle holds (one dereference), or null for a null handle.
void* nr_ae_handle_record(PF_Handle handle);

// Formats a message for the user into out_data->return_msg with the host's
// sprintf and asks the host to show it.
void nr_ae_report(PF_InData* in_data, PF_OutData* out_data, const char* format, const char* argument);

// Asks the host whether the user has stopped the render: 0 to go on, else the
// host's interrupt code (PF_Interrupt_CANCEL) for the filter to return. A host
// without an abort callback never stops. Cheap enough to ask once per row.
PF_Err nr_ae_check_abort(PF_InData* in_data);
// Tells the host how far the render has got: `done` of `total` steps, held to
// the host's 32-bit range. Returns the host's answer (0, or its interrupt
// code); a host without a progress callback is told nothing.
PF_Err nr_ae_report_progress(PF_InData* in_data, double done, double total);

// ---- stable indices and registration ----
int32_t ourNewParamId(kavri_ae_filter_context_global* global, int32_t index);
// Maps the host's parameters into the instance record. Returns the record, or null
// when the host passed no sequence handle. With no global record nothing is mapped.
kavri_ae_filter_context* getInstanceContext(PF_InData* in_data, PF_ParamDef* params[]);
PF_Err addOneParam(const ns_ae_slider* slider, PF_InData* in_data, kavri_ae_filter_context_global* global);
// Refuses, with a message and before anything is registered, a description
// that breaks the tables' limits or has a row at a reserved index
// (PF_Err_INVALID_INDEX), or a name longer than 31 characters
// (PF_Err_INTERNAL_STRUCT_DAMAGED). After registration it tells a host that
// has the description suite the effect's summary and every parameter's hint.
PF_Err nr_ae_param_setup(const ns_ae_description* description, PF_InData* in_data, PF_OutData* out_data);
bool showableParam(int32_t index, int32_t type);
// Whether the framework registers its debug group (and draws stamps) for the effect.
bool nr_ae_has_debug_group(const ns_ae_description* description);

// ---- render driver and debug overlay ----
PF_Err nr_ae_render(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], PF_LayerDef* output);
void drawParameterValues(PF_LayerDef* world, int32_t x, int32_t y, PF_Pixel colour,
                         PF_OutData* out_data, kavri_ae_filter_context* context);
// Appends to the current instance's debug text; a null format empties it. With no
// current instance nothing is written. Returns the number of characters appended.
int nr_ae_dprint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- suites and the parameter UI update ----
PF_Err nr_ae_acquire_suite(PF_InData* in_data, PF_OutData* out_data, const char* name,
                           int32_t version, const char* label, const void** suite);
PF_Err nr_ae_release_suite(PF_InData* in_data, PF_OutData* out_data, const char* name,
                           int32_t version, const char* label);
PF_Err nr_ae_update_parameter(PF_InData* in_data, PF_OutData* out_data, kavri_ae_filter_context* context,
                              int32_t index, PF_ParamDef* def);
void nr_ae_enable_parameter(PF_InData* in_data, PF_OutData* out_data, kavri_ae_filter_context* context,
                            int32_t index, int enable);
PF_Err nr_ae_update_params_ui(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[]);

// ---- the effect's hooks ----
// An effect supplies nr_ae_frame_filter; the framework supplies the other
// three for an effect that leaves them out, each doing nothing and returning
// 0 (an effect's own definition takes their place).
PF_Err nr_ae_init(kavri_ae_filter_context* context);
PF_Err nr_ae_frame_setup(kavri_ae_filter_context* context, PF_InData* in_data, PF_OutData* out_data);
PF_Err nr_ae_enable_params(kavri_ae_filter_context* context, PF_InData* in_data, PF_OutData* out_data);
PF_Err nr_ae_frame_filter(kavri_ae_filter_context* context, PF_LayerDef* input, PF_LayerDef* output,
                          PF_InData* in_data, PF_OutData* out_data);

#include "framework/kavri_ae_rows.h"
