// Shared by the tree-model tests: a tree builder that lays nodes out the way scanners do
// (root first, each folder's children contiguous, added folder by folder), and a model
// tester whose complaints fail the running test instead of aborting.
#pragma once

#include "tests/app/ShellTestEnv.h"

#include "app/AppSettings.h"
#include "core/tree/ScanTree.h"
#include "ui/views/NodeModel.h"

#include <QAbstractItemModelTester>
#include <QLoggingCategory>

#include <memory>
#include <string>
#include <vector>

namespace nodemodeltest {

struct NodeSpec {
    std::string name;
    uint16_t flags = 0;
    uint64_t size = 0;
    uint64_t allocated = 0;
    int64_t modified = 0;
};

class TreeBuilder {
public:
    explicit TreeBuilder(const std::string& rootName, uint16_t rootFlags = 0)
        : tree(std::make_shared<svl::ScanTree>()) {
        add(0, {rootName, uint16_t(svl::NodeFlag::Folder | rootFlags)});
    }
    uint32_t folder(uint32_t parent, const std::string& name, int64_t modified = 0) {
        return add(parent, {name, svl::NodeFlag::Folder, 0, 0, modified});
    }
    uint32_t file(uint32_t parent, const std::string& name, uint64_t size, int64_t modified = 0) {
        return add(parent, {name, 0, size, size, modified});
    }
    // Children of one parent must be added one after another.
    uint32_t add(uint32_t parent, const NodeSpec& spec) {
        const char* n = tree->storeName(spec.name);
        const uint32_t id = tree->allocateNodes(1);
        tree->node(id) = svl::ScanNode{n, spec.size, spec.allocated, spec.modified, parent, 0, 0, 0, 0,
                                       uint16_t(spec.name.size()), spec.flags};
        if (id != 0) {
            svl::ScanNode& p = tree->node(parent);
            if (p.childCount == 0)
                p.firstChild = id;
            ++p.childCount;
        }
        return id;
    }
    std::shared_ptr<svl::ScanTree> finish() {
        tree->finishNodeCount();
        tree->computeTotals();
        return tree;
    }
    std::shared_ptr<svl::ScanTree> tree;
};

// Records every complaint of the Qt model tester while alive.
class ModelTesterComplaints {
public:
    ModelTesterComplaints() {
        s_complaints.clear();
        m_previous = qInstallMessageHandler(&record);
    }
    ~ModelTesterComplaints() { qInstallMessageHandler(m_previous); }
    const QStringList& list() const { return s_complaints; }

private:
    static void record(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (type != QtDebugMsg && context.category && QByteArray(context.category).startsWith("qt.modeltest"))
            s_complaints.append(message);
    }
    static inline QStringList s_complaints;
    QtMessageHandler m_previous = nullptr;
};

inline QString text(const NodeModel& model, const QModelIndex& index, int column, int role = Qt::DisplayRole) {
    return model.data(index.siblingAtColumn(column), role).toString();
}

// The display names of a row's children in order.
inline QStringList childNames(const NodeModel& model, const QModelIndex& parent) {
    QStringList names;
    for (int row = 0; row < model.rowCount(parent); ++row)
        names.append(model.data(model.index(row, 0, parent)).toString());
    return names;
}

}  // namespace nodemodeltest
