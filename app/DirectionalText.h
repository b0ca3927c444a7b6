// Texts of the file system (names, paths) and values with their own reading order (sizes,
// dates) as they go into the texts the program shows. Any thread.
#pragma once

#include <QGuiApplication>
#include <QList>
#include <QString>

// The one way such a text enters a longer text, a label or a cell: wrapped in a first-strong
// isolate (U+2068 ... U+2069), so it reads in its own direction and no direction control
// inside it reaches the text around it. Inside, a closing isolate mark without an opener is
// dropped, openers left open are closed, and paragraph breaks become line breaks (as the item
// views show them), so nothing can end the isolate early.
// A text that could not move anything around it is returned as it is: in a left-to-right
// context one without right-to-left letters, Arabic digits, direction marks or controls; in a
// right-to-left context one without any letters and controls ("12.5%").
// `positions`, when given, receives for each UTF-16 unit of `text` its index in the result
// (-1 for a dropped one), for callers that format parts of the text.
QString isolateText(const QString& text, Qt::LayoutDirection context = QGuiApplication::layoutDirection(),
                    QList<qsizetype>* positions = nullptr);
