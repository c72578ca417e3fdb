#include "tm_preview_pane.h"

#include <algorithm>

int32_t TMPixelMapMode(int16_t documentMode)
{
    switch (documentMode) {
    case TMModeGray16:
    case TMModeGray32: return TMModeGrayScale;
    case TMModeRGB48:
    case TMModeRGB96: return TMModeRGBColor;
    case TMModeLab48: return TMModeLabColor;
    case TMModeCMYK64: return TMModeCMYKColor;
    case TMModeDeepMultichannel: return TMModeMultichannel;
    case TMModeDuotone16: return TMModeDuotone;
    default: return documentMode;
    }
}

TMPixelMap TMPreviewPixelMap(const uint8_t* image, int32_t width, int32_t height, int16_t documentMode,
                             int32_t left, int32_t top)
{
    TMPixelMap map{};
    map.version = 1;
    map.bounds = TMVRect{top, left, top + height, left + width};
    map.imageMode = TMPixelMapMode(documentMode);
    map.rowBytes = width;
    map.colBytes = 1;
    map.planeBytes = width * height;
    map.baseAddr = const_cast<uint8_t*>(image);
    return map;
}

std::vector<TMPaneLine> TMHistogramLines(const int32_t counts[256], const TMPaneRect& frame)
{
    int32_t most = 1;
    for (int i = 0; i < 256; ++i)
        most = std::max(most, counts[i]);
    // Single precision, as the pane has always scaled.
    const float xs = static_cast<float>(frame.right - frame.left - 1) / 256.0f;
    const float ys = static_cast<float>(frame.bottom - frame.top - 1) / static_cast<float>(most);
    std::vector<TMPaneLine> lines;
    lines.reserve(257);
    lines.push_back({frame.left, frame.bottom, frame.right, frame.bottom});
    for (int i = 0; i < 256; ++i) {
        const int32_t x = frame.left + static_cast<int32_t>(static_cast<float>(i) * xs);
        const int32_t height = static_cast<int32_t>(static_cast<float>(counts[i]) * ys);
        lines.push_back({x, frame.bottom, x, frame.bottom - height});
    }
    return lines;
}

int32_t TMPreviewBitmapRows(const uint8_t* image, int32_t width, int32_t height, int32_t planes,
                            std::vector<uint8_t>* rows)
{
    const int32_t stride = (3 * width + 3) & ~3;
    rows->assign(static_cast<size_t>(stride) * static_cast<size_t>(height), 0);
    const size_t plane = static_cast<size_t>(width) * static_cast<size_t>(height);
    // Red, green and blue planes; one plane stands for all three.
    const uint8_t* red = image;
    const uint8_t* green = planes >= 3 ? image + plane : image;
    const uint8_t* blue = planes >= 3 ? image + 2 * plane : image;
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = rows->data() + static_cast<size_t>(y) * static_cast<size_t>(stride);
        const size_t at = static_cast<size_t>(y) * static_cast<size_t>(width);
        for (int32_t x = 0; x < width; ++x) {
            row[3 * x] = blue[at + x];
            row[3 * x + 1] = green[at + x];
            row[3 * x + 2] = red[at + x];
        }
    }
    return stride;
}

TMPanePoint TMAboutBoxOrigin(const TMPaneRect& parent, int32_t boxWidth, int32_t boxHeight, int32_t screenWidth,
                             int32_t screenHeight, int32_t captionButtonWidth, bool hasSystemMenu)
{
    const int32_t s = hasSystemMenu ? captionButtonWidth : captionButtonWidth - captionButtonWidth / 3;
    const int32_t parentWidth = parent.right - parent.left, parentHeight = parent.bottom - parent.top;
    TMPanePoint at{parent.left + std::max(0, parentWidth - boxWidth) / 2 - s,
                   parent.top + std::max(0, parentHeight - boxHeight) / 3};
    if (at.x + boxWidth > screenWidth)
        at.x = std::max(0, screenWidth - boxWidth);
    if (at.y + boxHeight > screenHeight)
        at.y = std::max(0, screenHeight - boxHeight);
    return at;
}
