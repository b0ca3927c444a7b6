// The About tab: the program icon, name and version, the version date, the feature level it
// matches, and buttons for the licence and the third-party notices. GUI thread.
#pragma once

#include <QString>

class QFont;
class QLabel;
class QVBoxLayout;
class QWidget;

QWidget* createAboutPage(QWidget* parent);

// Appends a centred, word-wrapped plain-text label named "about_<items before it>" for style
// rules; a dimmed label is drawn in the placeholder-text colour.
QLabel* addAboutLabel(QVBoxLayout* layout, const QString& text, const QFont& font, bool dimmed);
