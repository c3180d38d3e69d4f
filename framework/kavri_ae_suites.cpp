// Host suites: acquisition and release with a readable message on failure, and
// the parameter UI update that greys out the debug controls whose checkbox is off.
#include <cstring>

#include "framework/kavri_ae_effect_framework.h"
#include "graphics/kavri_ae_graphics_utils.h"

PF_Err nr_ae_acquire_suite(PF_InData* in_data, PF_OutData* out_data, const char* name, int32_t version,
                           const char* label, const void** suite) {
    *suite = nullptr;
    if (in_data && in_data->pica_basicP) {
        in_data->pica_basicP->AcquireSuite(name, version, suite);
        if (*suite) return PF_Err_NONE;
    }
    nr_ae_report(in_data, out_data, "could not acquire %s", label ? label : "(suite)");
    return PF_Err_BAD_CALLBACK_PARAM;
}

PF_Err nr_ae_release_suite(PF_InData* in_data, PF_OutData* out_data, const char* name, int32_t version,
                           const char* label) {
    if (in_data && in_data->pica_basicP) {
        in_data->pica_basicP->ReleaseSuite(name, version);
        return PF_Err_NONE;
    }
    nr_ae_report(in_data, out_data, "could not release %s", label ? label : "Not able to release AEFX Suite.");
    return PF_Err_BAD_CALLBACK_PARAM;
}

static const char kParamUtilsLabel[] = "kPFParamUtilsSuite";

// Hands one definition to PF_UpdateParamUI; 516 when the suite is missing.
static PF_Err updateParamUI(PF_InData* in_data, PF_OutData* out_data, kavri_ae_filter_context* context,
                            int32_t index, const PF_ParamDef* def) {
    const PF_ParamUtilsSuite2* suite = nullptr;
    PF_Err err = nr_ae_acquire_suite(in_data, out_data, kPFParamUtilsSuite, kPFParamUtilsSuiteVersion2,
                                     kParamUtilsLabel, reinterpret_cast<const void**>(&suite));
    if (err) return err;
    err = suite->PF_UpdateParamUI
              ? suite->PF_UpdateParamUI(in_data->effect_ref, context->global->position_of_index[index], def)
              : PF_Err_BAD_CALLBACK_PARAM;
    nr_ae_release_suite(in_data, out_data, kPFParamUtilsSuite, kPFParamUtilsSuiteVersion2, kParamUtilsLabel);
    return err;
}

PF_Err nr_ae_update_parameter(PF_InData* in_data, PF_OutData* out_data, kavri_ae_filter_context* context,
                              int32_t index, PF_ParamDef* def) {
    return updateParamUI(in_data, out_data, context, index, def);
}

void nr_ae_enable_parameter(PF_InData* in_data, PF_OutData* out_data, kavri_ae_filter_context* context,
                            int32_t index, int enable) {
    const PF_ParamDef* current = context->params[index];
    if (!current) return;
    PF_ParamDef copy;
    std::memcpy(&copy, current, sizeof(copy));
    if (enable)
        copy.ui_flags &= ~PF_PUI_DISABLED;
    else
        copy.ui_flags |= PF_PUI_DISABLED;
    updateParamUI(in_data, out_data, context, index, &copy);
}

PF_Err nr_ae_update_params_ui(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[]) {
    if (!params) return PF_Err_BAD_CALLBACK_PARAM;
    kavri_ae_filter_context* context = getInstanceContext(in_data, params);
    if (!context || !context->global) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    const PF_Err err = nr_ae_enable_params(context, in_data, out_data);
    if (!nr_ae_has_debug_group(&g_d)) return err;
    const int stamp_params = getParamCheckbox(context->params, kNsAeStampParams) != 0;
    const int stamp_time = getParamCheckbox(context->params, kNsAeStampTime) != 0;
    nr_ae_enable_parameter(in_data, out_data, context, kNsAeStampParamsPoint, stamp_params);
    nr_ae_enable_parameter(in_data, out_data, context, kNsAeStampParamsColor, stamp_params);
    nr_ae_enable_parameter(in_data, out_data, context, kNsAeStampTimePoint, stamp_time);
    nr_ae_enable_parameter(in_data, out_data, context, kNsAeStampTimeColor, stamp_time);
    return err;
}
