// hollowmere-smb-helper: one SMB connection of the share crawler. libsmbclient cannot be
// used from several threads of one process, so the crawler starts one such process per
// connection and talks to it over the stream socket on descriptor 3 (messages in
// core/smb/SmbWire.h). The login arrives over that socket, never in argv or the
// environment. The helper lists folders one at a time in the order asked and exits when
// the socket closes.
#include <errno.h>
#include <libsmbclient.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/smb/SmbWire.h"

using namespace svl::smbwire;

namespace {

constexpr int kChannel = 3;
constexpr int kClientTimeoutMs = 20000;
constexpr size_t kMaxNameBytes = 32768;

Login g_login;  // read by the client's login callback

bool sendAll(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(kChannel, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// Reads one frame into `frame`; false at the end of the socket or on a damaged frame.
bool readFrame(std::string& buffer, Message& type, std::string& payload) {
    for (;;) {
        std::string_view view;
        size_t consumed = 0;
        const FrameStatus status = nextFrame(buffer, type, view, consumed);
        if (status == FrameStatus::Damaged)
            return false;
        if (status == FrameStatus::Complete) {
            payload.assign(view);
            buffer.erase(0, consumed);
            return true;
        }
        char chunk[16384];
        const ssize_t n = read(kChannel, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer.append(chunk, size_t(n));
    }
}

void copyField(char* out, int size, const std::string& value) {
    if (size > 0)
        std::snprintf(out, size_t(size), "%s", value.c_str());
}

void supplyLogin(SMBCCTX*, const char*, const char*, char* workgroup, int workgroupSize, char* user, int userSize,
                 char* password, int passwordSize) {
    copyField(workgroup, workgroupSize, g_login.domain);
    copyField(user, userSize, g_login.user);
    copyField(password, passwordSize, g_login.password);
}

std::string encoded(const std::string& component) {
    std::vector<char> source(component.begin(), component.end());
    source.push_back('\0');
    std::vector<char> out(component.size() * 3 + 1);
    smbc_urlencode(out.data(), source.data(), int(out.size()));
    return out.data();
}

// The client library takes no bracketed IPv6 address in a URL, but the name form
// "fe80--1s2.ipv6-literal.net" (":" as "-", the zone after "s"); other hosts stay.
std::string literalHost(const std::string& host) {
    const size_t zone = host.find('%');
    const std::string address = host.substr(0, zone);
    if (address.find(':') == std::string::npos ||
        address.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos)
        return host;
    std::string name = address;
    std::replace(name.begin(), name.end(), ':', '-');
    if (name.front() == '-')
        name.insert(0, "0");
    if (name.back() == '-')
        name += '0';
    if (zone != std::string::npos)
        name += "s" + host.substr(zone + 1);
    return name + ".ipv6-literal.net";
}

// smb://host[:port]/share, every component encoded.
std::string shareUrl() {
    std::string url = "smb://" + encoded(literalHost(g_login.host));
    if (g_login.port != 0)
        url += ":" + std::to_string(g_login.port);
    return url + "/" + encoded(g_login.share);
}

std::string folderUrl(const std::string& path) {
    std::string url = shareUrl();
    size_t begin = 0;
    while (begin < path.size()) {
        size_t end = path.find('/', begin);
        if (end == std::string::npos)
            end = path.size();
        if (end > begin)
            url += "/" + encoded(path.substr(begin, end - begin));
        begin = end + 1;
    }
    return url + "/";
}

bool setUpClient() {
    SMBCCTX* context = smbc_new_context();
    if (!context)
        return false;
    smbc_setDebug(context, 0);
    smbc_setFunctionAuthDataWithContext(context, supplyLogin);
    smbc_setOptionUseKerberos(context, 0);
    smbc_setOptionNoAutoAnonymousLogin(context, 1);
    smbc_setOptionProtocols(context, "SMB2_02", "SMB3");
    smbc_setTimeout(context, kClientTimeoutMs);
    if (!smbc_init_context(context)) {
        smbc_free_context(context, 1);
        return false;
    }
    smbc_set_context(context);
    return true;
}

int errorCode() { return errno > 0 ? errno : EIO; }

// Opens the share's root once; replies Connected with the allocation unit, or
// ConnectFailed with the error.
bool connect() {
    std::string reply;
    const std::string url = shareUrl() + "/";
    const int dir = smbc_opendir(url.c_str());
    if (dir < 0) {
        FrameWriter(reply, Message::ConnectFailed).u32(uint32_t(errorCode())).finish();
        sendAll(reply);
        return false;
    }
    smbc_closedir(dir);
    struct statvfs fs {};
    uint64_t unit = 0;
    // The client library gives the sector size as f_bsize and the sectors per allocation
    // unit as f_frsize.
    if (smbc_statvfs(const_cast<char*>(url.c_str()), &fs) == 0 && fs.f_bsize > 0)
        unit = uint64_t(fs.f_bsize) * (fs.f_frsize > 0 ? fs.f_frsize : 1);
    FrameWriter(reply, Message::Connected).u64(unit).finish();
    return sendAll(reply);
}

bool list(uint32_t id, const std::string& path) {
    std::string out;
    const int dir = smbc_opendir(folderUrl(path).c_str());
    if (dir < 0) {
        FrameWriter(out, Message::ListEnd).u32(id).u32(uint32_t(errorCode())).finish();
        return sendAll(out);
    }
    std::string batch;
    std::optional<FrameWriter> writer;
    bool any = false;
    auto flush = [&] {
        writer->finish();
        const bool sent = sendAll(batch);
        batch.clear();
        writer.emplace(batch, Message::Entries);
        writer->u32(id);
        any = false;
        return sent;
    };
    writer.emplace(batch, Message::Entries);
    writer->u32(id);
    struct stat st {};
    while (const libsmb_file_info* info = smbc_readdirplus2(dir, &st)) {
        const char* name = info->name ? info->name : "";
        // "." is sent for its file id, which tells the crawler the listed folder's own id.
        if (std::strcmp(name, "..") == 0)
            continue;
        WireEntry e;
        // No file system allows names this long; sent empty, the crawler drops and counts it,
        // and no frame outgrows its limit.
        e.name = std::strlen(name) <= kMaxNameBytes ? name : "";
        e.isDir = (info->attrs & 0x10) != 0 || S_ISDIR(st.st_mode);
        e.isLink = (info->attrs & 0x400) != 0;
        e.attributes = info->attrs;
        e.size = info->size;
        e.mtimeSeconds = info->mtime_ts.tv_sec;
        e.mtimeNanoseconds = uint32_t(info->mtime_ts.tv_nsec);
        e.fileId = uint64_t(st.st_ino);
        writer->entry(e);
        any = true;
        if (writer->frameSize() >= kEntriesBatch && !flush())
            return false;
    }
    if (any && !flush())
        return false;
    smbc_closedir(dir);
    FrameWriter(out, Message::ListEnd).u32(id).u32(0).finish();
    return sendAll(out);
}

}  // namespace

int main() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_IGN);
    // Every end goes through _exit: the client library's teardown has nothing to save.
    std::string buffer, payload;
    Message type;
    if (!readFrame(buffer, type, payload) || type != Message::Login || !readLogin(payload, g_login))
        _exit(2);
    if (!setUpClient()) {
        std::string reply;
        FrameWriter(reply, Message::ConnectFailed).u32(uint32_t(errorCode())).finish();
        sendAll(reply);
        _exit(1);
    }
    if (!connect())
        _exit(1);
    while (readFrame(buffer, type, payload)) {
        FrameReader r(payload);
        uint32_t id;
        std::string_view path;
        if (type != Message::List || !r.u32(id) || !r.bytes(path) || !r.atEnd())
            _exit(2);
        if (!list(id, std::string(path)))
            _exit(1);
    }
    _exit(0);
}
