#pragma once
// Frame numbers drawn into pictures: a 5 x 7 pixel font of the ten digits
// and the minus sign, scaled by whole pixels.

#include <cstdint>

#include "picture.h"

// Draws `number` with its top-left corner at (x, y), each font pixel as a
// scale x scale square (scale >= 1) in the colour (red, green, blue), over a
// one-font-pixel halo of the colour (haloRed, ...) so it reads on any
// background. Pixels outside the picture are skipped. Returns the width
// drawn, halo excluded.
int32_t DrawNumber(Picture& picture, int32_t x, int32_t y, int64_t number, int32_t scale, const uint8_t colour[3],
                   const uint8_t halo[3]);

// Labels a picture with its frame number in the top-left corner, dark on a
// light halo, at a size that follows the picture's height.
void LabelFrame(Picture& picture, int64_t frame);
