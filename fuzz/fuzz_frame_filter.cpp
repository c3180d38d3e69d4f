// The squares filter through the entry point with fuzzer-chosen parameter values
// (within their valid ranges), world sizes, quality and pixel aspect ratio. Row
// padding is filled with a sentinel that must survive the render.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "framework/kavri_ae_effect_framework.h"
#include "host/reference_host.h"

namespace {

struct Reader {
    const uint8_t* data;
    size_t size, at = 0;
    uint32_t next(int bytes) {
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i) v = (v << 8) | (at < size ? data[at++] : 0);
        return v;
    }
    double fraction() { return next(2) / 65535.0; }
};

const uint8_t kSentinel = 0xA5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    refhost::Host host(&EntryPointFunc);
    if (host.start() != PF_Err_NONE) std::abort();
    const int32_t w = 1 + static_cast<int32_t>(in.next(1)), h = 1 + static_cast<int32_t>(in.next(1));
    for (size_t p = 1; p < host.definitions().size(); ++p) {
        PF_ParamDef& d = host.param(static_cast<int>(p));
        switch (d.param_type) {
        case PF_Param_FLOAT_SLIDER: {
            const double f = in.fraction();
            d.u.fs_d.value = d.u.fs_d.valid_min + f * (static_cast<double>(d.u.fs_d.valid_max) - d.u.fs_d.valid_min);
            break;
        }
        case PF_Param_POPUP: d.u.pd.value = 1 + static_cast<A_long>(in.next(1) % d.u.pd.num_choices); break;
        case PF_Param_ANGLE: d.u.ad.value = static_cast<PF_Fixed>(in.next(4)); break;
        case PF_Param_COLOR: d.u.cd.value = PF_Pixel{255, A_u_char(in.next(1)), A_u_char(in.next(1)), A_u_char(in.next(1))}; break;
        case PF_Param_CHECKBOX: d.u.bd.value = in.next(1) % 2; break;
        case PF_Param_POINT: host.setPoint(static_cast<int>(p), static_cast<PF_Fixed>(in.next(4)), static_cast<PF_Fixed>(in.next(4))); break;
        default: break;
        }
    }
    host.setQuality(in.next(1) % 2 ? PF_Quality_HI : PF_Quality_LO);
    host.setPixelAspect(1 + static_cast<A_long>(in.next(1) % 8), 1 + in.next(1) % 8);
    // bound the cells a case visits so that every run stays short
    PF_ParamDef& across = host.param(host.positionOfName("squares across"));
    PF_ParamDef& xs = host.param(host.positionOfName("x scale"));
    PF_ParamDef& ys = host.param(host.positionOfName("y scale"));
    const double aspect = double(host.inData().pixel_aspect_ratio.num) / host.inData().pixel_aspect_ratio.den;
    const double cw = w / across.u.fs_d.value * xs.u.fs_d.value / 100;
    const double ch = w / across.u.fs_d.value * aspect * ys.u.fs_d.value / 100;
    if ((w / cw + 9) * (h / ch + 7) > 50000) {
        across.u.fs_d.value = 1;
        xs.u.fs_d.value = ys.u.fs_d.value = 100;
    }
    refhost::World input, output;
    std::string error;
    if (!input.allocate(w, h, error) || !output.allocate(w, h, error)) return 0;
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t v = in.next(4);
            std::memcpy(&input.at(x, y), &v, 4);
        }
        std::memset(reinterpret_cast<uint8_t*>(output.row(y)) + 4 * w, kSentinel, output.def().rowbytes - 4 * w);
    }
    if (host.render(input.def(), output.def()) != PF_Err_NONE) std::abort();
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* pad = reinterpret_cast<const uint8_t*>(output.row(y)) + 4 * w;
        for (int32_t i = 0; i < output.def().rowbytes - 4 * w; ++i)
            if (pad[i] != kSentinel) std::abort();  // a write into the row's padding
    }
    return 0;
}
