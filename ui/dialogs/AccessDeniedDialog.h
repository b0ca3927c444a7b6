// Lists the folders a scan could not read, with one of four explanations chosen by
// the number of folders and whether the program has administrator rights. GUI thread.
#pragma once

#include <QDialog>
#include <QStringList>

class AccessDeniedDialog : public QDialog {
    Q_OBJECT

public:
    AccessDeniedDialog(const QStringList& folders, bool elevated, QWidget* parent = nullptr);

    QString explanation() const;

private:
    QStringList m_folders;
    bool m_elevated = false;
};
