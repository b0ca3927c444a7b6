// hmfuse: serves a small tree over FUSE until SIGTERM or SIGINT, for trying the program by hand
// on a slow, half-dead or stopped mount.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/FuseServer.h"

namespace {

constexpr const char* kUsage =
    "usage: hmfuse MOUNTPOINT [--delay MS] [--chunk N] [--withhold OP:PATH]... [--fail-after MS:ERRNO]\n"
    "              [--stop-after MS]\n"
    "Serves a/, a/sub/, a/f1..a/f20 and b.txt (1 MiB) until SIGTERM or SIGINT, then unmounts.\n"
    "OP: lookup getattr opendir readdir open read statfs readlink any; PATH relative, \"\" the root, * any.\n";

const std::pair<const char*, hmtest::FuseOp> kOps[] = {
    {"lookup", hmtest::FuseOp::Lookup},   {"getattr", hmtest::FuseOp::Getattr}, {"opendir", hmtest::FuseOp::Opendir},
    {"readdir", hmtest::FuseOp::Readdir}, {"open", hmtest::FuseOp::Open},       {"read", hmtest::FuseOp::Read},
    {"statfs", hmtest::FuseOp::Statfs},   {"readlink", hmtest::FuseOp::Readlink}, {"any", hmtest::FuseOp::Any},
};

bool number(const std::string& text, long& value) {
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && value >= 0;
}

int usage(const std::string& problem) {
    std::fprintf(stderr, "hmfuse: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-')
        return usage("a mount point is needed");
    std::vector<hmtest::FuseEntry> tree = {{"a/sub", hmtest::FuseEntry::Kind::Folder},
                                           {"b.txt", hmtest::FuseEntry::Kind::File, 1 << 20}};
    for (int i = 1; i <= 20; ++i)
        tree.push_back({"a/f" + std::to_string(i), hmtest::FuseEntry::Kind::File, 1000u * i});
    hmtest::FuseServer server(tree);
    long failAfter = -1, failErrno = 0, stopAfter = -1;
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return usage(option + " needs a value");
        const std::string value = argv[++i];
        long n = 0;
        const std::size_t colon = value.find(':');
        if (option == "--delay" && number(value, n)) {
            server.setAnswerDelay(std::chrono::milliseconds(n));
        } else if (option == "--chunk" && number(value, n)) {
            server.setReaddirChunk(static_cast<int>(n));
        } else if (option == "--withhold" && colon != std::string::npos) {
            const std::string op = value.substr(0, colon);
            const auto* found = std::find_if(std::begin(kOps), std::end(kOps), [&](const auto& p) { return op == p.first; });
            if (found == std::end(kOps))
                return usage("unknown request " + op);
            server.addRule({found->second, value.substr(colon + 1), hmtest::FuseAction::Withhold});
        } else if (option == "--fail-after" && colon != std::string::npos && number(value.substr(0, colon), failAfter) &&
                   number(value.substr(colon + 1), failErrno) && failErrno > 0) {
        } else if (option == "--stop-after" && number(value, stopAfter)) {
        } else {
            return usage("bad option " + option + " " + value);
        }
    }
    // The signals are taken here, not by a handler: the server's threads must not see them.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    if (!server.mount(argv[1])) {
        std::fprintf(stderr, "hmfuse: %s\n", server.error().c_str());
        return 1;
    }
    if (failAfter >= 0)
        server.failWithheldAfter(std::chrono::milliseconds(failAfter), static_cast<int>(failErrno));
    std::fprintf(stderr, "hmfuse: serving %s\n", argv[1]);
    if (stopAfter >= 0) {
        const timespec wait{stopAfter / 1000, (stopAfter % 1000) * 1000000};
        if (sigtimedwait(&ending, nullptr, &wait) < 0) {
            server.stopReading();
            std::fprintf(stderr, "hmfuse: stopped reading requests\n");
        } else {
            return 0;
        }
    }
    int signal = 0;
    sigwait(&ending, &signal);
    std::fprintf(stderr, "hmfuse: %s; unmounting\n", strsignal(signal));
    return 0;
}
