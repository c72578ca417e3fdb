// The preview pane's and the About box's geometry: the pixel map handed to the host,
// the fallback bitmap and where the About box goes.
#include <gtest/gtest.h>

#include <vector>

#include "tm_preview_pane.h"

TEST(PreviewPane, PixelMapFallbackBitmapAndAboutPlacement)
{
    uint8_t image[3 * 4 * 2];
    for (int i = 0; i < 24; ++i)
        image[i] = static_cast<uint8_t>(10 * i);
    const TMPixelMap map = TMPreviewPixelMap(image, 4, 2, TMModeRGB96, 30, 20);
    EXPECT_EQ(map.version, 1);
    EXPECT_EQ(map.bounds.top, 20);
    EXPECT_EQ(map.bounds.left, 30);
    EXPECT_EQ(map.bounds.bottom, 22);
    EXPECT_EQ(map.bounds.right, 34);
    EXPECT_EQ(map.rowBytes, 4);
    EXPECT_EQ(map.colBytes, 1);
    EXPECT_EQ(map.planeBytes, 8);
    EXPECT_EQ(map.baseAddr, image);
    EXPECT_EQ(map.mat, nullptr);
    EXPECT_EQ(map.masks, nullptr);

    // Fallback bitmap: blue, green, red per pixel, rows padded to 4 bytes; one plane is grey.
    std::vector<uint8_t> rows;
    ASSERT_EQ(TMPreviewBitmapRows(image, 4, 2, 3, &rows), 12);
    EXPECT_EQ(rows[0], image[16]);
    EXPECT_EQ(rows[1], image[8]);
    EXPECT_EQ(rows[2], image[0]);
    EXPECT_EQ(rows[12 + 3 * 3 + 2], image[7]);
    ASSERT_EQ(TMPreviewBitmapRows(image, 3, 1, 1, &rows), 12);
    EXPECT_EQ(rows[3], image[1]);
    EXPECT_EQ(rows[4], image[1]);
    EXPECT_EQ(rows[9], 0) << "padding";

    // About box: centred less the caption button, a third down, kept on the screen.
    const TMPaneRect parent{100, 50, 900, 650};
    TMPanePoint at = TMAboutBoxOrigin(parent, 300, 300, 1920, 1080, 30, true);
    EXPECT_EQ(at.x, 100 + 250 - 30);
    EXPECT_EQ(at.y, 50 + 100);
    at = TMAboutBoxOrigin(parent, 300, 300, 1920, 1080, 30, false);
    EXPECT_EQ(at.x, 100 + 250 - 20);
    at = TMAboutBoxOrigin(TMPaneRect{1800, 1000, 1900, 1050}, 300, 300, 1920, 1080, 30, true);
    EXPECT_EQ(at.x, 1620);
    EXPECT_EQ(at.y, 780);
    at = TMAboutBoxOrigin(TMPaneRect{0, 0, 100, 100}, 3000, 3000, 1920, 1080, 30, true);
    EXPECT_EQ(at.x, 0);
    EXPECT_EQ(at.y, 0);
}
