// The host's parameters: the definitions the plug-in registered, the current
// value of each, and the points that follow their percent defaults until they
// are set. What the plug-in is handed at a render or a checkout is worked out
// here, so that this is the one place where values over time will live.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "host/animation.h"

#include "platform/ae_effect.h"

namespace refhost {

// The choices of a popup, in order (none for another type).
std::vector<std::string> popupChoices(const PF_ParamDef& def);

// The layer parameter at position 0 for an input layer (null: no layer).
PF_ParamDef layerParam(const PF_LayerDef* input);

class ParamStore {
public:
    ParamStore();

    // ---- registration, as the plug-in adds its parameters ----
    // Starts over with the input layer alone.
    void beginRegistration();
    void add(const PF_ParamDef& def) { registered_.push_back(def); }
    // The registered definitions become the current values, points unset.
    void endRegistration();

    // The current value of every position in host order; position 0 is the input layer.
    const std::vector<PF_ParamDef>& definitions() const { return params_; }
    // The definitions as registered (point defaults in percent), for listings.
    const std::vector<PF_ParamDef>& registered() const { return registered_; }
    size_t size() const { return params_.size(); }
    PF_ParamDef& param(int position) { return params_.at(static_cast<size_t>(position)); }
    const PF_ParamDef& param(int position) const { return params_.at(static_cast<size_t>(position)); }
    // Host position of a stable index or a name; -1 when there is none.
    int positionOfId(A_long id) const;
    int positionOfName(const std::string& name) const;
    // Sets a point in layer pixels (16.16); unset points follow their percent
    // defaults against the input layer's size.
    void setPoint(int position, PF_Fixed x, PF_Fixed y);
    // Animates a position: its value at a frame comes from the keys (in order
    // of their frames, none repeated, not empty); a point's keys are in pixels.
    void animate(int position, std::vector<ParamKey> keys);
    bool animated(int position) const { return keys_.count(position) != 0; }
    // Set and keyed points are in full-resolution pixels; at a downsampled
    // render the plug-in is handed them at the render's resolution, times
    // these factors (16.16, rounded to nearest). Unset points follow the layer.
    void setPointScale(double x, double y) {
        point_scale_x_ = x;
        point_scale_y_ = y;
    }

    // A position's value as the plug-in is handed it at a frame of the timeline
    // (between frames too), for the given input layer; a keyed value is held
    // inside the parameter's valid range.
    PF_ParamDef resolved(size_t position, const PF_LayerDef* input, double frame = 0) const;
    // The parameter array of a command: every position resolved, valid until the next call.
    PF_ParamDef** array(const PF_LayerDef* input, double frame = 0);

private:
    std::vector<PF_ParamDef> registered_;
    std::vector<PF_ParamDef> params_;
    std::vector<bool> point_set_;
    std::map<int, std::vector<ParamKey>> keys_;
    double point_scale_x_ = 1, point_scale_y_ = 1;
    std::vector<PF_ParamDef> call_params_;
    std::vector<PF_ParamDef*> call_pointers_;
};

}  // namespace refhost
