// Tone-mapping engine: working records and the stage functions.
//
// Conventions shared by every stage:
// - sizes are int32 pixels; images are row-major floats in caller-owned buffers;
// - a stage works in place and allocates nothing large (at most a small table);
// - results are int32: negative on failure (TMErrTooSmall, TMErrFlat, TMErrAlloc),
//   otherwise the non-negative value each function documents.
//
// Host samples ("packed" layout): interleaved, `planes` samples per pixel, rows
// contiguous, pixel (x, y) at sample index (y * W + x) * planes. Red is plane 0,
// green plane (planes - 1) / 2, blue plane planes - 1; one plane serves all three.
// 16-bit samples use the host's range 0..32768. The *Strided variants take an
// explicit layout for hosts whose rows are padded or whose pixels carry more planes
// than the engine reads; the packed functions are those with packed strides.
#pragma once

#include <cstddef>
#include <cstdint>

class TMWorkers;

enum : int32_t {
    TMErrTooSmall = -1, // an image or preview side below the stage's minimum
    TMErrFlat = -2,     // the luminance buffer has no range to map
    TMErrAlloc = -4,    // a stage's small table could not be allocated
};

// Per-render image figures. Field order is fixed: the stages index it by role.
struct TMImageStats {
    float geometricMean; // geometric mean luminance of a float image; 0 for integer input
    float rangeFactor;   // exp(max log value / 2560) / geometricMean; 0 when not measured
    float planeMin[3];   // negative minimum of the red, green, blue plane, else 0
};
static_assert(sizeof(TMImageStats) == 20, "five floats");

// TMGeometry: 13 int32 entries, entry 0 unused.
// clang-format off
enum : int {
    TMGeoBaseWidth = 1, TMGeoBaseHeight = 2,    // working size
    TMGeoWidth = 3, TMGeoHeight = 4,            // working size again; the stages read these
    TMGeoSolverTotal = 5, TMGeoAttenTotal = 6,  // pixel counts of both pyramids, all levels
    TMGeoSolverCoarseWidth = 7, TMGeoSolverCoarseHeight = 8,
    TMGeoAttenCoarseWidth = 9, TMGeoAttenCoarseHeight = 10,
    TMGeoLevelCount = 11,                       // coarser levels of the solver pyramid
    TMGeoAttenLevels = 12,                      // coarser levels of the attenuation pyramid (4)
    TMGeometrySize = 13,
};
// clang-format on

// Where samples sit in memory. rowBytes may exceed width * pixelStride * sample size.
struct TMSampleLayout {
    int32_t planes;      // planes read or written: 1..3
    int32_t pixelStride; // samples from one pixel to the next, >= planes
    int64_t rowBytes;    // bytes from one row to the next
};

// Packed layout of a W-pixel-wide image with `planes` planes of `sampleBytes` each.
TMSampleLayout TMPackedLayout(int32_t width, int32_t planes, int32_t sampleBytes);

// --- Working geometry ---------------------------------------------------------
// Fills entries 1..12 of `geometry` (zeroed by the caller) for a W x H working image;
// returns fixedLevels. Pyramid levels are stored finest first, each row-major with
// its own width as stride; the next coarser level of w x h is ceil(w/2) x ceil(h/2).
// A pyramid whose pixel count exceeds INT32_MAX is recorded as INT32_MAX.
int32_t TMComputeGeometry(int32_t W, int32_t H, int32_t extraLevels, int32_t fixedLevels, int32_t* geometry);

// The deepest solver level count the Poisson stage handles for W x H: every level
// at least 2 x 2 and 2^levels no larger than either side. At least 1.
int32_t TMMaxSolverLevels(int32_t W, int32_t H);

// TMComputeGeometry with the solver level count bounded to 1..TMMaxSolverLevels.
// Identical to TMComputeGeometry whenever its level count is already in range.
int32_t TMComputeBoundedGeometry(int32_t W, int32_t H, int32_t extraLevels, int32_t fixedLevels, int32_t* geometry);

// Bytes of each working buffer: one float per pixel of the larger pyramid.
int64_t TMWorkingBufferBytes(const int32_t* geometry);

// --- Input conversion ---------------------------------------------------------
// lut[i] = i^2.2 (lutMode <= 0, single-precision 2.2) or i^1 (lutMode > 0), i >= 1;
// lut[0] = lut[1]. Returns n.
int32_t TMBuildSampleLUT(int32_t lutMode, int32_t n, float* lut);

// 16-bit samples -> ln(0.3 r + 0.6 g + 0.1 b) of the linearised samples, into
// lum (workWidth x workHeight, with `pad` wrapped columns each side). Returns workHeight.
int32_t TMConvertInput16(int32_t W, int32_t H, int32_t workWidth, int32_t workHeight, int32_t planes, int32_t pad,
                         TMImageStats* stats, const float* lut, const uint16_t* samples, float* lum);
// The strided conversions run in bands of rows on a team, with the same result.
int32_t TMConvertInput16Strided(int32_t W, int32_t H, int32_t workWidth, int32_t workHeight,
                                const TMSampleLayout& layout, int32_t pad, const float* lut, const uint16_t* samples,
                                float* lum, TMWorkers* workers = nullptr);

// Float samples -> ln(540 r + 1830 g + 190 b) into lum, with negative samples lifted
// by the plane minima in stats; fills stats' geometricMean and rangeFactor. Pixels
// with a sample that is not finite, or without a positive luminance, are invalid and
// take the smallest valid cell. Returns the number of invalid image pixels.
int32_t TMConvertInput32(int32_t W, int32_t H, int32_t workWidth, int32_t workHeight, int32_t planes, int32_t pad,
                         TMImageStats* stats, const float* samples, float* lum);
int32_t TMConvertInput32Strided(int32_t W, int32_t H, int32_t workWidth, int32_t workHeight,
                                const TMSampleLayout& layout, int32_t pad, TMImageStats* stats, const float* samples,
                                float* lum, TMWorkers* workers = nullptr);

// Smallest sample of the red, green and blue plane of a W x H float image (NaN
// ignored), each starting from 1e11: the minima whose negative values lift the
// negative samples of TMConvertInput32.
void TMMeasurePlaneMinima(int32_t W, int32_t H, const TMSampleLayout& layout, const float* samples, float minima[3],
                          TMWorkers* workers = nullptr);

// --- Gradient attenuation -----------------------------------------------------
// A: log luminance in, divergence of the attenuated gradients out (level 0; the
// rest of the first entry-5 floats zeroed). B, C: zero in; factors and the
// log-luminance pyramid out. A difference of log luminance beyond +-100 is invalid
// data, no gradient. Returns trunc(1000 x mean coarsest gradient) + 1, or a negative
// value when that mean is not finite.
int32_t TMAttenuateGradients(int32_t sampleFormat, int32_t W, int32_t H, int32_t lumLevel, int32_t contrastStep,
                             float smoothingFactor, const int32_t* geometry, float* lumBuffer, float* attenBuffer,
                             float* pyramidBuffer, TMWorkers* workers = nullptr);

// --- Poisson reconstruction ---------------------------------------------------
// Four multigrid V-cycles on laplacian(u) = divergence (A level 0), u in C, B as
// scratch; leaves exp(u) in A level 0, at most the largest float. Returns baseWidth,
// or TMErrTooSmall for a level count the working size cannot hold.
int32_t TMSolvePoisson(int32_t W, int32_t H, int32_t baseWidth, int32_t baseHeight, int32_t coarseWidth,
                       int32_t coarseHeight, int32_t solverTotal, int32_t levelCount, float* attenBuffer,
                       float* pyramidBuffer, float* lumBuffer, TMWorkers* workers = nullptr);

// Red-black Gauss-Seidel sweeps over the w x h level at `offset` floats into u and f.
// With a team, each sweep runs in `bands` bands of rows (0: as many as pay for the
// level's size), with the same result as one thread.
void TMRelaxLevel(int32_t W, int32_t H, int32_t baseWidth, int32_t baseHeight, int32_t w, int32_t h, float hs,
                  int32_t sweeps, int32_t offset, float* u, const float* f, TMWorkers* workers = nullptr,
                  int32_t bands = 0);

// --- Output mapping -----------------------------------------------------------
// Normalises lum (workWidth x H, row-major) between the clip points in place:
// black -> 0, white -> G. Where the white point lies inside the lowest bin of the
// 65,536 (a few cells far above all others), the clip points are searched again among
// the cells of the lowest bins. Returns the white bin (0..65535) or TMErrFlat; it
// needs no allocation.
// With a team, the passes over lum run in parts; the result is the same.
int32_t TMNormaliseClipPoints(int32_t workWidth, int32_t H, float whiteClipPercent, float blackClipPercent, float G,
                              float* lum, TMWorkers* workers = nullptr);

// Whether any pixel of a W x H float image has finite samples and a positive
// luminance 0.3 r + 0.6 g + 0.1 b. Without one (all zero, all negative, all NaN) the
// float output mapping makes every pixel black whatever the settings, so the renders
// refuse the image. Stops at the first such pixel.
bool TMHasMappablePixel(int32_t W, int32_t H, const TMSampleLayout& layout, const float* samples);

// The output mapping's figures, limited to what it honours. TMLimitOutputSettings is
// the one definition of those limits: the mappings apply it to the figures they are
// given, and the render and the preview take its result from their derived settings.
struct TMOutputSettings {
    int32_t colorSaturation; // percent, 20..100
    double saturation;       // exponent of the colour ratios: colorSaturation / 100
    float white;             // clip percentages (of the cells), 0..10
    float black;
    int32_t strength; // percent, 0..100
    float blend32;    // weight of the global curve against the local result (float)
    float blend16;    // weight of the input samples against the local result (16-bit)
};
TMOutputSettings TMLimitOutputSettings(int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                                       int32_t strength);

// Blend weights of the local result against the global curve (float) or the input
// samples (16-bit), from the limited strength: blend32 and blend16 of
// TMLimitOutputSettings.
float TMBlendWeight32(int32_t strength);
float TMBlendWeight16(int32_t strength);

int32_t TMMapOutput32(int32_t W, int32_t H, int32_t planes, int32_t pad, int32_t colorSaturation,
                      float whiteClipPercent, float blackClipPercent, int32_t strength, double gamma,
                      const TMImageStats* stats, const float* inSamples, float* lum, float* outSamples);
int32_t TMMapOutput32Strided(int32_t W, int32_t H, const TMSampleLayout& inLayout, const TMSampleLayout& outLayout,
                             int32_t pad, int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                             int32_t strength, double gamma, const TMImageStats* stats, const float* inSamples,
                             float* lum, float* outSamples);

// The two mappings with their figures already limited; with a team they run in bands
// of rows, with the same result. lum is left normalised in its image columns.
int32_t TMMapOutput32Strided(int32_t W, int32_t H, const TMSampleLayout& inLayout, const TMSampleLayout& outLayout,
                             int32_t pad, const TMOutputSettings& settings, double gamma, const TMImageStats* stats,
                             const float* inSamples, float* lum, float* outSamples, TMWorkers* workers = nullptr);
int32_t TMMapOutput16Strided(int32_t W, int32_t H, const TMSampleLayout& inLayout, const TMSampleLayout& outLayout,
                             int32_t pad, const TMOutputSettings& settings, const float* lut, const uint16_t* inSamples,
                             float* lum, uint16_t* outSamples, TMWorkers* workers = nullptr);

int32_t TMMapOutput16(int32_t W, int32_t H, int32_t planes, int32_t pad, int32_t colorSaturation,
                      float whiteClipPercent, float blackClipPercent, int32_t strength, const TMImageStats* stats,
                      const float* lut, const uint16_t* inSamples, float* lum, uint16_t* outSamples);
int32_t TMMapOutput16Strided(int32_t W, int32_t H, const TMSampleLayout& inLayout, const TMSampleLayout& outLayout,
                             int32_t pad, int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                             int32_t strength, const float* lut, const uint16_t* inSamples, float* lum,
                             uint16_t* outSamples);
