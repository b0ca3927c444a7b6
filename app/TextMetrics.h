// The program's font metrics: the start-up correction that brings the application
// font to the size of a reference font (only ever smaller, by at most 20 %), and the
// smaller font of secondary texts. GUI thread only.
#pragma once

#include <QFont>

// The width the text-size sample has in the font whose size the program matches.
inline constexpr double kReferenceSampleWidth = 486.16;

// The factor that brings a sample of width `sampleWidth` to the reference width,
// limited to 0.8..1.0; a width of 0 or less gives 1.
double scaleFactorForSampleWidth(double sampleWidth);

// The factor for the sample as measured in `font`.
double textScaleFactor(const QFont& font);

// When the setting matchMacTextSize (default true) allows it and the application font
// is sized in points, shrinks it by textScaleFactor unless the factor is 0.995 or more.
// Returns the factor, or 1 when nothing was measured.
double applyTextSizeMatch();

// The application font at 0.88 of its point size (a pixel-sized font keeps its size),
// bold or normal weight.
QFont smallerFont(bool bold);
