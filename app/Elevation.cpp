#include "app/Elevation.h"

#include <QtGlobal>

#include <unistd.h>

bool envSwitchIsOne(const char* name) {
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value == 1;
}

bool isElevated() {
    return geteuid() == 0 || envSwitchIsOne("ZRT_ASSUME_ELEVATED");
}
