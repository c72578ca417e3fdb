// tm-make-scene: a 32-bit float OpenEXR of the requested size, or a usage error.
#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "cli_test_support.h"

using namespace tmtest;

namespace {
const std::string kMakeScene = TM_MAKE_SCENE_EXE;
}

TEST(MakeScene, WritesAFloatExrOfTheRequestedSize)
{
    TempDir dir;
    for (const std::vector<std::string>& args : {std::vector<std::string>{dir / "a.exr", "--megapixels", "0.03"},
                                                 std::vector<std::string>{"--megapixels=0.03", dir / "b.exr"}}) {
        const RunResult r = run(kMakeScene, args);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    for (const char* name : {"a.exr", "b.exr"}) {
        const Image img = readImage(dir / name);
        EXPECT_EQ(img.header.format, OIIO::TypeDesc::FLOAT) << name; // not half
        EXPECT_EQ(img.width(), 212);                                 // 3:2, 0.03 MP
        EXPECT_EQ(img.height(), 141);
        EXPECT_EQ(img.channels(), 3);
        float hi = 0.0f;
        for (size_t i = 0; i < img.samples(); ++i)
            hi = std::max(hi, img.f32(i));
        EXPECT_GT(hi, 1000.0f) << "the scene is high dynamic range";
    }
    EXPECT_EQ(readImage(dir / "a.exr").bytes, readImage(dir / "b.exr").bytes);
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"a.exr", "b.exr"}));
}

TEST(MakeScene, RefusesBadArguments)
{
    TempDir dir;
    const std::vector<std::vector<std::string>> cases = {
        {},
        {dir / "a.png"},
        {dir / "a.exr", "--megapixels", "0"},
        {dir / "a.exr", "--megapixels=abc"},
        {dir / "a.exr", "--megapixels", "600"},
        {dir / "a.exr", "--bogus"},
    };
    for (const auto& args : cases) {
        const RunResult r = run(kMakeScene, args);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args) << r.err;
        EXPECT_NE(r.err.find("Usage: tm-make-scene"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(dir.list().empty());
}

TEST(MakeScene, WritesTheSceneAsPfmAndItsDisplayVersionAsPpm)
{
    TempDir dir;
    ASSERT_EQ(run(kMakeScene, {dir / "s.exr", "--megapixels", "0.03"}).status, 0);
    ASSERT_EQ(run(kMakeScene, {dir / "s.pfm", "--megapixels", "0.03"}).status, 0);
    ASSERT_EQ(run(kMakeScene, {dir / "s.ppm", "--megapixels", "0.03"}).status, 0);
    const Image exr = readImage(dir / "s.exr");
    int w = 0, h = 0, c = 0;
    const std::vector<uint16_t> ppm = readPnm16(dir / "s.ppm", &w, &h, &c);
    ASSERT_EQ(w, exr.width());
    ASSERT_EQ(h, exr.height());
    ASSERT_EQ(c, 3);
    // The same scene: float samples as stored, the 16-bit one through its curve.
    const std::vector<float> scene = sceneFloat(w, h);
    const std::vector<uint16_t> display = scene16(w, h);
    EXPECT_EQ(ppm, display);
    for (size_t i = 0; i < scene.size(); i += 997)
        ASSERT_EQ(exr.f32(i), scene[i]) << i;
    EXPECT_GT(std::ifstream(dir / "s.pfm", std::ios::binary | std::ios::ate).tellg(), std::streamoff(w) * h * 12);
}
