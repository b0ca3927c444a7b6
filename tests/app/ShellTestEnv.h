// Test set-up shared by the application-shell tests: one QApplication (offscreen)
// per test program, a private HOME and XDG_CONFIG_HOME, a pinned locale (en_US)
// and time zone (UTC), and a fresh settings folder per test.
#pragma once

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLocale>
#include <QSettings>
#include <QString>

#include <cstdlib>
#include <memory>
#include <string>

#include <ostream>

// Readable QString values in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace shelltest {

// Sets an environment variable for the lifetime of the object.
struct ScopedEnv {
    ScopedEnv(const char* name, const std::string& value) : m_name(name) { setenv(name, value.c_str(), 1); }
    ~ScopedEnv() { unsetenv(m_name); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    const char* m_name;
};

class AppEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        m_home = std::make_unique<hmtest::TempDir>("hm-shell-home");
        const std::string home = m_home->path();
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (home + "/run").c_str(), 1);
        QDir().mkpath(QString::fromStdString(home + "/run"));
        QFile::setPermissions(QString::fromStdString(home + "/run"),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        setenv("TZ", "UTC", 1);
        setenv("LANG", "en_US.UTF-8", 1);
        // Windows built by the tests never ask the maker's server on their own.
        setenv("ZRT_NO_UPDATE_CHECK", "1", 1);
        if (!getenv("QT_QPA_PLATFORM"))
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        for (const char* name : {"ZRT_USER_CONF", "ZRT_USER_UID", "ZRT_USER_GID", "ZRT_PORTABLE_BASE", "APPIMAGE",
                                 "ZRT_ASSUME_ELEVATED", "ZRT_SHARED_DIR", "ZRT_ADMIN_DIR", "ZRT_TRUSTED_UID",
                                 "ZRT_LANG", "ZRT_SCREEN_SHAPE", "ZRT_PRETEND_NO_OPENSSL", "ZRT_OS_RELEASE",
                                 "ZRT_NO_DIALOGS", "ZRT_ASSUME_REMOVABLE", "http_proxy", "https_proxy",
                                 "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            unsetenv(name);
        static int argc = 1;
        static char arg0[] = "shelltest";
        static char* argv[] = {arg0, nullptr};
        m_app = std::make_unique<QApplication>(argc, argv);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        // Keep every store, including the process-wide one, inside the private home.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(home + "/config"));
    }
    void TearDown() override {
        m_app.reset();
        m_home.reset();
    }

private:
    std::unique_ptr<hmtest::TempDir> m_home;
    std::unique_ptr<QApplication> m_app;
};

inline ::testing::Environment* const registered = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

// Points the per-user store at a fresh folder for one test.
inline QString useFreshConfigFolder(const hmtest::TempDir& dir) {
    const QString path = QString::fromStdString(dir.path()) + QStringLiteral("/config");
    QDir().mkpath(path);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, path);
    return path;
}

inline QString qs(const std::string& s) { return QString::fromStdString(s); }

}  // namespace shelltest
