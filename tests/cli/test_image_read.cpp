// Reading input images through the image library: every codec's most compressible
// file still fits the bounds that refuse impossible headers, and bands, tiles and
// offset data windows come out as the library itself reads them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include <OpenImageIO/imageio.h>

#include "tm_image_io.h"

namespace {

class ImageRead : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/tm-image-read-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override
    {
        for (const std::string& f : files_)
            unlink(f.c_str());
        rmdir(dir_.c_str());
    }

    // Writes float samples as `spec` describes (its format is the stored type).
    std::string write(const std::string& name, const OIIO::ImageSpec& spec, const std::vector<float>& samples)
    {
        files_.push_back(dir_ + "/" + name);
        std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(files_.back());
        EXPECT_TRUE(out && out->open(files_.back(), spec)) << name << ": " << OIIO::geterror();
        if (out) {
            EXPECT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, samples.data())) << out->geterror();
            out->close();
        }
        return files_.back();
    }

    std::string dir_;
    std::vector<std::string> files_;
};

// The file's samples as the library reads them, in the type TMReadImage delivers.
std::vector<unsigned char> libraryBytes(const std::string& path, OIIO::TypeDesc type)
{
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    std::unique_ptr<OIIO::ImageInput> in = OIIO::ImageInput::open(path, &config);
    if (!in)
        return {};
    std::vector<unsigned char> bytes(in->spec().image_pixels() * in->spec().nchannels * type.size());
    if (!in->read_image(0, 0, 0, in->spec().nchannels, type, bytes.data()))
        bytes.clear();
    return bytes;
}

void expectReadAsTheLibraryReadsIt(const std::string& path, const std::string& label)
{
    TMImage image;
    TMFileError error;
    ASSERT_TRUE(TMReadImage(path, &image, &error)) << label << ": " << error.message;
    const bool isFloat = image.type == TMSampleType::Float32;
    const std::vector<unsigned char> expected =
        libraryBytes(path, isFloat ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT16);
    const size_t bytes = isFloat ? image.f32.size() * 4 : image.u16.size() * 2;
    ASSERT_EQ(bytes, expected.size()) << label;
    const void* data =
        isFloat ? static_cast<const void*>(image.f32.data()) : static_cast<const void*>(image.u16.data());
    EXPECT_EQ(std::memcmp(data, expected.data(), bytes), 0) << label;
}

} // namespace

// All-zero images compress as well as any: if a codec's bound were too tight, these
// sound files would be refused as truncated.
TEST_F(ImageRead, TheMostCompressibleFileOfEveryCodecIsRead)
{
    struct Case {
        const char* extension;
        OIIO::TypeDesc type;
        const char* compression;
        int tile;
    };
    const OIIO::TypeDesc half = OIIO::TypeDesc::HALF, flt = OIIO::TypeDesc::FLOAT, u16 = OIIO::TypeDesc::UINT16;
    const Case cases[] = {
        {"exr", half, "none", 0},    {"exr", half, "rle", 0},   {"exr", half, "zips", 0}, {"exr", half, "zip", 0},
        {"exr", half, "piz", 0},     {"exr", half, "pxr24", 0}, {"exr", half, "b44", 0},  {"exr", half, "b44a", 0},
        {"exr", half, "dwaa", 0},    {"exr", half, "dwab", 0},  {"exr", flt, "pxr24", 0}, {"exr", flt, "piz", 0},
        {"exr", flt, "zip", 64},     {"tif", u16, "none", 0},   {"tif", u16, "lzw", 0},   {"tif", u16, "zip", 0},
        {"tif", u16, "packbits", 0}, {"tif", flt, "lzw", 0},    {"tif", u16, "zip", 64},  {"png", u16, "", 0},
        {"hdr", flt, "", 0},
    };
    constexpr int W = 8192, H = 64; // wide rows: the codecs reach their best ratios
    const std::vector<float> zeros(size_t{W} * H * 3, 0.0f);
    int n = 0;
    for (const Case& c : cases) {
        OIIO::ImageSpec spec(W, H, 3, c.type);
        if (*c.compression)
            spec.attribute("compression", c.compression);
        if (c.tile)
            spec.tile_width = spec.tile_height = c.tile;
        const std::string label = std::string(c.extension) + " " + c.type.c_str() + " " + c.compression;
        expectReadAsTheLibraryReadsIt(write("zero" + std::to_string(n++) + "." + c.extension, spec, zeros), label);
    }
}

TEST_F(ImageRead, BandsTilesAndDataWindowsComeOutAsTheLibraryReadsThem)
{
    // 600 rows: three bands of scanlines, ten rows of tiles; 300 columns: a partial
    // last tile.
    constexpr int W = 300, H = 600, C = 3;
    std::vector<float> samples(size_t{W} * H * C);
    uint32_t state = 12345;
    for (float& s : samples) {
        state = state * 1664525u + 1013904223u;
        s = static_cast<float>(state >> 8) / 16777216.0f * 4.0f;
    }
    struct Case {
        const char* name;
        OIIO::TypeDesc type;
        const char* compression;
        int tile;
        int x, y; // data window origin
    };
    const Case cases[] = {
        {"offset.exr", OIIO::TypeDesc::FLOAT, "zip", 0, -3, 5}, {"tiles.exr", OIIO::TypeDesc::HALF, "piz", 64, 0, 0},
        {"strips.tif", OIIO::TypeDesc::FLOAT, "zip", 0, 0, 0},  {"tiles.tif", OIIO::TypeDesc::UINT16, "zip", 64, 0, 0},
        {"rows.png", OIIO::TypeDesc::UINT16, "", 0, 0, 0},      {"rows.hdr", OIIO::TypeDesc::FLOAT, "", 0, 0, 0},
    };
    for (const Case& c : cases) {
        OIIO::ImageSpec spec(W, H, C, c.type);
        spec.x = c.x;
        spec.y = c.y;
        if (*c.compression)
            spec.attribute("compression", c.compression);
        if (c.tile) {
            spec.tile_width = spec.tile_height = c.tile;
            spec.attribute("tiff:Predictor", 2); // the library's parallel tile path
        }
        expectReadAsTheLibraryReadsIt(write(c.name, spec, samples), c.name);
    }
}
