// Netpbm files in the tool: 16-bit PGM/PPM and PFM, read into a TMImage and written
// through the output sink by the shared codec (tm_netpbm_codec.h, which describes
// the formats). The image library at hand rounds 16-bit PNM samples on reading,
// mangles them on writing and cannot write PFM at all.
//
// Failures read "cannot read input 'PATH': WHY" with exit code 1; unsupported
// variants are refused with exit code 2, and P1/P4 bitmaps and maxval <= 255 as
// 8-bit images (exit code 2), like any other image below 16 bits.
#pragma once

#include <string>

#include "tm_image.h"
#include "tm_input_file.h"
#include "tm_netpbm_codec.h"
#include "tm_output_file.h"

// True when the regular file at path starts with a Netpbm magic number the codec
// handles (TMNetpbmMagic).
bool TMLooksLikeNetpbm(const std::string& path);

// Reads a Netpbm file into image (UInt16 file values or Float32): the one at path,
// or the open `file` from its start.
bool TMReadNetpbm(const std::string& path, TMImage* image, TMFileError* error);
bool TMReadNetpbm(const TMInputFile& file, TMImage* image, TMFileError* error);

// Writes image (UInt16 for PNM, Float32 for PFM; 1 or 3 channels) into `sink` from
// its start. A failed write leaves its cause in the sink.
bool TMWriteNetpbm(TMByteSink& sink, const TMImage& image, std::string* error);
