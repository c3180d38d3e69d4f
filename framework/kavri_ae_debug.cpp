// The parameter stamp and the per-instance debug text drawn under it.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "framework/kavri_ae_effect_framework.h"
#include "graphics/font8x8.h"
#include "graphics/kavri_ae_graphics_utils.h"

enum { kValueTextSize = 64 };

static void valueText(const PF_ParamDef* def, char* text) {
    switch (def->param_type) {
    case PF_Param_LAYER: std::snprintf(text, kValueTextSize, "(layer)"); break;
    case PF_Param_SLIDER:
    case PF_Param_CHECKBOX:
    case PF_Param_POPUP: std::snprintf(text, kValueTextSize, "%d", static_cast<int>(def->u.sd.value)); break;
    case PF_Param_FIX_SLIDER:
        std::snprintf(text, kValueTextSize, "%8.3f", static_cast<double>(def->u.fd.value) / 65536);
        break;
    case PF_Param_ANGLE:
        std::snprintf(text, kValueTextSize, "%8.3f", static_cast<double>(def->u.ad.value) / 65536);
        break;
    case PF_Param_COLOR:
        std::snprintf(text, kValueTextSize, "%02x %02x %02x", def->u.cd.value.red, def->u.cd.value.green,
                      def->u.cd.value.blue);
        break;
    case PF_Param_POINT:
        std::snprintf(text, kValueTextSize, "%5.1f,%5.1f",
                      static_cast<double>(static_cast<float>(def->u.td.x_value) / 65536),
                      static_cast<double>(static_cast<float>(def->u.td.y_value) / 65536));
        break;
    case PF_Param_FLOAT_SLIDER: std::snprintf(text, kValueTextSize, "%8.3f", def->u.fs_d.value); break;
    case PF_Param_PATH: std::snprintf(text, kValueTextSize, "(path)"); break;
    default: std::snprintf(text, kValueTextSize, "-- ? --"); break;
    }
}

// The definition at host position p, or null when the tables do not name one.
static const PF_ParamDef* definitionAt(const kavri_ae_filter_context* context, int32_t p) {
    const int32_t index = context->global->index_of_position[p];
    if (index < 0 || index >= kNsAeMaxParams) return nullptr;
    return context->params[index];
}

void drawParameterValues(PF_LayerDef* world, int32_t x, int32_t y, PF_Pixel colour, PF_OutData*,
                         kavri_ae_filter_context* context) {
    const kavri_ae_filter_context_global* global = context->global;
    const int32_t count = global->count < kNsAeMaxParams ? global->count : kNsAeMaxParams;
    size_t longest = 0;
    for (int32_t p = 1; p < count; ++p) {
        const PF_ParamDef* def = definitionAt(context, p);
        if (!def || !showableParam(global->index_of_position[p], def->param_type)) continue;
        const size_t length = strnlen(def->name, sizeof(def->name));
        if (length > longest) longest = length;
    }

    drawf(world, &colour, x, y, "%s 0x%08x 0x%08x", g_d.name, g_d.out_flags, g_d.out_flags2);
    int64_t line = static_cast<int64_t>(y) + 8;
    for (int32_t p = 1; p < count; ++p) {
        const PF_ParamDef* def = definitionAt(context, p);
        const int32_t index = global->index_of_position[p];
        if (!def || !showableParam(index, def->param_type)) continue;
        char value[kValueTextSize];
        valueText(def, value);
        const size_t length = strnlen(def->name, sizeof(def->name));
        const int64_t left = static_cast<int64_t>(x) + static_cast<int64_t>(longest - length) * 8;
        if (left <= INT32_MAX && line <= INT32_MAX)
            drawf(world, &colour, static_cast<int>(left), static_cast<int>(line), "%.*s[%2d]: %s",
                  static_cast<int>(length), def->name, static_cast<int>(index), value);
        line += 8;
    }

    // The debug text: newline starts a line at x; other control bytes and bytes
    // from 128 up take no room.
    int64_t pen = x;
    for (const char* c = context->debug_text; *c; ++c) {
        const unsigned char b = static_cast<unsigned char>(*c);
        if (b == '\n') {
            pen = x;
            line += 8;
        } else if (b >= 32 && b < 128) {
            if (pen <= INT32_MAX && line <= INT32_MAX)
                drawChar(world, &colour, static_cast<int>(pen), static_cast<int>(line), b);
            pen += 8;
        }
    }
}

int nr_ae_dprint(const char* format, ...) {
    kavri_ae_filter_context* context = gSequenceContext;
    if (!context) return 0;
    if (!format) {
        context->debug_text[0] = 0;
        return 0;
    }
    const size_t n = strnlen(context->debug_text, kNsAeDebugTextSize - 1);
    if (n > kNsAeDebugTextLimit) return 0;
    va_list args;
    va_start(args, format);
    const int wanted = std::vsnprintf(context->debug_text + n, kNsAeDebugTextSize - n, format, args);
    va_end(args);
    if (wanted < 0) {
        context->debug_text[n] = 0;
        return 0;
    }
    const size_t room = kNsAeDebugTextSize - 1 - n;
    return static_cast<int>(static_cast<size_t>(wanted) < room ? static_cast<size_t>(wanted) : room);
}
