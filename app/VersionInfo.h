// The program's version identity: three fixed texts compiled in and two derived
// from the version date. Pure; any thread.
#pragma once

#include <QString>

// "1.01": compared numerically by the update check.
QString appVersion();
// "20261117": the build's version date, yyyyMMdd.
QString versionDate();
// The reference edition's version whose functionality this build matches.
QString referenceEditionVersion();
// The first four characters of versionDate() (the whole text when shorter).
QString versionYear();
// versionDate() as yyyy/MM/dd.
QString versionDateText();
