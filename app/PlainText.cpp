#include "app/PlainText.h"

#include <QLabel>
#include <QMessageBox>
#include <QTextDocument>

QString plainToolTip(const QString& text) {
    if (!Qt::mightBeRichText(text))
        return text;
    return QStringLiteral("<p style=\"white-space:pre\">") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

QString plainMenuText(const QString& text) {
    QString escaped = text;
    return escaped.replace(u'&', QStringLiteral("&&"));
}

void setPlainText(QMessageBox& box) {
    box.setTextFormat(Qt::PlainText);
    // The informative text has a label of its own that keeps guessing, and opens links.
    if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);
}

namespace {

void showPlainMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text) {
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    setPlainText(box);
    box.exec();
}

}  // namespace

void showPlainWarning(QWidget* parent, const QString& title, const QString& text) {
    showPlainMessage(parent, QMessageBox::Warning, title, text);
}

void showPlainInformation(QWidget* parent, const QString& title, const QString& text) {
    showPlainMessage(parent, QMessageBox::Information, title, text);
}
