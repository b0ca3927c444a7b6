// The colour of secondary text: six parts Text to four parts Base of the application
// palette (current colour group), opaque. GUI thread.
#pragma once

#include <QColor>

QColor dimmedTextColor();
