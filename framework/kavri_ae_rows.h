// Writing an effect's description: one builder per parameter type, each taking
// the parameter's values in its own units and a hint, and one function that
// puts the rows under the effect's header. Everything is constexpr, so the
// description is built by the compiler, and a row the framework would refuse
// (a stable index outside 1..89 and 100..119, a name over 31 characters, too
// many rows) stops the build:
//
//   static constexpr ns_ae_row kRows[] = {
//       colorRow(kTintColor, "color", 0xFF8000, "the colour the layer is tinted by"),
//       floatSliderRow(kTintAmount, "amount", 0, 100, 50, "how far towards the tint").percent(),
//   };
//   extern "C" constexpr ns_ae_description g_d = nr_ae_describe(kEffect, kRows);
//
// The builders fill the row record (ns_ae_slider) exactly as registration
// reads it; what each field means per type is in kavri_ae_effect_framework.h.
#pragma once

#include <cstddef>
#include <cstdint>

// The effect's header: who it is and what the framework does for it.
struct ns_ae_effect {
    const char* name;         // shown in the host's effect list and the About text
    const char* description;  // the About text's second paragraph
    const char* summary;      // what it does, one line: the About text's credits start with it, editors show it
    const char* credits;      // the About text's closing lines, "\r" between them; may be null
    int32_t major, minor, bugfix, stage, build;
    uint32_t framework_flags;  // NS_AE_FILTER_AT_RENDER, NS_AE_FRAME_SETUP_HOOK, NS_AE_NO_DEBUG_GROUP,
                               // NS_AE_COVERS_OUTPUT
    uint32_t out_flags, out_flags2;
};

// One row and its hint (one sentence a host may show beside the parameter).
struct ns_ae_row {
    ns_ae_slider slider;
    const char* hint;

    // Float slider: its value shown as a percent.
    constexpr ns_ae_row percent() const {
        ns_ae_row r = *this;
        r.slider.display_flags = PF_ValueDisplayFlag_PERCENT;
        return r;
    }
    // Float slider: the slider drags over low..high (the valid range stays).
    constexpr ns_ae_row dragRange(float low, float high) const {
        ns_ae_row r = *this;
        r.slider.slider_min = low;
        r.slider.slider_max = high;
        return r;
    }
};

// ---- one builder per type ----

// A number with three decimals; valid from min to max, dragged over the same range.
constexpr ns_ae_row floatSliderRow(int32_t index, const char* name, float min, float max, float dephault,
                                   const char* hint) {
    return {{PF_Param_FLOAT_SLIDER, index, name, nullptr, min, max, min, max, dephault, 0}, hint};
}

// A whole number from min to max.
constexpr ns_ae_row sliderRow(int32_t index, const char* name, int32_t min, int32_t max, int32_t dephault,
                              const char* hint) {
    return {{PF_Param_SLIDER, index, name, nullptr, static_cast<float>(min), static_cast<float>(max),
             static_cast<float>(min), static_cast<float>(max), static_cast<float>(dephault), 0},
            hint};
}

// A 16.16 number with two decimals, from min to max.
constexpr ns_ae_row fixedSliderRow(int32_t index, const char* name, float min, float max, float dephault,
                                   const char* hint) {
    return {{PF_Param_FIX_SLIDER, index, name, nullptr, min, max, min, max, dephault, 0}, hint};
}

// An angle in degrees, any number of turns. (Its range fields, which
// registration does not read, hold 2^31.)
constexpr ns_ae_row angleRow(int32_t index, const char* name, float degrees, const char* hint) {
    return {{PF_Param_ANGLE, index, name, nullptr, 2147483648.0f, 2147483648.0f, 2147483648.0f, 2147483648.0f,
             degrees, 0},
            hint};
}

// A checkbox with `label` beside it, on or off.
constexpr ns_ae_row checkboxRow(int32_t index, const char* name, const char* label, bool on, const char* hint) {
    return {{PF_Param_CHECKBOX, index, name, label, 0, 0, 0, 0, on ? 1.0f : 0.0f, 0}, hint};
}

// A colour; the default as 0xRRGGBB (the row keeps it as 0xBBGGRR).
constexpr ns_ae_row colorRow(int32_t index, const char* name, uint32_t rgb, const char* hint) {
    const uint32_t bgr = ((rgb & 0xFFu) << 16) | (rgb & 0xFF00u) | ((rgb >> 16) & 0xFFu);
    return {{PF_Param_COLOR, index, name, nullptr, 0, 0, 0, 0, static_cast<float>(bgr), 0}, hint};
}
constexpr ns_ae_row colorRow(int32_t index, const char* name, uint8_t red, uint8_t green, uint8_t blue,
                             const char* hint) {
    return colorRow(index, name, (uint32_t{red} << 16) | (uint32_t{green} << 8) | blue, hint);
}

// A position, its default in whole percent of the layer's width and height
// (a fraction is cut).
constexpr ns_ae_row pointRow(int32_t index, const char* name, float x_percent, float y_percent, const char* hint) {
    return {{PF_Param_POINT, index, name, nullptr, x_percent, y_percent, x_percent, y_percent, 0, 0}, hint};
}

// The number of choices in "a|b|c".
constexpr int32_t popupChoiceCount(const char* choices) {
    int32_t n = 1;
    for (const char* c = choices; *c; ++c)
        if (*c == '|') ++n;
    return n;
}

// A popup of the choices "a|b|c"; the default is the choice's number from 1.
constexpr ns_ae_row popupRow(int32_t index, const char* name, const char* choices, int32_t dephault,
                             const char* hint) {
    const float count = static_cast<float>(popupChoiceCount(choices));
    return {{PF_Param_POPUP, index, name, choices, 0, count, 0, count, static_cast<float>(dephault), 0}, hint};
}

// A layer; the default is the host's layer default code.
constexpr ns_ae_row layerRow(int32_t index, const char* name, int32_t dephault, const char* hint) {
    return {{PF_Param_LAYER, index, name, nullptr, 0, 0, 0, 0, static_cast<float>(dephault), 0}, hint};
}

// A mask path (no default).
constexpr ns_ae_row pathRow(int32_t index, const char* name, const char* hint) {
    return {{PF_Param_PATH, index, name, nullptr, 0, 0, 0, 0, 0, 0}, hint};
}

// A group: the rows between its start and its end fold away under `name`.
constexpr ns_ae_row groupStartRow(int32_t index, const char* name) {
    return {{PF_Param_GROUP_START, index, name, nullptr, 0, 0, 0, 0, 0, 0}, nullptr};
}
constexpr ns_ae_row groupEndRow(int32_t index) {
    return {{PF_Param_GROUP_END, index, "", nullptr, 0, 0, 0, 0, 0, 0}, nullptr};
}

// ---- the description ----

// Never defined: a description evaluated by the compiler that reaches one of
// these stops the build, and the name says why.
void ns_ae_row_index_outside_1_to_89_and_100_to_119();
void ns_ae_row_name_longer_than_31_characters();

constexpr size_t nsAeNameLength(const char* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

// The header and the rows as one description, the rows' hints beside them.
template <size_t N>
constexpr ns_ae_description nr_ae_describe(const ns_ae_effect& effect, const ns_ae_row (&rows)[N]) {
    static_assert(N < kNsAeMaxSliders, "a description holds at most 120 rows");
    ns_ae_description d{};
    d.name = effect.name;
    d.description = effect.description;
    d.major = effect.major;
    d.minor = effect.minor;
    d.bugfix = effect.bugfix;
    d.stage = effect.stage;
    d.build = effect.build;
    d.framework_flags = effect.framework_flags;
    d.out_flags = effect.out_flags;
    d.out_flags2 = effect.out_flags2;
    d.summary = effect.summary;
    d.credits = effect.credits;
    for (size_t r = 0; r < N; ++r) {
        const int32_t index = rows[r].slider.index;
        if (index < 1 || (index > kNsAeLastIndexBeforeDebug && index < kNsAeFirstIndexAfterDebug) ||
            index >= kNsAeMaxParams)
            ns_ae_row_index_outside_1_to_89_and_100_to_119();
        if (nsAeNameLength(rows[r].slider.name) > PF_MAX_PARAM_NAME_LEN) ns_ae_row_name_longer_than_31_characters();
        d.sliders[r] = rows[r].slider;
        d.hints[r] = rows[r].hint;
    }
    return d;
}
