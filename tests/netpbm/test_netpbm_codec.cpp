// The shared Netpbm/PFM codec from memory: the status of each kind of damage, what
// a failing or shrinking source gives, the exact bytes written, and round trips
// through memory and through files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tm_netpbm_codec.h"
#include "tm_netpbm_file.h"

using namespace std::string_literals; // embedded NUL bytes in file contents

namespace {

TMNetpbmError decodeError(const std::string& bytes)
{
    TMNetpbmPicture picture;
    TMNetpbmError error;
    EXPECT_FALSE(TMNetpbmDecode(bytes.data(), bytes.size(), &picture, &error)) << bytes.substr(0, 40);
    EXPECT_FALSE(error.message.empty());
    return error;
}

// Memory that claims more bytes than it holds (a file that shrinks while it is
// read), or whose reads fail from an offset on.
class DamagedSource final : public TMNetpbmSource {
public:
    DamagedSource(std::string bytes, int64_t claimed, int64_t failFrom)
        : bytes_(std::move(bytes)), claimed_(claimed), failFrom_(failFrom)
    {
    }
    int64_t size() const override { return claimed_; }
    size_t read(int64_t offset, void* buffer, size_t count, std::string* error) override
    {
        if (failFrom_ >= 0 && offset >= failFrom_) {
            *error = "device unplugged";
            return 0;
        }
        TMNetpbmMemory memory(bytes_.data(), bytes_.size());
        return memory.read(offset, buffer, count, error);
    }

private:
    std::string bytes_;
    int64_t claimed_, failFrom_;
};

std::string encode(const TMNetpbmView& view)
{
    std::string out, error;
    const bool written = TMNetpbmWrite(
        view, [&](const void* data, size_t n) { return out.append(static_cast<const char*>(data), n), true; }, &error);
    EXPECT_TRUE(written) << error;
    return out;
}

} // namespace

TEST(NetpbmCodec, EachKindOfDamageHasItsStatus)
{
    using S = TMNetpbmStatus;
    const std::vector<std::pair<std::string, S>> cases = {
        {"", S::NotNetpbm},
        {"P", S::NotNetpbm},
        {"PF5\n1 1\n-1\n", S::NotNetpbm},
        {"P7\nWIDTH 1\n", S::Unsupported},
        {"Px 1 1 65535 \0\0"s, S::Unsupported},
        {"P4\n8 1\n\xff", S::EightBit},
        {"P5\n1 1\n255\n\x01", S::EightBit},
        {"P5\n1\n", S::BadHeader},
        {"P5\n1 0\n65535\n", S::BadHeader},
        {"P6\n2147483648 1\n65535\n", S::BadHeader}, // a side above 2^31 - 1
        {"P5\n1 1\n0\n\0\0"s, S::BadHeader},
        {"P5\n1 1\n65536\n\0\0"s, S::BadHeader},
        {"Pf\n1 1\n0.0\n\0\0\0\0"s, S::BadHeader},
        {"Pf\n1 1\ninf\n\0\0\0\0"s, S::BadHeader},
        {"Pf\n1 1\n-1x\n\0\0\0\0"s, S::BadHeader},
        {"Pf\n1 1\n-1.0", S::Truncated},               // no separator before the raster
        {"P5\n3 1\n65535\n\0\0\0\0\0"s, S::Truncated}, // 5 of 6 bytes
        {"P3\n1 1\n65535\n1 2", S::Truncated},         // shorter than 2 bytes a sample
        {"P2\n2 1\n65535\n1    ", S::Truncated},
        {"P5\n1 1\n65535\nx\0\0"s, S::Mismatch}, // one byte more, and it is no separator
        {"P2\n1 1\n65535\n1 2\n", S::Mismatch},
        {"P5\n1 1\n1000\n\x03\xe9"s, S::BadSample}, // 1001 > maxval
        {"P2\n2 1\n65535\n5 -1\n", S::BadSample},
        {"P2\n1 1\n65535\n65536\n", S::BadSample},
        {"P2\n1 1\n65535\n" + std::string(40, '7'), S::BadSample},
    };
    for (const auto& [bytes, status] : cases)
        EXPECT_EQ(decodeError(bytes).status, status) << bytes.substr(0, 40);
    EXPECT_EQ(decodeError("P2\n1 1\n65535\n" + std::string(40, '7')).message,
              "bad sample '" + std::string(32, '7') + "...'");
}

TEST(NetpbmCodec, TheHeaderIsReadWithoutTheSamplesAndLocatesTheRaster)
{
    const std::string bytes = "P6 # comment\n2 1\r\n4095 \n#x\n\t"s + std::string(12, '\x0a');
    TMNetpbmMemory memory(bytes.data(), bytes.size());
    TMNetpbmHeader h;
    TMNetpbmError error;
    ASSERT_TRUE(TMNetpbmReadHeader(memory, &h, &error)) << error.message;
    EXPECT_EQ(h.kind, '6');
    EXPECT_EQ(h.width, 2);
    EXPECT_EQ(h.height, 1);
    EXPECT_EQ(h.channels, 3);
    EXPECT_EQ(h.maxval, 4095u);
    EXPECT_FALSE(h.isFloat);
    EXPECT_EQ(h.headerEnd, static_cast<int64_t>(std::strlen("P6 # comment\n2 1\r\n4095")));
    EXPECT_EQ(h.rasterOffset, static_cast<int64_t>(bytes.size() - 12));
    std::vector<uint16_t> samples(6);
    ASSERT_TRUE(TMNetpbmReadSamples(memory, h, nullptr, samples.data(), &error)) << error.message;
    // 0x0a0a = 2570 of 4095, scaled to 65535 with rounding: 41129.
    EXPECT_EQ(samples, std::vector<uint16_t>(6, 41129));
}

TEST(NetpbmCodec, AFailingOrShrinkingSourceIsReportedAsSuch)
{
    // A 2 x 1 grey PFM whose raster (8 bytes) starts at offset 11.
    const std::string pfm = "Pf\n2 1\n1.0\n"s + std::string(8, '\0');
    struct Case {
        std::string bytes;
        int64_t claimed, failFrom;
        TMNetpbmStatus status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {pfm, 19, 0, TMNetpbmStatus::ReadError, "device unplugged"},  // in the header
        {pfm, 19, 11, TMNetpbmStatus::ReadError, "device unplugged"}, // in the raster
        // 4 bytes claimed beyond the real end: the raster moves 4 bytes on, over 4 more newlines.
        {"Pf\n2 1\n1.0\n\n\n\n\n"s + std::string(4, '\0'), 23, -1, TMNetpbmStatus::Truncated,
         "truncated: the file shrank while it was read"},
    };
    for (const Case& c : cases) {
        DamagedSource source(c.bytes, c.claimed, c.failFrom);
        TMNetpbmPicture picture;
        TMNetpbmError error;
        EXPECT_FALSE(TMNetpbmRead(source, &picture, &error)) << c.failFrom;
        EXPECT_EQ(error.status, c.status) << c.failFrom;
        EXPECT_EQ(error.message, c.message) << c.failFrom;
    }
}

TEST(NetpbmCodec, WrittenBytesAreThePlainFormsAndReadBackIdentically)
{
    const std::vector<uint16_t> rgb16 = {0x0102, 0xfffe, 0, 65535, 1, 0x8000};
    TMNetpbmView v16{2, 1, 3, nullptr, rgb16.data()};
    EXPECT_EQ(encode(v16), "P6\n2 1\n65535\n\x01\x02\xff\xfe\0\0\xff\xff\0\x01\x80\0"s);

    // Rows bottom first, each float little-endian.
    const std::vector<float> grey = {1.0f, -2.0f, 0.5f, std::numeric_limits<float>::denorm_min()};
    TMNetpbmView v32{2, 2, 1, grey.data(), nullptr};
    EXPECT_EQ(encode(v32), "Pf\n2 2\n-1.0\n\0\0\0\x3f\x01\0\0\0\0\0\x80\x3f\0\0\0\xc0"s);

    for (const TMNetpbmView& view : {v16, v32}) {
        const std::string bytes = encode(view);
        TMNetpbmPicture back;
        TMNetpbmError error;
        ASSERT_TRUE(TMNetpbmDecode(bytes.data(), bytes.size(), &back, &error)) << error.message;
        EXPECT_EQ(back.header.width, view.width);
        EXPECT_EQ(back.header.channels, view.channels);
        if (view.f32)
            EXPECT_EQ(std::memcmp(back.f32.data(), view.f32, grey.size() * 4), 0);
        else
            EXPECT_EQ(back.u16, rgb16);
    }
}

TEST(NetpbmCodec, WhatCannotBeWrittenIsRefusedAndAFailedWriteStops)
{
    const std::vector<uint16_t> samples(8, 7);
    std::string error;
    const auto accept = [](const void*, size_t) { return true; };
    // Two channels; no samples; no pixels.
    for (const TMNetpbmView& bad :
         {TMNetpbmView{2, 2, 2, nullptr, samples.data()}, TMNetpbmView{2, 1, 3, nullptr, nullptr},
          TMNetpbmView{0, 1, 1, nullptr, samples.data()}}) {
        error.clear();
        EXPECT_FALSE(TMNetpbmWrite(bad, accept, &error));
        EXPECT_FALSE(error.empty());
    }
    int calls = 0;
    error.clear();
    const auto secondFails = [&](const void*, size_t) { return ++calls < 2; };
    EXPECT_FALSE(TMNetpbmWrite(TMNetpbmView{1, 4, 1, nullptr, samples.data()}, secondFails, &error));
    EXPECT_EQ(calls, 2) << "nothing written after the failure";
    EXPECT_EQ(error, "") << "the writer knows why";
}

TEST(NetpbmCodec, FilesRoundTripAndARefusedImageLeavesTheFileAsItWas)
{
    const std::string path = ::testing::TempDir() + "tm-netpbm-codec.pfm";
    const std::vector<float> rgb = {0.25f, 1e30f, -0.0f, 3.0f, 4.0f, 5.0f};
    std::string error;
    ASSERT_TRUE(TMNetpbmWriteFile(path, TMNetpbmView{1, 2, 3, rgb.data(), nullptr}, &error)) << error;
    EXPECT_FALSE(TMNetpbmWriteFile(path, TMNetpbmView{1, 2, 2, rgb.data(), nullptr}, &error));
    TMNetpbmPicture back;
    TMNetpbmError readError;
    ASSERT_TRUE(TMNetpbmReadFile(path, &back, &readError)) << readError.message;
    EXPECT_EQ(back.header.height, 2);
    EXPECT_EQ(std::memcmp(back.f32.data(), rgb.data(), rgb.size() * 4), 0);
    std::remove(path.c_str());

    EXPECT_FALSE(TMNetpbmReadFile(path, &back, &readError));
    EXPECT_EQ(readError.status, TMNetpbmStatus::ReadError);
    EXPECT_FALSE(TMNetpbmWriteFile(path + ".missing/x.pfm", TMNetpbmView{1, 2, 3, rgb.data(), nullptr}, &error));
    EXPECT_FALSE(error.empty());
}
