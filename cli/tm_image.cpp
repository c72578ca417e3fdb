#include "tm_image.h"

const char* const kTM8BitRefusal =
    "The Tone Mapping plug-in works with images in 32 or 16 Bits/Channel mode.\n"
    "\n"
    "Please either create a 32-bit image via the function Merge to HDR under menu File->Automate, "
    "or open a RAW file, or open an existing HDR image or 16-bit image file.";

void TMImage::allocate(TMSampleType t, int32_t w, int32_t h, int32_t c)
{
    type = t;
    width = w;
    height = h;
    channels = c;
    const auto n = static_cast<size_t>(sampleCount());
    f32.clear();
    u16.clear();
    u8.clear();
    // shrink_to_fit: a converted copy must not keep the memory of an earlier one.
    f32.shrink_to_fit();
    u16.shrink_to_fit();
    u8.shrink_to_fit();
    switch (t) {
    case TMSampleType::Float32: f32.assign(n, 0.0f); break;
    case TMSampleType::UInt16: u16.assign(n, 0); break;
    case TMSampleType::UInt8: u8.assign(n, 0); break;
    }
}
