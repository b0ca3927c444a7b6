// The remote provider the window hands to the scanner. For a folder on a mounted SMB share it
// decides whether to read the share directly, finds a login the server accepts (this
// session's cache, the keyring, or the user's answer) and opens the share; null means the
// scan reads through the mount.
//
// Threads: open runs on scan threads, possibly several at once. Settings, keyring calls and
// the question run on the GUI thread through a call gate and wait there; once the gate is
// closed (the window went away) they give up and open returns null. Login tests run on the
// calling thread. Construct on the GUI thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "core/scan/RemoteSource.h"
#include "core/smb/SmbSource.h"
#include "ui/mainwindow/GuiCallGate.h"

class SecretStore;

class SmbLoginPrompter : public QObject, public svl::RemoteProvider {
    Q_OBJECT
public:
    // What the user is shown. mount.user is the user name to pre-fill.
    struct Question {
        svl::SmbMountInfo mount;
        std::string error;  // why the last login failed; empty when there is nothing to report
        bool keyringAvailable = false;
    };
    // What comes back; all false or empty unless the user chose otherwise.
    struct Answer {
        bool scanDirectly = false;
        bool alwaysUseMount = false;
        bool remember = false;
        std::string user;
        std::string password;
    };

    // Asks through the question dialog with `parent` as its parent, tests with
    // svl::testSmbLogin and keeps logins in the desktop keyring. `gate` carries every call
    // into the GUI thread; the window passes its own so that closing it ends a waiting open.
    explicit SmbLoginPrompter(QWidget* parent, GuiCallGate gate = GuiCallGate());
    ~SmbLoginPrompter() override;

    // A source ready to walk the share, or null to read through the mount.
    std::unique_ptr<svl::RemoteSource> open(const svl::SmbMountInfo& mount) override;

    // Replaceable steps. askLogin may be called on any thread; testLogin runs on the thread
    // calling open and returns false with a reason when the server refuses.
    std::function<Answer(const Question&)> askLogin;
    std::function<bool(const svl::SmbLogin&, std::string&)> testLogin;
    // The keyring; used on the GUI thread only. Replace before the first open.
    std::shared_ptr<SecretStore> store;

private:
    // Runs `fn` on the GUI thread; `fallback` when the gate is closed.
    template <class T>
    T onGuiThread(std::function<T()> fn, T fallback) const {
        return m_gate.call<T>(std::move(fn), std::move(fallback));
    }

    QPointer<QWidget> m_parent;
    GuiCallGate m_gate;
};

// Forgets every SMB login the program knows: the servers always read through their mounts,
// this session's cached logins and the program's keyring items. GUI thread.
void forgetSavedSmbLogins();
