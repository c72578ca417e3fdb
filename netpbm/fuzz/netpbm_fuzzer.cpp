// libFuzzer target of the Netpbm/PFM codec (built and run by scripts/fuzz-netpbm).
// Any input either decodes into an image that writes and decodes back to the same
// samples, or fails with a status and a message. The codec's own size checks bound
// every allocation by the input's length, so no cap is needed here.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tm_netpbm_codec.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TMNetpbmPicture picture;
    TMNetpbmError error;
    if (!TMNetpbmDecode(data, size, &picture, &error)) {
        require(error.status != TMNetpbmStatus::Ok && !error.message.empty());
        return 0;
    }
    const TMNetpbmHeader& h = picture.header;
    require(error.status == TMNetpbmStatus::Ok && h.width > 0 && h.height > 0);
    require(h.channels == (h.kind == '3' || h.kind == '6' || h.kind == 'F' ? 3 : 1));
    require((h.isFloat ? picture.f32.size() : picture.u16.size()) == h.sampleCount());
    require((h.isFloat ? 4 : 2) * h.sampleCount() <= size); // text samples take a digit and a separator

    TMNetpbmView view;
    view.width = h.width;
    view.height = h.height;
    view.channels = h.channels;
    if (h.isFloat)
        view.f32 = picture.f32.data();
    else
        view.u16 = picture.u16.data();
    std::string bytes, why;
    require(TMNetpbmWrite(
        view, [&](const void* p, size_t n) { return bytes.append(static_cast<const char*>(p), n), true; }, &why));
    TMNetpbmPicture back;
    require(TMNetpbmDecode(bytes.data(), bytes.size(), &back, &error));
    require(back.header.width == h.width && back.header.height == h.height && back.header.channels == h.channels);
    if (h.isFloat)
        require(std::memcmp(back.f32.data(), picture.f32.data(), picture.f32.size() * 4) == 0);
    else
        require(back.u16 == picture.u16);
    return 0;
}
