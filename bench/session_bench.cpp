// Costs of the per-command work of a session: resolving paths inside the
// home folder, building listing lines, converting code pages.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <QCoreApplication>
#include <filesystem>
#include <fstream>

#include "ftp/listing.h"
#include "platform/codepage.h"
#include "server/connect_thread.h"
#include "server/ftp_server.h"

namespace {

struct Session {
    std::filesystem::path home;
    CVeskFTPServer server;
    std::shared_ptr<CVeskConnectThread> thread;

    Session()
    {
        home = std::filesystem::temp_directory_path() / ("lumbra-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(home / "Scans" / "2024" / "March");
        for (int i = 0; i < 200; ++i)
            std::ofstream(home / "Scans" / "2024" / "March" / ("scan" + std::to_string(i) + ".pdf"));
        ServerSettings s;
        s.m_strHomePath = home.string();
        server.SetSettings(s);
        thread = std::make_shared<CVeskConnectThread>(&server, -1);
        thread->m_ControlSocket.SetHost(thread.get());
        thread->m_ControlSocket.SetCurrentDirectory("/");
    }
    ~Session() { std::filesystem::remove_all(home); }
};

void ResolveStoreTargetExactCase(benchmark::State& state)
{
    Session session;
    std::string local;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            session.thread->m_ControlSocket.ResolveFilePath("/Scans/2024/March/new.pdf", OP_STORE, local));
}
BENCHMARK(ResolveStoreTargetExactCase);

// Lower-case client paths make every level a scan of its folder.
void ResolveStoreTargetOtherCase(benchmark::State& state)
{
    Session session;
    std::string local;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            session.thread->m_ControlSocket.ResolveFilePath("/scans/2024/march/SCAN199.PDF", OP_DELETE, local));
}
BENCHMARK(ResolveStoreTargetOtherCase);

void ListingLine(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(FormatListingLine("scan0001.pdf", false, 154321, 1700000000, 1700100000));
}
BENCHMARK(ListingLine);

void KoreanNameToCp949(benchmark::State& state)
{
    const std::string name = "\xEC\x8A\xA4\xEC\xBA\x94_2024_03_07.pdf";
    for (auto _ : state)
        benchmark::DoNotOptimize(Utf8ToAnsi(name));
}
BENCHMARK(KoreanNameToCp949);

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
