#include "tm_preview_pane.h"

#include "tm_dialog_logic.h"

#include <algorithm>

TMPixelMap TMPreviewPixelMap(const uint8_t* image, int32_t width, int32_t height, int16_t documentMode, int32_t left,
                             int32_t top)
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
