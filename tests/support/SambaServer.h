// A private Samba server (smbd) for tests: listens on 127.0.0.1 on a free port of its own,
// keeps every state folder under a temporary folder, and serves one share "share" to one
// tdbsam user. Needs root (the user needs a Unix account) and smbd; ok() is false with
// the reason in error() otherwise, for GTEST_SKIP.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/TestSupport.h"

namespace hmtest {

class SambaServer {
public:
    // `shareOptions` are extra lines for the share's section, e.g. "wide links = yes".
    explicit SambaServer(const std::string& shareOptions = "", const std::string& globalOptions = "");
    ~SambaServer();
    SambaServer(const SambaServer&) = delete;
    SambaServer& operator=(const SambaServer&) = delete;

    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }
    int port() const { return m_port; }
    // "127.0.0.1:<port>", as an SMB login's server.
    std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }
    const std::string& shareName() const { return m_shareName; }
    // The shared folder; gives files made below it to the share's user (chownShare).
    const std::string& sharePath() const { return m_sharePath; }
    void chownShare() const;
    static const char* user() { return "hmsmbuser"; }
    static const char* password() { return "Secr3t-pw"; }
    void stop();

private:
    TempDir m_dir{"hm-smb"};
    std::string m_sharePath, m_shareName = "share", m_error;
    int m_port = 0;
    pid_t m_pid = -1;
    bool m_ok = false;
};

// A TCP listener on 127.0.0.1 that accepts connections and never answers.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

// A port on 127.0.0.1 that nothing listens on (just released).
int closedPort();

}  // namespace hmtest
