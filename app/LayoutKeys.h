// Per-screen layout keys: window geometry, splitter and column layouts are stored
// under their key plus the primary screen's shape ("@<w>x<h>@<ratio>"), so each
// screen shape keeps its own layout. A plain value saved by an older version is
// adopted once, by the first screen shape that asks for it. GUI thread.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

// "@%1x%2@%3": the primary screen's size in device-independent pixels and its
// device-pixel ratio (up to 4 significant digits); ZRT_SCREEN_SHAPE replaces it
// when set; empty without a primary screen.
QString screenShapeSuffix();

// The plain key followed by the current suffix.
QByteArray shapedKey(const char* key);

// Stores under the shaped key through AppSettings::setValue (written and
// announced only when changed). Callers check AppSettings::saveEnabled first.
void saveShapedValue(const char* key, const QVariant& value);

// The value saved for this screen shape; else the plain value when this shape is
// the one that first adopted it (recorded in `layoutFirstShape` when saving is
// enabled); else `defaultValue`.
QVariant loadShapedValue(const char* key, const QVariant& defaultValue);
