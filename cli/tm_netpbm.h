// Netpbm files: 16-bit PGM/PPM and PFM, read and written by the tool itself.
// (The image library at hand rounds 16-bit PNM samples on reading, mangles them on
// writing and cannot write PFM at all; these formats are simple enough to own.)
//
// Read: P2/P3/P5/P6 with maxval 256..65535 (scaled to 0..65535 when maxval is
// smaller), PF/Pf float in either byte order. P1/P4 bitmaps and maxval <= 255 are
// refused as 8-bit images (exit code 2), like any other image below 16 bits.
// Any whitespace and comments may follow the header's last token; the raster must
// then fill the rest of the file exactly (a binary one is found by its length).
// Written: P5 (1 channel) or P6 (3 channels) with maxval 65535; PF or Pf,
// little-endian, scale -1.
#pragma once

#include <string>

#include "tm_image.h"
#include "tm_input_file.h"
#include "tm_output_file.h"

// True when a file's first `count` bytes at `start` begin with a Netpbm magic
// number this codec handles.
bool TMNetpbmMagic(const unsigned char* start, size_t count);

// True when the regular file at path starts with such a magic number.
bool TMLooksLikeNetpbm(const std::string& path);

// Reads a Netpbm file into image (UInt16 file values or Float32): the one at path,
// or the open `file` from its start.
bool TMReadNetpbm(const std::string& path, TMImage* image, TMFileError* error);
bool TMReadNetpbm(const TMInputFile& file, TMImage* image, TMFileError* error);

// Writes image (UInt16 for PNM, Float32 for PFM; 1 or 3 channels) into `sink` from
// its start. A failed write leaves its cause in the sink.
bool TMWriteNetpbm(TMByteSink& sink, const TMImage& image, std::string* error);
