// From the engine's result to the samples and metadata of the output file.
#pragma once

#include <cstdint>

#include <OpenImageIO/imageio.h>

#include "tm_image.h"

// Samples of the output file, in `target` encoding, with the result's layout.
//   result: the engine's output, Float32 (linear 0..1) or UInt16 host samples
//           0..32768; float channels the engine did not write hold the input's values;
//   source: for a UInt16 result, the input's file values (0..65535); not used for
//           a Float32 result, whose samples may have been moved out of it;
//   planes: leading channels the engine wrote (1 or 3). The others are carried
//           from the input's file values, only rescaled to the target's range.
// A Float32 result for a Float32 target is returned as it is, without a copy.
// Colour conversions: see tm_samples.h. `meta` of the returned image is left empty.
TMImage TMEncodeResult(const TMImage& source, TMImage result, int32_t planes, TMSampleType target);

// ImageSpec of the output file: the encoded image's size and sample type, the source's
// windows, channel names and the attributes that still describe the result.
// Dropped: attributes of the source's encoding (compression, bit depth, strip and
// tile layout, format-specific write settings), ones describing the old pixel
// values (thumbnails, hashes, constant or average colour) and, when
// `transferChanged` (a linear result written as gamma-encoded display samples),
// the colour space, gamma and ICC profile, which are replaced by gamma 2.2.
OIIO::ImageSpec TMOutputSpec(const OIIO::ImageSpec& source, const TMImage& encoded, bool transferChanged);
