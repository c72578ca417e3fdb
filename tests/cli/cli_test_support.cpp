#include "cli_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "demo_scene.h"

namespace tmtest {

namespace {

std::string tempRoot()
{
    const char* t = std::getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void removeTree(const std::string& path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR* d = opendir(path.c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..")
                    removeTree(path + "/" + name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

} // namespace

RunResult run(const std::string& exe, const std::vector<std::string>& args,
              const std::function<void(int pid)>& whileRunning, unsigned timeoutSeconds)
{
    RunResult result;
    std::string outPath = tempRoot() + "/tm-run-out-XXXXXX", errPath = tempRoot() + "/tm-run-err-XXXXXX";
    const int outFd = mkstemp(outPath.data());
    const int errFd = mkstemp(errPath.data());
    if (outFd < 0 || errFd < 0) {
        ADD_FAILURE() << "cannot create capture files";
        return result;
    }
    std::vector<std::string> argvStore = {exe};
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argvStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        if (timeoutSeconds > 0)
            alarm(timeoutSeconds); // pending alarms survive exec
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && whileRunning)
        whileRunning(pid);
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        ADD_FAILURE() << "cannot run " << exe;
    result.peakKilobytes = usage.ru_maxrss;
    close(outFd);
    close(errFd);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = slurp(outPath);
    result.err = slurp(errPath);
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    return result;
}

TempDir::TempDir()
{
    std::string templ = tempRoot() + "/tm-cli-test-XXXXXX";
    if (!mkdtemp(templ.data()))
        ADD_FAILURE() << "mkdtemp failed";
    path_ = templ;
}

TempDir::~TempDir() { removeTree(path_); }

std::vector<std::string> TempDir::list() const
{
    std::vector<std::string> names;
    if (DIR* d = opendir(path_.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

float Image::f32(size_t i) const
{
    float v;
    std::memcpy(&v, bytes.data() + i * 4, 4);
    return v;
}

uint16_t Image::u16(size_t i) const
{
    uint16_t v;
    std::memcpy(&v, bytes.data() + i * 2, 2);
    return v;
}

uint8_t Image::u8(size_t i) const { return bytes[i]; }

std::vector<unsigned char> Image::channelBytes(int c) const
{
    const size_t size = header.format.size();
    std::vector<unsigned char> out;
    for (size_t p = 0; p < size_t(header.width) * header.height; ++p) {
        const unsigned char* s = bytes.data() + (p * header.nchannels + c) * size;
        out.insert(out.end(), s, s + size);
    }
    return out;
}

Image readImage(const std::string& path)
{
    Image img;
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(path, &config);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path << ": " << OIIO::geterror();
        return img;
    }
    img.header = in->spec();
    img.bytes.resize(img.samples() * img.header.format.size());
    if (!in->read_image(0, 0, 0, img.header.nchannels, img.header.format, img.bytes.data()))
        ADD_FAILURE() << "cannot read pixels of " << path << ": " << in->geterror();
    return img;
}

void writeImage(const std::string& path, int width, int height, int channels, OIIO::TypeDesc fileType,
                OIIO::TypeDesc dataType, const void* data, const OIIO::ImageSpec* attributes)
{
    OIIO::ImageSpec header(width, height, channels, fileType);
    if (attributes) {
        header.extra_attribs = attributes->extra_attribs;
        if (attributes->alpha_channel >= 0)
            header.alpha_channel = attributes->alpha_channel;
    }
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out) << OIIO::geterror();
    ASSERT_TRUE(out->open(path, header)) << out->geterror();
    ASSERT_TRUE(out->write_image(dataType, data)) << out->geterror();
    ASSERT_TRUE(out->close()) << out->geterror();
}

void writePnm16(const std::string& path, int width, int height, int channels, const std::vector<uint16_t>& samples)
{
    std::ofstream out(path, std::ios::binary);
    out << (channels == 3 ? "P6" : "P5") << "\n" << width << " " << height << "\n65535\n";
    for (uint16_t s : samples) {
        out.put(static_cast<char>(s >> 8));
        out.put(static_cast<char>(s & 0xff));
    }
}

void writePfm(const std::string& path, int width, int height, int channels, const std::vector<float>& samples)
{
    std::ofstream out(path, std::ios::binary);
    out << (channels == 3 ? "PF" : "Pf") << "\n" << width << " " << height << "\n-1.0\n";
    const size_t row = size_t(width) * channels;
    for (int y = height - 1; y >= 0; --y) {
        for (size_t i = 0; i < row; ++i) {
            uint32_t bits;
            std::memcpy(&bits, &samples[y * row + i], 4);
            for (int b = 0; b < 4; ++b)
                out.put(static_cast<char>(bits >> (8 * b)));
        }
    }
}

std::vector<uint16_t> readPnm16(const std::string& path, int* width, int* height, int* channels)
{
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int maxval = 0;
    in >> magic >> *width >> *height >> maxval;
    in.get(); // the single whitespace before the samples
    EXPECT_TRUE(magic == "P5" || magic == "P6") << magic;
    EXPECT_EQ(maxval, 65535);
    *channels = magic == "P6" ? 3 : 1;
    std::vector<uint16_t> samples(size_t(*width) * *height * *channels);
    for (uint16_t& s : samples) {
        const int hi = in.get(), lo = in.get();
        s = static_cast<uint16_t>(hi << 8 | lo);
    }
    EXPECT_TRUE(in.good()) << "truncated " << path;
    EXPECT_EQ(in.get(), EOF) << "trailing bytes in " << path;
    return samples;
}

std::vector<float> sceneFloat(int width, int height)
{
    std::vector<float> rgb(size_t(width) * height * 3);
    TMMakeDemoScene(width, height, rgb.data());
    return rgb;
}

std::vector<uint16_t> scene16(int width, int height)
{
    const std::vector<float> rgb = sceneFloat(width, height);
    std::vector<uint16_t> out(rgb.size());
    // A simple global curve into display range; plenty of range is left for the
    // local operator to work on.
    for (size_t i = 0; i < rgb.size(); ++i) {
        const double x = rgb[i] * 4.0;
        out[i] = static_cast<uint16_t>(std::lround(65535.0 * std::pow(x / (1.0 + x), 1.0 / 2.2)));
    }
    return out;
}

} // namespace tmtest
