// The preview's stages and what the preview sequence keeps between calls: the
// engine's own plumbing behind TMRunPreview (engine/tm_preview.h), for the sequence
// and the tests.
#pragma once

#include <cstdint>

#include "tm_engine.h"
#include "tm_preview.h"

class TMWorkers;

// The figures the float preview's output mapping takes from its input conversion:
// the first two fields of TMImageStats, measured on the preview's pixels.
struct TMPreviewStats {
    float geometricMean;
    float rangeFactor;
};

// --- Preview-scale input conversion -------------------------------------------
// Both write ln(luminance) of the pw x ph sampled pixels into lum (row stride
// workWidth), with the final render's plane weights, and return TMErrTooSmall when W,
// H, pw or ph is below 10.
//
// Float samples: source positions rounded with halves down (truncate, plus one when
// the dropped fraction exceeds 0.5); luminance 540 r + 1830 g + 190 b in double, no
// lift of negative samples; fills stats from the double logarithms. Pixels with a
// sample that is not finite, or without a positive luminance, are invalid and, when
// two or more, take the smallest valid value. Returns pw * ph - valid pixels.
int32_t TMConvertPreviewInput32(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t workWidth, int32_t workHeight,
                                TMPreviewStats* stats, const float* inSamples, float* lum);
// On a team, rows are split over it; the sum of the logarithms keeps its row-major
// order through `scratch` (scratchDoubles doubles, free for the call), without which
// the conversion runs on this thread alone.
int32_t TMConvertPreviewInput32Strided(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t workWidth,
                                       int32_t workHeight, const TMSampleLayout& layout, TMPreviewStats* stats,
                                       const float* inSamples, float* lum, TMWorkers* workers = nullptr,
                                       double* scratch = nullptr, int64_t scratchDoubles = 0);
// 16-bit samples (host range 0..32768): source positions truncated; luminance
// 0.3 lut[r] + 0.6 lut[g] + 0.1 lut[b], 0.01 where that is 0. Returns workHeight.
int32_t TMConvertPreviewInput16(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t workWidth, int32_t workHeight,
                                int32_t planes, const float* lut, const uint16_t* inSamples, float* lum);
int32_t TMConvertPreviewInput16Strided(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t workWidth,
                                       int32_t workHeight, const TMSampleLayout& layout, const float* lut,
                                       const uint16_t* inSamples, float* lum, TMWorkers* workers = nullptr);

// --- Preview-scale output mapping ---------------------------------------------
// The float preview's display exponent. The final render writes linear samples,
// t^2.2, which the host shows as t; the preview's bytes reach the screen as they
// are, so they carry t itself: trunc(255 t) limited to 0..255, the value the
// histogram counts, and the image the user will get.
constexpr double kTMPreviewDisplayGamma = 1.0;

// Normalise lum (pw x ph, row stride pw) between the clip points in place, as the
// final render's output mapping does (so a second call on the same buffer with other
// settings gives the result of a fresh one), then write the display image and
// histogram[0..255]. Source positions truncated. Return ph, TMErrFlat or TMErrAlloc;
// on failure display and histogram are untouched. On a team the pixel pass is split
// by rows, each part counting its own bins (the normalisation stays on this thread).
//
// Float samples: the final render's colour ratios and global curve (from stats);
// display byte trunc(255 t^gamma) limited to 0..255, histogram of trunc(255 t)
// without the power. The preview passes kTMPreviewDisplayGamma. Also TMErrTooSmall
// when W, H, pw or ph is below 10.
int32_t TMMapPreviewOutput32(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t colorSaturation,
                             float whiteClipPercent, float blackClipPercent, int32_t strength, double gamma,
                             const TMPreviewStats* stats, const float* inSamples, float* lum, int32_t* histogram,
                             uint8_t* display);
int32_t TMMapPreviewOutput32Strided(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                    int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                                    int32_t strength, double gamma, const TMPreviewStats* stats, const float* inSamples,
                                    float* lum, int32_t* histogram, uint8_t* display, TMWorkers* workers = nullptr);
// 16-bit samples: the final render's 16-bit mapping divided by 128.5 (its 32768
// becomes 255), truncated; histogram of the display bytes.
int32_t TMMapPreviewOutput16(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t colorSaturation,
                             float whiteClipPercent, float blackClipPercent, int32_t strength, const float* lut,
                             const uint16_t* inSamples, float* lum, int32_t* histogram, uint8_t* display);
int32_t TMMapPreviewOutput16Strided(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                    int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                                    int32_t strength, const float* lut, const uint16_t* inSamples, float* lum,
                                    int32_t* histogram, uint8_t* display, TMWorkers* workers = nullptr);

// --- Colour terms kept between output-only refreshes ---------------------------
// Where the kept planes lie: `planes` planes of pw x ph floats, each as up to three
// runs of whole rows in the regions that are free from the end of a full recompute
// to the start of the next (buffers B and C, and A after the luminance).
struct TMPreviewTermPlanes {
    struct Run {
        int32_t firstRow = 0;
        float* rows = nullptr; // row firstRow of the plane; later rows follow
    };
    int32_t pw = 0, ph = 0, planes = 0;
    Run runs[5][3]{}; // per plane, by first row; an unused run has no rows

    // Row r (0..ph-1) of plane p.
    float* row(int32_t p, int32_t r) const
    {
        int32_t i = 0;
        while (i < 2 && runs[p][i + 1].rows && runs[p][i + 1].firstRow <= r)
            ++i;
        return runs[p][i].rows + static_cast<int64_t>(r - runs[p][i].firstRow) * pw;
    }
};
// Lays out `planes` (1..5) planes in up to three regions (sizes in floats), each
// region filled with whole rows before the next; false when they do not fit.
bool TMPlacePreviewTerms(int32_t pw, int32_t ph, int32_t planes, float* const* regions, const int64_t* regionFloats,
                         int32_t regionCount, TMPreviewTermPlanes* out);
// The same for as many of the first rows as fit (out->ph of them, at least one).
bool TMPlacePreviewTermRows(int32_t pw, int32_t ph, int32_t planes, float* const* regions, const int64_t* regionFloats,
                            int32_t regionCount, TMPreviewTermPlanes* out);

// The float preview's per-pixel terms that depend only on the source pixel and the
// preview statistics, not on the output settings: ln B of the global curve and
// ln(c / Y) of each colour, as floats (their rounding is part of the error bound the
// mapping checks, so the display bytes and histogram are those of
// TMMapPreviewOutput32). Four planes: ln B, red, green, blue. Codes in the ln B
// plane: +inf for a pixel without a positive luminance or with a sample that is not
// finite (black), -inf for B = 0, NaN for a pixel left to the per-pixel library
// evaluation (as is one whose luminance overflows single precision); -inf in a
// colour plane for a sample that is not positive.
// Fills the planes for their rows (all of the preview's, or its first planes.ph);
// false (nothing usable) when fewer than four are placed for this preview width, W,
// H, pw or ph is below 10, or the statistics give no finite curve constants.
bool TMBuildPreviewColourTerms32(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                 const TMPreviewStats* stats, const float* inSamples, const TMPreviewTermPlanes& planes,
                                 TMWorkers* workers = nullptr);
// TMMapPreviewOutput32Strided with the terms built from the same source, size and
// statistics (rows past planes.ph pixel by pixel): the same result, display image
// and histogram, byte for byte.
int32_t TMMapPreviewOutput32WithTerms(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                      int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                                      int32_t strength, double gamma, const TMPreviewStats* stats,
                                      const float* inSamples, const TMPreviewTermPlanes& planes, float* lum,
                                      int32_t* histogram, uint8_t* display, TMWorkers* workers = nullptr);

// The 16-bit preview's terms, kept the same way: ln(c' / Y) of each colour of the
// linearised samples, the logarithm of the ratio TMMapPreviewOutput16 raises to the
// saturation. Three planes: red, green, blue; -inf for a ratio of 0, NaN for one left
// to the library. With five planes placed, planes 3 and 4 also keep the raw samples
// of the blend; with three, each refresh reads them from the source. Same size
// limits as the float terms.
bool TMBuildPreviewColourTerms16(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                 const float* lut, const uint16_t* inSamples, const TMPreviewTermPlanes& planes,
                                 TMWorkers* workers = nullptr);
// TMMapPreviewOutput16Strided with those terms: the same result, display image and
// histogram, byte for byte.
int32_t TMMapPreviewOutput16WithTerms(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                      int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                                      int32_t strength, const float* lut, const uint16_t* inSamples,
                                      const TMPreviewTermPlanes& planes, float* lum, int32_t* histogram,
                                      uint8_t* display, TMWorkers* workers = nullptr);

// What the colour terms were built from and where they lie; valid only while that
// still describes the call (same source, format, table, size, statistics and
// buffers).
struct TMPreviewTermsKey {
    bool valid = false;
    int32_t sampleFormat = 0;
    int32_t lutMode = 0; // 16-bit terms: the sample table they were built with
    const void* samples = nullptr;
    int32_t width = 0, height = 0, previewWidth = 0, previewHeight = 0;
    TMSampleLayout layout{0, 0, 0};
    TMPreviewStats stats{0.0f, 0.0f};
    const float* buffers[3] = {nullptr, nullptr, nullptr}; // B, C and A as given
    TMPreviewTermPlanes planes;
};

// What the preview keeps in TMPreviewView::kept between calls.
struct TMPreviewKept {
    // Statistics of the last float input conversion: an output-only refresh maps with
    // them, so it shows what a full refresh with the same settings shows.
    TMPreviewStats stats;
    bool statsValid;
    // Set by a full recompute, cleared when the next one starts.
    TMPreviewTermsKey terms;
};
static_assert(sizeof(TMPreviewKept) <= TMPreviewKeptBytes, "TMPreviewView::kept holds the kept record");

// The record a view holds (all zero bytes: nothing kept), and the record stored back.
TMPreviewKept TMPreviewKeptOf(const TMPreviewView& view);
void TMKeepPreview(const TMPreviewKept& kept, TMPreviewView* view);
