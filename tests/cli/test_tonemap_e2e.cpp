// The tonemap executable on image files generated in a private temporary folder:
// float and 16-bit paths, every output encoding, untouched extra channels, the
// options, and failures that must leave no file behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

#include <OpenImageIO/half.h>

#include "cli_test_support.h"

using namespace tmtest;

namespace {

const std::string kTonemap = TM_TONEMAP_EXE;
constexpr int W = 200, H = 150;

const char* const kRefusal =
    "The Tone Mapping plug-in works with images in 32 or 16 Bits/Channel mode.\n\nPlease either create a 32-bit "
    "image via the function Merge to HDR under menu File->Automate, or open a RAW file, or open an existing HDR "
    "image or 16-bit image file.\n";

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Scene pixels with `channels` channels: grey (1), grey + alpha (2), RGB (3) or
// RGB + alpha (4). Alpha values follow a pattern that no conversion preserves by
// accident (odd 16-bit values, floats with a full mantissa).
std::vector<float> floatPixels(int channels)
{
    const std::vector<float> rgb = sceneFloat(W, H);
    std::vector<float> out;
    for (int p = 0; p < W * H; ++p) {
        const float r = rgb[p * 3], g = rgb[p * 3 + 1], b = rgb[p * 3 + 2];
        const float alpha = float((p * 7919) % 1000) / 999.0f + 1e-7f * float(p % 7);
        if (channels <= 2)
            out.push_back(0.3f * r + 0.6f * g + 0.1f * b);
        else
            out.insert(out.end(), {r, g, b});
        if (channels == 2 || channels == 4)
            out.push_back(alpha);
    }
    return out;
}

std::vector<uint16_t> pixels16(int channels)
{
    const std::vector<uint16_t> rgb = scene16(W, H);
    std::vector<uint16_t> out;
    for (int p = 0; p < W * H; ++p) {
        const uint16_t alpha = static_cast<uint16_t>((p * 7919u + 1u) & 0xffffu) | 1u;
        if (channels <= 2)
            out.push_back(rgb[p * 3 + 1]);
        else
            out.insert(out.end(), {rgb[p * 3], rgb[p * 3 + 1], rgb[p * 3 + 2]});
        if (channels == 2 || channels == 4)
            out.push_back(alpha);
    }
    return out;
}

class Tonemap : public ::testing::Test {
protected:
    RunResult tonemap(const std::vector<std::string>& args) { return run(kTonemap, args); }

    // Runs tonemap and expects success, quietly: stderr is no terminal here.
    Image render(const std::string& input, const std::string& output, std::vector<std::string> options = {})
    {
        std::vector<std::string> args = {input, output};
        args.insert(args.end(), options.begin(), options.end());
        const RunResult r = tonemap(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "");
        return readImage(output);
    }

    std::string floatInput(const std::string& name, int channels = 3, OIIO::TypeDesc type = OIIO::TypeDesc::FLOAT,
                           const OIIO::ImageSpec* attributes = nullptr)
    {
        const std::vector<float> px = floatPixels(channels);
        writeImage(dir / name, W, H, channels, type, OIIO::TypeDesc::FLOAT, px.data(), attributes);
        return dir / name;
    }

    std::string input16(const std::string& name, int channels = 3, const OIIO::ImageSpec* attributes = nullptr)
    {
        const std::vector<uint16_t> px = pixels16(channels);
        if (name.size() > 4 && (name.substr(name.size() - 4) == ".ppm" || name.substr(name.size() - 4) == ".pgm"))
            writePnm16(dir / name, W, H, channels, px);
        else
            writeImage(dir / name, W, H, channels, OIIO::TypeDesc::UINT16, OIIO::TypeDesc::UINT16, px.data(),
                       attributes);
        return dir / name;
    }

    // Expects a failure with `status` whose message contains `text`, and that the
    // folder holds exactly `files` afterwards (no output, no temporary file).
    void expectFailure(const std::vector<std::string>& args, int status, const std::string& text,
                       const std::vector<std::string>& files)
    {
        const RunResult r = tonemap(args);
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_NE(r.err.find(text), std::string::npos) << "stderr: " << r.err;
        EXPECT_EQ(dir.list(), files);
    }

    TempDir dir;
};

} // namespace

TEST_F(Tonemap, FloatExrBecomesFloatExrAtFullPrecision)
{
    const Image out = render(floatInput("in.exr"), dir / "out.exr");
    ASSERT_EQ(out.header.format, OIIO::TypeDesc::FLOAT); // never half
    ASSERT_EQ(out.width(), W);
    ASSERT_EQ(out.height(), H);
    ASSERT_EQ(out.channels(), 3);
    float lo = 1.0f, hi = 0.0f;
    size_t beyondHalf = 0;
    for (size_t i = 0; i < out.samples(); ++i) {
        const float v = out.f32(i);
        ASSERT_TRUE(v >= 0.0f && v <= 1.0f) << v;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        beyondHalf += float(half(v)) != v;
    }
    EXPECT_LT(lo, 0.05f);
    EXPECT_GT(hi, 0.5f);
    EXPECT_GT(beyondHalf, out.samples() / 2);
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.exr", "out.exr"}));
}

TEST_F(Tonemap, HalfExrIsReadAsFloat)
{
    // The same values stored as half and as float must give the same result.
    floatInput("half.exr", 3, OIIO::TypeDesc::HALF);
    const Image widened = readImage(dir / "half.exr");
    ASSERT_EQ(widened.header.format, OIIO::TypeDesc::HALF);
    std::vector<float> values(widened.samples());
    for (size_t i = 0; i < values.size(); ++i) {
        half h;
        std::memcpy(&h, widened.bytes.data() + i * 2, 2);
        values[i] = float(h);
    }
    writeImage(dir / "float.exr", W, H, 3, OIIO::TypeDesc::FLOAT, OIIO::TypeDesc::FLOAT, values.data());
    const Image a = render(dir / "half.exr", dir / "a.exr");
    const Image b = render(dir / "float.exr", dir / "b.exr");
    EXPECT_EQ(a.header.format, OIIO::TypeDesc::FLOAT);
    EXPECT_EQ(a.bytes, b.bytes);
}

TEST_F(Tonemap, FloatTiffPfmAndHdrInputsTakeTheFloatPath)
{
    const std::vector<float> px = floatPixels(3);
    const Image fromExr = render(floatInput("in.exr"), dir / "a.exr");
    writeImage(dir / "in.tif", W, H, 3, OIIO::TypeDesc::FLOAT, OIIO::TypeDesc::FLOAT, px.data());
    writePfm(dir / "in.pfm", W, H, 3, px);
    EXPECT_EQ(render(dir / "in.tif", dir / "b.exr").bytes, fromExr.bytes);
    EXPECT_EQ(render(dir / "in.pfm", dir / "c.exr").bytes, fromExr.bytes);
    // Radiance files hold 8-bit mantissas with a shared exponent: close, not equal.
    writeImage(dir / "in.hdr", W, H, 3, OIIO::TypeDesc::FLOAT, OIIO::TypeDesc::FLOAT, px.data());
    const Image fromHdr = render(dir / "in.hdr", dir / "d.exr");
    ASSERT_EQ(fromHdr.samples(), fromExr.samples());
    double worst = 0.0;
    for (size_t i = 0; i < fromExr.samples(); ++i)
        worst = std::max(worst, std::fabs(double(fromHdr.f32(i)) - fromExr.f32(i)));
    EXPECT_LT(worst, 0.05);
}

TEST_F(Tonemap, FloatResultInEveryOutputEncoding)
{
    const std::string in = floatInput("in.exr");
    const Image exr = render(in, dir / "out.exr");
    const Image png = render(in, dir / "out.png");
    const Image tif = render(in, dir / "out.tif");
    const Image pfm = render(in, dir / "out.pfm");
    const Image hdr = render(in, dir / "out.hdr");
    render(in, dir / "out.ppm");
    ASSERT_EQ(png.header.format, OIIO::TypeDesc::UINT8);
    ASSERT_EQ(tif.header.format, OIIO::TypeDesc::FLOAT);
    ASSERT_EQ(pfm.header.format, OIIO::TypeDesc::FLOAT);
    EXPECT_EQ(hdr.channels(), 3);
    EXPECT_EQ(tif.bytes, exr.bytes);
    EXPECT_EQ(pfm.bytes, exr.bytes);
    EXPECT_EQ(png.header.get_string_attribute("oiio:ColorSpace"), "Gamma2.2");
    int w = 0, h = 0, c = 0;
    const std::vector<uint16_t> ppm16 = readPnm16(dir / "out.ppm", &w, &h, &c);
    ASSERT_EQ(ppm16.size(), exr.samples());
    EXPECT_EQ(w, W);
    EXPECT_EQ(c, 3);
    for (size_t i = 0; i < exr.samples(); ++i) {
        const double x = exr.f32(i);
        ASSERT_EQ(png.u8(i), std::lround(std::pow(x, 1.0 / 2.2) * 255.0)) << i;
        ASSERT_EQ(ppm16[i], std::lround(x * 65535.0)) << i;
    }
}

TEST_F(Tonemap, SixteenBitTiffTakesTheSixteenBitPathInEveryOutputEncoding)
{
    const std::string in = input16("in.tif");
    const Image tif = render(in, dir / "out.tif");
    const Image exr = render(in, dir / "out.exr");
    const Image png = render(in, dir / "out.png");
    render(in, dir / "out.ppm");
    int w = 0, h = 0, c = 0;
    const std::vector<uint16_t> ppm = readPnm16(dir / "out.ppm", &w, &h, &c);
    ASSERT_EQ(tif.header.format, OIIO::TypeDesc::UINT16);
    ASSERT_EQ(exr.header.format, OIIO::TypeDesc::FLOAT);
    ASSERT_EQ(png.header.format, OIIO::TypeDesc::UINT8);
    ASSERT_EQ(ppm.size(), tif.samples());
    const Image source = readImage(in);
    size_t changed = 0;
    for (size_t i = 0; i < tif.samples(); ++i) {
        // The float file holds host values / 32768: recover the host value exactly.
        const double hostD = exr.f32(i) * 32768.0;
        const long host = std::lround(hostD);
        ASSERT_EQ(hostD, double(host)) << i;
        ASSERT_LE(host, 32768);
        ASSERT_EQ(tif.u16(i), (host * 65535 + 16384) / 32768) << i;
        ASSERT_EQ(png.u8(i), (host * 255 + 16384) / 32768) << i;
        ASSERT_EQ(ppm[i], tif.u16(i)) << i;
        changed += tif.u16(i) != source.u16(i);
    }
    EXPECT_GT(changed, tif.samples() / 2);
}

TEST_F(Tonemap, SixteenBitPngAndPpmInputsGiveTheTiffInputsResult)
{
    const Image fromTif = render(input16("in.tif"), dir / "a.tif");
    const Image fromPng = render(input16("in.png"), dir / "b.tif");
    const Image fromPpm = render(input16("in.ppm"), dir / "c.tif");
    EXPECT_EQ(fromPng.bytes, fromTif.bytes);
    EXPECT_EQ(fromPpm.bytes, fromTif.bytes);
}

TEST_F(Tonemap, StrengthDefaultsByDepth)
{
    const std::string f = floatInput("in.exr"), i = input16("in.tif");
    EXPECT_EQ(render(f, dir / "f.exr").bytes, render(f, dir / "f70.exr", {"--strength", "70"}).bytes);
    const Image byDefault = render(i, dir / "i.tif");
    EXPECT_EQ(byDefault.bytes, render(i, dir / "i40.tif", {"--strength=40"}).bytes);
    EXPECT_NE(byDefault.bytes, render(i, dir / "i70.tif", {"--strength=70"}).bytes);
}

TEST_F(Tonemap, EachOptionChangesTheOutput)
{
    const std::string in = floatInput("in.exr");
    const Image base = render(in, dir / "base.exr");
    const Image explicitDefaults =
        render(in, dir / "defaults.exr",
               {"--luminosity", "0", "--strength", "70", "--saturation", "46", "--white-clip", "0.25", "--black-clip",
                "0", "--light-smoothing", "1", "--micro-contrast", "2", "--micro-smoothing", "2"});
    EXPECT_EQ(explicitDefaults.bytes, base.bytes);
    const std::vector<std::vector<std::string>> changes = {
        {"--luminosity", "-5"},     {"--strength", "20"},        {"--saturation", "90"},
        {"--white-clip", "2"},      {"--black-clip=1"},          {"--light-smoothing", "-2"},
        {"--micro-contrast", "-2"}, {"--micro-smoothing", "20"}, {"--360"},
    };
    for (const auto& option : changes) {
        const Image out = render(in, dir / "changed.exr", option);
        EXPECT_NE(out.bytes, base.bytes) << ::testing::PrintToString(option);
    }
}

// Large enough that three threads split every pass of the render.
TEST_F(Tonemap, TheThreadCountNeverChangesTheFile)
{
    constexpr int w = 400, h = 300;
    const std::vector<float> rgb = sceneFloat(w, h);
    writeImage(dir / "big.exr", w, h, 3, OIIO::TypeDesc::FLOAT, OIIO::TypeDesc::FLOAT, rgb.data());
    for (const char* extension : {".exr", ".tif"}) {
        const std::string in = extension == std::string(".exr") ? std::string(dir / "big.exr") : input16("in.tif");
        const std::string one = dir / (std::string("one") + extension),
                          three = dir / (std::string("three") + extension);
        render(in, one, {"--threads", "1", "--360"});
        render(in, three, {"--threads=3", "--360"});
        EXPECT_EQ(fileBytes(one), fileBytes(three)) << extension;
        EXPECT_FALSE(fileBytes(one).empty());
    }
    expectFailure({dir / "big.exr", dir / "x.exr", "--threads", "1025"}, 2, "--threads",
                  {"big.exr", "in.tif", "one.exr", "one.tif", "three.exr", "three.tif"});
}

TEST_F(Tonemap, GreyImagesTakeTheSinglePlanePath)
{
    const Image grey = render(floatInput("grey.exr", 1), dir / "grey-out.exr");
    EXPECT_EQ(grey.channels(), 1);
    EXPECT_EQ(grey.header.format, OIIO::TypeDesc::FLOAT);
    render(input16("grey.pgm", 1), dir / "grey-out.pgm");
    int w = 0, h = 0, c = 0;
    const std::vector<uint16_t> pgm = readPnm16(dir / "grey-out.pgm", &w, &h, &c);
    EXPECT_EQ(c, 1);
    EXPECT_NE(pgm, pixels16(1));
}

TEST_F(Tonemap, ExtraChannelsAreKeptByteForByte)
{
    // Float RGBA in OpenEXR, whose colour is stored multiplied by alpha: the filter
    // sees colour / alpha, the output stores its result x alpha, alpha untouched.
    const std::vector<float> px = floatPixels(4);
    std::vector<float> own; // each pixel's own colour, as the filter must see it
    for (int p = 0; p < W * H; ++p)
        for (int c = 0; c < 3; ++c)
            own.push_back(px[p * 4 + 3] > 0.0f ? px[p * 4 + c] / px[p * 4 + 3] : px[p * 4 + c]);
    writeImage(dir / "own.exr", W, H, 3, OIIO::TypeDesc::FLOAT, OIIO::TypeDesc::FLOAT, own.data());
    const Image rgba = render(floatInput("rgba.exr", 4), dir / "rgba-out.exr");
    const Image rgb = render(dir / "own.exr", dir / "own-out.exr");
    ASSERT_EQ(rgba.channels(), 4);
    EXPECT_EQ(rgba.channelBytes(3), readImage(dir / "rgba.exr").channelBytes(3));
    size_t wrong = 0;
    for (int p = 0; p < W * H; ++p)
        for (int c = 0; c < 3; ++c)
            wrong += rgba.f32(p * 4 + c) != rgb.f32(p * 3 + c) * px[p * 4 + 3];
    EXPECT_EQ(wrong, 0u);

    // 16-bit RGBA with unassociated alpha: odd alpha values survive although the
    // host range cannot hold them, and colour is not premultiplied on the way.
    OIIO::ImageSpec unassociated;
    unassociated.alpha_channel = 3;
    unassociated.attribute("oiio:UnassociatedAlpha", 1);
    const std::string in16 = input16("rgba.tif", 4, &unassociated);
    const Image rgba16 = render(in16, dir / "rgba16-out.tif");
    const Image rgb16 = render(input16("rgb.tif", 3), dir / "rgb16-out.tif");
    EXPECT_EQ(rgba16.channelBytes(3), readImage(in16).channelBytes(3));
    for (int ch = 0; ch < 3; ++ch)
        EXPECT_EQ(rgba16.channelBytes(ch), rgb16.channelBytes(ch)) << ch;

    // Written for display, alpha is scaled linearly from the file values.
    const Image png = render(in16, dir / "rgba16-out.png");
    const Image source = readImage(in16);
    ASSERT_EQ(png.channels(), 4);
    for (int p = 0; p < W * H; ++p)
        ASSERT_EQ(png.u8(p * 4 + 3), (source.u16(p * 4 + 3) * 255 + 32767) / 65535) << p;

    // Grey + alpha: the second channel is not a colour plane.
    const Image ga = render(input16("ga.tif", 2), dir / "ga-out.tif");
    const Image ga0 = readImage(dir / "ga.tif");
    EXPECT_EQ(ga.channelBytes(1), ga0.channelBytes(1));
    EXPECT_NE(ga.channelBytes(0), ga0.channelBytes(0));
}

TEST_F(Tonemap, EightBitImagesAreRefusedWithThePluginsText)
{
    std::vector<uint8_t> px(W * H * 3, 100);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = static_cast<uint8_t>(i * 31);
    writeImage(dir / "in.png", W, H, 3, OIIO::TypeDesc::UINT8, OIIO::TypeDesc::UINT8, px.data());
    const RunResult r = tonemap({dir / "in.png", dir / "out.exr"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tonemap: " + (dir / "in.png") +
                         " is an 8-bit image; tonemap needs 16-bit integer or float images\n" + kRefusal);
    EXPECT_EQ(dir.list(), std::vector<std::string>{"in.png"});
}

TEST_F(Tonemap, OtherSampleTypesAreRefused)
{
    std::vector<int16_t> px(W * H * 3, 1000);
    writeImage(dir / "in.tif", W, H, 3, OIIO::TypeDesc::INT16, OIIO::TypeDesc::INT16, px.data());
    expectFailure({dir / "in.tif", dir / "out.tif"}, 2, "int16", {"in.tif"});
}

TEST_F(Tonemap, FlatAndTinyImagesFailAndLeaveNoFile)
{
    std::vector<float> flat(W * H * 3, 0.5f);
    writeImage(dir / "flat.exr", W, H, 3, OIIO::TypeDesc::FLOAT, OIIO::TypeDesc::FLOAT, flat.data());
    expectFailure({dir / "flat.exr", dir / "out.exr"}, 1, "flat", {"flat.exr"});

    // An existing output survives a failed run unchanged.
    {
        std::ofstream(dir / "old.png") << "previous result";
    }
    expectFailure({dir / "flat.exr", dir / "old.png"}, 1, "no luminance range", {"flat.exr", "old.png"});
    EXPECT_EQ(fileBytes(dir / "old.png"), "previous result");

    std::vector<float> small(99 * 500 * 3);
    for (size_t i = 0; i < small.size(); ++i)
        small[i] = float(i % 977) / 10.0f;
    writeImage(dir / "small.exr", 99, 500, 3, OIIO::TypeDesc::FLOAT, OIIO::TypeDesc::FLOAT, small.data());
    expectFailure({dir / "small.exr", dir / "out.exr"}, 1, "too small: 99 x 500 pixels; the minimum is 100 x 100",
                  {"flat.exr", "old.png", "small.exr"});

    // Nothing to tone-map: the render and the preview give the same cause.
    std::vector<float> zero(W * H * 3, 0.0f);
    writeImage(dir / "zero.exr", W, H, 3, OIIO::TypeDesc::FLOAT, OIIO::TypeDesc::FLOAT, zero.data());
    const std::vector<std::string> files = {"flat.exr", "old.png", "small.exr", "zero.exr"};
    expectFailure({dir / "zero.exr", dir / "out.exr"}, 1, "the image has nothing to tone-map", files);
    expectFailure({dir / "zero.exr", "--preview", "512", dir / "p.png"}, 1,
                  "the preview could not be computed: the image has nothing to tone-map", files);
}

TEST_F(Tonemap, UnknownOutputExtensionIsAUsageError)
{
    const std::string in = floatInput("in.exr");
    expectFailure({in, dir / "out.bmp"}, 2, "unknown output extension", {"in.exr"});
    expectFailure({in, dir / "out"}, 2, "unknown output extension", {"in.exr"});
    // Refused before the input is even read.
    expectFailure({dir / "missing.exr", dir / "out.gif"}, 2, "unknown output extension", {"in.exr"});
}

TEST_F(Tonemap, TheInputIsNeverOverwritten)
{
    const std::string in = floatInput("in.exr");
    const std::string before = fileBytes(in);
    ASSERT_EQ(link(in.c_str(), (dir / "hard.exr").c_str()), 0);
    ASSERT_EQ(symlink("in.exr", (dir / "soft.exr").c_str()), 0);
    for (const std::string& out : {in, dir.path() + "/./in.exr", dir / "hard.exr", dir / "soft.exr"}) {
        const RunResult r = tonemap({in, out});
        EXPECT_EQ(r.status, 2) << out;
        EXPECT_NE(r.err.find("same file"), std::string::npos) << r.err;
    }
    EXPECT_EQ(fileBytes(in), before);
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"hard.exr", "in.exr", "soft.exr"}));
}

TEST_F(Tonemap, UnreadableInputsAndUnwritableOutputsFail)
{
    {
        std::ofstream(dir / "junk.exr") << "this is not an image";
    }
    expectFailure({dir / "missing.exr", dir / "out.exr"}, 1, "cannot read input", {"junk.exr"});
    expectFailure({dir / "junk.exr", dir / "out.exr"}, 1, "cannot read input", {"junk.exr"});
    expectFailure({dir.path(), dir / "out.exr"}, 1, "cannot read input", {"junk.exr"});

    const std::string in = floatInput("in.exr");
    expectFailure({in, dir / "no-such-folder/out.exr"}, 1, "cannot write output", {"in.exr", "junk.exr"});
    ASSERT_EQ(mkdir((dir / "taken.exr").c_str(), 0755), 0);
    expectFailure({in, dir / "taken.exr"}, 1, "cannot write output", {"in.exr", "junk.exr", "taken.exr"});
}

TEST_F(Tonemap, FormatsWithoutAlphaDropItWithANoteAndGreyFillsRgb)
{
    const std::string rgba = floatInput("rgba.exr", 4);
    const std::string grey = floatInput("grey.exr", 1);
    RunResult r = tonemap({rgba, dir / "out.jpg"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "tonemap: note: a JPEG file has no alpha channel; the alpha is left out\n");
    EXPECT_EQ(readImage(dir / "out.jpg").channels(), 3);
    r = tonemap({grey, dir / "out.hdr"});
    EXPECT_EQ(r.status, 0) << r.err;
    const Image hdr = readImage(dir / "out.hdr");
    ASSERT_EQ(hdr.channels(), 3);
    EXPECT_EQ(hdr.channelBytes(0), hdr.channelBytes(2)) << "grey in every channel";
    // Colour has no place in a grey-only format: refused before any work.
    expectFailure({rgba, dir / "out.pgm"}, 2, "cannot write colour to a PGM file",
                  {"grey.exr", "out.hdr", "out.jpg", "rgba.exr"});
}

TEST_F(Tonemap, MetadataThatStillAppliesIsKept)
{
    OIIO::ImageSpec attributes;
    attributes.attribute("Artist", "Kestrimond test");
    attributes.attribute("ImageDescription", "window scene");
    attributes.attribute("compression", "piz");
    const Image exr = render(floatInput("in.exr", 3, OIIO::TypeDesc::FLOAT, &attributes), dir / "out.exr");
    EXPECT_EQ(exr.header.get_string_attribute("Artist"), "Kestrimond test");
    EXPECT_EQ(exr.header.get_string_attribute("ImageDescription"), "window scene");
    EXPECT_EQ(exr.header.get_string_attribute("compression"), "piz") << "an OpenEXR input's compression is kept";

    const Image tif = render(input16("in.tif", 3, &attributes), dir / "out.tif");
    EXPECT_EQ(tif.header.get_string_attribute("Artist"), "Kestrimond test");
    const Image png = render(dir / "in.tif", dir / "out.png");
    EXPECT_EQ(png.header.get_string_attribute("ImageDescription"), "window scene");
}

TEST_F(Tonemap, UsageHelpAndVersion)
{
    RunResult r = tonemap({});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Usage: tonemap [options] INPUT OUTPUT"), std::string::npos) << r.err;
    r = tonemap({"a.exr", "b.exr", "--strength", "101"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--strength must be an integer from 0 to 100"), std::string::npos) << r.err;
    r = tonemap({"a.exr", "b.exr", "--frobnicate"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--frobnicate"), std::string::npos) << r.err;

    r = tonemap({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--micro-smoothing 0..30"), std::string::npos) << r.out;
    r = tonemap({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "tonemap 1.0.1\n");
    EXPECT_TRUE(dir.list().empty());
}

TEST_F(Tonemap, CtrlCStopsTheRenderAndLeavesNoFile)
{
    // Large enough that the render is still running when the signal arrives: the
    // signal is sent as soon as the temporary output file appears, which the tool
    // creates after reading the input and before rendering.
    const int w = 2400, h = 1600;
    const std::vector<float> px = sceneFloat(w, h);
    writeImage(dir / "big.exr", w, h, 3, OIIO::TypeDesc::FLOAT, OIIO::TypeDesc::FLOAT, px.data());
    bool sawTemporary = false;
    const RunResult r = run(kTonemap, {dir / "big.exr", dir / "out.exr"}, [&](int pid) {
        for (int i = 0; i < 20000 && !sawTemporary; ++i) {
            sawTemporary = dir.list().size() > 1;
            if (!sawTemporary)
                usleep(1000);
        }
        kill(pid, SIGINT);
    });
    ASSERT_TRUE(sawTemporary) << "the tool never started its output";
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_NE(r.err.find("cancelled"), std::string::npos) << r.err;
    EXPECT_EQ(dir.list(), std::vector<std::string>{"big.exr"}) << "no output, no temporary file left";
}

TEST_F(Tonemap, PreviewsAreThePreviewSizeWithTheirHistogram)
{
    const std::string in = floatInput("in.exr");
    const RunResult r = tonemap({in, "--preview", "512", dir / "p.png", "--histogram", dir / "h.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Image shown = readImage(dir / "p.png");
    ASSERT_EQ(shown.width(), W) << "a smaller image is shown 1:1";
    ASSERT_EQ(shown.height(), H);
    ASSERT_EQ(shown.channels(), 3);
    EXPECT_EQ(shown.header.format, OIIO::TypeDesc::UINT8);
    // A float preview shows what the host shows of the final render: its bytes
    // carry the display-referred value, as the PNG of the render does.
    const Image rendered = render(in, dir / "r.png");
    double previewSum = 0.0, renderSum = 0.0;
    for (size_t i = 0; i < rendered.samples(); ++i) {
        previewSum += shown.u8(i);
        renderSum += rendered.u8(i);
    }
    const double samples = static_cast<double>(rendered.samples());
    EXPECT_NEAR(previewSum / samples, renderSum / samples, 4.0) << "mean display levels";
    // 256 counts, one a line, of every preview pixel. (A float preview counts the
    // display-referred value before its bytes are limited to 0..255.)
    auto readCounts = [&](const std::string& path) {
        std::ifstream histogram(path);
        std::vector<long> counts;
        for (long c; histogram >> c;)
            counts.push_back(c);
        return counts;
    };
    const std::vector<long> counts = readCounts(dir / "h.txt");
    ASSERT_EQ(counts.size(), 256u);
    long total = 0;
    for (long c : counts)
        total += c;
    EXPECT_EQ(total, long{W} * H);
    // A 16-bit preview counts the bins of its display bytes.
    ASSERT_EQ(
        tonemap({input16("in16.tif"), "--preview", "512", dir / "p16.png", "--histogram", dir / "h16.txt"}).status, 0);
    const Image shown16 = readImage(dir / "p16.png");
    std::vector<long> expected(256, 0);
    for (int p = 0; p < W * H; ++p)
        ++expected[(54 * shown16.u8(p * 3) + 183 * shown16.u8(p * 3 + 1) + 19 * shown16.u8(p * 3 + 2)) >> 8];
    EXPECT_EQ(readCounts(dir / "h16.txt"), expected);

    // The unprocessed view differs, and options change the tone-mapped one.
    ASSERT_EQ(tonemap({in, "--preview=512", "--original", dir / "o.png"}).status, 0);
    ASSERT_EQ(tonemap({in, "--preview=512", "--strength=10", dir / "s.png"}).status, 0);
    EXPECT_NE(readImage(dir / "o.png").bytes, shown.bytes);
    EXPECT_NE(readImage(dir / "s.png").bytes, shown.bytes);
    const Image original = readImage(dir / "o.png");
    const std::vector<float> px = floatPixels(3);
    EXPECT_EQ(original.u8(0), std::min(255, std::max(0, static_cast<int>(px[0] * 255.0f))))
        << "the unprocessed view is trunc(255 v) of the source";

    // A large image is reduced to the longer side; 16-bit images preview too.
    const std::vector<float> big = sceneFloat(1200, 800);
    writeImage(dir / "big.exr", 1200, 800, 3, OIIO::TypeDesc::FLOAT, OIIO::TypeDesc::FLOAT, big.data());
    ASSERT_EQ(tonemap({dir / "big.exr", "--preview", "768", dir / "b.png"}).status, 0);
    EXPECT_EQ(readImage(dir / "b.png").width(), 768);
    EXPECT_EQ(readImage(dir / "b.png").height(), 512);
    ASSERT_EQ(tonemap({input16("in.tif"), "--preview", "1024", dir / "t.png"}).status, 0);
    EXPECT_EQ(readImage(dir / "t.png").width(), W);

    expectFailure({in, "--preview", "512", dir / "p.exr"}, 2, "PNG",
                  {"b.png", "big.exr", "h.txt", "h16.txt", "in.exr", "in.tif", "in16.tif", "o.png", "p.png", "p16.png",
                   "r.png", "s.png", "t.png"});
}
