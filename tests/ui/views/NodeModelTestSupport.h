// Shared by the tree-model tests: a tree builder that lays nodes out the way scanners do
// (root first, each folder's children contiguous, added folder by folder), and a model
// tester whose complaints fail the running test instead of aborting.
#pragma once

#include "tests/app/ShellTestEnv.h"

#include "app/AppSettings.h"
#include "core/tree/ScanTree.h"
#include "tests/core/analysis/AnalysisTestTree.h"
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

// Node ids are handed out in the order of adding, so each folder's children must be added
// one after another, folder by folder (the order scanners number them in).
class TreeBuilder {
public:
    explicit TreeBuilder(const std::string& rootName, uint16_t rootFlags = 0) {
        m_entries.push_back({-1, rootName, 0, 0, 0, uint16_t(svl::NodeFlag::Folder | rootFlags)});
    }
    uint32_t folder(uint32_t parent, const std::string& name, int64_t modified = 0) {
        return add(parent, {name, svl::NodeFlag::Folder, 0, 0, modified});
    }
    uint32_t file(uint32_t parent, const std::string& name, uint64_t size, int64_t modified = 0) {
        return add(parent, {name, 0, size, size, modified});
    }
    uint32_t add(uint32_t parent, const NodeSpec& spec) {
        m_entries.push_back({int(parent), spec.name, spec.size, spec.allocated, spec.modified, spec.flags});
        return uint32_t(m_entries.size() - 1);
    }
    std::shared_ptr<svl::ScanTree> finish() {
        analysistest::BuiltTree built = analysistest::buildTree(m_entries);
        for (size_t i = 0; i < built.idOf.size(); ++i)
            EXPECT_EQ(built.idOf[i], i) << "children added out of order";
        return std::shared_ptr<svl::ScanTree>(std::move(built.tree));
    }

private:
    std::vector<analysistest::Entry> m_entries;
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
