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
    // Fresh vectors: a converted copy must not keep the memory of an earlier one.
    f32 = TMSampleVector<float>();
    u16 = TMSampleVector<uint16_t>();
    u8 = TMSampleVector<uint8_t>();
    switch (t) {
    case TMSampleType::Float32: f32.resize(n); break;
    case TMSampleType::UInt16: u16.resize(n); break;
    case TMSampleType::UInt8: u8.resize(n); break;
    }
}

int32_t TMFilterPlaneCount(int32_t channels) { return channels >= 3 ? 3 : 1; }
