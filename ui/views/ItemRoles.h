// Item data roles that the result views' models supply and their delegates read.
#pragma once

#include <Qt>

// The percentage as a double, nominally 0..100.
inline constexpr int PercentRole = Qt::UserRole + 1;
// The nesting level that indents a percent bar and picks its colour; 0 when absent.
inline constexpr int BarLevelRole = Qt::UserRole + 2;
// The note drawn after a name (a bind mount's source); empty or absent for none.
inline constexpr int NoteRole = Qt::UserRole + 20;
// True where the display text is a path, whose names the delegates isolate one by one.
inline constexpr int HoldsPathRole = Qt::UserRole + 21;
