#include "core/smb/SmbMount.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <tuple>

namespace svl {

namespace {

constexpr std::string_view kSharePrefix = "smb-share:";

// The value of `key` in a comma-separated option list: the rest of the first item that
// begins with key + "=". Empty when there is none.
std::string option(std::string_view options, std::string_view key) {
    size_t pos = 0;
    while (pos <= options.size()) {
        size_t end = options.find(',', pos);
        if (end == std::string_view::npos)
            end = options.size();
        const std::string_view item = options.substr(pos, end - pos);
        if (item.size() > key.size() && item.compare(0, key.size(), key) == 0 && item[key.size()] == '=')
            return std::string(item.substr(key.size() + 1));
        pos = end + 1;
    }
    return {};
}

std::string firstNonEmpty(std::string a, std::string b) {
    return a.empty() ? b : a;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

std::optional<SmbMountInfo> cifsSmbMountFor(const std::vector<MountEntry>& mounts, const std::string& path) {
    const MountEntry* m = mountContaining(mounts, path);
    if (!m || (m->fsType != "cifs" && m->fsType != "smb3"))
        return std::nullopt;
    std::string source = m->source;
    std::replace(source.begin(), source.end(), '\\', '/');
    if (source.size() < 3 || source.compare(0, 2, "//") != 0)
        return std::nullopt;
    const size_t slash = source.find('/', 2);
    if (slash == std::string::npos)
        return std::nullopt;
    SmbMountInfo info;
    info.server = source.substr(2, slash - 2);
    const size_t next = source.find('/', slash + 1);
    info.share = source.substr(slash + 1, next == std::string::npos ? std::string::npos : next - slash - 1);
    std::string prefix = next == std::string::npos ? std::string() : source.substr(next + 1);
    // A source written with a trailing "/" must not give a doubled "/" inside the share.
    while (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();

    std::string rest;
    if (path.size() > m->mountPoint.size())
        rest = (m->mountPoint == "/" ? "/" : "") + path.substr(m->mountPoint.size());
    std::string inside = prefix.empty() ? std::string() : prefix + "/";
    inside += std::string_view(rest).substr(!rest.empty() && rest.front() == '/' ? 1 : 0);
    while (!inside.empty() && inside.back() == '/')
        inside.pop_back();
    inside.erase(0, inside.find_first_not_of('/'));
    info.path = std::move(inside);
    info.mountPoint = m->mountPoint;
    info.address = firstNonEmpty(option(m->superOptions, "addr"), option(m->superOptions, "ip"));
    info.user = firstNonEmpty(option(m->superOptions, "username"), option(m->superOptions, "user"));
    info.domain = firstNonEmpty(option(m->superOptions, "domain"), option(m->superOptions, "workgroup"));
    if (info.server.empty() || info.share.empty())
        return std::nullopt;
    return info;
}

std::optional<SmbMountInfo> gvfsSmbMountFor(const std::string& path) {
    std::vector<std::string_view> parts;
    const std::string_view text(path);
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('/', pos);
        if (end == std::string_view::npos)
            end = text.size();
        if (end > pos)
            parts.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    size_t share = 0;
    for (size_t i = 1; i < parts.size() && share == 0; ++i)
        if ((parts[i - 1] == "gvfs" || parts[i - 1] == ".gvfs") && parts[i].substr(0, kSharePrefix.size()) == kSharePrefix)
            share = i;
    if (share == 0)
        return std::nullopt;

    SmbMountInfo info;
    const std::string_view keys = parts[share].substr(kSharePrefix.size());
    for (size_t pos = 0; pos <= keys.size();) {
        size_t end = keys.find(',', pos);
        if (end == std::string_view::npos)
            end = keys.size();
        const std::string_view item = keys.substr(pos, end - pos);
        pos = end + 1;
        const size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view key = item.substr(0, eq);
        std::string value = percentDecode(item.substr(eq + 1));
        if (key == "server")
            info.server = std::move(value);
        else if (key == "share")
            info.share = std::move(value);
        else if (key == "user")
            info.user = std::move(value);
        else if (key == "domain")
            info.domain = std::move(value);
    }
    if (info.server.empty() || info.share.empty())
        return std::nullopt;
    for (size_t i = 0; i <= share; ++i) {
        info.mountPoint += '/';
        info.mountPoint.append(parts[i]);
    }
    for (size_t i = share + 1; i < parts.size(); ++i) {
        if (i > share + 1)
            info.path += '/';
        info.path.append(parts[i]);
    }
    return info;
}

std::optional<SmbMountInfo> gvfsSmbMountFor(const std::vector<MountEntry>& mounts, const std::string& path) {
    const MountEntry* m = mountContaining(mounts, path);
    if (!m || m->fsType != kGvfsFuseType)
        return std::nullopt;
    std::optional<SmbMountInfo> info = gvfsSmbMountFor(path);
    // The share folder must be one of the mount's own folders, not a look-alike above it.
    if (!info || info->mountPoint.size() <= m->mountPoint.size() || !isPathWithin(info->mountPoint, m->mountPoint))
        return std::nullopt;
    return info;
}

std::optional<SmbMountInfo> smbMountFor(const std::vector<MountEntry>& mounts, const std::string& path) {
    if (std::optional<SmbMountInfo> cifs = cifsSmbMountFor(mounts, path))
        return cifs;
    return gvfsSmbMountFor(mounts, path);
}

std::vector<SmbMountInfo> listGvfsSmbMounts(const std::string& folder) {
    return listGvfsSmbMounts(folder, readMountInfo());
}

std::vector<SmbMountInfo> listGvfsSmbMounts(const std::string& folder, const std::vector<MountEntry>& mounts) {
    std::string dir = folder;
    if (dir.empty()) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        dir = runtime && *runtime ? std::string(runtime) + "/gvfs" : "/run/user/" + std::to_string(getuid()) + "/gvfs";
    }
    std::vector<SmbMountInfo> result;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return result;
    while (const dirent* e = readdir(d)) {
        const std::string_view name(e->d_name);
        if (name.substr(0, kSharePrefix.size()) != kSharePrefix)
            continue;
        if (std::optional<SmbMountInfo> info = gvfsSmbMountFor(mounts, dir + "/" + std::string(name)))
            result.push_back(std::move(*info));
    }
    closedir(d);
    std::sort(result.begin(), result.end(), [](const SmbMountInfo& a, const SmbMountInfo& b) {
        return std::tie(a.server, a.share, a.user) < std::tie(b.server, b.share, b.user);
    });
    return result;
}

}  // namespace svl
