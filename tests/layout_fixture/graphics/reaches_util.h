// Reaches into util/, which graphics/ may not use: the layout check must refuse it.
#include "util/kavri_utils.h"
