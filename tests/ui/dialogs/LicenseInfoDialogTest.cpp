#include "ui/dialogs/LicenseInfoDialog.h"

#include "tests/ui/dialogs/DialogTestSupport.h"

#include <QFile>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>

TEST(LicenseInfoDialog, ShowsTheCarriedTextsReadOnlyAndWideEnough) {
    const QString licence = readLicenseText();
    const QString notices = readThirdPartyNotices();
    EXPECT_TRUE(licence.contains(QStringLiteral("Hollowmere")));
    EXPECT_TRUE(notices.contains(QStringLiteral("Qt 6")));
    EXPECT_TRUE(notices.contains(QStringLiteral("LGPL")));

    LicenseInfoDialog dialog(notices, nullptr, QStringLiteral("Third-Party Notices"));
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Third-Party Notices"));
    auto* text = dialog.findChild<QPlainTextEdit*>();
    EXPECT_TRUE(text->isReadOnly());
    EXPECT_EQ(text->toPlainText(), notices);
    const int digit = QFontMetrics(text->font()).horizontalAdvance(QLatin1Char('0'));
    EXPECT_EQ(dialog.width(), std::max(84 * digit + 60, 680));
    EXPECT_EQ(dialog.height(), 560);

    const LicenseInfoDialog untitled{QString()};
    EXPECT_EQ(untitled.windowTitle(), QStringLiteral("License Info"));
    EXPECT_TRUE(untitled.findChild<QPlainTextEdit*>()->toPlainText().isEmpty());
}

// Every library each built program links is named in the notices, in that program's part.
TEST(LicenseInfoDialog, NoticesNameEveryLibraryEachProgramLinks) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the notices describe the release programs; a sanitizer build links its runtimes and "
                    "libraries the release build leaves out";
#endif
    const QString notices = readThirdPartyNotices();
    const QString binaries = qEnvironmentVariable("HM_BINARY_DIR");
    for (const char* program : {"hollowmere", "hollowmere-smb-helper"}) {
        SCOPED_TRACE(program);
        const QString path = binaries + u'/' + QLatin1String(program);
        if (!QFile::exists(path))
            GTEST_SKIP() << program << " is not built";
        QProcess readelf;
        readelf.start(QStringLiteral("readelf"), {QStringLiteral("-d"), path});
        ASSERT_TRUE(readelf.waitForFinished(30000) && readelf.exitCode() == 0) << "readelf -d failed";
        const QString dynamic = QString::fromUtf8(readelf.readAllStandardOutput());

        // "Linked by <program>:" up to the next blank line.
        const QString heading = QStringLiteral("Linked by %1:").arg(QLatin1String(program));
        const qsizetype start = notices.indexOf(heading);
        ASSERT_GE(start, 0) << "no part for " << program;
        const QString part = notices.mid(start, notices.indexOf(QStringLiteral("\n\n"), start) - start);

        static const QRegularExpression needed(QStringLiteral(R"(Shared library: \[([^\]]+)\])"));
        int count = 0;
        for (const QRegularExpressionMatch& m : needed.globalMatch(dynamic)) {
            const QString library = m.captured(1);
            // Sanitizer runtimes belong to test builds only.
            if (library.startsWith(QLatin1String("libasan")) || library.startsWith(QLatin1String("libubsan")))
                continue;
            ++count;
            EXPECT_TRUE(part.contains(library)) << library.toStdString() << " is not named for " << program;
        }
        EXPECT_GT(count, 0);
    }
}
