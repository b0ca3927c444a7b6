// Dragged rows leave as a "text/uri-list" of file URLs made from the paths' own bytes,
// percent-encoded, so that a name that is not valid UTF-8 reaches the receiver unchanged
// instead of as replacement characters that name another file or none.
// GUI thread; long lists are built on all cores, which only read the tree.
#pragma once

#include <QByteArray>

#include <cstdint>
#include <string_view>
#include <vector>

class QMimeData;

namespace svl {
class ScanTree;
}

// "file://" and the path with every byte but letters, digits, "-._~" and "/" written as
// %XX; a path that does not start with "/" gets "file:" alone, as QUrl::fromLocalFile does.
QByteArray fileUrlOf(std::string_view path);

// One URL line per node id, in the given order (ids must be below the node count; a node
// without a path adds none). A new QMimeData owned by the caller, or null when no URL was made.
QMimeData* fileUrlMimeData(const svl::ScanTree& tree, const std::vector<uint32_t>& ids);
