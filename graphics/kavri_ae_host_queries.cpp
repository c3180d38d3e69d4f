// Geometry of the frame being rendered and host state reached through callbacks.
#include <cstring>

#include "framework/kavri_ae_effect_framework.h"
#include "graphics/kavri_ae_graphics_utils.h"

static double ratio(const PF_RationalScale& r) {
    return static_cast<double>(r.num) / static_cast<double>(r.den);
}

static double inverseRatio(const PF_RationalScale& r) {
    return static_cast<double>(r.den) / static_cast<double>(r.num);
}

double getDownsample(PF_InData* in_data) {
    return (ratio(in_data->downsample_x) + ratio(in_data->downsample_y)) * 0.5;
}

double getDownsampleX(PF_InData* in_data) {
    return ratio(in_data->downsample_x) * inverseRatio(in_data->pixel_aspect_ratio);
}

double getDownsampleY(PF_InData* in_data) {
    return ratio(in_data->downsample_y);
}

double getPixelAspectRatio(PF_InData* in_data) {
    return ratio(in_data->pixel_aspect_ratio);
}

void get_param_at_time(PF_InData* in_data, int position, double seconds, PF_ParamDef* out) {
    PF_ParamDef local;
    std::memset(&local, 0, sizeof(local));
    const A_long when = truncToInt32(static_cast<double>(in_data->time_scale) * seconds);
    PF_Err err = in_data->inter.checkout_param(in_data->effect_ref, position, when, in_data->time_step,
                                               in_data->time_scale, &local);
    if (err) {
        std::memset(out, 0, sizeof(*out));
        return;
    }
    std::memcpy(out, &local, sizeof(local));
    in_data->inter.checkin_param(in_data->effect_ref, &local);
}

int r_get_param_layer_rect(PF_InData* in_data, int position, PF_LRect* rect) {
    PF_ParamDef def;
    std::memset(&def, 0, sizeof(def));
    PF_Err err = in_data->inter.checkout_param(in_data->effect_ref, position, 0, 0, 30, &def);
    if (err) return err;
    if (def.u.ld.rowbytes == 0) {
        // The parameter names no layer: take the effect's own input.
        in_data->inter.checkin_param(in_data->effect_ref, &def);
        std::memset(&def, 0, sizeof(def));
        if (in_data->inter.checkout_param(in_data->effect_ref, 0, 0, 0, 30, &def) != 0) {
            std::memset(&def, 0, sizeof(def));
        }
    }
    rect->left = 0;
    rect->top = 0;
    rect->right = def.u.ld.width;
    rect->bottom = def.u.ld.height;
    in_data->inter.checkin_param(in_data->effect_ref, &def);
    return 0;
}

double getLayerInPoint(PF_InData* in_data, PF_OutData* out_data) {
    const AEGP_PFInterfaceSuite1* suite = nullptr;
    if (nr_ae_acquire_suite(in_data, out_data, kAEGPPFInterfaceSuite, kAEGPPFInterfaceSuiteVersion1,
                            "kAEGPPFInterfaceSuite", reinterpret_cast<const void**>(&suite)) != 0)
        return 0;
    A_Time comp_time = {0, 1};
    PF_Err err = suite->AEGP_ConvertEffectToCompTime
                     ? suite->AEGP_ConvertEffectToCompTime(in_data->effect_ref, 0, 1, &comp_time)
                     : PF_Err_BAD_CALLBACK_PARAM;
    nr_ae_release_suite(in_data, out_data, kAEGPPFInterfaceSuite, kAEGPPFInterfaceSuiteVersion1,
                        "kAEGPPFInterfaceSuite");
    if (err || comp_time.scale == 0) return 0;
    return static_cast<double>(comp_time.value) / static_cast<double>(comp_time.scale);
}

void setUpPFSampPB(PF_SampPB* block, PF_LayerDef* world) {
    std::memset(block, 0, sizeof(*block));
    block->src = world;
}
