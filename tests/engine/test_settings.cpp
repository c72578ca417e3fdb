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
    EXPECT_EQ(f.settings.strength, 70);
    EXPECT_EQ(i.settings.strength, 40);
    i.settings.strength = f.settings.strength;
    EXPECT_EQ(std::memcmp(&f, &i, sizeof f), 0) << "only Strength depends on the image";

    EXPECT_EQ(f.settings.luminosity, 10);
    EXPECT_EQ(f.settings.colorSaturation, 46);
    EXPECT_EQ(f.settings.whiteClip, 50);
    EXPECT_EQ(f.settings.blackClip, 0);
    EXPECT_EQ(f.settings.microcontrast, 2);
    EXPECT_EQ(f.settings.smoothing, 1);
    EXPECT_EQ(f.settings.microsmoothing, 2);
    EXPECT_EQ(f.settings.image360, 0);
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
    EXPECT_EQ(p.settings.strength, 40);
    EXPECT_EQ(p.settings.microsmoothing, 2);
    EXPECT_EQ(p.settings.image360, 0);
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
    const TMSettings saved = snapshot(p);
    p.settings.luminosity = 0;
    p.settings.strength = 100;
    p.settings.colorSaturation = 20;
    p.settings.whiteClip = 1000;
    p.settings.blackClip = 1000;
    p.settings.microcontrast = -2;
    p.settings.smoothing = -2;
    p.settings.microsmoothing = 30;
    p.settings.image360 = 1;
    p.previewLevel = 0;
    restore(&p, saved);
    TMParameters expected;
    applyDefaults(&expected, TMSampleFloat32);
    expected.previewLevel = 0;
    EXPECT_EQ(std::memcmp(&p, &expected, sizeof p), 0);
}
