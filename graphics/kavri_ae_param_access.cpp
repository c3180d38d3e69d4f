// Parameter accessors and the small numeric helpers the effect computes with.
#include <cmath>

#include "graphics/kavri_ae_graphics_utils.h"

static const double kOneOver65536 = 1.0 / 65536.0;  // exactly 2^-16

PF_ParamDef* getParam(PF_ParamDef** params, int index) {
    return params[index];
}

double getParamFloat(PF_ParamDef** params, int index) {
    return params[index]->u.fs_d.value;
}

int32_t getParamInt(PF_ParamDef** params, int index) {
    return params[index]->u.sd.value;
}

int32_t getParamPopup(PF_ParamDef** params, int index) {
    return params[index]->u.pd.value;
}

bool getParamCheckbox(PF_ParamDef** params, int index) {
    return params[index]->u.bd.value != 0;
}

double getParamFixed(PF_ParamDef** params, int index) {
    return params[index]->u.fd.value / 65536.0;
}

PF_LayerDef* getParamLayer(PF_ParamDef** params, int index) {
    return &params[index]->u.ld;
}

uint32_t getParamColor(PF_ParamDef** params, int index) {
    const PF_Pixel& p = params[index]->u.cd.value;
    return static_cast<uint32_t>(p.alpha) | (static_cast<uint32_t>(p.red) << 8) |
           (static_cast<uint32_t>(p.green) << 16) | (static_cast<uint32_t>(p.blue) << 24);
}

double getParamPointX(PF_ParamDef** params, int index) {
    return static_cast<double>(static_cast<float>(params[index]->u.td.x_value)) * kOneOver65536;
}

double getParamPointY(PF_ParamDef** params, int index) {
    return static_cast<double>(static_cast<float>(params[index]->u.td.y_value)) * kOneOver65536;
}

double getParamAngle(PF_ParamDef** params, int index) {
    return static_cast<double>(params[index]->u.ad.value) * kOneOver65536;
}

double getParamAngleRadians(PF_ParamDef** params, int index) {
    return static_cast<double>(params[index]->u.ad.value) * kOneOver65536 / 57.29577951;
}

double getParamAngleUnitPhase(PF_ParamDef** params, int index) {
    double a = static_cast<double>(params[index]->u.ad.value) * kOneOver65536 / 360.0;
    double r = a - std::floor(a);
    if (r < 0) r = r + 1.0;
    return r;
}

float mapRangePin(float value, float in_min, float in_max, float out_min, float out_max) {
    float r = mapRange(value, in_min, in_max, out_min, out_max);
    if (r < out_min) return out_min;
    if (out_max < r) return out_max;
    return r;
}

float pinRange(float value, float low, float high) {
    if (value < low) return low;
    if (high < value) return high;
    return value;
}

double zel_interpolate(double a, double b, double t) {
    return ((1.0 - t) * a) + (t * b);
}

void pixelFloatTo8(PF_PixelFloat* in, PF_Pixel* out) {
    out->red = truncToByte(in->red);
    out->green = truncToByte(in->green);
    out->blue = truncToByte(in->blue);
    out->alpha = truncToByte(in->alpha);
}
