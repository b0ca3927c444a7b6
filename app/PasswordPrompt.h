// The program as sudo's graphical password prompt (SUDO_ASKPASS): with ZRT_ASKPASS=1 it
// shows one password dialog, prints the answer on standard output and exits; nothing
// else of the start-up runs. Main thread.
#pragma once

#include <QString>

// ZRT_ASKPASS read as an integer (automatic base) equals 1.
bool isPasswordPromptMode();
// Creates the application, asks, prints the password and a line feed: 0; cancelled: 1.
int runPasswordPrompt(int argc, char** argv);
// The modal dialog with sudo's prompt under a fixed sentence; `ok` tells whether the user
// confirmed.
QString promptForPassword(const QString& prompt, bool* ok);
