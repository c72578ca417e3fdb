// Helpers of the end-to-end tests: a private temporary folder, running a tool
// with captured output, and image files made and inspected with the image library
// (or, for 16-bit Netpbm, byte by byte).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>

namespace tmtest {

struct RunResult {
    int status = -1; // exit status; 128 + signal number when killed by a signal
    std::string out;
    std::string err;
    long peakKilobytes = 0; // the child's largest resident set
};

// Runs exe with args (argv[0] is exe), stdin closed, stdout and stderr captured.
// `whileRunning`, if set, is called with the child's process id before the wait.
// A child still running after `timeoutSeconds` (0: no limit) is killed by SIGALRM.
RunResult run(const std::string& exe, const std::vector<std::string>& args,
              const std::function<void(int pid)>& whileRunning = {}, unsigned timeoutSeconds = 0);

// A fresh folder under $TMPDIR (or /tmp), removed with its contents at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> list() const; // names in the folder, sorted, hidden ones included

private:
    std::string path_;
};

// An image file's pixels in their stored sample type, plus its header.
struct Image {
    OIIO::ImageSpec header;
    std::vector<unsigned char> bytes; // interleaved, header.format samples
    int width() const { return header.width; }
    int height() const { return header.height; }
    int channels() const { return header.nchannels; }
    size_t samples() const { return size_t(header.width) * header.height * header.nchannels; }
    float f32(size_t i) const;    // header.format FLOAT
    uint16_t u16(size_t i) const; // header.format UINT16
    uint8_t u8(size_t i) const;   // header.format UINT8
    // The bytes of channel c of every pixel, for byte-exact comparisons.
    std::vector<unsigned char> channelBytes(int c) const;
};

// Reads with alpha as stored (not premultiplied). Fails the test and returns an
// empty image when the file cannot be read.
Image readImage(const std::string& path);

// Writes samples of `dataType` as a file of `fileType`; `header` carries extra attributes.
void writeImage(const std::string& path, int width, int height, int channels, OIIO::TypeDesc fileType,
                OIIO::TypeDesc dataType, const void* data, const OIIO::ImageSpec* attributes = nullptr);

// 16-bit binary PGM (1 channel) or PPM (3 channels), maxval 65535, written and
// parsed here so the tests need no other Netpbm code.
void writePnm16(const std::string& path, int width, int height, int channels, const std::vector<uint16_t>& samples);
std::vector<uint16_t> readPnm16(const std::string& path, int* width, int* height, int* channels);

// Float PFM (1 or 3 channels), little-endian, rows stored bottom to top.
void writePfm(const std::string& path, int width, int height, int channels, const std::vector<float>& samples);

// The procedural HDR scene as linear float RGB, and a display-referred 16-bit
// version of it (file values 0..65535).
std::vector<float> sceneFloat(int width, int height);
std::vector<uint16_t> scene16(int width, int height);

// Samples of channels [0, keep) of every pixel with `channels` channels.
template <typename T>
std::vector<T> firstChannels(const std::vector<T>& samples, int channels, int keep)
{
    std::vector<T> out;
    for (size_t i = 0; i < samples.size(); ++i)
        if (int(i % channels) < keep)
            out.push_back(samples[i]);
    return out;
}

} // namespace tmtest
