// The plug-in's working record, kept in the handle that the host stores in the
// plug-in's data slot between calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tm_protocol.h"

struct TMGlobals {
    int32_t sampleFormat; // TMSampleFloat32, TMSample16 (TMSample8 only in principle)
    int32_t width;        // filter rectangle, pixels (set by prepare)
    int32_t height;
    int32_t workWidth; // working size of the last render (width + 2 x 360° pad)
    int32_t workHeight;
    int32_t previewCacheOffset; // byte offset of the current preview size's cache slot
    int32_t lutMode;            // <= 0: sample table of the 2.2 power, > 0: linear
    int32_t dialogPending;      // 1 after initialisation, 0 after every start
    TMBufferID lumBufferId;     // working buffers A, B, C: host ids and locked pointers
    float* lumBuffer;
    TMBufferID attenBufferId;
    float* attenBuffer;
    TMBufferID pyramidBufferId;
    float* pyramidBuffer;
    float previewScale;         // image size / preview size, longer side
    TMBufferID previewBufferId; // 8-bit planar preview image
    uint8_t* previewBuffer;
    int32_t previewWidth; // preview size, pixels
    int32_t previewHeight;
    TMBufferID sourceCacheId; // cache of the unprocessed preview images
    uint8_t* sourceCache;
    TMBufferID histogramBufferId; // three 256-bin histograms
    int32_t* histograms;
    float planeMin[3];        // smallest sample of the red, green, blue plane (float images)
    int32_t planeMinMeasured; // 1 once a dialog measured planeMin; else the render measures
};

#if defined(_WIN32) && !defined(_WIN64)
// The 32-bit plug-in's record: every field one 32-bit word.
static_assert(sizeof(TMGlobals) == 108, "TMGlobals is 27 words on 32-bit Windows");
static_assert(offsetof(TMGlobals, lumBufferId) == 32 && offsetof(TMGlobals, previewScale) == 56 &&
                  offsetof(TMGlobals, previewWidth) == 68 && offsetof(TMGlobals, planeMin) == 92,
              "TMGlobals layout");
#endif

// The state of a freshly created record: no buffers, preview 512 x 342, dialog due.
void TMInitGlobals(TMGlobals* globals);
