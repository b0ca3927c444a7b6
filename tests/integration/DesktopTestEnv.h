// Shared by the desktop-integration tests: a private data and configuration folder per
// test, an empty search path (so no real file manager counts), a fake AppImage file, and
// the golden entry files with the program path filled in.
#pragma once

#include "tests/app/ShellTestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <string>

namespace desktoptest {

// Sets a variable for the object's lifetime and restores the earlier value (or its absence).
class EnvOverride {
public:
    EnvOverride(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = getenv(name))
            m_old = old, m_had = true;
        setenv(name, value.c_str(), 1);
    }
    ~EnvOverride() { m_had ? setenv(m_name, m_old.c_str(), 1) : unsetenv(m_name); }
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

private:
    const char* m_name;
    std::string m_old;
    bool m_had = false;
};

class DesktopFixture : public ::testing::Test {
protected:
    std::string appImage(const std::string& name) {
        const std::string path = m_dir / name;
        hmtest::writeFile(path, "AppImage");
        ::chmod(path.c_str(), 0755);
        return path;
    }
    void runFrom(const std::string& path) { setenv("APPIMAGE", path.c_str(), 1); }
    QString program() const { return QString::fromUtf8(getenv("APPIMAGE")); }

    hmtest::TempDir m_dir{"hm-desktop"};
    EnvOverride m_data{"XDG_DATA_HOME", m_dir / "data"};
    EnvOverride m_config{"XDG_CONFIG_HOME", m_dir / "config"};
    EnvOverride m_path{"PATH", m_dir / "bin"};
    EnvOverride m_portable{"ZRT_PORTABLE_BASE", m_dir / "base"};
    EnvOverride m_appImage{"APPIMAGE", ""};
};

inline std::string readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string("<missing>");
}

// The names in a folder, hidden ones and dangling links included (the fixture's PATH has no ls).
inline QStringList entriesOf(const std::string& folder) {
    return QDir(QString::fromStdString(folder))
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

inline int modeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// A golden file of tests/integration/golden with "@PROGRAM@" replaced.
inline std::string golden(const std::string& name, const QString& program) {
    QString text = QString::fromStdString(readFile(QString::fromUtf8(getenv("HM_TEST_SOURCE_DIR")) +
                                                   QStringLiteral("/tests/integration/golden/") +
                                                   QString::fromStdString(name)));
    return text.replace(QStringLiteral("@PROGRAM@"), program).toStdString();
}

}  // namespace desktoptest
