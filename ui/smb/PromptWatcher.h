// Waits for one Secret Service prompt (unlocking a keyring, confirming a change) by running
// a local event loop until the prompt's "Completed" signal arrives. GUI thread only.
#pragma once

#include <QDBusVariant>
#include <QEventLoop>
#include <QObject>

class PromptWatcher : public QObject {
    Q_OBJECT
public:
    QEventLoop loop;
    // Stays true when the loop ends without an answer (time-out).
    bool dismissed = true;

public slots:
    void completed(bool wasDismissed, QDBusVariant result);
};
