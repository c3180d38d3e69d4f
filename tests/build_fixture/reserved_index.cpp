// Must not build: a row at the framework's stable index 95.
#include "framework/kavri_ae_effect_framework.h"

static constexpr ns_ae_effect kEffect = {"bad", "a row at a reserved index", nullptr, nullptr, 1, 0, 0, 0, 0,
                                         NS_AE_FILTER_AT_RENDER, 0, 0};
static constexpr ns_ae_row kRows[] = {
    floatSliderRow(95, "hidden", 0, 1, 0, nullptr),
};
extern "C" constexpr ns_ae_description g_d = nr_ae_describe(kEffect, kRows);
