// The one place the tool hands an image to the tone-mapping engine.
#pragma once

#include "tm_render.h"

// Renders `image` with heap working buffers. Returns a TMResult code; `report`
// tells why a render failed.
int16_t TMRenderImage(const TMParameters& params, const TMHostImage& image, const TMProgressSink& progress,
                      TMRenderReport* report);
