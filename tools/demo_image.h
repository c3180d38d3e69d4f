// The built-in test picture: colourful gradients and shapes with a transparent
// region, so that the effect can be seen with no file at hand.
#pragma once

#include <string>

#include "host/reference_host.h"

namespace cwtool {

enum { kDemoWidth = 960, kDemoHeight = 540 };

bool makeDemoImage(refhost::World& world, std::string& error, int width = kDemoWidth, int height = kDemoHeight);

}  // namespace cwtool
