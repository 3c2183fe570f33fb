// The confined file operations: links that stay inside the home folder are
// used, links that lead out never are, and a link swapped in while the
// operations run leads nothing outside. Every case runs with openat2 and
// with the level-by-level walk kept for kernels without it.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "platform/confined_fs.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

class ConfinedFs : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        UseLevelWalkForTesting(GetParam());
        root = fs::temp_directory_path() / ("lumbra-confined-" + std::to_string(::getpid()));
        fs::remove_all(root);
        home = root / "home";
        outside = root / "outside";
        fs::create_directories(home / "inside" / "deeper");
        fs::create_directories(outside / "dir");
        std::ofstream(outside / "secret.txt") << "secret";
        std::ofstream(outside / "only-outside.txt") << "o";
        std::ofstream(home / "mine.pdf") << "mine";
        fs::create_directory_symlink(outside, home / "door");
        fs::create_symlink(outside / "secret.txt", home / "filelink");
        fs::create_directory_symlink(home / "inside", home / "alias");  // absolute, stays inside
        fs::create_directory_symlink("inside/deeper", home / "near");   // relative, stays inside
        fs::create_symlink("../outside/secret.txt", home / "climb");    // relative, leads out
        outsideBefore = Snapshot(outside);
    }

    void TearDown() override
    {
        UseLevelWalkForTesting(false);
        fs::remove_all(root);
    }

    static std::set<std::string> Snapshot(const fs::path& top)
    {
        std::set<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(top))
            found.insert(entry.path().string());
        return found;
    }

    void ExpectOutsideUntouched()
    {
        EXPECT_EQ(Snapshot(outside), outsideBefore);
        std::ifstream in(outside / "secret.txt");
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(content, "secret");
    }

    bool Opens(const fs::path& folder)
    {
        const int fd = OpenFolderBeneath(home.string(), folder.string());
        if (fd >= 0)
            ::close(fd);
        return fd >= 0;
    }

    std::string H() const { return home.string(); }

    fs::path root, home, outside;
    std::set<std::string> outsideBefore;
};

TEST_P(ConfinedFs, FoldersOpenOnlyWhenTheyStayInside)
{
    EXPECT_TRUE(Opens(home));
    EXPECT_TRUE(Opens(home / "inside" / "deeper"));
    EXPECT_TRUE(Opens(home / "alias" / "deeper"));
    EXPECT_TRUE(Opens(home / "near"));
    const int fd = OpenFolderBeneath(H() + "/", H() + "/inside/");
    EXPECT_GE(fd, 0) << "trailing slashes";
    if (fd >= 0)
        ::close(fd);

    for (const fs::path& out : {home / "door", home / "door" / "dir", home / ".." / "outside",
                                home / "inside" / ".." / ".." / "outside", outside, root,
                                home / "mine.pdf", home / "missing"})
        EXPECT_FALSE(Opens(out)) << out;
    EXPECT_EQ(OpenFolderBeneath("", "/"), -1);
}

TEST_P(ConfinedFs, QueriesFollowOnlyLinksThatStayInside)
{
    EXPECT_EQ(QueryBeneath(H(), H()), EntryKind::Directory);
    EXPECT_EQ(QueryBeneath(H(), H() + "/alias"), EntryKind::Directory);
    EXPECT_EQ(QueryBeneath(H(), H() + "/mine.pdf"), EntryKind::Other);
    for (const char* out : {"/door", "/door/secret.txt", "/filelink", "/climb", "/gone"})
        EXPECT_EQ(QueryBeneath(H(), H() + out), EntryKind::Missing) << out;
    EXPECT_TRUE(IsRegularFileBeneath(H(), H() + "/mine.pdf"));
    EXPECT_FALSE(IsRegularFileBeneath(H(), H() + "/filelink"));
    EXPECT_TRUE(ExistsBeneath(H(), H() + "/filelink"));  // the link itself is there
    EXPECT_FALSE(ExistsBeneath(H(), H() + "/door/secret.txt"));
    EXPECT_TRUE(IsHomeFolderItself(H(), H() + "/inside/.."));
    EXPECT_FALSE(IsHomeFolderItself(H(), H() + "/inside"));
}

TEST_P(ConfinedFs, ChangesActOnLinksNeverOnWhatTheyLeadTo)
{
    EXPECT_NE(MakeFolderBeneath(H(), H() + "/door/new"), 0);
    EXPECT_NE(RemoveFolderBeneath(H(), H() + "/door/dir"), 0);
    EXPECT_NE(RemoveFileBeneath(H(), H() + "/door/secret.txt"), 0);
    EXPECT_NE(RenameBeneath(H(), H() + "/mine.pdf", H() + "/door/moved.pdf"), 0);
    EXPECT_NE(RenameBeneath(H(), H() + "/door/secret.txt", H() + "/stolen.txt"), 0);
    EXPECT_EQ(RemoveFolderBeneath(H(), H() + "/door"), ENOTDIR);
    EXPECT_NE(RemoveFolderBeneath(H(), H()), 0);
    EXPECT_EQ(RemoveFileBeneath(H(), H() + "/filelink"), 0);  // the link goes, not the file
    EXPECT_FALSE(fs::is_symlink(home / "filelink"));
    ExpectOutsideUntouched();

    EXPECT_EQ(MakeFolderBeneath(H(), H() + "/alias/made"), 0);
    EXPECT_TRUE(fs::is_directory(home / "inside" / "made"));
    EXPECT_EQ(RenameBeneath(H(), H() + "/mine.pdf", H() + "/near/moved.pdf"), 0);
    EXPECT_TRUE(fs::exists(home / "inside" / "deeper" / "moved.pdf"));
    std::ofstream(home / "taken.pdf") << "t";
    EXPECT_EQ(RenameBeneath(H(), H() + "/taken.pdf", H() + "/inside/deeper/moved.pdf"), EEXIST);
    EXPECT_EQ(RemoveFolderBeneath(H(), H() + "/inside"), ENOTEMPTY);
}

TEST_P(ConfinedFs, ListingsShowNothingOfWhatLiesOutside)
{
    EXPECT_FALSE(ConfinedFolder(H(), H() + "/door").IsOpen());
    EXPECT_TRUE(FolderNamesBeneath(H(), H() + "/door").empty());

    const ConfinedFolder folder(H(), H());
    ASSERT_TRUE(folder.IsOpen());
    std::set<std::string> names;
    for (const std::string& name : folder.Names())
        names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{"alias", "climb", "door", "filelink", "inside",
                                            "mine.pdf", "near"}));
    EXPECT_EQ(folder.Names().size(), names.size()) << "a second read starts over";
    EXPECT_TRUE(folder.Info("alias")->isDirectory);
    EXPECT_EQ(folder.Info("mine.pdf")->size, 4u);
    // Leading out shows like a dangling link: an empty file.
    for (const char* out : {"door", "filelink", "climb"}) {
        ASSERT_TRUE(folder.Info(out)) << out;
        EXPECT_FALSE(folder.Info(out)->isDirectory) << out;
        EXPECT_EQ(folder.Info(out)->size, 0u) << out;
    }
    EXPECT_FALSE(folder.Info("gone"));
}

// A second thread swaps a folder of the home folder for a link to the
// outside folder and back, atomically, as fast as it can.
TEST_P(ConfinedFs, ASwappedInLinkLeadsNothingOutside)
{
    fs::create_directories(home / "sub" / "dir");
    std::ofstream(home / "sub" / "secret.txt") << "inside";
    fs::create_directory_symlink(outside, home / "swap");
    std::atomic<bool> stop{false};
    std::atomic<long> swaps{0};
    const std::string sub = (home / "sub").string(), swap = (home / "swap").string();
    // The real folder, whatever name it has at the moment.
    const UniqueFd subFd(::open(sub.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(subFd.IsOpen());
    std::thread swapper([&] {
        while (!stop.load()) {
            ::renameat2(AT_FDCWD, sub.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE);
            ++swaps;
        }
    });
    int listedOutside = 0;
    for (int i = 0; i < 2000; ++i) {
        MakeFolderBeneath(H(), sub + "/made" + std::to_string(i % 7));
        RemoveFolderBeneath(H(), sub + "/made" + std::to_string((i + 3) % 7));
        RemoveFolderBeneath(H(), sub + "/dir");
        RemoveFileBeneath(H(), sub + "/secret.txt");
        RenameBeneath(H(), sub + "/secret.txt", H() + "/taken" + std::to_string(i) + ".txt");
        for (const std::string& name : FolderNamesBeneath(H(), sub))
            if (name == "only-outside.txt")
                ++listedOutside;
        // Put back what a run inside removed, so that there is always
        // something to aim at.
        ::mkdirat(subFd.Get(), "dir", 0777);
        ::close(::openat(subFd.Get(), "secret.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    }
    stop = true;
    swapper.join();
    EXPECT_GT(swaps.load(), 100);
    EXPECT_EQ(listedOutside, 0);
    ExpectOutsideUntouched();
}

TEST_P(ConfinedFs, AnUploadTargetIsTheExactNameElseTheFirstCaseVariant)
{
    fs::create_directories(home / "many");
    // More names than one read of the folder returns, the variants last.
    for (int i = 0; i < 1500; ++i)
        std::ofstream(home / "many" / ("scan-with-a-long-name-" + std::to_string(i) + ".pdf"));
    std::ofstream(home / "many" / "Scan.PDF");
    std::ofstream(home / "many" / "SCAN.pdf");
    const std::string many = H() + "/many";

    UploadTarget target;
    ASSERT_TRUE(OpenUploadTarget(H(), many, "scan.pdf", target));
    EXPECT_EQ(target.name, "SCAN.pdf");  // before "Scan.PDF" in byte order
    EXPECT_TRUE(target.exists);
    EXPECT_FALSE(target.isLink);
    EXPECT_TRUE(target.folder.IsOpen());

    std::ofstream(home / "many" / "scan.pdf");
    ASSERT_TRUE(OpenUploadTarget(H(), many, "scan.pdf", target));
    EXPECT_EQ(target.name, "scan.pdf");

    ASSERT_TRUE(OpenUploadTarget(H(), many, "new.pdf", target));
    EXPECT_EQ(target.name, "new.pdf");
    EXPECT_FALSE(target.exists);

    ASSERT_TRUE(OpenUploadTarget(H(), H(), "FILELINK", target));
    EXPECT_EQ(target.name, "filelink");
    EXPECT_TRUE(target.isLink);

    // The folder itself must lie inside, by whatever way it is named.
    ASSERT_TRUE(OpenUploadTarget(H(), H() + "/alias/", "x.pdf", target));
    for (const fs::path& out : {home / "door", home / "climb", home / "mine.pdf", home / "gone", outside})
        EXPECT_FALSE(OpenUploadTarget(H(), out.string(), "secret.txt", target)) << out;
}

TEST_P(ConfinedFs, ACaseVariantIsFoundWithoutStartingOver)
{
    std::ofstream(home / "Mine.PDF");
    const UniqueFd folder(OpenFolderBeneath(H(), H()));
    ASSERT_TRUE(folder.IsOpen());
    EXPECT_EQ(FindNameIgnoringCase(folder.Get(), "MINE.pdf"), "Mine.PDF");
    // The lookup goes on from where the descriptor stands: the first read it
    // to the end, so the same name is not found again on it.
    EXPECT_EQ(FindNameIgnoringCase(folder.Get(), "mine.pdf"), std::nullopt);
    const UniqueFd again(OpenFolderBeneath(H(), H()));
    EXPECT_EQ(FindNameIgnoringCase(again.Get(), "."), std::nullopt) << "no dot entries";
    EXPECT_EQ(FindNameIgnoringCase(again.Get(), "nothing"), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Openat2AndLevelWalk, ConfinedFs, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "LevelWalk" : "Openat2"; });

}  // namespace
