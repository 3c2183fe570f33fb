// Path resolution inside the home folder: normal forms, case, dots, and every
// way out of the home folder.
#include <sys/stat.h>
#include <unistd.h>

#include "session_fixture.h"

using PathResolution = SessionFixture;

TEST_F(PathResolution, SeparatorsAndSlashRunsAllNameTheSameFolder)
{
    MakeFolder("sub/deeper");
    for (const char* form : {"sub\\deeper", "sub//deeper", "/sub/deeper/", "\\sub\\\\deeper\\"}) {
        std::string local;
        EXPECT_EQ(session().ResolveDirectoryPath(form, OP_LIST, local), PATH_OK) << form;
        EXPECT_EQ(local, Local("sub/deeper")) << form;
    }
}

TEST_F(PathResolution, EmptyPathIsTheRootForListingOnly)
{
    std::string local = "untouched";
    EXPECT_EQ(session().ResolveDirectoryPath("", OP_MAKE_DIRECTORY, local), PATH_DIRECTORY_NOT_FOUND);
    EXPECT_EQ(local, "untouched");
    EXPECT_EQ(session().ResolveDirectoryPath("//", OP_LIST, local), PATH_OK);
    EXPECT_EQ(local, home.string());
}

TEST_F(PathResolution, OuterDotsOfASegmentAreDropped)
{
    MakeFolder("scans");
    MakeFolder("a..b");
    std::string local;
    EXPECT_EQ(session().ResolveDirectoryPath(".scans", OP_LIST, local), PATH_OK);
    EXPECT_EQ(local, Local("scans"));
    EXPECT_EQ(session().ResolveDirectoryPath("scans.../...", OP_LIST, local), PATH_OK);
    EXPECT_EQ(local, Local("scans"));
    EXPECT_EQ(session().ResolveDirectoryPath("a..b", OP_LIST, local), PATH_OK);
    EXPECT_EQ(local, Local("a..b"));
}

TEST_F(PathResolution, NamesMatchWithoutRegardToCaseButAnExactNameWins)
{
    MakeFolder("Scans/2024");
    MakeFolder("both");
    MakeFolder("BOTH");
    std::string local;
    EXPECT_EQ(session().ResolveDirectoryPath("/scans/2024", OP_LIST, local), PATH_OK);
    EXPECT_EQ(local, Local("Scans/2024"));
    EXPECT_EQ(session().ResolveDirectoryPath("BOTH", OP_LIST, local), PATH_OK);
    EXPECT_EQ(local, Local("BOTH"));
    EXPECT_EQ(session().ResolveDirectoryPath("Both", OP_LIST, local), PATH_OK);
    EXPECT_EQ(local, Local("BOTH"));  // first in byte order among the others
}

TEST_F(PathResolution, MissingLevelsStillYieldTheWholeLocalPath)
{
    MakeFolder("a");
    std::string local;
    EXPECT_EQ(session().ResolveDirectoryPath("a/B/c", OP_MAKE_DIRECTORY, local), PATH_DIRECTORY_NOT_FOUND);
    EXPECT_EQ(local, Local("a/B/c"));  // new names keep the client's case
}

TEST_F(PathResolution, EveryWayAboveTheHomeFolderIsRefused)
{
    MakeFolder("sub");
    std::string local;
    for (const char* up : {"..", "/..", "../..", "sub/../..", "\\..", "/sub/../../home", "..."}) {
        const int code = session().ResolveDirectoryPath(up, OP_LIST, local);
        if (std::string(up) == "...")
            EXPECT_EQ(code, PATH_OK) << up;  // "..." is an empty segment, not a climb
        else
            EXPECT_EQ(code, PATH_REFUSED) << up;
    }
    EXPECT_EQ(session().ResolveFilePath("../escape.pdf", OP_STORE, local), PATH_REFUSED);
    EXPECT_EQ(session().ResolveFilePath("..", OP_STORE, local), PATH_REFUSED);
    EXPECT_EQ(session().ResolveFilePath("sub/.", OP_DELETE, local), PATH_REFUSED);
}

TEST_F(PathResolution, SymbolicLinksLeadingOutAreRefused)
{
    std::filesystem::create_directories(root / "outside");
    std::ofstream(root / "outside" / "secret.txt") << "s";
    std::filesystem::create_directory_symlink(root / "outside", home / "door");
    std::filesystem::create_symlink(root / "outside" / "secret.txt", home / "secret.txt");
    std::filesystem::create_symlink(root / "outside" / "new.pdf", home / "dangling.pdf");
    MakeFolder("inside");
    std::filesystem::create_directory_symlink(home / "inside", home / "alias");

    std::string local;
    EXPECT_EQ(session().ResolveDirectoryPath("door", OP_LIST, local), PATH_REFUSED);
    EXPECT_EQ(session().ResolveFilePath("door/secret.txt", OP_DELETE, local), PATH_REFUSED);
    EXPECT_EQ(session().ResolveFilePath("door/new.pdf", OP_STORE, local), PATH_REFUSED);
    EXPECT_EQ(session().ResolveFilePath("secret.txt", OP_RENAME, local), PATH_REFUSED);
    EXPECT_EQ(session().ResolveFilePath("dangling.pdf", OP_STORE, local), PATH_REFUSED);
    EXPECT_EQ(session().ResolveDirectoryPath("alias", OP_LIST, local), PATH_OK);
}

TEST_F(PathResolution, WithoutAHomeFolderNothingResolves)
{
    ServerSettings settings;
    settings.m_strHomePath = "";
    server.SetSettings(settings);
    std::string local;
    for (const char* path : {"/", "/etc", "tmp", "/tmp/x"})
        EXPECT_EQ(session().ResolveDirectoryPath(path, OP_LIST, local), PATH_REFUSED) << path;
    for (const char* path : {"/tmp/new.pdf", "new.pdf", "/etc/passwd"})
        EXPECT_EQ(session().ResolveFilePath(path, OP_STORE, local), PATH_REFUSED) << path;
    EXPECT_EQ(session().ResolveDirectoryPath("/tmp/made", OP_MAKE_DIRECTORY, local), PATH_REFUSED);
}

TEST_F(PathResolution, FileResolverKinds)
{
    MakeFolder("sub");
    MakeFile("sub/Scan.PDF");
    std::string local;
    EXPECT_EQ(session().ResolveFilePath("new.pdf", OP_STORE, local), PATH_OK);
    EXPECT_EQ(local, Local("new.pdf"));
    EXPECT_EQ(session().ResolveFilePath("new.pdf", OP_DELETE, local), PATH_NO_FILE);
    EXPECT_EQ(session().ResolveFilePath("sub/scan.pdf", OP_DELETE, local), PATH_OK);
    EXPECT_EQ(local, Local("sub/Scan.PDF"));
    EXPECT_EQ(session().ResolveFilePath("sub", OP_RENAME, local), PATH_NO_FILE);
    EXPECT_EQ(session().ResolveFilePath("/", OP_STORE, local), PATH_NO_FILE);
    EXPECT_EQ(session().ResolveFilePath("", OP_STORE, local), PATH_NO_FILE);
    EXPECT_EQ(session().ResolveFilePath("nothere/x.pdf", OP_STORE, local), PATH_NO_FILE);
}

// An upload's folder is opened once while its path is resolved and handed on
// to the staging file: it must be the very folder the path names.
TEST_F(PathResolution, AnUploadHandsOnTheFolderItsNameWasFoundIn)
{
    MakeFolder("Scans/2024");
    MakeFile("Scans/2024/Page.PDF");
    MakeFile("inside.pdf");
    std::filesystem::create_symlink(home / "inside.pdf", home / "alias.pdf");
    std::string local;
    platform::UniqueFd folder;
    ASSERT_EQ(session().ResolveFilePath("/SCANS/2024/page.pdf", OP_STORE, local, &folder), PATH_OK);
    EXPECT_EQ(local, Local("Scans/2024/Page.PDF"));
    ASSERT_TRUE(folder.IsOpen());
    struct stat opened {}, named {};
    ASSERT_EQ(::fstat(folder.Get(), &opened), 0);
    ASSERT_EQ(::stat(Local("Scans/2024").c_str(), &named), 0);
    EXPECT_EQ(opened.st_ino, named.st_ino);

    platform::UniqueFd other;
    EXPECT_EQ(session().ResolveFilePath("alias.pdf", OP_STORE, local, &other), PATH_OK);
    EXPECT_EQ(local, Local("alias.pdf"));  // a link that stays inside is replaced, not refused
    EXPECT_EQ(session().ResolveFilePath("nothere/x.pdf", OP_STORE, local, &other), PATH_NO_FILE);
    // A NUL cuts a name short for the system: "..\0x" must not become "..";
    // like every control character it makes the name unusable.
    EXPECT_EQ(session().ResolveFilePath(std::string("./..\0x", 6), OP_STORE, local, &other), PATH_NO_FILE);
}

TEST_F(PathResolution, RelativePathsStartAtTheCurrentFolder)
{
    MakeFolder("Scans/2024");
    session().SetCurrentDirectory("/scans");
    std::string local;
    EXPECT_EQ(session().ResolveDirectoryPath("2024", OP_LIST, local), PATH_OK);
    EXPECT_EQ(local, Local("Scans/2024"));
    EXPECT_EQ(session().ResolveFilePath("x.pdf", OP_STORE, local), PATH_OK);
    EXPECT_EQ(local, Local("Scans/x.pdf"));
    EXPECT_EQ(session().ResolveDirectoryPath("..", OP_LIST, local), PATH_OK);
    EXPECT_EQ(local, home.string());
}

TEST(LocalToClientPath, LowerCasedBelowTheHomeFolder)
{
    std::string client;
    LocalPathToClientPath("/srv/VESK_SCAN", client, "/srv/VESK_SCAN");
    EXPECT_EQ(client, "/");
    LocalPathToClientPath("/srv/VESK_SCAN/", client, "/srv/VESK_SCAN");
    EXPECT_EQ(client, "/");
    LocalPathToClientPath("/srv/VESK_SCAN/Scans/A", client, "/srv/VESK_SCAN/");
    EXPECT_EQ(client, "/scans/a");
    LocalPathToClientPath("/srv/VESK_SCAN/스캔/A.PDF", client, "/srv/vesk_scan");
    EXPECT_EQ(client, "/스캔/a.pdf");
}

TEST(LocalToClientPath, OnlyTheLeadingHomeFolderIsTakenOff)
{
    std::string client;
    LocalPathToClientPath("/scan/a/scan/b", client, "/scan");
    EXPECT_EQ(client, "/a/scan/b");
    LocalPathToClientPath("/srv/scan/x/srv/scan", client, "/srv/scan");
    EXPECT_EQ(client, "/x/srv/scan");
}
