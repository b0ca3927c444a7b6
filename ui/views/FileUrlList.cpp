#include "ui/views/FileUrlList.h"

#include "core/analysis/Parallel.h"
#include "core/tree/ScanTree.h"

#include <QMimeData>

#include <string>

namespace {

constexpr uint64_t kIdsPerBlock = 16384;

bool keptAsIs(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '/';
}

// Writes into a std::string the caller owns: each block builds its own text locally, so no
// two threads write near each other.
void appendFileUrl(std::string& out, std::string_view path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += path.starts_with('/') ? "file://" : "file:";
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (keptAsIs(c)) {
            out += ch;
        } else {
            const char escaped[3] = {'%', kHex[c >> 4], kHex[c & 0xF]};
            out.append(escaped, 3);
        }
    }
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

QMimeData* fileUrlMimeData(const svl::ScanTree& tree, const std::vector<uint32_t>& ids) {
    const uint64_t blocks = (ids.size() + kIdsPerBlock - 1) / kIdsPerBlock;
    std::vector<std::string> parts(blocks);
    svl::parallelFor(blocks, [&](uint64_t block) {
        std::string text;
        const size_t end = std::min<size_t>(ids.size(), (block + 1) * kIdsPerBlock);
        for (size_t i = block * kIdsPerBlock; i < end; ++i) {
            const std::string path = tree.fullPath(ids[i]);
            if (path.empty())
                continue;
            appendFileUrl(text, path);
            text += "\r\n";
        }
        parts[block] = std::move(text);
    });
    qsizetype length = 0;
    for (const std::string& part : parts)
        length += qsizetype(part.size());
    if (length == 0)
        return nullptr;
    QByteArray list;
    list.reserve(length);
    for (const std::string& part : parts)
        list.append(part.data(), qsizetype(part.size()));
    return new UriListMimeData(std::move(list));
}
