#include "app/ColorScheme.h"

#include "app/AppSettings.h"
#include "app/SortArrowStyle.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleHints>
#include <QTimer>
#include <QWidget>

#include <unistd.h>

#include <memory>

namespace {

struct PlatformLook {
    QString styleName;
    QPalette palette;
};

const PlatformLook& platformLook() {
    static const PlatformLook look = [] {
        PlatformLook captured;
        captured.styleName = QApplication::style() ? QApplication::style()->name() : QString();
        captured.palette = QGuiApplication::palette();
        return captured;
    }();
    return look;
}

bool explicitScheme = false;

void setStyleHintScheme([[maybe_unused]] int scheme) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QGuiApplication::styleHints()->setColorScheme(Qt::ColorScheme(scheme));
#endif
}

// Follows the platform's palette changes; lives until exit.
class PaletteWatcher : public QObject {
public:
    PaletteWatcher() { m_clock.start(); }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) {
            m_lastPaletteChange = m_clock.elapsed();
            if (!m_refreshing) {
                m_refreshing = true;
                refreshStyleSheets();
                m_refreshing = false;
            }
        }
        return false;
    }

    // The desktop switched between light and dark. Without a palette change from the
    // platform around it, take the style's standard palette, which follows the scheme.
    void onSchemeChanged() {
        if (explicitScheme)
            return;
        const qint64 signalled = m_clock.elapsed();
        QTimer::singleShot(250, this, [this, signalled] {
            if (explicitScheme || m_lastPaletteChange >= signalled - 250)
                return;
            QApplication::setPalette(QApplication::style()->standardPalette());
            QCoreApplication::setAttribute(Qt::AA_SetPalette, false);
        });
    }

private:
    QElapsedTimer m_clock;
    qint64 m_lastPaletteChange = -1000000;
    bool m_refreshing = false;
};

void ensureWatcher() {
    static PaletteWatcher* watcher = nullptr;
    if (watcher)
        return;
    watcher = new PaletteWatcher;
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    QObject::connect(QGuiApplication::styleHints(), &QStyleHints::colorSchemeChanged, watcher,
                     [] { watcher->onSchemeChanged(); });
#endif
    qApp->installEventFilter(watcher);
}

}  // namespace

int savedColorScheme() {
    const int stored = AppSettings::instance()->settings()->value(QStringLiteral("appearance"), 0).toInt();
    return stored == 1 || stored == 2 ? stored : 0;
}

bool systemPaletteIsDark() {
    return platformLook().palette.color(QPalette::Window).lightness() < 128;
}

QPalette darkPalette() {
    QPalette palette;
    const auto set = [&](QPalette::ColorRole role, QRgb rgb) { palette.setColor(role, QColor::fromRgb(rgb)); };
    set(QPalette::Window, 0x1F2628);
    set(QPalette::Base, 0x1F2628);
    set(QPalette::AlternateBase, 0x2A3032);
    set(QPalette::Button, 0x303638);
    set(QPalette::ToolTipBase, 0x303638);
    set(QPalette::ToolTipText, 0xD6D7D7);
    set(QPalette::WindowText, 0xD6D7D7);
    set(QPalette::Text, 0xD6D7D7);
    set(QPalette::ButtonText, 0xD6D7D7);
    set(QPalette::BrightText, 0xFFFFFF);
    set(QPalette::PlaceholderText, 0x969B9D);
    set(QPalette::Highlight, 0x006FFF);
    set(QPalette::HighlightedText, 0xFFFFFF);
    set(QPalette::Link, 0x5AA0FF);
    set(QPalette::Mid, 0x565D5F);
    set(QPalette::Midlight, 0x3C4244);
    set(QPalette::Dark, 0x14191B);
    set(QPalette::Shadow, 0x000000);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, QColor::fromRgb(0x787E80));
    return palette;
}

void refreshStyleSheets() {
    for (QWidget* widget : QApplication::allWidgets()) {
        const QString sheet = widget->styleSheet();
        if (!sheet.isEmpty())
            widget->setStyleSheet(sheet);
    }
}

void applyColorScheme(int scheme) {
    const PlatformLook& look = platformLook();
    // An administrator copy follows the invoking user's dark desktop when its own is light.
    if (scheme == 0 && geteuid() == 0 && qgetenv("ZRT_USER_SCHEME") == "dark" && !systemPaletteIsDark())
        scheme = 2;
    if (scheme == 0) {
        QApplication::setStyle(new SortArrowStyle(look.styleName));
        if (explicitScheme) {
            QApplication::setPalette(look.palette);
            QCoreApplication::setAttribute(Qt::AA_SetPalette, false);
            explicitScheme = false;
        }
        setStyleHintScheme(0);
    } else if (scheme == 1 || scheme == 2) {
        QApplication::setStyle(new SortArrowStyle(QStringLiteral("Fusion")));
        explicitScheme = true;
        if (scheme == 2) {
            QApplication::setPalette(darkPalette());
        } else {
            const std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
            QApplication::setPalette(fusion->standardPalette());
        }
        setStyleHintScheme(scheme);
    }
    ensureWatcher();
    refreshStyleSheets();
}
