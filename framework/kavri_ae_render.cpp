// PF_Cmd_RENDER: map the parameters, hold the effect's handle locked around the
// filter, make sure the host has its 8-bit iteration suite, run the filter, then
// draw the optional parameter and render-time stamps and empty the debug text.
#include <sys/time.h>

#include "framework/kavri_ae_effect_framework.h"
#include "graphics/font8x8.h"
#include "graphics/kavri_ae_graphics_utils.h"

static double nowMicroseconds() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) * 1000000 + static_cast<double>(tv.tv_usec);
}

static PF_Pixel pixelFromColorWord(uint32_t c) {
    return PF_Pixel{colorAlpha(c), colorRed(c), colorGreen(c), colorBlue(c)};
}

// A world that claims pixels but has no memory behind them.
static bool worldWithoutPixels(const PF_LayerDef* world) {
    return !world->data && world->width > 0 && world->height > 0;
}

PF_Err nr_ae_render(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], PF_LayerDef* output) {
    if (!in_data || !out_data || !params || !params[0] || !output) return PF_Err_BAD_CALLBACK_PARAM;
    // Refused before anything runs: neither the filter nor a stamp may touch them.
    if (worldWithoutPixels(output) || worldWithoutPixels(&params[0]->u.ld)) {
        nr_ae_report(in_data, out_data, "no pixels in the %s layer", worldWithoutPixels(output) ? "output" : "input");
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    kavri_ae_filter_context* context = getInstanceContext(in_data, params);
    if (!context || !context->global) return PF_Err_INTERNAL_STRUCT_DAMAGED;
    PF_ParamDef** p = context->params;

    if (context->user_handle) nr_ae_lock_handle(in_data, context->user_handle);

    // (an effect without the debug group has no stamps to read)
    const bool stamps = nr_ae_has_debug_group(&g_d);
    const int32_t stamp_time = stamps ? getParamCheckbox(p, kNsAeStampTime) : 0;
    double start = 0;
    if (stamp_time != 0) start = nowMicroseconds();

    const void* iterate_suite = nullptr;
    if (in_data->pica_basicP)
        in_data->pica_basicP->AcquireSuite(kPFIterate8Suite, kPFIterate8SuiteVersion1, &iterate_suite);
    PF_Err err = PF_Err_NONE;
    if (iterate_suite) {
        if (g_d.framework_flags & NS_AE_FILTER_AT_RENDER)
            err = nr_ae_frame_filter(context, &params[0]->u.ld, output, in_data, out_data);
    } else {
        nr_ae_report(in_data, out_data, "could not acquire %s", "Could not load kPFIterate8Suite");
        err = PF_Err_BAD_CALLBACK_PARAM;
    }

    if (context->user_handle) nr_ae_unlock_handle(in_data, context->user_handle);

    if (stamps && getParamCheckbox(p, kNsAeStampParams) != 0) {
        const int32_t x = truncToInt32(getParamPointX(p, kNsAeStampParamsPoint));
        const int32_t y = truncToInt32(getParamPointY(p, kNsAeStampParamsPoint));
        drawParameterValues(output, x, y, pixelFromColorWord(getParamColor(p, kNsAeStampParamsColor)), out_data,
                            context);
    }

    if (iterate_suite) in_data->pica_basicP->ReleaseSuite(kPFIterate8Suite, kPFIterate8SuiteVersion1);

    if (stamp_time != 0) {
        PF_Pixel colour = pixelFromColorWord(getParamColor(p, kNsAeStampTimeColor));
        const int32_t x = truncToInt32(getParamPointX(p, kNsAeStampTimePoint));
        const int32_t y = truncToInt32(getParamPointY(p, kNsAeStampTimePoint));
        const double elapsed = (nowMicroseconds() - start) / 1000.0;
        drawf(output, &colour, x, y, "%8.2fms", elapsed);
    }

    nr_ae_dprint(nullptr);
    return err;
}
