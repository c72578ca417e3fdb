// The tool's own Netpbm codec: exact 16-bit samples, maxval scaling, ASCII and
// binary variants, PFM orientation and byte order, refusals and damaged files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include <fcntl.h>

#include "tm_netpbm.h"

using namespace std::string_literals; // embedded NUL bytes in file contents

namespace {

class NetpbmFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/tm-netpbm-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override
    {
        for (const std::string& f : files_)
            unlink(f.c_str());
        rmdir(dir_.c_str());
    }
    std::string path(const std::string& name)
    {
        files_.push_back(dir_ + "/" + name);
        return files_.back();
    }
    std::string write(const std::string& name, const std::string& header, const std::vector<uint8_t>& body = {})
    {
        const std::string p = path(name);
        FILE* f = std::fopen(p.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        std::fwrite(header.data(), 1, header.size(), f);
        if (!body.empty())
            std::fwrite(body.data(), 1, body.size(), f);
        std::fclose(f);
        return p;
    }

    std::string dir_;
    std::vector<std::string> files_;
};

std::vector<uint8_t> bigEndian16(const std::vector<uint16_t>& v)
{
    std::vector<uint8_t> b;
    for (uint16_t s : v) {
        b.push_back(static_cast<uint8_t>(s >> 8));
        b.push_back(static_cast<uint8_t>(s & 0xff));
    }
    return b;
}

std::vector<uint8_t> floatBytes(const std::vector<float>& v, bool littleEndian)
{
    std::vector<uint8_t> b;
    for (float x : v) {
        uint32_t bits;
        std::memcpy(&bits, &x, 4);
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<uint8_t>(bits >> (8 * (littleEndian ? i : 3 - i))));
    }
    return b;
}

} // namespace

TEST_F(NetpbmFile, SixteenBitSamplesAreReadExactly)
{
    std::vector<uint16_t> all(65536);
    for (uint32_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint16_t>(i);
    const std::string p = write("all.pgm", "P5\n# every value once\n256 256\n65535\n", bigEndian16(all));
    ASSERT_TRUE(TMLooksLikeNetpbm(p));
    TMImage img;
    TMFileError err;
    ASSERT_TRUE(TMReadNetpbm(p, &img, &err)) << err.message;
    EXPECT_EQ(img.type, TMSampleType::UInt16);
    EXPECT_EQ(img.width, 256);
    EXPECT_EQ(img.channels, 1);
    EXPECT_EQ(std::vector<uint16_t>(img.u16.begin(), img.u16.end()), all);
}

TEST_F(NetpbmFile, SmallerMaxvalIsScaledToTheFullRangeAndAsciiIsRead)
{
    const std::string p = write("a.ppm", "P3\n2 1\n4095\n0 4095 2048\n  1 4094 4095\n");
    TMImage img;
    TMFileError err;
    ASSERT_TRUE(TMReadNetpbm(p, &img, &err)) << err.message;
    EXPECT_EQ(img.channels, 3);
    EXPECT_EQ(img.u16, (TMSampleVector<uint16_t>{0, 65535, 32776, 16, 65519, 65535}));
}

TEST_F(NetpbmFile, EightBitAndBitmapFilesAreRefusedAsEightBit)
{
    for (const auto& [name, header] : std::vector<std::pair<std::string, std::string>>{
             {"a.ppm", "P6\n1 1\n255\n\x01\x02\x03"}, {"b.pbm", "P4\n8 1\n\xff"}, {"c.pgm", "P2\n1 1\n15\n3\n"}}) {
        TMImage img;
        TMFileError err;
        EXPECT_FALSE(TMReadNetpbm(write(name, header), &img, &err)) << name;
        EXPECT_EQ(err.exitCode, 2) << name;
        EXPECT_STREQ(err.message.c_str(), kTM8BitRefusal) << name;
    }
}

TEST_F(NetpbmFile, DamagedFilesFailWithoutClaimingSuccess)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"short.ppm", "P6\n2 2\n65535\n" + std::string(10, '\0')}, // 24 bytes needed
        {"huge.pgm", "P5\n2000000000 2000000000\n65535\n\0\0"s},   // no allocation for it
        {"above.pgm", "P5\n1 1\n1000\n\x10\x00"s},                 // 4096 > maxval
        {"zero.pgm", "P5\n0 5\n65535\n"},
        {"maxval.pgm", "P5\n1 1\n70000\n\0\0"s},
        {"text.pgm", "P2\n2 1\n65535\n5 x\n"},
        {"scale.pfm", "PF\n1 1\nabc\n" + std::string(12, '\0')},
        {"pfm.pfm", "Pf\n2 2\n-1.0\n" + std::string(15, '\0')},
    };
    for (const auto& [name, header] : cases) {
        TMImage img;
        TMFileError err;
        EXPECT_FALSE(TMReadNetpbm(write(name, header), &img, &err)) << name;
        EXPECT_EQ(err.exitCode, 1) << name;
        EXPECT_NE(err.message.find("cannot read input"), std::string::npos) << err.message;
    }
}

TEST_F(NetpbmFile, AnyWhitespaceOrCommentMaySeparateTheHeaderFromTheRaster)
{
    // Raster bytes that look like whitespace (LF CR, space TAB) must not be taken
    // for the separator: the raster is the file's last 4 bytes.
    const std::vector<uint8_t> raster = {0x0a, 0x0d, 0x20, 0x09};
    const std::vector<std::string> headers = {
        "P5\n2 1\n65535\n",       "P5\r\n2 1\r\n65535\r\n",        "P5 2 1 65535 # made on a Tuesday\n",
        "P5\n2 1\n65535#c\r\n\n", "P5\n# a\n2 1 # b\n65535\n\n\n",
    };
    for (size_t i = 0; i < headers.size(); ++i) {
        TMImage img;
        TMFileError err;
        ASSERT_TRUE(TMReadNetpbm(write("s" + std::to_string(i) + ".pgm", headers[i], raster), &img, &err))
            << i << ": " << err.message;
        EXPECT_EQ(img.u16, (TMSampleVector<uint16_t>{0x0a0d, 0x2009})) << i;
    }
    TMImage img;
    TMFileError err;
    ASSERT_TRUE(TMReadNetpbm(write("crlf.pfm", "Pf\r\n2 1\r\n-1.0\r\n", floatBytes({1.5f, -2.0f}, true)), &img, &err))
        << err.message;
    EXPECT_EQ(img.f32, (TMSampleVector<float>{1.5f, -2.0f}));
}

TEST_F(NetpbmFile, RastersOfAnotherLengthThanTheHeaderDeclaresAreRefused)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Pf\n2 2\n-1.0\n" + std::string(48, '\x01'), // an RGB raster behind a grey header
         "the raster does not match the header: it declares 2 x 2 pixels x 1 channel of float samples (16 bytes), "
         "but the file ends 49 bytes after it"},
        {"P5\n1 1\n65535\n\x01\x02junk", // trailing data
         "the raster does not match the header: it declares 1 x 1 pixels x 1 channel of 16-bit samples (2 bytes), "
         "but the file ends 7 bytes after it"},
        {"P5\n1 1\n65535 # the comment runs into the raster\x01\x02",
         "the raster does not match the header: it declares 1 x 1 pixels x 1 channel of 16-bit samples (2 bytes), "
         "but the file ends 37 bytes after it"},
        {"P6\n2 2\n65535\n" + std::string(23, '\0'),
         "truncated: the header declares 2 x 2 pixels x 3 channels of 16-bit samples (24 bytes), but the file ends "
         "24 bytes after it"},
        {"P3\n2 1\n65535\n1 2 3 4 5 6 7\n",
         "the raster does not match the header: more than the 6 samples it declares"},
        {"P3\n2 1\n65535\n1 2 3 4 5  \n# no sixth\n", "truncated: 5 of the 6 samples the header declares"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string p = write("r" + std::to_string(i) + ".pnm", cases[i].first);
        TMImage img;
        TMFileError err;
        EXPECT_FALSE(TMReadNetpbm(p, &img, &err)) << i;
        EXPECT_EQ(err.exitCode, 1) << i;
        EXPECT_EQ(err.message, "cannot read input '" + p + "': " + cases[i].second) << i;
    }
}

TEST_F(NetpbmFile, PfmRowsAreBottomUpInEitherByteOrder)
{
    // Stored bottom row first: the file's first float is the image's bottom-left.
    const std::vector<float> stored = {1.5f, 2.5f, -3.0f, 1e6f};
    for (bool little : {true, false}) {
        const std::string p = write(little ? "le.pfm" : "be.pfm", little ? "Pf\n2 2\n-1.0\n" : "Pf\n2 2\n1.0\n",
                                    floatBytes(stored, little));
        TMImage img;
        TMFileError err;
        ASSERT_TRUE(TMReadNetpbm(p, &img, &err)) << err.message;
        EXPECT_EQ(img.type, TMSampleType::Float32);
        EXPECT_EQ(img.f32, (TMSampleVector<float>{-3.0f, 1e6f, 1.5f, 2.5f})) << little;
    }
}

TEST_F(NetpbmFile, WrittenFilesReadBackIdentically)
{
    TMImage rgb16;
    rgb16.allocate(TMSampleType::UInt16, 3, 2, 3);
    for (size_t i = 0; i < rgb16.u16.size(); ++i)
        rgb16.u16[i] = static_cast<uint16_t>(i * 3851 + 1);
    TMImage grey32;
    grey32.allocate(TMSampleType::Float32, 2, 3, 1);
    grey32.f32 = {0.0f, 0.125f, 1e-20f, 3.0f, 65504.5f, 0.333333f};

    for (const TMImage* img : {&rgb16, &grey32}) {
        const std::string p = path(img == &rgb16 ? "w.ppm" : "w.pfm");
        std::string error;
        const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        TMByteSink sink(fd);
        ASSERT_TRUE(TMWriteNetpbm(sink, *img, &error)) << error;
        close(fd);
        TMImage back;
        TMFileError err;
        ASSERT_TRUE(TMReadNetpbm(p, &back, &err)) << err.message;
        EXPECT_EQ(back.width, img->width);
        EXPECT_EQ(back.height, img->height);
        EXPECT_EQ(back.channels, img->channels);
        EXPECT_EQ(back.u16, img->u16);
        EXPECT_EQ(back.f32, img->f32);
    }
    // The header is the plain one every reader knows.
    FILE* f = std::fopen((dir_ + "/w.ppm").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char head[14] = {};
    ASSERT_EQ(std::fread(head, 1, 13, f), 13u);
    std::fclose(f);
    EXPECT_STREQ(head, "P6\n3 2\n65535\n");
}

TEST_F(NetpbmFile, OnlyNetpbmMagicNumbersAreClaimed)
{
    EXPECT_FALSE(TMLooksLikeNetpbm(write("x.exr", "\x76\x2f\x31\x01")));
    EXPECT_FALSE(TMLooksLikeNetpbm(write("p7.pam", "P7\nWIDTH 1\n")));
    EXPECT_FALSE(TMLooksLikeNetpbm(dir_ + "/missing.ppm"));
    EXPECT_TRUE(TMLooksLikeNetpbm(write("f.pfm", "PF\n1 1\n-1\n")));
}
