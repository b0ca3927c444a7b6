// Where the running program lives, as the file-manager entries and the application-menu
// launcher record it: the AppImage file when running from one, else the executable; and
// the version that an AppImage's file name carries, to decide which of two copies the
// entries should point to. GUI thread (reads the environment and the file system).
#pragma once

#include <QString>

#include <cstdint>

// $APPIMAGE's absolute path when it names an existing regular file, else empty.
QString appImagePath();
// appImagePath(), or the running executable's absolute path outside an AppImage.
QString runningProgramPath();

// From a file name "Hollowmere_<major>_<minor>[_<yyyymmdd>]..."; numbers that do not fit
// 32 bits and a missing date read as 0.
struct AppImageVersion {
    int32_t major = 0;
    int32_t minor = 0;
    int32_t date = 0;
    bool matched = false;
};

AppImageVersion parseAppImageVersion(const QString& path);

// Whether entries recorded for `recorded` should move to `running`: true unless both names
// carry a version, the recorded file still exists and its version is the newer one.
bool preferRunningProgram(const QString& recorded, const QString& running);
