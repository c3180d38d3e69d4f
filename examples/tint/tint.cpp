// tint: the smallest complete effect on the framework. It mixes every pixel of
// the layer towards the layer tinted by one colour, by an amount; alpha stays.
// Start an effect of your own from a copy of this folder: a description with
// one row per parameter, the frame filter, and one kavri_add_effect line in CMake.
#include <cstdint>

#include "framework/kavri_ae_effect_framework.h"
#include "graphics/kavri_ae_graphics_utils.h"
#include "kavri_effect_version.h"

// Stable indices: the parameters' identities in saved projects, never reused.
enum { kTintColor = 1, kTintAmount = 2 };

// ---- the description: one row per parameter, in the order the host shows them ----

static constexpr ns_ae_effect kEffect = {
    "tint",
    "mixes the layer towards itself tinted by a colour",
    "every pixel mixed towards the layer tinted by one colour; alpha stays",
    "an example effect on the framework",
    KAVRI_EFFECT_VERSION, 0, 0,
    NS_AE_FILTER_AT_RENDER | NS_AE_NO_DEBUG_GROUP,  // two parameters need no stamps
    0,
    0,
};

static constexpr ns_ae_row kRows[] = {
    colorRow(kTintColor, "color", 0xFF8000, "the colour the layer is tinted by"),
    floatSliderRow(kTintAmount, "amount", 0, 100, 50, "how far each pixel moves towards its tinted self").percent(),
};

extern "C" constexpr ns_ae_description g_d = nr_ae_describe(kEffect, kRows);

// ---- the filter (init, frame setup and the parameter UI update are the framework's defaults) ----

// c moved towards c * t / 255 by `amount` (0 to 1), rounded to the nearest byte.
static uint8_t mix(uint8_t c, uint8_t t, float amount) {
    const int tinted = c * t / 255;
    return static_cast<uint8_t>(static_cast<float>(c) + static_cast<float>(tinted - c) * amount + 0.5f);
}

// Where the input and the output overlap, each output pixel is its input pixel
// mixed towards the tint; the rest of the output is left as it is.
PF_Err nr_ae_frame_filter(kavri_ae_filter_context* context, PF_LayerDef* input, PF_LayerDef* output,
                          PF_InData* in_data, PF_OutData*) {
    const uint32_t colour = getParamColor(context->params, kTintColor);
    const uint8_t red = colorRed(colour), green = colorGreen(colour), blue = colorBlue(colour);
    float amount = static_cast<float>(getParamFloat(context->params, kTintAmount) / 100.0);
    if (!(amount >= 0)) amount = 0;  // (NaN too: a host may hand over anything)
    if (amount > 1) amount = 1;
    const int32_t width = input->width < output->width ? input->width : output->width;
    const int32_t height = input->height < output->height ? input->height : output->height;
    for (int32_t y = 0; y < height; ++y) {
        if (PF_Err err = nr_ae_check_abort(in_data)) return err;  // once a row: the user may stop a long render
        const PF_Pixel* src = worldPixel(input, 0, y);
        PF_Pixel* dst = worldPixel(output, 0, y);
        for (int32_t x = 0; x < width; ++x) {
            const PF_Pixel p = src[x];
            dst[x] = PF_Pixel{p.alpha, mix(p.red, red, amount), mix(p.green, green, amount), mix(p.blue, blue, amount)};
        }
    }
    return PF_Err_NONE;
}
