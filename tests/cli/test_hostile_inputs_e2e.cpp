// Hostile and damaged input files (tests/cli/data/hostile, made by its
// make_hostile.py) and inputs that are no files at all: each is refused at once
// with its own message, in little memory, and leaves no file behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "cli_test_support.h"

using namespace tmtest;

namespace {

const std::string kTonemap = TM_TONEMAP_EXE;
const std::string kHostile = TM_HOSTILE_DIR;

// Far below what the declared images would take (0.8 to 3.4 GB when they were
// allocated and zero-filled up front), above the tool's own footprint with the
// image library loaded (about 130 MB, 190 MB under the address sanitizer).
constexpr long kPeakKilobytes = 400 * 1024;

struct Case {
    std::string input; // a file under kHostile, or made by the test
    int status;
    std::string message; // stderr; {path} stands for the input's path
    bool libraryLeaks = false;
};

std::string replaced(std::string text, const std::string& key, const std::string& value)
{
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
        text.replace(at, key.size(), value);
    return text;
}

std::string gibibytes(double bytes)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.1f GiB", bytes / (1024.0 * 1024.0 * 1024.0));
    return text;
}

const std::string kRead = "tonemap: cannot read input '{path}': ";

const std::vector<Case> kFiles = {
    {"exr-huge-declared.exr", 1,
     kRead + "truncated: the header declares 11000 x 11000 pixels x 3 channels (at least 703489 bytes as "
             "zip-compressed data), but the file has 5817 bytes\n"},
    {"exr-scanlines-cut.exr", 1,
     kRead + "pixel data ends early or is damaged in rows 0 to 127: Failed OpenEXR read: Error reading pixel data "
             "from image file \"{path}\". Unexpected end of file.\n"},
    {"exr-tiles-cut.exr", 1,
     kRead + "pixel data ends early or is damaged in rows 0 to 127: Failed OpenEXR read: Error reading pixel data "
             "from image file \"{path}\". Unexpected end of file.\n"},
    {"tiff-huge-declared.tif", 1,
     kRead + "truncated: the header declares 11000 x 11000 pixels x 3 channels (at least 726000000 bytes as "
             "uncompressed data), but the file has 1534 bytes\n"},
    {"tiff-strip-stream-cut.tif", 1, kRead + "pixel data ends early or is damaged in row 54: ZLib error\n"},
    {"tiff-strips-cut.tif", 1,
     kRead + "pixel data ends early or is damaged in row 64: Read error at scanline 64; got 174 bytes, expected "
             "188\n"},
    {"tiff-tile-stream-cut.tif", 1,
     kRead + "pixel data ends early or is damaged in rows 64 to 95: Decoding error at scanline 32\n"},
    {"hdr-huge-declared.hdr", 1,
     kRead + "truncated: the header declares 11000 x 11000 pixels x 3 channels (at least 7700000 bytes as "
             "run-length encoded data), but the file has 65 bytes\n"},
    {"hdr-cut.hdr", 1, kRead + "pixel data ends early or is damaged in rows 0 to 127: Read error on scanline 84\n"},
    {"png-huge-declared.png", 1,
     kRead + "truncated: the header declares 11000 x 11000 pixels x 3 channels (at least 703500 bytes as "
             "deflate-compressed data), but the file has 74 bytes\n"},
    // The first line is the PNG library's own; the image library's error path
    // leaks a string when it fails (seen by the leak checker only).
    {"png-cut.png", 1,
     "libpng error: IDAT: Read error: hit end of file\n" + kRead +
         "pixel data ends early or is damaged in rows 0 to 127: Read error: hit end of file\n",
     true},
    {"pfm-grey-header-rgb-data.pfm", 1,
     kRead + "the raster does not match the header: it declares 16 x 16 pixels x 1 channel of float samples "
             "(1024 bytes), but the file ends 3073 bytes after it\n"},
    {"ppm-cut.ppm", 1,
     kRead + "truncated: the header declares 32 x 32 pixels x 3 channels of 16-bit samples (6144 bytes), but the "
             "file ends 4001 bytes after it\n"},
    {"ppm-trailing-data.ppm", 1,
     kRead + "the raster does not match the header: it declares 8 x 8 pixels x 3 channels of 16-bit samples (384 "
             "bytes), but the file ends 389 bytes after it\n"},
    {"pgm-huge-declared.pgm", 1,
     kRead + "truncated: the header declares 2000000000 x 2000000000 pixels x 1 channel of 16-bit samples, more "
             "than a file can hold\n"},
    {"pgm-ascii-cut.pgm", 1, kRead + "truncated: 9 of the 16 samples the header declares\n"},
    {"pgm-ascii-extra-samples.pgm", 1,
     kRead + "the raster does not match the header: more than the 4 samples it declares\n"},
};

class HostileInputs : public ::testing::Test {
protected:
    // Runs tonemap on `input` and checks everything the case promises; the output
    // goes to a folder of its own, which must stay empty.
    void expectRefused(const std::string& input, const Case& c)
    {
        TempDir outputDir;
        const std::string output = outputDir / "out.exr";
        const char* saved = std::getenv("ASAN_OPTIONS");
        const std::string savedOptions = saved ? saved : "";
        if (c.libraryLeaks)
            setenv("ASAN_OPTIONS", (savedOptions + (saved ? ":" : "") + "detect_leaks=0").c_str(), 1);
        const RunResult r = run(kTonemap, {input, output}, {}, 120);
        if (c.libraryLeaks) {
            if (saved)
                setenv("ASAN_OPTIONS", savedOptions.c_str(), 1);
            else
                unsetenv("ASAN_OPTIONS");
        }
        EXPECT_EQ(r.status, c.status) << c.input;
        EXPECT_EQ(r.err, replaced(c.message, "{path}", input)) << c.input;
        EXPECT_EQ(r.out, "") << c.input;
        EXPECT_LT(r.peakKilobytes, kPeakKilobytes) << c.input;
        EXPECT_EQ(outputDir.list(), std::vector<std::string>()) << c.input; // no output, no temporary file
    }

    TempDir inputs;
};

} // namespace

TEST_F(HostileInputs, DamagedAndImpossibleFilesAreRefusedBeforeTheirDeclaredSizeIsAllocated)
{
    for (const Case& c : kFiles)
        expectRefused(kHostile + "/" + c.input, c);
}

TEST_F(HostileInputs, AnImageLargerThanTheMachinesMemoryIsRefused)
{
    const double machine = double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGESIZE));
    // 131000 x 131000 16-bit grey samples, plus 16 bytes a pixel for the render.
    const double need = 131000.0 * 131000.0 * 18.0;
    if (machine >= need)
        GTEST_SKIP() << "this machine has the memory for the image";
    expectRefused(kHostile + "/tiff-too-large-for-memory.tif",
                  {"tiff-too-large-for-memory.tif", 2,
                   "tonemap: cannot tone-map '{path}': its 131000 x 131000 pixels need " + gibibytes(need) +
                       " of memory, more than this machine has (" + gibibytes(machine) + ")\n"});
}

TEST_F(HostileInputs, WhatIsNoRegularFileIsRefusedWithoutWaitingOrReading)
{
    // A FIFO nobody writes to, endless devices, a folder, and a file whose name
    // alone would make the image library invent 400 million pixels.
    const std::string fifo = inputs / "fifo.exr";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    expectRefused(fifo, {"fifo", 2, kRead + "not a regular file (a FIFO)\n"});
    for (const char* device : {"/dev/zero", "/dev/urandom"})
        expectRefused(device, {device, 2, kRead + "not a regular file (a character device)\n"});
    const std::string folder = inputs / "folder.exr";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    expectRefused(folder, {"folder", 1, kRead + "is a directory\n"});
    const std::string invented = inputs / "x.null?RES=20000x20000&TYPE=float&CHANNELS=3";
    std::fclose(std::fopen(invented.c_str(), "wb"));
    expectRefused(invented,
                  {"null", 1, kRead + "its name selects a reader that makes pixels up instead of reading the file\n"});
}
