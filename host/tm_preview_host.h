// The preview on the host side: its geometry, the buffer set the dialog holds for a
// whole run, the plane minima of a float image, and one preview redraw with the
// image requested from the host. The preview arithmetic itself is the engine's
// (tm_preview.h).
#pragma once

#include <cstdint>

#include "tm_globals.h"
#include "tm_parameters.h"
#include "tm_preview.h"
#include "tm_protocol.h"

// Preview geometry for the longer side `side` (512, 768 or 1024; smaller images are
// shown 1:1): previewWidth, previewHeight, previewScale and previewCacheOffset of
// `globals`, and the host's sampling fields (input and mask rate 1.0, padding 255).
// Returns TMFilterBadParameters, with the geometry unchanged, for an empty filter
// rectangle or another side.
int16_t TMSetPreviewSize(TMFilterRecord* record, TMGlobals* globals, int32_t side);

// The six preview buffers, acquired as one unit through the host's buffer suite
// into their slots of `globals`, in the order previewBuffer, sourceCache,
// histograms, lumBuffer, attenBuffer, pyramidBuffer. On any failure everything
// acquired so far is released again and the result is TMMemFullErr.
int16_t TMAcquirePreviewBuffers(const TMFilterRecord* record, TMGlobals* globals);
// Unlocks and frees each held preview buffer and clears its id and pointer.
void TMReleasePreviewBuffers(const TMFilterRecord* record, TMGlobals* globals);

// Smallest sample of the first, middle and last requested plane of a float image,
// into planeMin of `globals`. Returns the host's advanceState code on failure, with
// nothing measured.
int16_t TMMeasureInputMinima(TMFilterRecord* record, TMGlobals* globals);

// One preview redraw: requests the whole image (input only), then runs the engine's
// preview sequence on the buffers of `globals` with the flags of `params`. `view`
// carries what the preview keeps between redraws of one dialog run (start it
// zeroed). Returns 0, TMMemFullErr, TMFilterBadParameters or the host's code; a
// failure of the preview itself names its cause in the record's error string, in the
// words of the final render (TMDescribeRenderFailure).
int16_t TMRenderPreview(TMFilterRecord* record, TMParameters* params, TMGlobals* globals, TMPreviewView* view);
