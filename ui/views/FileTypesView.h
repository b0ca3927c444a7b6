// The file-types page: a sortable table over its own FileTypesModel with a colour swatch
// column that neither sorts nor moves, and a context menu that selects an extension's
// files, asks for the CSV export or hides the page. GUI thread only.
#pragma once

#include <QString>
#include <QTreeView>

class FileTypesModel;

class FileTypesView : public QTreeView {
    Q_OBJECT

public:
    explicit FileTypesView(QWidget* parent = nullptr);

    FileTypesModel* fileTypesModel() const { return m_model; }

    // Writes the rows in display order; percentages of the allocated total exactly when
    // sorted by Allocated, else of the size total. False when the file could not be written.
    bool exportCsv(const QString& path, QString* error = nullptr) const;

signals:
    // The extension in lower case without the dot; empty for files without one.
    void selectExtensionRequested(QString ext);
    void exportRequested();
    void hideRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    FileTypesModel* m_model;
};
