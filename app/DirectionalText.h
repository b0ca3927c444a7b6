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
// right-to-left context one without letters, digits and controls. A value thus keeps its own
// order in a right-to-left text: "58.6 KB" and "9.12.2026, 11:35" read left to right, an
// Arabic date by its own marks.
// `positions`, when given, receives for each UTF-16 unit of `text` its index in the result
// (-1 for a dropped one), for callers that format parts of the text.
QString isolateText(const QString& text, Qt::LayoutDirection context = QGuiApplication::layoutDirection(),
                    QList<qsizetype>* positions = nullptr);

// A path as it goes into a text: the whole in a left-to-right isolate (U+2066 ... U+2069),
// each name between the slashes isolated as isolateText does for a left-to-right context,
// the slashes outside them, so that no name can reorder another name or the slashes. A path
// that could not move anything is returned as it is, as by isolateText. `positions` as there.
QString isolatePath(const QString& path, Qt::LayoutDirection context = QGuiApplication::layoutDirection(),
                    QList<qsizetype>* positions = nullptr);

// A text the user typed that reads left to right whatever letters it holds (a filter
// pattern): as isolateText, but in a left-to-right isolate wherever it is isolated.
QString isolateLeftToRight(const QString& text, Qt::LayoutDirection context = QGuiApplication::layoutDirection());

// The questions and errors about an item name it as its bytes are, not as its direction
// controls make it look ("evil<RLO>fdp.exe" must not read "evilexe.pdf"): each direction
// control or mark in the text (U+202A..U+202E, U+2066..U+2069, U+200E, U+200F, U+061C)
// becomes its code in angle brackets, "<U+202E>", kept left to right, and the result is
// isolated as isolateText or isolatePath do. The views show names as written.
QString isolateShowingControls(const QString& name, Qt::LayoutDirection context = QGuiApplication::layoutDirection());
QString isolatePathShowingControls(const QString& path,
                                   Qt::LayoutDirection context = QGuiApplication::layoutDirection());
