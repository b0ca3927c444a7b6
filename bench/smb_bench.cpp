// SMB share crawler benchmark: seconds to list a share of N files (default 100,000 in
// 1000 folders) from a private Samba server on loopback with 1, 4 and 8 helper
// connections, against `smbclient -c 'recurse; ls'` over the same share. Best of R runs.
// Needs root (the share's user needs a Unix account) and smbd.
//
//   bench_smb_bench [--files N] [--runs R]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/BenchSupport.h"
#include "core/smb/SmbSource.h"
#include "tests/support/SambaServer.h"

namespace {

double seconds(const std::function<void()>& work) {
    const auto began = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

std::string helperBesideTheBuild() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, size_t(n)) : std::string("./x");
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../hollowmere-smb-helper";
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t files = 100000;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--files") == 0)
            files = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[i + 1]));
    }
    hmtest::SambaServer server;
    if (!server.ok()) {
        std::fprintf(stderr, "smb_bench: %s\n", server.error().c_str());
        return 1;
    }
    bench::populate(server.sharePath(), files, false);
    server.chownShare();
    const svl::SmbLogin login{server.address(), server.shareName(), hmtest::SambaServer::user(),
                              hmtest::SambaServer::password(), ""};
    std::printf("SMB share of %llu files over loopback, best of %d runs\n", (unsigned long long)files, runs);
    std::printf("%-34s %10s %12s %9s\n", "reader", "seconds", "entries", "vs 1 conn");
    double single = 0;
    for (int connections : {1, 4, 8}) {
        svl::SmbConnectOptions options;
        options.connections = connections;
        options.helperPath = getenv("SVL_SMB_HELPER") ? getenv("SVL_SMB_HELPER") : helperBesideTheBuild();
        double best = 1e30;
        uint64_t entries = 0;
        for (int r = 0; r < runs; ++r) {
            uint64_t seen = 0;
            std::string error;
            int result = 0;
            const double t = seconds([&] {
                svl::SmbSource source(login, options);
                result = source.walk(
                    "", [&](const std::string&, const svl::RemoteEntry*, int count, unsigned char*, int) { seen += uint64_t(count); },
                    {}, error);
            });
            if (result != 0) {
                std::fprintf(stderr, "smb_bench: walk failed: %s\n", error.c_str());
                return 1;
            }
            best = std::min(best, t);
            entries = seen;
        }
        // Starting the helpers and logging in: a walk that lists the root only.
        double setup = 1e30;
        for (int r = 0; r < runs; ++r) {
            std::string error;
            setup = std::min(setup, seconds([&] {
                svl::SmbSource source(login, options);
                (void)source.walk(
                    "",
                    [](const std::string&, const svl::RemoteEntry*, int count, unsigned char* descend, int) {
                        std::fill(descend, descend + count, 0);
                    },
                    {}, error);
            }));
        }
        if (connections == 1)
            single = best;
        char label[64];
        std::snprintf(label, sizeof label, "SmbSource, %d connection%s", connections, connections == 1 ? "" : "s");
        std::printf("%-34s %10.3f %12llu %8.2fx   (start-up and login %.3f s)\n", label, best,
                    (unsigned long long)entries, single / best, setup);
    }
    if (bench::run("command -v smbclient >/dev/null") == 0) {
        hmtest::TempDir dir("hm-smbbench");
        hmtest::writeFile(dir / "auth", std::string("username = ") + hmtest::SambaServer::user() +
                                            "\npassword = " + hmtest::SambaServer::password() + "\n");
        const std::string command = "smbclient -p " + std::to_string(server.port()) + " //127.0.0.1/" +
                                    server.shareName() + " -A " + dir / "auth" + " -c 'recurse; ls' > " +
                                    dir / "out" + " 2>&1";
        double best = 1e30;
        for (int r = 0; r < runs; ++r)
            best = std::min(best, seconds([&] { bench::run(command); }));
        const std::string lines = bench::output("grep -c -v -E '^ *\\.\\.? +D|^$|^[\\\\]|blocks of size' " + dir / "out");
        std::printf("%-34s %10.3f %12s %8.2fx\n", "smbclient -c 'recurse; ls'", best, lines.c_str(), single / best);
    }
    return 0;
}
