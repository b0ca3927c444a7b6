// Portable mode: a copy of the program keeps its settings in a writable
// "Hollowmere Data" folder beside the program file (or the AppImage). These
// functions locate that folder, tell whether the copy runs portable, create the
// folder, and tell whether the program lies on a removable drive. They keep no
// state and read the file system on every call; GUI thread.
#pragma once

#include <QString>

// ZRT_PORTABLE_BASE when set (unchanged), else the folder of $APPIMAGE, else the
// folder of the program file.
QString portableBaseFolder();
// portableBaseFolder() + "/Hollowmere Data".
QString portableDataFolder();
// portableDataFolder() + "/Hollowmere.conf" (INI format).
QString portableSettingsPath();

// True when the data folder exists, is a directory and is writable; always false
// in an elevated copy working for an ordinary user (root with ZRT_USER_CONF).
bool isPortable();

// Creates the data folder with all missing levels; true when it then is writable.
bool createPortableDataFolder();

// True when ZRT_ASSUME_REMOVABLE is exactly "1", or when the file system holding
// the base folder lives on a removable block device.
bool isOnRemovableDrive();

// The block-device half of isOnRemovableDrive: `deviceName` as reported for a
// mount ("/dev/sdb1"), looked up under `sysfsRoot` + "/class/block/". True when the
// device's canonical sysfs path runs through a USB controller (a component
// "usbN") or a "removable" file at or above it holds "1".
bool isRemovableBlockDevice(const QString& deviceName, const QString& sysfsRoot = QStringLiteral("/sys"));
