// The host's effect interface: records, callbacks, suites and constants, under the
// host SDK's own names and shapes, so that the plug-in sources build unchanged
// against the host's headers where those exist. Only what the plug-in and the
// reference host use is declared; other members of the host records are kept as
// reserved space where their position matters.
#pragma once

#include <cstdint>

typedef int32_t A_long;
typedef uint32_t A_u_long;
typedef int16_t A_short;
typedef uint16_t A_u_short;
typedef char A_char;
typedef uint8_t A_u_char;
typedef uint64_t A_u_longlong;
typedef double PF_FpLong;   // the host's long float
typedef float PF_FpShort;   // the host's short float
typedef A_long PF_Err;
typedef A_long PF_Cmd;
typedef A_long PF_Fixed;    // 16.16
typedef A_long PF_ParamIndex;
typedef A_long PF_ParamType;
typedef A_long PF_ParamFlags;
typedef A_long PF_ParamUIFlags;
typedef A_long PF_Quality;
typedef A_long PF_Field;
typedef A_long PF_XferMode;
typedef A_char PF_Boolean;
typedef void* PF_ProgPtr;
typedef void** PF_Handle;   // a pointer to the block's pointer
typedef A_long SPErr;

// ---- commands ----
enum {
    PF_Cmd_ABOUT = 0,
    PF_Cmd_GLOBAL_SETUP = 1,
    PF_Cmd_UNUSED_0 = 2,
    PF_Cmd_GLOBAL_SETDOWN = 3,
    PF_Cmd_PARAMS_SETUP = 4,
    PF_Cmd_SEQUENCE_SETUP = 5,
    PF_Cmd_SEQUENCE_RESETUP = 6,
    PF_Cmd_SEQUENCE_FLATTEN = 7,
    PF_Cmd_SEQUENCE_SETDOWN = 8,
    PF_Cmd_DO_DIALOG = 9,
    PF_Cmd_FRAME_SETUP = 10,
    PF_Cmd_RENDER = 11,
    PF_Cmd_FRAME_SETDOWN = 12,
    PF_Cmd_USER_CHANGED_PARAM = 13,
    PF_Cmd_UPDATE_PARAMS_UI = 14,
    PF_Cmd_EVENT = 15,
    PF_Cmd_GET_EXTERNAL_DEPENDENCIES = 16,
    PF_Cmd_COMPLETELY_GENERAL = 17,
    PF_Cmd_QUERY_DYNAMIC_FLAGS = 18,
    PF_Cmd_AUDIO_RENDER = 19,
    PF_Cmd_AUDIO_SETUP = 20,
    PF_Cmd_AUDIO_SETDOWN = 21,
    PF_Cmd_ARBITRARY_CALLBACK = 22,
    PF_Cmd_SMART_PRE_RENDER = 23,
    PF_Cmd_SMART_RENDER = 24,
    PF_Cmd_RESERVED1 = 25
};

// ---- error codes ----
enum {
    PF_Err_NONE = 0,
    PF_Err_OUT_OF_MEMORY = 4,
    PF_Err_INTERNAL_STRUCT_DAMAGED = 512,
    PF_Err_INVALID_INDEX = 513,
    PF_Err_UNRECOGNIZED_PARAM_TYPE = 514,
    PF_Err_INVALID_CALLBACK = 515,
    PF_Err_BAD_CALLBACK_PARAM = 516,
    PF_Interrupt_CANCEL = 517,
    PF_Err_CANNOT_PARSE_KEYFRAME_TEXT = 518
};

enum { kSPNoError = 0, kSPSuiteNotFoundError = 0x214e4f53 /* '!NOS' */ };

// ---- output flags ----
enum : A_u_long {
    PF_OutFlag_NONE = 0,
    PF_OutFlag_KEEP_RESOURCE_OPEN = 1u << 0,
    PF_OutFlag_WIDE_TIME_INPUT = 1u << 1,
    PF_OutFlag_NON_PARAM_VARY = 1u << 2,
    PF_OutFlag_SEQUENCE_DATA_NEEDS_FLATTENING = 1u << 4,
    PF_OutFlag_I_DO_DIALOG = 1u << 5,
    PF_OutFlag_USE_OUTPUT_EXTENT = 1u << 6,
    PF_OutFlag_SEND_DO_DIALOG = 1u << 7,
    PF_OutFlag_DISPLAY_ERROR_MESSAGE = 1u << 8,
    PF_OutFlag_I_EXPAND_BUFFER = 1u << 9,
    PF_OutFlag_PIX_INDEPENDENT = 1u << 10,
    PF_OutFlag_I_WRITE_INPUT_BUFFER = 1u << 11,
    PF_OutFlag_I_SHRINK_BUFFER = 1u << 12,
    PF_OutFlag_WORKS_IN_PLACE = 1u << 13,
    PF_OutFlag_CUSTOM_UI = 1u << 15,
    PF_OutFlag_REFRESH_UI = 1u << 17,
    PF_OutFlag_NOP_RENDER = 1u << 18,
    PF_OutFlag_I_USE_SHUTTER_ANGLE = 1u << 19,
    PF_OutFlag_I_USE_AUDIO = 1u << 20,
    PF_OutFlag_I_AM_OBSOLETE = 1u << 21,
    PF_OutFlag_FORCE_RERENDER = 1u << 22,
    PF_OutFlag_PiPL_OVERRIDES_OUTDATA_OUTFLAGS = 1u << 23,
    PF_OutFlag_I_HAVE_EXTERNAL_DEPENDENCIES = 1u << 24,
    PF_OutFlag_DEEP_COLOR_AWARE = 1u << 25,
    PF_OutFlag_SEND_UPDATE_PARAMS_UI = 1u << 26
};

// ---- second output flags (PF_OutData out_flags2) ----
enum {
    // The plug-in may be called on several threads at once for different
    // instances (and frames): it keeps no unguarded state of its own.
    PF_OutFlag2_SUPPORTS_THREADED_RENDERING = 1u << 27
};

// ---- parameter types, flags and UI flags ----
enum {
    PF_Param_LAYER = 0,
    PF_Param_SLIDER = 1,
    PF_Param_FIX_SLIDER = 2,
    PF_Param_ANGLE = 3,
    PF_Param_CHECKBOX = 4,
    PF_Param_COLOR = 5,
    PF_Param_POINT = 6,
    PF_Param_POPUP = 7,
    PF_Param_CUSTOM = 8,
    PF_Param_NO_DATA = 9,
    PF_Param_FLOAT_SLIDER = 10,
    PF_Param_ARBITRARY_DATA = 11,
    PF_Param_PATH = 12,
    PF_Param_GROUP_START = 13,
    PF_Param_GROUP_END = 14,
    PF_Param_BUTTON = 15,
    PF_Param_POINT_3D = 18
};

enum {
    PF_ParamFlag_CANNOT_TIME_VARY = 1 << 1,
    PF_ParamFlag_CANNOT_INTERP = 1 << 2,
    PF_ParamFlag_COLLAPSE_TWIRLY = 1 << 5,
    PF_ParamFlag_START_COLLAPSED = PF_ParamFlag_COLLAPSE_TWIRLY,
    PF_ParamFlag_SUPERVISE = 1 << 6
};

enum {
    PF_PUI_TOPIC = 1 << 0,
    PF_PUI_CONTROL = 1 << 1,
    PF_PUI_STD_CONTROL_ONLY = 1 << 2,
    PF_PUI_NO_ECW_UI = 1 << 3,
    PF_PUI_ECW_SEPARATOR = 1 << 4,
    PF_PUI_DISABLED = 1 << 5,
    PF_PUI_DONT_ERASE_TOPIC = 1 << 6,
    PF_PUI_DONT_ERASE_CONTROL = 1 << 7,
    PF_PUI_RADIO_BUTTON = 1 << 8,
    PF_PUI_INVISIBLE = 1 << 9
};

enum { PF_ValueDisplayFlag_NONE = 0, PF_ValueDisplayFlag_PERCENT = 1, PF_ValueDisplayFlag_PIXEL = 2 };

enum { PF_Quality_DRAWING_AUDIO = -1, PF_Quality_LO = 0, PF_Quality_HI = 1 };

enum { PF_Field_FRAME = 0, PF_Field_UPPER = 1, PF_Field_LOWER = 2 };

enum {
    PF_Xfer_NONE = -1,
    PF_Xfer_COPY = 0,
    PF_Xfer_BEHIND = 1,
    PF_Xfer_IN_FRONT = 2   // normal "over"
};

enum { PF_MAX_EFFECT_NAME_LEN = 31, PF_MAX_PARAM_NAME_LEN = 31, PF_MAX_PARAM_VALUE_LEN = 31 };
enum { PF_RETURN_MSG_SIZE = 256 };
enum { PF_LayerDefault_MYSELF = -1, PF_LayerDefault_NONE = 0 };

// ---- pixels, rectangles, worlds ----
typedef struct { A_u_char alpha, red, green, blue; } PF_Pixel;
// Rows of pixels are read and written as 32-bit words (and vectors of them).
static_assert(sizeof(PF_Pixel) == 4, "a pixel is four bytes, alpha first");
typedef PF_Pixel PF_Pixel8;
typedef struct { PF_FpShort alpha, red, green, blue; } PF_PixelFloat;
typedef PF_Pixel* PF_PixelPtr;

typedef struct { A_long left, top, right, bottom; } PF_LRect;  // right, bottom exclusive
typedef PF_LRect PF_Rect;

typedef struct { A_long num; A_u_long den; } PF_RationalScale;

typedef struct { A_long value; A_u_long scale; } A_Time;

typedef struct PF_LayerDef {
    void* reserved0;
    void* reserved1;
    A_long world_flags;
    PF_PixelPtr data;
    A_long rowbytes;   // bytes from one row to the next
    A_long width;
    A_long height;
    PF_LRect extent_hint;
    void* platform_ref;
    A_long reserved_long1;
    void* reserved_long4;
    PF_RationalScale pix_aspect_ratio;
    void* reserved_ptr1;
    A_long origin_x;
    A_long origin_y;
    A_long reserved_long3;
    A_long dephault;   // layer parameter default (PF_LayerDefault_*)
} PF_LayerDef;
typedef PF_LayerDef PF_EffectWorld;

typedef struct {
    PF_Fixed x_radius;
    PF_Fixed y_radius;
    PF_Fixed area;
    PF_EffectWorld* src;
    A_long samp_behave;
    A_long allow_asynch;
    A_long motion_blur;
    A_long comp_mode;
    PF_PixelPtr mask0;
    A_u_char* fcm_table;
    A_u_char* fcm_denominator;
    A_long reserved[8];
} PF_SampPB;

typedef struct {
    PF_FpLong x, y;
    PF_FpLong tan_in_x, tan_in_y;
    PF_FpLong tan_out_x, tan_out_y;
} PF_PathVertex;

// ---- parameter definitions ----
typedef struct {
    A_long value;
    A_char value_str[PF_MAX_PARAM_VALUE_LEN + 1];
    A_char value_desc[PF_MAX_PARAM_VALUE_LEN + 1];
    A_long valid_min, valid_max;
    A_long slider_min, slider_max;
    A_long dephault;
} PF_SliderDef;

typedef struct {
    PF_Fixed value;
    A_char value_str[PF_MAX_PARAM_VALUE_LEN + 1];
    A_char value_desc[PF_MAX_PARAM_VALUE_LEN + 1];
    PF_Fixed valid_min, valid_max;
    PF_Fixed slider_min, slider_max;
    PF_Fixed dephault;
    A_short precision;
    A_short display_flags;
} PF_FixedSliderDef;

typedef struct {
    PF_FpLong value;
    PF_FpLong phase;
    A_char value_desc[PF_MAX_PARAM_VALUE_LEN + 1];
    PF_FpShort valid_min, valid_max;
    PF_FpShort slider_min, slider_max;
    PF_FpShort dephault;
    A_short precision;
    A_short display_flags;
    A_u_long fs_flags;
    PF_FpShort curve_tolerance;
    PF_Boolean useExponent;
    PF_FpShort exponent;
} PF_FloatSliderDef;

typedef struct {
    PF_Fixed value;   // 16.16 degrees
    PF_Fixed dephault;
    PF_Fixed valid_min, valid_max;
} PF_AngleDef;

typedef struct {
    A_long value;
    PF_Boolean dephault;
    A_char reserved;
    A_short reserved1;
    union { const A_char* nameptr; } u;
} PF_CheckBoxDef;

typedef struct {
    PF_Pixel value;
    PF_Pixel dephault;
} PF_ColorDef;

typedef struct {
    PF_Fixed x_value;  // 16.16 layer pixels (defaults: 16.16 percent)
    PF_Fixed y_value;
    A_char reserved[3];
    PF_Boolean restrict_bounds;
    PF_Fixed x_dephault;
    PF_Fixed y_dephault;
} PF_PointDef;

typedef struct {
    A_long value;        // 1-based choice
    A_short num_choices;
    A_short dephault;
    union { const A_char* namesptr; } u;
} PF_PopupDef;

typedef struct {
    A_u_long path_id;
    A_long reserved0;
    A_long dephault;
} PF_PathDef;

typedef union {
    PF_LayerDef ld;
    PF_SliderDef sd;
    PF_FixedSliderDef fd;
    PF_AngleDef ad;
    PF_CheckBoxDef bd;
    PF_ColorDef cd;
    PF_PointDef td;
    PF_PopupDef pd;
    PF_FloatSliderDef fs_d;
    PF_PathDef path_d;
} PF_ParamDefUnion;

typedef struct PF_ParamDef {
    union { A_long id; } uu;   // the parameter's identity: the stable index
    PF_ParamUIFlags ui_flags;
    A_short ui_width;
    A_short ui_height;
    PF_ParamType param_type;
    A_char name[PF_MAX_PARAM_NAME_LEN + 1];
    PF_ParamFlags flags;
    A_long unused;
    PF_ParamDefUnion u;
} PF_ParamDef;
typedef PF_ParamDef* PF_ParamDefPtr;
typedef PF_ParamDef** PF_ParamList;

// ---- callbacks ----
typedef struct {
    PF_Err (*checkout_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long what_time,
                             A_long time_step, A_u_long time_scale, PF_ParamDef* param);
    PF_Err (*checkin_param)(PF_ProgPtr effect_ref, PF_ParamDef* param);
    PF_Err (*add_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, PF_ParamDefPtr def);
    PF_Err (*abort)(PF_ProgPtr effect_ref);
    PF_Err (*progress)(PF_ProgPtr effect_ref, A_long current, A_long total);
} PF_InteractCallbacks;

typedef struct {
    int (*sprintf)(A_char* buffer, const A_char* format, ...);
    A_char* (*strcpy)(A_char* dest, const A_char* src);
} PF_ANSICallbacks;

typedef struct _PF_UtilCallbacks {
    PF_Err (*subpixel_sample)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y,
                              const PF_SampPB* params, PF_Pixel* dst_pixel);
    PF_Err (*composite_rect)(PF_ProgPtr effect_ref, PF_Rect* src_rect, A_long src_opacity,
                             PF_EffectWorld* source_wld, A_long dest_x, A_long dest_y,
                             PF_Field field_rdr, PF_XferMode xfer_mode, PF_EffectWorld* dest_wld);
    PF_Err (*fill)(PF_ProgPtr effect_ref, const PF_Pixel* color, const PF_Rect* dst_rect,
                   PF_EffectWorld* world);
    PF_Handle (*host_new_handle)(A_u_longlong size);
    void* (*host_lock_handle)(PF_Handle pf_handle);
    void (*host_unlock_handle)(PF_Handle pf_handle);
    void (*host_dispose_handle)(PF_Handle pf_handle);
    PF_ANSICallbacks ansi;
} PF_UtilCallbacks;

// ---- the basic suite and the suites the plug-in asks for ----
typedef struct SPBasicSuite {
    SPErr (*AcquireSuite)(const char* name, A_long version, const void** suite);
    SPErr (*ReleaseSuite)(const char* name, A_long version);
    A_long (*IsEqual)(const char* token1, const char* token2);
    SPErr (*AllocateBlock)(A_u_long size, void** block);
    SPErr (*FreeBlock)(void* block);
    SPErr (*ReallocateBlock)(void* block, A_u_long new_size, void** new_block);
    SPErr (*Undefined)(void);
} SPBasicSuite;

#define kPFIterate8Suite "PF Iterate8 Suite"
#define kPFIterate8SuiteVersion1 1
#define kPFParamUtilsSuite "PF Param Utils Suite"
#define kPFParamUtilsSuiteVersion2 2
#define kAEGPPFInterfaceSuite "AEGP PF Interface Suite"
#define kAEGPPFInterfaceSuiteVersion1 1

typedef struct {
    PF_Err (*iterate)(void* in_data, A_long progress_base, A_long progress_final,
                      PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                      PF_Err (*pix_fn)(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out),
                      PF_EffectWorld* dst);
} PF_Iterate8Suite1;

typedef struct {
    PF_Err (*PF_UpdateParamUI)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                               const PF_ParamDef* defP);
} PF_ParamUtilsSuite2;

typedef struct {
    PF_Err (*AEGP_GetEffectLayer)(PF_ProgPtr effect_ref, void** layerPH);
    PF_Err (*AEGP_GetNewEffectForEffect)(A_long plugin_id, PF_ProgPtr effect_ref, void** effectPH);
    PF_Err (*AEGP_ConvertEffectToCompTime)(PF_ProgPtr effect_ref, A_long what_timeL,
                                           A_u_long time_scaleL, A_Time* comp_timePT);
} AEGP_PFInterfaceSuite1;

// A suite of this host's own, beyond the host application's: what an effect
// says about itself for hosts that show more than its parameters (editors,
// OpenFX hosts). A plug-in offers it at PF_Cmd_PARAMS_SETUP, after its
// parameters; a host without the suite refuses AcquireSuite and the plug-in
// carries on. The host copies the texts.
#define kKavriDescriptionSuite "Kavri Effect Description Suite"
#define kKavriDescriptionSuiteVersion1 1
#define kKavriDescriptionSuiteVersion2 2

typedef struct {
    // What the effect does, in one line.
    PF_Err (*SetEffectSummary)(PF_ProgPtr effect_ref, const A_char* summary);
    // One sentence on the parameter whose identity (uu.id) is `param_id`.
    PF_Err (*SetParamHint)(PF_ProgPtr effect_ref, A_long param_id, const A_char* hint);
} KavriDescriptionSuite1;

// The render writes every pixel of the output world, whatever it held: a host
// may hand over an output it has not cleared.
#define KAVRI_RENDER_COVERS_OUTPUT 1u

// Version 2 begins as version 1 does.
typedef struct {
    PF_Err (*SetEffectSummary)(PF_ProgPtr effect_ref, const A_char* summary);
    PF_Err (*SetParamHint)(PF_ProgPtr effect_ref, A_long param_id, const A_char* hint);
    // KAVRI_RENDER_* bits that hold for every render of the effect.
    PF_Err (*SetRenderFlags)(PF_ProgPtr effect_ref, A_u_long flags);
} KavriDescriptionSuite2;

// ---- the command records ----
typedef struct PF_InData {
    PF_InteractCallbacks inter;
    struct _PF_UtilCallbacks* utils;
    PF_ProgPtr effect_ref;
    PF_Quality quality;
    A_u_long version;
    A_long serial_num;
    A_long appl_id;
    A_long num_params;
    A_long reserved;
    A_long what_cpu;
    A_long what_fpu;
    A_long current_time;
    A_long time_step;
    A_long total_time;
    A_long local_time_step;
    A_u_long time_scale;
    PF_Field field;
    PF_Fixed shutter_angle;
    A_long width;
    A_long height;
    PF_Rect extent_hint;
    A_long output_origin_x;
    A_long output_origin_y;
    PF_RationalScale downsample_x;
    PF_RationalScale downsample_y;
    PF_RationalScale pixel_aspect_ratio;
    A_long in_flags;
    PF_Handle global_data;
    PF_Handle sequence_data;
    PF_Handle frame_data;
    SPBasicSuite* pica_basicP;
} PF_InData;

typedef struct PF_OutData {
    A_u_long my_version;
    A_char name[PF_MAX_EFFECT_NAME_LEN + 1];
    PF_Handle global_data;
    A_long num_params;
    PF_Handle sequence_data;
    A_long flat_sdata_size;
    PF_Handle frame_data;
    A_long width;
    A_long height;
    A_long origin_x;
    A_long origin_y;
    A_u_long out_flags;
    A_char return_msg[PF_RETURN_MSG_SIZE];
    A_u_long out_flags2;
} PF_OutData;

// The one function a plug-in module exports.
typedef PF_Err (*PF_EntryPointFunc)(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                    PF_ParamDef* params[], PF_LayerDef* output, void* extra);
#define PF_ENTRY_POINT_NAME "EntryPointFunc"
