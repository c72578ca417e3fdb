// From the engine's result to the samples and metadata of the output file.
#pragma once

#include <cstdint>

#include <OpenImageIO/imageio.h>

#include "tm_formats.h"
#include "tm_image.h"

// True when the file's colour is stored multiplied by its alpha (OpenEXR always,
// TIFF with an associated alpha); false without alpha or with unassociated alpha.
bool TMStoresAssociatedAlpha(const OIIO::ImageSpec& meta);

// Divides the colour channels (the first `planes`) by the alpha channel where alpha is
// above 0, so that the filter sees each pixel's own colour, as an editor shows a
// layer with transparency. Float or 16-bit file values; other channels untouched.
void TMUnassociateAlpha(TMImage* image, int32_t planes, int32_t alphaChannel);

// Samples of the output file, in `target` encoding, laid out by `plan`:
//   result: the engine's output, Float32 (linear 0..1) or UInt16 host samples
//           0..32768; float channels the engine did not write hold the input's values;
//   source: for a UInt16 result, the input's file values (0..65535); not used for
//           a Float32 result, whose samples may have been moved out of it;
//   plan:   which result channel each output channel carries; its first `colour`
//           channels are the filter's, the others are carried from the input's file
//           values, only rescaled to the target's range;
//   associate: multiply the colour by the alpha (float targets whose format stores
//           associated colour).
// A Float32 result for a Float32 target that keeps every channel in place is returned
// without a copy (associated in place). Colour conversions: see tm_samples.h. `meta` of the
// returned image is left empty.
TMImage TMEncodeResult(const TMImage& source, TMImage result, const TMChannelPlan& plan, TMSampleType target,
                       bool associate);

// ImageSpec of the output file: the encoded image's size and sample type, the source's
// windows, the names of the channels `plan` carries and the attributes that still
// describe the result. Dropped: attributes of the source's encoding (compression, bit
// depth, strip and tile layout, format-specific write settings), ones describing the
// old pixel values (thumbnails, hashes, constant or average colour) and, when
// `transferChanged` (a linear result written as gamma-encoded display samples), the
// colour space, gamma and ICC profile, which are replaced by gamma 2.2. An alpha is
// marked unassociated unless `associated`.
OIIO::ImageSpec TMOutputSpec(const OIIO::ImageSpec& source, const TMImage& encoded, const TMChannelPlan& plan,
                             bool transferChanged, bool associated);
