// The staging file of an upload, opened in a folder the session resolved:
// nothing shows under the target's name before the commit, the commit puts
// every byte there in one step, and whatever fails leaves nothing behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "platform/confined_fs.h"
#include "platform/staged_file.h"

namespace fs = std::filesystem;
using platform::StagedFile;
using platform::UniqueFd;

namespace {

class StagedFileIn : public ::testing::Test {
protected:
    void SetUp() override
    {
        home = fs::temp_directory_path() / ("lumbra-staged-" + std::to_string(::getpid()));
        fs::remove_all(home);
        fs::create_directories(home / "sub");
    }
    void TearDown() override { fs::remove_all(home); }

    UniqueFd Folder(const fs::path& folder) const
    {
        return UniqueFd(platform::OpenFolderBeneath(home.string(), folder.string()));
    }

    static std::string Content(const fs::path& file)
    {
        std::ifstream in(file, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    int StagingFiles() const
    {
        int count = 0;
        for (const auto& entry : fs::recursive_directory_iterator(home))
            count += StagedFile::IsStagingName(entry.path().filename().string()) ? 1 : 0;
        return count;
    }

    fs::path home;
};

TEST(StagingName, OnlyTheExactFormIsOurs)
{
    EXPECT_TRUE(StagedFile::IsStagingName(".lumbra-upload-1234-0.part"));
    for (const char* name :
         {".Lumbra-Upload-2024-report.pdf", ".LUMBRA-UPLOAD-1234-0.PART", ".lumbra-upload-1234-0.Part",
          ".lumbra-upload-1234-0.part.pdf", "lumbra-upload-1234-0.part", ".lumbra-upload-1234.part",
          ".lumbra-upload--0.part", ".lumbra-upload-1234-.part", ".lumbra-upload-12a4-0.part",
          ".lumbra-upload-+12-0.part", ".lumbra-upload-1-2-3.part"})
        EXPECT_FALSE(StagedFile::IsStagingName(name)) << name;
}

TEST_F(StagedFileIn, TheTargetAppearsWholeAtTheCommitOnly)
{
    StagedFile file;
    ASSERT_TRUE(file.OpenIn(Folder(home / "sub"), (home / "sub").string(), "scan.pdf"));
    ASSERT_TRUE(file.Write("page one,", 9));
    ASSERT_TRUE(file.Write(" page two", 9));
    EXPECT_FALSE(fs::exists(home / "sub" / "scan.pdf"));
    EXPECT_EQ(StagingFiles(), 1);
    ASSERT_TRUE(file.Commit());
    EXPECT_EQ(Content(home / "sub" / "scan.pdf"), "page one, page two");
    EXPECT_EQ(StagingFiles(), 0);
    EXPECT_FALSE(file.IsOpen());
}

TEST_F(StagedFileIn, AReplacedFileKeepsItsModeAndAFolderIsNeverReplaced)
{
    std::ofstream(home / "old.pdf") << "old";
    ::chmod((home / "old.pdf").c_str(), 0640);
    {
        StagedFile file;
        ASSERT_TRUE(file.OpenIn(Folder(home), home.string(), "old.pdf"));
        ASSERT_TRUE(file.Write("new", 3));
        ASSERT_TRUE(file.Commit());
    }
    EXPECT_EQ(Content(home / "old.pdf"), "new");
    EXPECT_EQ(fs::status(home / "old.pdf").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    StagedFile file;
    EXPECT_FALSE(file.OpenIn(Folder(home), home.string(), "sub"));
    EXPECT_FALSE(file.OpenIn(UniqueFd(), home.string(), "x.pdf")) << "no folder";
    EXPECT_TRUE(fs::is_directory(home / "sub"));
    EXPECT_EQ(StagingFiles(), 0);
}

TEST_F(StagedFileIn, AnUploadThatNeverCommitsLeavesNothing)
{
    std::ofstream(home / "kept.pdf") << "kept";
    {
        StagedFile file;
        ASSERT_TRUE(file.OpenIn(Folder(home), home.string(), "kept.pdf"));
        ASSERT_TRUE(file.Write("partial", 7));
    }
    StagedFile discarded;
    ASSERT_TRUE(discarded.OpenIn(Folder(home), home.string(), "other.pdf"));
    discarded.Discard();
    EXPECT_EQ(Content(home / "kept.pdf"), "kept");
    EXPECT_FALSE(fs::exists(home / "other.pdf"));
    EXPECT_EQ(StagingFiles(), 0);
}

// The sweep of the first upload into a folder: what a live writer holds stays
// however old it looks, and so do a young file (not yet locked, maybe) and
// other names; what nobody holds goes, whatever process its name names.
TEST_F(StagedFileIn, TheSweepRemovesWhatNoLiveWriterHolds)
{
    const std::string young = ".lumbra-upload-77-0.part";
    const std::string deadOfALiveProcess = ".lumbra-upload-" + std::to_string(::getpid()) + "-999.part";
    for (const std::string& name : {young, deadOfALiveProcess, std::string(".lumbra-upload-1-0.part"),
                                    std::string(".Lumbra-Upload-2024-report.pdf"), std::string(".lumbra-upload-1-0.part.pdf")})
        std::ofstream(home / "sub" / name) << "left";
    StagedFile held;  // a lock of another open file description
    ASSERT_TRUE(held.OpenIn(Folder(home / "sub"), (home / "sub").string(), "held.pdf") && held.Write("held", 4));
    std::set<fs::path> kept;
    const struct timespec old[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    for (const auto& entry : fs::directory_iterator(home / "sub")) {
        if (entry.path().filename() != young)
            ::utimensat(AT_FDCWD, entry.path().c_str(), old, 0);
        if (entry.path().filename() != deadOfALiveProcess && entry.path().filename() != ".lumbra-upload-1-0.part")
            kept.insert(entry.path());
    }
    StagedFile sweeper;  // its folder path names a folder no upload of this process swept yet
    ASSERT_TRUE(sweeper.OpenIn(Folder(home / "sub"), "not swept yet", "sweeper.pdf"));
    sweeper.Discard();
    EXPECT_EQ(std::set<fs::path>(fs::directory_iterator(home / "sub"), fs::directory_iterator()), kept);
    EXPECT_TRUE(held.Commit() && Content(home / "sub" / "held.pdf") == "held") << "the held upload completes";
}

}  // namespace
