#include "ui/smb/PromptWatcher.h"

void PromptWatcher::completed(bool wasDismissed, QDBusVariant) {
    dismissed = wasDismissed;
    loop.quit();
}
