// What tonemap does to the user's files when things go wrong: a full disk, a signal,
// names that point at files the user has, read-only and long names, and runs of
// many images in which one fails.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "cli_test_support.h"

using namespace tmtest;

namespace {

const std::string kTonemap = TM_TONEMAP_EXE;

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class TonemapFiles : public ::testing::Test {
protected:
    std::string scene(const std::string& name, int w, int h)
    {
        const std::vector<float> px = sceneFloat(w, h);
        writeImage(dir / name, w, h, 3, OIIO::TypeDesc::FLOAT, OIIO::TypeDesc::FLOAT, px.data());
        return dir / name;
    }
    TempDir dir;
};

} // namespace

// Every format on a file system that fills up: exit 1 naming the cause, and neither
// the output nor a temporary file left. The small file system is a tmpfs mounted in
// a private namespace, where the machine allows one.
TEST_F(TonemapFiles, AFullDiskFailsEveryFormatAndLeavesNothing)
{
    if (run("/bin/sh", {"-c", "unshare -rm true"}).status != 0)
        GTEST_SKIP() << "no private mount namespace here (unshare -rm)";
    const std::string in = scene("in.exr", 600, 400);
    const std::string full = dir / "full";
    ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
    std::string script = "mount -t tmpfs -o size=32k tmpfs '" + full + "' || exit 99\n";
    for (const char* ext : {"exr", "tif", "png", "jpg", "hdr", "pfm", "ppm"})
        script += "'" + kTonemap + "' --quiet '" + in + "' '" + full + "/out." + ext + "' 2>&1; echo \"" + ext +
                  " $? $(ls -A '" + full + "' | wc -l)\"\n";
    script += "'" + kTonemap + "' --quiet '" + in + "' --preview 512 '" + full + "/p.png' --histogram '" + full +
              "/h.txt' 2>&1; echo \"preview $? $(ls -A '" + full + "' | wc -l)\"\n";
    const RunResult r = run("/usr/bin/unshare", {"-rm", "/bin/sh", "-c", script});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::istringstream lines(r.out);
    int runs = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("tonemap: ", 0) == 0) {
            EXPECT_NE(line.find("No space left on device"), std::string::npos) << line;
            continue;
        }
        std::istringstream fields(line);
        std::string what;
        int status = -1, files = -1;
        fields >> what >> status >> files;
        EXPECT_EQ(status, 1) << what;
        EXPECT_EQ(files, 0) << what << ": no output and no temporary file";
        ++runs;
    }
    EXPECT_EQ(runs, 8) << r.out;
}

// SIGINT, SIGTERM, SIGHUP and SIGQUIT stop a render or a preview at any moment:
// exit 128 + the signal, "cancelled", no file. A second signal ends the run at once.
TEST_F(TonemapFiles, EverySignalStopsTheRunAndLeavesNoFile)
{
    const std::string in = scene("big.exr", 2400, 1600);
    struct Case {
        int signal;
        bool preview;
        bool twice;
    };
    for (const Case c : {Case{SIGTERM, false, false}, Case{SIGHUP, true, false}, Case{SIGQUIT, false, false},
                         Case{SIGINT, true, false}, Case{SIGTERM, false, true}}) {
        std::vector<std::string> args = {in, dir / "out.png"};
        if (c.preview)
            args.insert(args.end(), {"--preview", "1024", "--histogram", dir / "h.txt"});
        bool started = false;
        const RunResult r = run(kTonemap, args, [&](int pid) {
            // The temporary output appears before any pixel is read.
            for (int i = 0; i < 20000 && !started; ++i) {
                started = dir.list().size() > 1;
                if (!started)
                    usleep(1000);
            }
            kill(pid, c.signal);
            if (c.twice)
                kill(pid, c.signal);
        });
        const std::string what = std::string(strsignal(c.signal)) + (c.preview ? " in a preview" : "");
        ASSERT_TRUE(started) << what;
        EXPECT_EQ(r.status, 128 + c.signal) << what << ": " << r.err;
        if (!c.twice) {
            EXPECT_NE(r.err.find("cancelled; no output written"), std::string::npos) << what << ": " << r.err;
        }
        EXPECT_EQ(dir.list(), std::vector<std::string>{"big.exr"}) << what;
    }
}

// No name may lead the tool to write over what the user has: an input, or the
// other file it writes, through any link. Refused before any work, nothing changed.
TEST_F(TonemapFiles, NamesThatLeadToTheUsersFilesAreRefused)
{
    const std::string in = scene("in.exr", 120, 100);
    const std::string original = fileBytes(in);
    ASSERT_EQ(symlink("in.exr", (dir / "link.txt").c_str()), 0);
    ASSERT_EQ(link(in.c_str(), (dir / "hard.png").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("../in.exr", (dir / "sub/in.exr").c_str()), 0);
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{in, "--preview", "512", dir / "p.png", "--histogram", in}, "is the same file as INPUT"},
        {{in, "--preview", "512", dir / "p.png", "--histogram", dir / "link.txt"}, "is the same file as INPUT"},
        {{in, "--preview", "512", dir / "p.png", "--histogram", dir / "./p.png"}, "is the same file as OUTPUT"},
        {{in, dir / "hard.png"}, "is the same file as INPUT"},
        {{"--output-dir", dir.path(), in}, "is the same file as INPUT"},
        {{"--output-dir", dir / "sub", "--format", "exr", in}, "is the same file as INPUT"},
        {{"--output-dir", dir / "sub", "--format", "png", in, dir / "sub/in.exr"}, "would both be written"},
    };
    for (const Case& c : cases) {
        const RunResult r = run(kTonemap, c.args);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(c.args) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(fileBytes(in), original);
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"hard.png", "in.exr", "link.txt", "sub"}));
}

// A read-only output is refused before the input is even read; names up to the
// file system's limit get their temporary file.
TEST_F(TonemapFiles, ReadOnlyOutputsAreRefusedFirstAndLongNamesWork)
{
    std::ofstream(dir / "locked.png") << "keep me";
    ASSERT_EQ(chmod((dir / "locked.png").c_str(), 0444), 0);
    RunResult r = run(kTonemap, {dir / "missing.exr", dir / "locked.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tonemap: cannot write output '" + (dir / "locked.png") + "': the file is read-only\n");
    EXPECT_EQ(fileBytes(dir / "locked.png"), "keep me");

    const std::string in = scene("in.exr", 120, 100);
    for (size_t length : {size_t{244}, size_t{255}}) {
        const std::string name = std::string(length - 4, 'n') + ".png";
        r = run(kTonemap, {in, dir / name});
        EXPECT_EQ(r.status, 0) << length << ": " << r.err;
        EXPECT_EQ(readImage(dir / name).width(), 120) << length;
        unlink((dir / name).c_str());
    }
    EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.exr", "locked.png"}));
}

// Many images in one run: each written as it is done, one failure does not stop the
// others, and the exit status is the worst of them.
TEST_F(TonemapFiles, ARunOfManyImagesWritesEachAndReportsTheWorst)
{
    const std::string a = scene("a.exr", 120, 100), b = scene("b.exr", 130, 110);
    std::ofstream(dir / "broken.exr") << "not an image";
    std::vector<uint8_t> eight(120 * 100 * 3, 77);
    writeImage(dir / "eight.png", 120, 100, 3, OIIO::TypeDesc::UINT8, OIIO::TypeDesc::UINT8, eight.data());
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);

    RunResult r = run(kTonemap, {"--output-dir", dir / "out", "--format", "png", a, dir / "broken.exr", b});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(dir / "broken.exr"), std::string::npos) << r.err;
    EXPECT_EQ(readImage(dir / "out/a.png").width(), 120);
    EXPECT_EQ(readImage(dir / "out/b.png").width(), 130);

    r = run(kTonemap, {"--output-dir", dir / "out", a, dir / "eight.png", dir / "broken.exr"});
    EXPECT_EQ(r.status, 2) << "a refused image outranks a failed one: " << r.err;
    EXPECT_EQ(readImage(dir / "out/a.exr").width(), 120) << "each input's own format by default";

    r = run(kTonemap, {"--output-dir", dir / "missing", a});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write to '" + (dir / "missing") + "'"), std::string::npos) << r.err;
}
