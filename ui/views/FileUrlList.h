// Dragged rows leave as a "text/uri-list" of file URLs made from the paths' own bytes,
// percent-encoded, so that a name that is not valid UTF-8 reaches the receiver unchanged
// instead of as replacement characters that name another file or none.
// GUI thread; long lists are built on all cores, which only read the tree.
#pragma once

#include <QByteArray>
#include <QMimeData>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

namespace svl {
class ScanTree;
}

// "file://" and the path with every byte but letters, digits, "-._~" and "/" written as
// %XX; a path that does not start with "/" gets "file:" alone, as QUrl::fromLocalFile does.
QByteArray fileUrlOf(std::string_view path);

// One URL line per node id, in the given order (ids must be below the node count; a node
// without a path adds none). A new QMimeData owned by the caller, or null when no URL was made.
QMimeData* fileUrlMimeData(const svl::ScanTree& tree, const std::vector<uint32_t>& ids);

// The same list for a drag, built on worker threads from the moment it is made, so that the
// drag starts at once: a receiver asking for it (at the drop) waits for the rest of the build.
// The owner calls stopBuilding() when the drag is over, before the tree may change in place;
// a list asked for after that is built then, on the asking thread. `ids` must not be empty.
class FileUrlMimeData : public QMimeData {
public:
    FileUrlMimeData(std::shared_ptr<const svl::ScanTree> tree, std::vector<uint32_t> ids);
    ~FileUrlMimeData() override;
    QStringList formats() const override;
    bool hasFormat(const QString& type) const override;
    void stopBuilding();
    // Whether a worker may still be reading the tree: true until the build is stopped or joined.
    bool building() const { return m_worker.joinable(); }

protected:
    QVariant retrieveData(const QString& type, QMetaType) const override;

private:
    struct Build {
        std::shared_ptr<const svl::ScanTree> tree;
        std::vector<uint32_t> ids;
        std::atomic<bool> stop{false};
        bool complete = false;
        QByteArray list;
    };
    std::shared_ptr<Build> m_build;
    mutable std::thread m_worker;
};
