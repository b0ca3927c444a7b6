// A read-only viewer for the long texts carried inside the program (its licence and
// the third-party notices), and the two readers of those texts. GUI thread.
#pragma once

#include <QDialog>
#include <QString>

class QPlainTextEdit;

// ":/License.txt" as UTF-8; empty when the resource cannot be read.
QString readLicenseText();
// ":/ThirdPartyNotices.txt" as UTF-8; empty when the resource cannot be read.
QString readThirdPartyNotices();

class LicenseInfoDialog : public QDialog {
    Q_OBJECT

public:
    // An empty title means "License Info".
    explicit LicenseInfoDialog(const QString& text, QWidget* parent = nullptr, const QString& title = QString());

private:
    QPlainTextEdit* m_text = nullptr;
};
