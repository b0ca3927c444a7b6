// The SMB share crawler: the RemoteSource that lists a share's folders over SMB2/3, and
// the login test the login prompter uses. Each connection is a hollowmere-smb-helper
// process (libsmbclient is not thread-safe); this side runs the walk on the calling
// thread, several helpers in parallel, and kills a helper that does not connect in time.
//
// Threads: a walk runs on the thread that calls it and calls the visitor only there;
// separate walks share nothing.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/scan/RemoteSource.h"

namespace svl {

// The login for one share (UTF-8). `server` is a name or address, optionally followed by
// ":port" (an IPv6 address then in brackets: "[::1]:4455"); `domain` empty means none.
struct SmbLogin {
    std::string server;
    std::string share;
    std::string user;
    std::string password;
    std::string domain;
};

struct SmbConnectOptions {
    int connections = 0;            // helper processes; below 1: 4; at most 32
    int listingsPerConnection = 0;  // requests queued on each helper; below 1: 4
    std::chrono::milliseconds connectDeadline{30000};
    // A helper that owes listings and sends nothing for this long is killed; its folders
    // are reported with error 5. Generous: the client library reads a whole folder before
    // the helper can send any of it.
    std::chrono::milliseconds listingDeadline{600000};
    std::string helperPath;  // empty: defaultSmbHelperPath()
};

// Texts of a walk or login test that could not connect.
inline constexpr const char* kSmbSetupFailed = "could not set up the SMB client";
inline constexpr const char* kSmbTimedOut = "timed out connecting to the server";
inline constexpr const char* kSmbRefused =
    "the server refused the connection or the login - check the user name and password";
inline constexpr const char* kSmbCouldNotConnect = "could not connect or log in";

class SmbSource : public RemoteSource {
public:
    explicit SmbSource(SmbLogin login, SmbConnectOptions options = {});
    // Returns -1 with a reason in `error` when no connection could be made, 0 when the walk
    // finished, 1 when it was cancelled (also while still connecting). A folder whose listing failed, or whose helper
    // died, is reported with a positive code (5 when no code is known); a folder whose
    // file id was already met in this walk (a link back up the tree) with 40 (ELOOP).
    // Entries with an empty name or one holding "/" or NUL are dropped and counted.
    int walk(const std::string& start, const RemoteVisitor& visitor, const std::function<bool()>& cancelled,
             std::string& error) override;
    unsigned long droppedEntries() const override { return m_dropped; }

private:
    SmbLogin m_login;
    SmbConnectOptions m_options;
    unsigned long m_dropped = 0;
};

[[nodiscard]] std::unique_ptr<RemoteSource> makeSmbSource(const SmbLogin& login);
[[nodiscard]] std::unique_ptr<RemoteSource> makeSmbSource(const SmbLogin& login, const SmbConnectOptions& options);

// True when one connection to the share succeeds; otherwise false with the reason.
[[nodiscard]] bool testSmbLogin(const SmbLogin& login, std::string& error);
[[nodiscard]] bool testSmbLogin(const SmbLogin& login, std::string& error, const SmbConnectOptions& options);
// As above, giving up (false, no reason) as soon as `cancelled` returns true while connecting.
[[nodiscard]] bool testSmbLogin(const SmbLogin& login, std::string& error, const SmbConnectOptions& options,
                                const std::function<bool()>& cancelled);

}  // namespace svl
