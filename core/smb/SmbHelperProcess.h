// One running SMB helper process (hollowmere-smb-helper) and the non-blocking socket to
// it. Started with posix_spawn (never fork: the caller may be a threaded GUI process);
// the destructor kills and reaps it, so no helper outlives its owner.
//
// Threads: one object is used by one thread at a time.
#pragma once

#include <sys/types.h>

#include <string>

namespace svl {

class SmbHelperProcess {
public:
    SmbHelperProcess() = default;
    ~SmbHelperProcess();
    SmbHelperProcess(const SmbHelperProcess&) = delete;
    SmbHelperProcess& operator=(const SmbHelperProcess&) = delete;

    // Starts `program` with the socket on its descriptor 3 and /dev/null as standard
    // input. False with the reason in `error` when it cannot be started.
    [[nodiscard]] bool start(const std::string& program, std::string& error);
    // Kills and reaps the helper and closes the socket; harmless when not running.
    void stop();
    bool running() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Queues bytes for the helper; flush() writes what the socket takes now.
    void queue(const std::string& bytes) { m_out += bytes; }
    bool wantsToWrite() const { return m_sent < m_out.size(); }
    // False when the helper is gone.
    [[nodiscard]] bool flush();
    // Appends what can be read now to input(); false at the end of the stream or on error.
    [[nodiscard]] bool receive();
    std::string& input() { return m_in; }

private:
    pid_t m_pid = -1;
    int m_fd = -1;
    std::string m_out;
    size_t m_sent = 0;
    std::string m_in;
};

// The helper program: SVL_SMB_HELPER when set, else hollowmere-smb-helper beside the
// running program.
[[nodiscard]] std::string defaultSmbHelperPath();

}  // namespace svl
