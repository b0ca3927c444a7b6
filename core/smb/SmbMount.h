// SMB shares the system has mounted: kernel cifs/smb3 mounts found in the mount table and
// gvfs share folders ("smb-share:server=...,share=..." below a gvfs folder), and the share
// and folder behind a local path. Used by the scanner's default share lookup, the source
// picker's list of shares and the file actions.
//
// Threads: re-entrant, no state; any thread. Nothing reports errors: no share, no result.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/scan/MountTable.h"
#include "core/scan/RemoteSource.h"

namespace svl {

// The file-system type of gvfs's FUSE mount.
inline constexpr const char* kGvfsFuseType = "fuse.gvfsd-fuse";

// The cifs or smb3 mount covering `path` (the longest covering mount point, the later line on
// equal lengths; a covering mount of another type gives nothing).
[[nodiscard]] std::optional<SmbMountInfo> cifsSmbMountFor(const std::vector<MountEntry>& mounts,
                                                          const std::string& path);

// The gvfs share folder in the text of `path`; touches no file and does not check that
// the folder really is a gvfs mount.
[[nodiscard]] std::optional<SmbMountInfo> gvfsSmbMountFor(const std::string& path);

// As above, but only when the mount covering `path` is gvfs's FUSE mount and the share
// folder lies inside it; a folder merely named like a share is no share.
[[nodiscard]] std::optional<SmbMountInfo> gvfsSmbMountFor(const std::vector<MountEntry>& mounts,
                                                          const std::string& path);

// The SMB share behind a canonical path: a cifs/smb3 mount, else a gvfs share folder.
[[nodiscard]] std::optional<SmbMountInfo> smbMountFor(const std::vector<MountEntry>& mounts,
                                                      const std::string& path);

// Every gvfs share folder directly inside `folder` (empty: $XDG_RUNTIME_DIR/gvfs, else
// /run/user/<uid>/gvfs) that lies on a gvfs mount, sorted by server, share and user.
// A missing or unreadable folder gives an empty list. Reads the mount table.
[[nodiscard]] std::vector<SmbMountInfo> listGvfsSmbMounts(const std::string& folder);
// Same over a given mount table.
[[nodiscard]] std::vector<SmbMountInfo> listGvfsSmbMounts(const std::string& folder,
                                                          const std::vector<MountEntry>& mounts);

}  // namespace svl
