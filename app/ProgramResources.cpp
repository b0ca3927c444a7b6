#include "app/ProgramResources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void registerResources() {
    Q_INIT_RESOURCE(images);
    Q_INIT_RESOURCE(texts);
    Q_INIT_RESOURCE(i18n);
}

void initProgramResources() {
    static const bool registered = (registerResources(), true);
    (void)registered;
}
