// The host's side of displayPixels: a pixel map the plug-in hands over is read only
// as far as the version it states, checked before any sample is touched, and turned
// into the rows a display takes. The simulated host records the calls with it; the
// Windows host (tm_sim_window.h) draws with it.
#pragma once

#include <cstdint>
#include <vector>

#include "tm_protocol.h"

namespace tmsim {

// The protocol's displayPixels procedure.
using DisplayProc = TMOSErr (*)(const TMPixelMap* source, const TMVRect* srcRect, int32_t dstRow, int32_t dstCol,
                                void* platformContext);

// The fields of a pixel map this host uses. Fields the map's version does not have
// read as their defaults: no masks, depth 8.
struct PixelMapView {
    int32_t version = 0;
    TMVRect bounds{};
    int32_t imageMode = 0;
    int32_t rowBytes = 0, colBytes = 0, planeBytes = 0;
    const uint8_t* baseAddr = nullptr; // sample of plane 0 at (bounds.top, bounds.left)
    bool hasMat = false, hasMasks = false;
    int32_t maskPhaseRow = 0, maskPhaseCol = 0;
    int16_t depth = 8;
};

// Planes the host reads to show a pixel map of `mode`: 1 for grey, duotone and
// multichannel (its first channel, as grey), 3 for RGB and Lab, 4 for CMYK; 0 for
// the modes it cannot show (bitmap, indexed without a palette, HSL, HSB, and the
// 16- and 32-bit mode numbers, which a pixel map of 8-bit samples never carries).
int32_t DisplayPlanes(int32_t mode);

// Checks the arguments of a displayPixels call and reads the map into `view`:
//   noErr               the call is sound; an empty source rectangle draws nothing
//   filterBadParameters a null map, source rectangle, base address or context; a
//                       reversed bounds or source rectangle; a source rectangle that
//                       leaves the bounds; a stride below 1, or strides under which
//                       two samples of the bounds would share a byte, or a map of
//                       more than 2^40 bytes
//   filterBadMode       a mode or a sample depth the host cannot show
// Nothing but the map record itself is read before the answer is noErr.
TMOSErr ReadPixelMap(const TMPixelMap* map, const TMVRect* srcRect, const void* context, PixelMapView* view);

// The source rectangle of a checked map as a display shows it: width x height
// pixels, top row first, each 0x00RRGGBB (in memory B, G, R, 0: a top-down 32-bit
// device-independent bitmap). Lab is taken as the 8-bit encoding (L 0..255 for
// 0..100, a and b offset by 128) under the D65 white and shown in sRGB; CMYK as ink
// amounts (0 no ink, 255 full) without a colour profile.
std::vector<uint32_t> DisplayRows(const PixelMapView& view, const TMVRect& src);

// One displayPixels call as the simulated host recorded it.
struct DisplayCall {
    TMOSErr result = TMNoErr; // what the host returned
    PixelMapView map;         // as read (baseAddr is the plug-in's, valid only during the call)
    TMVRect srcRect{};
    int32_t dstRow = 0, dstCol = 0;
    const void* context = nullptr;
    int32_t planes = 0; // DisplayPlanes(map.imageMode)
    // The source rectangle's samples when the call was sound: planar, plane by
    // plane, rows of width bytes, width = srcRect.right - srcRect.left.
    std::vector<uint8_t> pixels;
};

// Checks a call as ReadPixelMap does and, when it is sound, copies its samples.
DisplayCall RecordDisplay(const TMPixelMap* map, const TMVRect* srcRect, int32_t dstRow, int32_t dstCol,
                          const void* context);

} // namespace tmsim
