#include "host/param_store.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace refhost {

std::vector<std::string> popupChoices(const PF_ParamDef& def) {
    std::vector<std::string> choices;
    if (def.param_type != PF_Param_POPUP || !def.u.pd.u.namesptr) return choices;
    std::string all = def.u.pd.u.namesptr;
    size_t start = 0;
    while (true) {
        const size_t bar = all.find('|', start);
        choices.push_back(all.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    return choices;
}

PF_ParamDef layerParam(const PF_LayerDef* input) {
    PF_ParamDef def{};
    def.param_type = PF_Param_LAYER;
    if (input) def.u.ld = *input;
    return def;
}

ParamStore::ParamStore() {
    beginRegistration();
}

void ParamStore::beginRegistration() {
    registered_.assign(1, layerParam(nullptr));
}

void ParamStore::endRegistration() {
    params_ = registered_;
    point_set_.assign(params_.size(), false);
}

int ParamStore::positionOfId(A_long id) const {
    for (size_t p = 1; p < params_.size(); ++p)
        if (params_[p].uu.id == id) return static_cast<int>(p);
    return -1;
}

int ParamStore::positionOfName(const std::string& name) const {
    for (size_t p = 1; p < params_.size(); ++p)
        if (params_[p].param_type != PF_Param_GROUP_END && name == params_[p].name) return static_cast<int>(p);
    return -1;
}

void ParamStore::setPoint(int position, PF_Fixed x, PF_Fixed y) {
    PF_ParamDef& def = param(position);
    def.u.td.x_value = x;
    def.u.td.y_value = y;
    point_set_.at(static_cast<size_t>(position)) = true;
}

// A point default is a whole percent of the layer as 16.16.
static PF_Fixed percentOf(PF_Fixed percent, A_long extent) {
    return static_cast<PF_Fixed>(static_cast<int64_t>(percent) * extent / 100);
}

static PF_Fixed scaledFixed(PF_Fixed v, double factor) {
    const double scaled = std::round(static_cast<double>(v) * factor);
    return static_cast<PF_Fixed>(std::max(-2147483648.0, std::min(2147483647.0, scaled)));
}

void ParamStore::animate(int position, std::vector<ParamKey> keys) {
    if (keys.empty())
        keys_.erase(position);
    else
        keys_[position] = std::move(keys);
}

// An interpolated value held inside the parameter's valid range, as a host
// never hands a parameter anything else: a smooth key may overshoot its keys.
// (Points and angles stay within 16.16 already; colours within their bytes.)
static void keepInRange(PF_ParamDef& def) {
    switch (def.param_type) {
    case PF_Param_FLOAT_SLIDER:
        def.u.fs_d.value = std::min(std::max(def.u.fs_d.value, static_cast<double>(def.u.fs_d.valid_min)),
                                    static_cast<double>(def.u.fs_d.valid_max));
        break;
    case PF_Param_SLIDER:
        def.u.sd.value = std::min(std::max(def.u.sd.value, def.u.sd.valid_min), def.u.sd.valid_max);
        break;
    case PF_Param_FIX_SLIDER:
        def.u.fd.value = std::min(std::max(def.u.fd.value, def.u.fd.valid_min), def.u.fd.valid_max);
        break;
    default: break;
    }
}

PF_ParamDef ParamStore::resolved(size_t position, const PF_LayerDef* input, double frame) const {
    if (position == 0 || position >= params_.size()) return layerParam(input);
    PF_ParamDef def = params_[position];
    auto keys = keys_.find(static_cast<int>(position));
    const bool keyed = keys != keys_.end();
    if (keyed) {
        const PF_ParamDef value = valueAtFrame(keys->second, frame);
        def.u = value.u;
        keepInRange(def);
    }
    if (def.param_type == PF_Param_POINT && !keyed && !point_set_[position]) {
        const A_long w = input ? input->width : 0, h = input ? input->height : 0;
        def.u.td.x_value = percentOf(def.u.td.x_dephault, w);
        def.u.td.y_value = percentOf(def.u.td.y_dephault, h);
    } else if (def.param_type == PF_Param_POINT && (point_scale_x_ != 1 || point_scale_y_ != 1)) {
        def.u.td.x_value = scaledFixed(def.u.td.x_value, point_scale_x_);
        def.u.td.y_value = scaledFixed(def.u.td.y_value, point_scale_y_);
    }
    if (def.param_type == PF_Param_LAYER && input) def.u.ld = *input;
    return def;
}

PF_ParamDef** ParamStore::array(const PF_LayerDef* input, double frame) {
    const size_t n = std::max<size_t>(params_.size(), 1);
    call_params_.resize(n);
    for (size_t p = 0; p < n; ++p) call_params_[p] = resolved(p, input, frame);
    call_pointers_.clear();
    for (PF_ParamDef& def : call_params_) call_pointers_.push_back(&def);
    return call_pointers_.data();
}

}  // namespace refhost
