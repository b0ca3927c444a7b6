#include "ui/views/FileUrlList.h"

#include "app/PathText.h"
#include "core/analysis/Parallel.h"
#include "core/tree/ScanTree.h"

#include <QMimeData>

#include <cstring>
#include <string>
#include <unordered_map>

namespace {

constexpr uint64_t kIdsPerBlock = 16384;

// Writes into a std::string the caller owns: each block builds its own text locally, so no
// two threads write near each other.
void appendFileUrl(std::string& out, std::string_view path) {
    out += path.starts_with('/') ? "file://" : "file:";
    appendPercentEncoded(out, path);
}

// Hands out the list as the bytes it was built as. QMimeData::setData would parse a
// "text/uri-list" into one QUrl per line at once, which for a million rows takes longer than
// building it; here a receiver asking for URLs gets them parsed only then.
class UriListMimeData : public QMimeData {
public:
    explicit UriListMimeData(QByteArray list) : m_list(std::move(list)) {}
    QStringList formats() const override { return {uriListType()}; }
    bool hasFormat(const QString& type) const override { return type == uriListType(); }

protected:
    QVariant retrieveData(const QString& type, QMetaType) const override {
        return type == uriListType() ? QVariant(m_list) : QVariant();
    }

private:
    static QString uriListType() { return QStringLiteral("text/uri-list"); }
    QByteArray m_list;
};

}  // namespace

QByteArray fileUrlOf(std::string_view path) {
    std::string url;
    appendFileUrl(url, path);
    return QByteArray::fromStdString(url);
}

namespace {

// The list's bytes; empty when no URL was made or when `stop` was raised before the end.
QByteArray uriList(const svl::ScanTree& tree, const std::vector<uint32_t>& ids, const std::atomic<bool>* stop) {
    const uint64_t blocks = (ids.size() + kIdsPerBlock - 1) / kIdsPerBlock;
    const bool virtualRoot = tree.nodeCount > 0 && (tree.node(0).flags & svl::NodeFlag::VirtualRoot);
    std::vector<std::string> parts(blocks);
    svl::parallelFor(blocks, [&](uint64_t block) {
        if (stop && stop->load(std::memory_order_relaxed))
            return;
        // A path is its folder's path, "/" and its name, so the URL of each folder is made
        // once per block and the files only add their escaped names.
        std::unordered_map<uint32_t, std::string> folderUrls;
        std::string text;
        const size_t end = std::min<size_t>(ids.size(), (block + 1) * kIdsPerBlock);
        for (size_t i = block * kIdsPerBlock; i < end; ++i) {
            const uint32_t id = ids[i];
            const uint32_t parent = tree.node(id).parent;
            if (id != 0 && !(virtualRoot && parent == 0)) {
                auto [folder, fresh] = folderUrls.try_emplace(parent);
                if (fresh) {
                    const std::string path = tree.fullPath(parent);
                    if (!path.empty()) {
                        appendFileUrl(folder->second, path);
                        if (path.back() != '/')
                            folder->second += '/';
                    }
                }
                if (!folder->second.empty()) {
                    text += folder->second;
                    appendPercentEncoded(text, tree.node(id).nameView());
                    text += "\r\n";
                    continue;
                }
            }
            const std::string path = tree.fullPath(id);
            if (path.empty())
                continue;
            appendFileUrl(text, path);
            text += "\r\n";
        }
        parts[block] = std::move(text);
    });
    if (stop && stop->load())
        return {};
    std::vector<qsizetype> offsets(blocks + 1, 0);
    for (uint64_t block = 0; block < blocks; ++block)
        offsets[block + 1] = offsets[block] + qsizetype(parts[block].size());
    if (offsets.back() == 0)
        return {};
    // The parts are copied into place and freed on all cores: the list can be hundreds of
    // megabytes.
    QByteArray list(offsets.back(), Qt::Uninitialized);
    char* out = list.data();
    svl::parallelFor(blocks, [&](uint64_t block) {
        std::memcpy(out + offsets[block], parts[block].data(), parts[block].size());
        std::string().swap(parts[block]);
    });
    return list;
}

}  // namespace

QMimeData* fileUrlMimeData(const svl::ScanTree& tree, const std::vector<uint32_t>& ids) {
    QByteArray list = uriList(tree, ids, nullptr);
    return list.isEmpty() ? nullptr : new UriListMimeData(std::move(list));
}

FileUrlMimeData::FileUrlMimeData(std::shared_ptr<const svl::ScanTree> tree, std::vector<uint32_t> ids)
    : m_build(std::make_shared<Build>()) {
    m_build->tree = std::move(tree);
    m_build->ids = std::move(ids);
    m_worker = std::thread([build = m_build] {
        build->list = uriList(*build->tree, build->ids, &build->stop);
        build->complete = !build->stop.load();
    });
}

FileUrlMimeData::~FileUrlMimeData() { stopBuilding(); }

QStringList FileUrlMimeData::formats() const { return {QStringLiteral("text/uri-list")}; }

bool FileUrlMimeData::hasFormat(const QString& type) const { return type == QLatin1String("text/uri-list"); }

void FileUrlMimeData::stopBuilding() {
    m_build->stop = true;
    if (m_worker.joinable())
        m_worker.join();
}

QVariant FileUrlMimeData::retrieveData(const QString& type, QMetaType) const {
    if (!hasFormat(type))
        return QVariant();
    if (m_worker.joinable())
        m_worker.join();
    if (!m_build->complete) {
        m_build->list = uriList(*m_build->tree, m_build->ids, nullptr);
        m_build->complete = true;
    }
    return QVariant(m_build->list);
}
