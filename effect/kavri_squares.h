// The squares effect: a brick grid of cells over the output, each drawn as a
// square whose size and position follow the average colour of the input under it.
#pragma once

#include "framework/kavri_ae_effect_framework.h"
#include "graphics/kavri_ae_graphics_utils.h"
#include "cells/kavri_cell_average.h"

// Stable indices of the effect's parameters.
enum {
    kSqAcross = 1,
    kSqCenter = 2,
    kSqBackgroundColor = 3,
    kSqSquaresColor = 4,
    kSqFutzStart = 6,
    kSqXScale = 7,
    kSqYScale = 8,
    kSqBrickRows = 9,
    kSqBrickOffset = 10,
    kSqXOffset = 11,
    kSqYOffset = 12,
    kSqWibbleAngle = 13,
    kSqWibbleMax = 14,
    kSqFutzEnd = 15,
    kSqBackgroundFill = 16,
    kSqSquaresFill = 17,
    kSqVerticalMin = 18,
    kSqVerticalMax = 19,
    kSqVerticalInfluence = 20,
    kSqHorizontalMin = 21,
    kSqHorizontalMax = 22,
    kSqHorizontalInfluence = 23,
    kSqWibbleInfluence = 24
};

// "background fill" and "squares fill" choices
enum { kFillColor = 1, kFillTile = 2, kFillSourceOrNone = 3, kFillKnockout = 4 };
enum { kBrickHorizontal = 1, kBrickVertical = 2 };

// One cell of the grid walk, in output pixels.
struct SquaresCell {
    float left, top, right, bottom;
};
typedef void (*SquaresCellVisitor)(void* user, const SquaresCell* cell);
// Visits the cells of the frame's walk in the order the filter draws them, with
// the parameters already mapped into the context.
void squaresWalk(kavri_ae_filter_context* context, PF_InData* in_data, PF_LayerDef* output,
                 SquaresCellVisitor visit, void* user);

PF_Err nr_ae_frame_filter_inner(kavri_ae_filter_context* context, PF_LayerDef* input, PF_LayerDef* output,
                                PF_InData* in_data, PF_OutData* out_data);
