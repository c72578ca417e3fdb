#include <gtest/gtest.h>

#include <cstring>

#include "tm_parameters.h"

namespace {

TMParameters scrambled()
{
    TMParameters p;
    std::memset(&p, 0x5a, sizeof p);
    return p;
}

} // namespace

TEST(Settings, FullDefaultsDependOnlyOnSampleFormatForStrength)
{
    TMParameters f = scrambled(), i = scrambled();
    applyDefaults(&f, TMSampleFloat32);
    applyDefaults(&i, TMSample16);
    EXPECT_EQ(f.strength, 70);
    EXPECT_EQ(i.strength, 40);
    i.strength = f.strength;
    EXPECT_EQ(std::memcmp(&f, &i, sizeof f), 0) << "only Strength depends on the image";

    EXPECT_EQ(f.luminosity, 10);
    EXPECT_EQ(f.colorSaturation, 46);
    EXPECT_EQ(f.whiteClip, 50);
    EXPECT_EQ(f.blackClip, 0);
    EXPECT_EQ(f.microcontrast, 2);
    EXPECT_EQ(f.smoothing, 1);
    EXPECT_EQ(f.microsmoothing, 2);
    EXPECT_EQ(f.image360, 0);
    EXPECT_EQ(f.previewLevel, 2);
    EXPECT_EQ(f.showPreview, 1);
    EXPECT_EQ(f.originalStale512 + f.originalStale768 + f.originalStale1024, 3);
    EXPECT_EQ(f.restorePreview, 0);
    EXPECT_EQ(f.forcePreviewRecompute, 0);
}

TEST(Settings, ShortDefaultsLeavePreviewBookkeepingAlone)
{
    TMParameters p = scrambled();
    p.showPreview = 0;
    p.originalStale512 = 0;
    p.previewLevel = 1;
    const TMParameters before = p;
    applyDefaults(&p, TMSample16, TMDefaults::SettingsOnly);
    EXPECT_EQ(p.strength, 40);
    EXPECT_EQ(p.microsmoothing, 2);
    EXPECT_EQ(p.image360, 0);
    EXPECT_EQ(p.previewLevel, before.previewLevel);
    EXPECT_EQ(p.showPreview, 0);
    EXPECT_EQ(p.originalStale512, 0);
    EXPECT_EQ(p.originalStale768, before.originalStale768);
    EXPECT_EQ(p.restorePreview, before.restorePreview);
    EXPECT_EQ(p.forcePreviewRecompute, before.forcePreviewRecompute);
}

TEST(Settings, RestoreGivesBackEverySettingButNotBookkeeping)
{
    TMParameters p;
    applyDefaults(&p, TMSampleFloat32);
    const TMSettingsSnapshot saved = snapshot(p);
    p.luminosity = 0;
    p.strength = 100;
    p.colorSaturation = 20;
    p.whiteClip = 1000;
    p.blackClip = 1000;
    p.microcontrast = -2;
    p.smoothing = -2;
    p.microsmoothing = 30;
    p.image360 = 1;
    p.previewLevel = 0;
    restore(&p, saved);
    TMParameters expected;
    applyDefaults(&expected, TMSampleFloat32);
    expected.previewLevel = 0;
    EXPECT_EQ(std::memcmp(&p, &expected, sizeof p), 0);
}
