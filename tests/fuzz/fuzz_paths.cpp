// Path resolution against a real tree with odd names and symbolic links.
// The input is a series of lines, each an operation (first byte) and a client
// path (the rest); one session runs them in turn, so a change of folder
// carries over. Property: every path a resolver accepts, and the current
// folder after every change, lies inside the home folder once every link is
// followed, and names no "." or ".." step.
#include <unistd.h>

#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "ftp/control_socket.h"
#include "server/connect_thread.h"
#include "server/ftp_server.h"

namespace fs = std::filesystem;

namespace {

struct Tree {
    fs::path root;
    fs::path home;
    std::string realHome;
};

void Require(bool condition, const std::string& what)
{
    if (!condition) {
        std::fprintf(stderr, "property broken: %s\n", what.c_str());
        std::abort();
    }
}

void Touch(const fs::path& p)
{
    std::ofstream(p) << "x";
}

// home/ holds folders, files and links of every awkward kind; outside/ and
// home2/ (which shares the home folder's name as a prefix) must stay unseen.
Tree MakeTree()
{
    Tree t;
    t.root = fs::temp_directory_path() / ("lumbra-fuzz-paths-" + std::to_string(::getpid()));
    fs::remove_all(t.root);
    t.home = t.root / "home";
    const fs::path outside = t.root / "outside";
    fs::create_directories(outside / "deep");
    fs::create_directories(t.root / "home2" / "x");
    Touch(outside / "secret");
    for (const char* folder : {"a/b/c", "A b/inner", "UPPER", "upper", "x...", "...y", ".hidden",
                               "\xec\x8a\xa4\xec\xba\x94", "\xbd\xba\xc4\xb5", "a\\b", "semi;colon",
                               "percent%20", "tab\tname", "new\nline"})
        fs::create_directories(t.home / folder);
    Touch(t.home / "a" / "file.txt");
    Touch(t.home / "File.TXT");
    Touch(t.home / "a" / "b" / "c" / "deep.pdf");
    fs::create_symlink("b", t.home / "a" / "in");                     // inside, relative
    fs::create_symlink("../../outside", t.home / "a" / "out");         // outside, relative
    fs::create_symlink(outside, t.home / "abs_out");                   // outside, absolute
    fs::create_symlink(t.root / "home2", t.home / "prefix_twin");      // a sibling with a shared prefix
    fs::create_symlink(outside / "secret", t.home / "secret_link");    // a file outside
    fs::create_symlink(outside / "missing", t.home / "dangling");      // would create outside
    fs::create_symlink("loop", t.home / "loop");
    fs::create_symlink("..", t.home / "a" / "b" / "up");               // one level up, still inside
    fs::create_symlink("../..", t.home / "a" / "up2");                 // two levels up: outside
    fs::create_symlink(t.home / "a", t.home / "abs_in");               // inside, absolute
    t.realHome = fs::canonical(t.home).string();
    return t;
}

const Tree& TheTree()
{
    static const Tree tree = [] {
        Tree t = MakeTree();
        std::atexit([] { fs::remove_all(TheTree().root); });
        return t;
    }();
    return tree;
}

bool HasDotStep(const std::string& local)
{
    for (const auto& part : fs::path(local))
        if (part == "." || part == "..")
            return true;
    return false;
}

void RequireInside(const std::string& local, const std::string& how)
{
    Require(!HasDotStep(local), how + ": a dot step in " + local);
    std::error_code error;
    fs::path probe = local;
    std::string real = fs::weakly_canonical(probe, error).string();
    // A name too long for the file system cannot exist (nor be a link): its
    // folder decides, and the open that follows fails with a reply.
    while (error == std::errc::filename_too_long && probe.has_parent_path() && probe != probe.parent_path()) {
        probe = probe.parent_path();
        error.clear();
        real = fs::weakly_canonical(probe, error).string();
    }
    const std::string& home = TheTree().realHome;
    Require(!error, how + ": cannot resolve " + local + " (" + error.message() + ")");
    Require(real == home || real.compare(0, home.size() + 1, home + "/") == 0,
            how + ": " + local + " resolves to " + real);
}

struct Session {
    Session()
    {
        ServerSettings settings;
        settings.m_strHomePath = TheTree().home.string();
        server.SetSettings(settings);
        thread = std::make_shared<CVeskConnectThread>(&server, -1);
        control().SetHost(thread.get());
    }
    CVeskControlSocket& control() { return thread->m_ControlSocket; }

    CVeskFTPServer server;
    std::shared_ptr<CVeskConnectThread> thread;
};

void RunLine(CVeskControlSocket& session, char op, const std::string& path)
{
    std::string local;
    const unsigned code = static_cast<unsigned char>(op) % 8;
    switch (code) {
    case 0: {
        session.ChangeDirectory(path);
        std::string current;
        Require(session.MapClientPathToLocal(".", current), "the current folder " + session.CurrentDirectory());
        RequireInside(current, "CWD " + path);
        return;
    }
    case 1:
        if (session.MapClientPathToLocal(path, local))
            RequireInside(local, "map " + path);
        return;
    case 2:
    case 3:
    case 4: {
        static const int kFileOps[] = {OP_STORE, OP_DELETE, OP_RENAME};
        const int operation = kFileOps[code - 2];
        if (session.ResolveFilePath(path, operation, local) == PATH_OK)
            RequireInside(local, "file op " + std::to_string(operation) + " " + path);
        return;
    }
    default: {
        static const int kFolderOps[] = {OP_LIST, OP_MAKE_DIRECTORY, OP_DELETE};
        const int operation = kFolderOps[code - 5];
        if (session.ResolveDirectoryPath(path, operation, local) == PATH_OK)
            RequireInside(local, "folder op " + std::to_string(operation) + " " + path);
        return;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    TheTree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Session session;
    session.control().SetCurrentDirectory("/");
    const std::string input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    for (int lines = 0; start < input.size() && lines < 16; ++lines) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos)
            end = input.size();
        if (end > start)
            RunLine(session.control(), input[start], input.substr(start + 1, end - start - 1));
        start = end + 1;
    }
    return 0;
}
