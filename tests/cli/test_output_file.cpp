// Atomic output files: the target holds the old file or the complete new one,
// never a partial file, and no temporary file outlives the writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tm_output_file.h"

namespace {

class OutputFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/tm-outfile-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override
    {
        for (const std::string& name : list())
            unlink((dir_ + "/" + name).c_str());
        rmdir(dir_.c_str());
    }
    std::string at(const std::string& name) const { return dir_ + "/" + name; }
    std::vector<std::string> list() const
    {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir_.c_str())) {
            while (dirent* e = readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    names.push_back(e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    static void put(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
    static std::string get(const std::string& path)
    {
        std::ostringstream s;
        s << std::ifstream(path).rdbuf();
        return s.str();
    }

    std::string dir_;
};

} // namespace

TEST_F(OutputFileTest, CommitReplacesTheTargetAndLeavesNoTemporaryFile)
{
    put(at("out.exr"), "old");
    TMOutputFile out;
    std::string error;
    ASSERT_TRUE(out.create(at("out.exr"), &error)) << error;
    // Same folder and extension, hidden; the target is untouched until commit.
    EXPECT_EQ(out.tempPath().rfind(dir_ + "/.out.tmp-", 0), 0u) << out.tempPath();
    EXPECT_EQ(out.tempPath().substr(out.tempPath().size() - 4), ".exr");
    put(out.tempPath(), "new");
    EXPECT_EQ(get(at("out.exr")), "old");
    ASSERT_TRUE(out.commit(&error)) << error;
    EXPECT_EQ(get(at("out.exr")), "new");
    EXPECT_EQ(list(), std::vector<std::string>{"out.exr"});
}

TEST_F(OutputFileTest, AnUncommittedFileIsRemovedAndTheTargetKept)
{
    put(at("keep.png"), "old");
    {
        TMOutputFile out;
        std::string error;
        ASSERT_TRUE(out.create(at("keep.png"), &error)) << error;
        put(out.tempPath(), "partial");
    }
    EXPECT_EQ(get(at("keep.png")), "old");
    EXPECT_EQ(list(), std::vector<std::string>{"keep.png"});
    {
        TMOutputFile out;
        std::string error;
        ASSERT_TRUE(out.create(at("new.png"), &error)) << error;
    }
    EXPECT_EQ(list(), std::vector<std::string>{"keep.png"});
}

TEST_F(OutputFileTest, UnusableTargetsFailAtCreation)
{
    TMOutputFile out;
    std::string error;
    EXPECT_FALSE(out.create(at("missing/out.exr"), &error));
    EXPECT_FALSE(error.empty());
    ASSERT_EQ(mkdir(at("sub.exr").c_str(), 0755), 0);
    EXPECT_FALSE(out.create(at("sub.exr"), &error));
    EXPECT_EQ(error, "is a directory");
    rmdir(at("sub.exr").c_str());
    EXPECT_TRUE(list().empty());
}

TEST_F(OutputFileTest, ReplacedFilesKeepTheirPermissions)
{
    put(at("p.tif"), "old");
    ASSERT_EQ(chmod(at("p.tif").c_str(), 0640), 0);
    TMOutputFile out;
    std::string error;
    ASSERT_TRUE(out.create(at("p.tif"), &error)) << error;
    ASSERT_TRUE(out.commit(&error)) << error;
    struct stat st {};
    ASSERT_EQ(stat(at("p.tif").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(OutputFileTest, ASymbolicLinkIsFollowedNotReplaced)
{
    put(at("real.exr"), "old");
    ASSERT_EQ(symlink("real.exr", at("link.exr").c_str()), 0);
    TMOutputFile out;
    std::string error;
    ASSERT_TRUE(out.create(at("link.exr"), &error)) << error;
    put(out.tempPath(), "new");
    ASSERT_TRUE(out.commit(&error)) << error;
    struct stat st {};
    ASSERT_EQ(lstat(at("link.exr").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(get(at("real.exr")), "new");
}

TEST_F(OutputFileTest, SameFileRecognisesEveryPathToOneInode)
{
    put(at("a.exr"), "x");
    put(at("b.exr"), "x");
    ASSERT_EQ(link(at("a.exr").c_str(), at("hard.exr").c_str()), 0);
    ASSERT_EQ(symlink("a.exr", at("soft.exr").c_str()), 0);
    EXPECT_TRUE(TMSameFile(at("a.exr"), at("a.exr")));
    EXPECT_TRUE(TMSameFile(at("a.exr"), dir_ + "/./a.exr"));
    EXPECT_TRUE(TMSameFile(at("a.exr"), at("hard.exr")));
    EXPECT_TRUE(TMSameFile(at("soft.exr"), at("a.exr")));
    EXPECT_FALSE(TMSameFile(at("a.exr"), at("b.exr")));
    EXPECT_FALSE(TMSameFile(at("a.exr"), at("none.exr")));
    EXPECT_TRUE(TMSameFile(at("none.exr"), at("none.exr"))); // same text: never both read and written
}
