// What the preview pane draws, in plain numbers: the pixel map handed to the host,
// the fallback image for hosts that draw no pixel maps, and where the About box goes
// (the image mode and the histogram's lines are the dialog logic's). The Windows
// side only moves these to and from GDI.
#pragma once

#include <cstdint>
#include <vector>

#include "tm_protocol.h"

struct TMPaneRect {
    int32_t left, top, right, bottom;
};

// The planar 8-bit preview (its planes of width x height bytes, rows unpadded)
// as the pixel map the host draws with its top-left corner at (left, top).
TMPixelMap TMPreviewPixelMap(const uint8_t* image, int32_t width, int32_t height, int16_t documentMode, int32_t left,
                             int32_t top);

// The preview as a top-down device-independent bitmap of 24-bit
// pixels (blue, green, red; rows padded to 4 bytes), for hosts without a pixel-map
// drawing procedure. One plane is drawn as grey; planes beyond the third are not
// shown. Returns the row stride in bytes.
int32_t TMPreviewBitmapRows(const uint8_t* image, int32_t width, int32_t height, int32_t planes,
                            std::vector<uint8_t>* rows);

// The About box's top-left corner in screen coordinates: centred across the parent's
// area less the caption button width s (two thirds of it, s - s / 3, for a box
// without a system menu), a third of the way down, and moved back inside a screen
// it would overhang on the right or at the bottom.
struct TMPanePoint {
    int32_t x, y;
};
TMPanePoint TMAboutBoxOrigin(const TMPaneRect& parent, int32_t boxWidth, int32_t boxHeight, int32_t screenWidth,
                             int32_t screenHeight, int32_t captionButtonWidth, bool hasSystemMenu);
