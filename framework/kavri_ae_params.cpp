// Stable parameter indices and registration: every description row becomes one
// host parameter, followed by the framework's "debug" group.
#include <cstring>

#include "framework/kavri_ae_effect_framework.h"
#include "graphics/kavri_ae_graphics_utils.h"

int32_t ourNewParamId(kavri_ae_filter_context_global* global, int32_t index) {
    int32_t position = global->count;
    global->index_of_position[position] = index;
    global->position_of_index[index] = position;
    global->count += 1;
    return position;
}

kavri_ae_filter_context* getInstanceContext(PF_InData* in_data, PF_ParamDef* params[]) {
    if (!in_data) return nullptr;
    kavri_ae_filter_context* context =
        static_cast<kavri_ae_filter_context*>(nr_ae_handle_record(in_data->sequence_data));
    if (!context) return nullptr;
    context->global = static_cast<kavri_ae_filter_context_global*>(nr_ae_handle_record(in_data->global_data));
    if (!params || !context->global) return context;
    for (int i = 0; i < kNsAeMaxParams; ++i) context->params[i] = params[context->global->position_of_index[i]];
    return context;
}

bool showableParam(int32_t index, int32_t type) {
    return index <= kNsAeLastIndexBeforeDebug && type != PF_Param_GROUP_START && type != PF_Param_GROUP_END;
}

// 16.16 from a row's float: the product in single precision, then truncated.
static PF_Fixed rowFixed(float v) {
    return truncToInt32(v * 65536.0f);
}

static void copyName(PF_InData* in_data, PF_ParamDef* def, const char* name) {
    if (in_data->utils && in_data->utils->ansi.strcpy)
        in_data->utils->ansi.strcpy(def->name, name);
}

static void fillDefinition(const ns_ae_slider* s, PF_InData* in_data, PF_ParamDef* def) {
    std::memset(def, 0, sizeof(*def));
    def->flags = PF_ParamFlag_START_COLLAPSED;
    def->uu.id = s->index;
    switch (s->type) {
    case PF_Param_LAYER:
        def->param_type = PF_Param_LAYER;
        def->u.ld.dephault = truncToInt32(s->default_value);
        copyName(in_data, def, s->name);
        break;
    case PF_Param_FIX_SLIDER:
        def->param_type = PF_Param_FIX_SLIDER;
        def->u.fd.valid_min = def->u.fd.slider_min = rowFixed(s->min);
        def->u.fd.valid_max = def->u.fd.slider_max = rowFixed(s->max);
        def->u.fd.value = def->u.fd.dephault = rowFixed(s->default_value);
        def->u.fd.precision = 2;
        copyName(in_data, def, s->name);
        break;
    case PF_Param_ANGLE:
        def->param_type = PF_Param_ANGLE;
        def->u.ad.value = def->u.ad.dephault = rowFixed(s->default_value);
        copyName(in_data, def, s->name);
        break;
    case PF_Param_CHECKBOX:
        def->param_type = PF_Param_CHECKBOX;
        def->u.bd.value = truncToInt32(s->default_value);
        def->u.bd.dephault = static_cast<PF_Boolean>(def->u.bd.value);
        def->u.bd.u.nameptr = s->choices;
        copyName(in_data, def, s->name);
        break;
    case PF_Param_COLOR: {
        uint32_t c = static_cast<uint32_t>(truncToInt32(s->default_value));
        PF_Pixel p;
        p.alpha = 255;
        p.red = c & 0xFF;
        p.green = (c >> 8) & 0xFF;
        p.blue = (c >> 16) & 0xFF;
        def->param_type = PF_Param_COLOR;
        def->u.cd.value = def->u.cd.dephault = p;
        copyName(in_data, def, s->name);
        break;
    }
    case PF_Param_POINT:
        // whole percent of the layer, as 16.16
        def->param_type = PF_Param_POINT;
        def->u.td.restrict_bounds = 0;
        def->u.td.x_value = def->u.td.x_dephault = static_cast<PF_Fixed>(
            static_cast<uint32_t>(truncToInt32(s->min)) * 65536u);
        def->u.td.y_value = def->u.td.y_dephault = static_cast<PF_Fixed>(
            static_cast<uint32_t>(truncToInt32(s->max)) * 65536u);
        copyName(in_data, def, s->name);
        break;
    case PF_Param_POPUP:
        def->param_type = PF_Param_POPUP;
        def->u.pd.num_choices = static_cast<A_short>(truncToInt32(s->max));
        def->u.pd.dephault = static_cast<A_short>(truncToInt32(s->default_value));
        def->u.pd.value = truncToInt32(s->default_value);
        def->u.pd.u.namesptr = s->choices;
        copyName(in_data, def, s->name);
        break;
    case PF_Param_FLOAT_SLIDER:
        def->param_type = PF_Param_FLOAT_SLIDER;
        def->u.fs_d.valid_min = s->min;
        def->u.fs_d.valid_max = s->max;
        def->u.fs_d.slider_min = s->slider_min;
        def->u.fs_d.slider_max = s->slider_max;
        def->u.fs_d.value = static_cast<double>(s->default_value);
        def->u.fs_d.dephault = s->default_value;
        def->u.fs_d.precision = 3;
        def->u.fs_d.display_flags = static_cast<A_short>(truncToInt32(s->display_flags));
        def->u.fs_d.curve_tolerance = 0.05f;
        copyName(in_data, def, s->name);
        break;
    case PF_Param_PATH: {
        def->param_type = PF_Param_PATH;
        int i = 0;
        do {
            def->name[i] = s->name[i];
        } while (s->name[i++] != 0 && i < PF_MAX_PARAM_NAME_LEN + 1);
        def->name[PF_MAX_PARAM_NAME_LEN] = 0;
        break;
    }
    case PF_Param_GROUP_START:
        def->param_type = PF_Param_GROUP_START;
        copyName(in_data, def, s->name);
        break;
    case PF_Param_GROUP_END:
        def->param_type = PF_Param_GROUP_END;
        break;
    default:
        def->param_type = PF_Param_SLIDER;
        def->u.sd.valid_min = def->u.sd.slider_min = truncToInt32(s->min);
        def->u.sd.valid_max = def->u.sd.slider_max = truncToInt32(s->max);
        def->u.sd.value = def->u.sd.dephault = truncToInt32(s->default_value);
        copyName(in_data, def, s->name);
        break;
    }
}

static PF_Err registerDefinition(PF_InData* in_data, kavri_ae_filter_context_global* global, PF_ParamDef* def) {
    PF_Err err = in_data->inter.add_param(in_data->effect_ref, -1, def);
    if (err) return err;
    ourNewParamId(global, def->uu.id);
    return PF_Err_NONE;
}

PF_Err addOneParam(const ns_ae_slider* slider, PF_InData* in_data, kavri_ae_filter_context_global* global) {
    PF_ParamDef def;
    fillDefinition(slider, in_data, &def);
    return registerDefinition(in_data, global, &def);
}

// ---- the debug group ----

static void debugBase(PF_ParamDef* def, int32_t id, PF_ParamType type) {
    std::memset(def, 0, sizeof(*def));
    def->flags = PF_ParamFlag_START_COLLAPSED;
    def->uu.id = id;
    def->param_type = type;
}

static PF_Err addDebugCheckbox(PF_InData* in_data, kavri_ae_filter_context_global* global, int32_t id,
                               const char* name) {
    PF_ParamDef def;
    debugBase(&def, id, PF_Param_CHECKBOX);
    def.u.bd.u.nameptr = "";
    copyName(in_data, &def, name);
    return registerDefinition(in_data, global, &def);
}

static PF_Err addDebugColor(PF_InData* in_data, kavri_ae_filter_context_global* global, int32_t id,
                            const char* name) {
    PF_ParamDef def;
    debugBase(&def, id, PF_Param_COLOR);
    PF_Pixel p = {255, 255, 240, 255};  // alpha, red, green, blue
    def.u.cd.value = def.u.cd.dephault = p;
    copyName(in_data, &def, name);
    return registerDefinition(in_data, global, &def);
}

static PF_Err addDebugPoint(PF_InData* in_data, kavri_ae_filter_context_global* global, int32_t id,
                            const char* name, int32_t x_percent, int32_t y_percent) {
    PF_ParamDef def;
    debugBase(&def, id, PF_Param_POINT);
    def.u.td.x_value = def.u.td.x_dephault = x_percent * 65536;
    def.u.td.y_value = def.u.td.y_dephault = y_percent * 65536;
    copyName(in_data, &def, name);
    return registerDefinition(in_data, global, &def);
}

static PF_Err addDebugGroup(PF_InData* in_data, kavri_ae_filter_context_global* global) {
    PF_ParamDef def;
    debugBase(&def, kNsAeDebugGroupStart, PF_Param_GROUP_START);
    copyName(in_data, &def, "debug");
    PF_Err err = registerDefinition(in_data, global, &def);
    if (!err) err = addDebugCheckbox(in_data, global, kNsAeStampParams, "stamp params");
    if (!err) err = addDebugColor(in_data, global, kNsAeStampParamsColor, "stamp params color");
    if (!err) err = addDebugPoint(in_data, global, kNsAeStampParamsPoint, "stamp params point", 20, 30);
    if (!err) err = addDebugCheckbox(in_data, global, kNsAeStampTime, "stamp time");
    if (!err) err = addDebugColor(in_data, global, kNsAeStampTimeColor, "stamp time color");
    if (!err) err = addDebugPoint(in_data, global, kNsAeStampTimePoint, "stamp time point", 20, 20);
    return err;
}

static PF_Err closeDebugGroup(PF_InData* in_data, kavri_ae_filter_context_global* global) {
    PF_ParamDef def;
    debugBase(&def, kNsAeDebugGroupEnd, PF_Param_GROUP_END);
    def.flags = 0;
    return registerDefinition(in_data, global, &def);
}

// ---- checking a description against the tables' limits ----

static int rowCount(const ns_ae_description* description) {
    int n = 0;
    while (n < kNsAeMaxSliders && description->sliders[n].name) ++n;
    return n;
}

static bool reservedIndex(int32_t index) {
    return index > kNsAeLastIndexBeforeDebug && index < kNsAeFirstIndexAfterDebug;
}

bool nr_ae_has_debug_group(const ns_ae_description* description) {
    return !(description->framework_flags & NS_AE_NO_DEBUG_GROUP);
}

static PF_Err checkDescription(const ns_ae_description* description, PF_InData* in_data, PF_OutData* out_data) {
    int rows = rowCount(description);
    // the input layer and the debug group
    int positions = 1 + (nr_ae_has_debug_group(description) ? kNsAeDebugGroupPositions : 0);
    bool seen[kNsAeMaxParams] = {};
    for (int r = 0; r < rows; ++r) {
        const ns_ae_slider* s = &description->sliders[r];
        if (std::strlen(s->name) > PF_MAX_PARAM_NAME_LEN) {
            nr_ae_report(in_data, out_data, "parameter name too long: %.40s", s->name);
            return PF_Err_INTERNAL_STRUCT_DAMAGED;
        }
        if (s->index < 1 || s->index >= kNsAeMaxParams) {
            nr_ae_report(in_data, out_data, "stable index out of range: %s", s->name);
            return PF_Err_INVALID_INDEX;
        }
        if (reservedIndex(s->index)) {
            nr_ae_report(in_data, out_data, "stable indices 90 to 99 are the framework's: %s", s->name);
            return PF_Err_INVALID_INDEX;
        }
        if (seen[s->index]) {
            nr_ae_report(in_data, out_data, "stable index used twice: %s", s->name);
            return PF_Err_INVALID_INDEX;
        }
        seen[s->index] = true;
        ++positions;
    }
    if (positions > kNsAeMaxParams) {
        nr_ae_report(in_data, out_data, "too many parameters: %s", description->name);
        return PF_Err_INVALID_INDEX;
    }
    return PF_Err_NONE;
}

// ---- the effect's own words, for a host that asks for them ----

static const struct {
    int32_t index;
    const char* hint;
} kDebugHints[] = {
    {kNsAeStampParams, "draws every parameter's value on the picture"},
    {kNsAeStampParamsColor, "the colour of the parameter stamp"},
    {kNsAeStampParamsPoint, "where the parameter stamp starts"},
    {kNsAeStampTime, "draws how long the frame took to render"},
    {kNsAeStampTimeColor, "the colour of the render time"},
    {kNsAeStampTimePoint, "where the render time is drawn"},
};

// The summary, the hints and the render flags, through the host's description
// suite when it has one (version 2, else 1, which takes no flags); a host
// without it is told nothing, and registration stands either way.
static void describeToHost(const ns_ae_description* description, PF_InData* in_data) {
    if (!in_data->pica_basicP) return;
    const KavriDescriptionSuite2* suite2 = nullptr;
    const KavriDescriptionSuite1* suite = nullptr;
    A_long version = kKavriDescriptionSuiteVersion2;
    if (in_data->pica_basicP->AcquireSuite(kKavriDescriptionSuite, version, reinterpret_cast<const void**>(&suite2)) ==
            kSPNoError &&
        suite2) {
        suite = reinterpret_cast<const KavriDescriptionSuite1*>(suite2);  // (version 2 begins as 1 does)
    } else {
        suite2 = nullptr;
        version = kKavriDescriptionSuiteVersion1;
        if (in_data->pica_basicP->AcquireSuite(kKavriDescriptionSuite, version, reinterpret_cast<const void**>(&suite)) !=
                kSPNoError ||
            !suite)
            return;
    }
    const uint32_t covering = NS_AE_FILTER_AT_RENDER | NS_AE_COVERS_OUTPUT;
    if (suite2 && suite2->SetRenderFlags && (description->framework_flags & covering) == covering)
        suite2->SetRenderFlags(in_data->effect_ref, KAVRI_RENDER_COVERS_OUTPUT);
    if (description->summary && suite->SetEffectSummary)
        suite->SetEffectSummary(in_data->effect_ref, description->summary);
    if (suite->SetParamHint) {
        for (int r = 0; r < rowCount(description); ++r)
            if (description->hints[r])
                suite->SetParamHint(in_data->effect_ref, description->sliders[r].index, description->hints[r]);
        if (nr_ae_has_debug_group(description))
            for (const auto& debug : kDebugHints) suite->SetParamHint(in_data->effect_ref, debug.index, debug.hint);
    }
    in_data->pica_basicP->ReleaseSuite(kKavriDescriptionSuite, version);
}

PF_Err nr_ae_param_setup(const ns_ae_description* description, PF_InData* in_data, PF_OutData* out_data) {
    if (!in_data || !out_data || !in_data->inter.add_param) return PF_Err_BAD_CALLBACK_PARAM;
    kavri_ae_filter_context_global* global =
        static_cast<kavri_ae_filter_context_global*>(nr_ae_handle_record(in_data->global_data));
    if (!global) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    PF_Err err = checkDescription(description, in_data, out_data);
    if (err) return err;

    std::memset(global, 0, sizeof(*global));
    global->count = 1;

    const bool debug_group = nr_ae_has_debug_group(description);
    const int rows = rowCount(description);
    for (int r = 0; r < rows && !err; ++r)
        if (description->sliders[r].index <= kNsAeLastIndexBeforeDebug) err = addOneParam(&description->sliders[r], in_data, global);
    if (!err && debug_group) err = addDebugGroup(in_data, global);
    for (int r = 0; r < rows && !err; ++r)
        if (description->sliders[r].index >= kNsAeFirstIndexAfterDebug) err = addOneParam(&description->sliders[r], in_data, global);
    if (!err && debug_group) err = closeDebugGroup(in_data, global);
    if (err) return err;
    out_data->num_params = global->count;
    describeToHost(description, in_data);
    return PF_Err_NONE;
}
