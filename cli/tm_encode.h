// From the engine's result to the samples and metadata of the output file.
#pragma once

#include <cstdint>

#include <OpenImageIO/imageio.h>

#include "tm_image.h"

// Samples of the output file, in `target` encoding, with the source's layout.
//   source: the input as read (file values: Float32 or UInt16 0..65535);
//   result: the engine's output, same layout, Float32 (linear 0..1) or UInt16 host
//           samples 0..32768;
//   planes: leading channels the engine wrote (1 or 3). The others are taken from
//           the source's file values and only rescaled to the target's range.
// Colour conversions: see tm_samples.h. `meta` of the returned image is left empty.
TMImage TMEncodeResult(const TMImage& source, const TMImage& result, int32_t planes, TMSampleType target);

// Spec of the output file: the encoded image's size and sample type, the source's
// windows, channel names and the attributes that still describe the result.
// Dropped: attributes of the source's encoding (compression, bit depth, strip and
// tile layout, format-specific write settings), ones describing the old pixel
// values (thumbnails, hashes, constant or average colour) and, when
// `transferChanged` (a linear result written as gamma-encoded display samples),
// the colour space, gamma and ICC profile, which are replaced by gamma 2.2.
OIIO::ImageSpec TMOutputSpec(const OIIO::ImageSpec& source, const TMImage& encoded, bool transferChanged);
