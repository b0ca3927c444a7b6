// Widgets that show names and paths show them as written: a name such as "<b>big</b>.txt" is
// never read as markup. Qt guesses the format of label, message-box and tool-tip texts; these
// helpers take the guess away. GUI thread.
#pragma once

#include <QString>

class QMessageBox;
class QWidget;

// A tool tip (or an item's tool-tip role) that shows `text` literally: returned as it is when Qt
// would show it as plain text anyway, else escaped inside a paragraph that keeps its white
// space and line breaks.
QString plainToolTip(const QString& text);

// A menu or action text that shows `text` as written: each "&" doubled, so none becomes a
// keyboard accelerator and disappears.
QString plainMenuText(const QString& text);

// Makes the box's text and informative text plain; call after setting the informative text.
void setPlainText(QMessageBox& box);

// QMessageBox::warning and ::information with plain texts.
void showPlainWarning(QWidget* parent, const QString& title, const QString& text);
void showPlainInformation(QWidget* parent, const QString& title, const QString& text);
