#include "ui/dialogs/TweaksDialog.h"

#include "tests/ui/dialogs/DialogTestSupport.h"
#include "tests/ui/smb/PrivateSessionBus.h"

#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

using dialogtest::store;
using dialogtest::stored;

namespace {

class TweaksDialogTest : public ::testing::Test {
protected:
    void SetUp() override { AppSettings::instance()->settings()->clear(); }
    static QPushButton* button(QDialog& dialog, QDialogButtonBox::StandardButton which) {
        return dialog.findChild<QDialogButtonBox*>()->button(which);
    }
};

}  // namespace

TEST_F(TweaksDialogTest, EmptyStoreShowsTheDefaults) {
    TweaksDialog dialog;
    const QList<QCheckBox*> boxes = dialog.findChildren<QCheckBox*>();
    ASSERT_EQ(boxes.size(), 12);
    for (const QCheckBox* box : boxes)
        EXPECT_EQ(box->isChecked(), box->objectName() != QLatin1String("showHorizontalLines"))
            << box->objectName().toStdString();
    EXPECT_EQ(dialog.findChild<QSpinBox*>("decimalPlaces")->value(), 1);
    EXPECT_EQ(dialog.findChild<QSpinBox*>("fileGroupMinSize")->value(), 4);
    const QList<QRadioButton*> radios = dialog.findChildren<QRadioButton*>();
    ASSERT_EQ(radios.size(), 2);
    EXPECT_TRUE(radios[1]->isChecked()) << "binary units by default";
}

TEST_F(TweaksDialogTest, StoredOddValuesAreShownInRangeAndOkStoresWhatIsShown) {
    struct Case {
        QVariant unitBase, places, groupMin;
        int savedUnit, savedPlaces, savedGroup;
    };
    const Case cases[] = {
        {1000, 7, -5, 1000, 4, 0},
        {1023, -2, 12, 1024, 0, 12},
        {QVariant(), QVariant(), QVariant(), 1024, 1, 4},
        {1024, QStringLiteral("two"), 4, 1024, 1, 4},  // no number: the default the views use
    };
    for (const Case& c : cases) {
        AppSettings::instance()->settings()->clear();
        for (const auto& [key, value] : {std::pair{"unitBase", c.unitBase}, std::pair{"decimalPlaces", c.places},
                                         std::pair{"fileGroupMinSize", c.groupMin}})
            if (value.isValid())
                store(key, value);
        TweaksDialog dialog;
        button(dialog, QDialogButtonBox::Ok)->click();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_EQ(stored("unitBase").toInt(), c.savedUnit);
        EXPECT_EQ(stored("decimalPlaces").toInt(), c.savedPlaces);
        EXPECT_EQ(stored("fileGroupMinSize").toInt(), c.savedGroup);
    }
}

TEST_F(TweaksDialogTest, OkAnnouncesOnlyChangedKeysAndCancelWritesNothing) {
    {
        TweaksDialog first;
        button(first, QDialogButtonBox::Ok)->click();  // writes every default once
    }
    QSignalSpy changed(AppSettings::instance(), &AppSettings::changed);
    TweaksDialog dialog;
    dialog.findChild<QCheckBox*>("animateTreemapZoom")->click();
    button(dialog, QDialogButtonBox::Ok)->click();
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].toString(), QStringLiteral("animateTreemapZoom"));
    EXPECT_FALSE(stored("animateTreemapZoom").toBool());

    changed.clear();
    TweaksDialog cancelled;
    cancelled.findChild<QCheckBox*>("enableRename")->click();
    cancelled.findChild<QSpinBox*>("decimalPlaces")->setValue(3);
    button(cancelled, QDialogButtonBox::Cancel)->click();
    EXPECT_EQ(cancelled.result(), QDialog::Rejected);
    EXPECT_EQ(changed.count(), 0);
    EXPECT_TRUE(stored("enableRename").toBool());
}

// The forgetting runs at once, also when the dialog is then cancelled, and returns
// promptly on a session bus that has no Secret Service.
TEST_F(TweaksDialogTest, WrappedNoteGetsAllItsLinesOnAShortScreen) {
    // The test screen is 600 pixels high, less than the dialog's natural height times 3/2.
    TweaksDialog dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    int checked = 0;
    for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        if (!label->wordWrap())
            continue;
        ++checked;
        EXPECT_GE(label->height(), label->heightForWidth(label->width())) << label->text().toStdString();
    }
    EXPECT_EQ(checked, 1);
}

TEST_F(TweaksDialogTest, ForgetActsAtOnceAndPromptlyOnABusWithoutSecretService) {
    if (!hmtest::haveTool("dbus-daemon"))
        GTEST_SKIP() << "dbus-daemon is not installed";
    // No service activation on this bus: an installed keyring daemon must not be started.
    bustest::PrivateSessionBus bus;
    const QByteArray address = bus.address();
    ASSERT_FALSE(address.isEmpty());
    shelltest::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", address.toStdString());
    {
        const QDBusConnection session = QDBusConnection::connectToBus(QString::fromLatin1(address), "hm-probe");
        ASSERT_TRUE(session.isConnected());
        EXPECT_FALSE(session.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")).value());
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("hm-probe"));

    store("smbUseMountServers", QStringList{"nas", "files"});
    TweaksDialog dialog;
    dialog.findChild<QCheckBox*>("fastDiskScan")->click();
    QElapsedTimer clock;
    clock.start();
    dialog.findChild<QPushButton*>("forgetSmbPasswords")->click();
    EXPECT_LT(clock.elapsed(), 1000);
    button(dialog, QDialogButtonBox::Cancel)->click();
    EXPECT_TRUE(stored("smbUseMountServers").toStringList().isEmpty());
    EXPECT_FALSE(stored("fastDiskScan").isValid()) << "the other controls are not saved";
}
