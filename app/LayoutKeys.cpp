#include "app/LayoutKeys.h"

#include "app/AppSettings.h"

#include <QGuiApplication>
#include <QScreen>

QString screenShapeSuffix() {
    const QString forced = qEnvironmentVariable("ZRT_SCREEN_SHAPE");
    if (!forced.isEmpty())
        return forced;
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return QString();
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return QString();
    const QSize size = screen->size();
    return QStringLiteral("@%1x%2@%3")
        .arg(size.width())
        .arg(size.height())
        .arg(screen->devicePixelRatio(), 0, 'g', 4);
}

QByteArray shapedKey(const char* key) {
    return QByteArray(key) + screenShapeSuffix().toUtf8();
}

void saveShapedValue(const char* key, const QVariant& value) {
    AppSettings::instance()->setValue(shapedKey(key).constData(), value);
}

QVariant loadShapedValue(const char* key, const QVariant& defaultValue) {
    AppSettings* settings = AppSettings::instance();
    QSettings* store = settings->settings();
    const QString suffix = screenShapeSuffix();
    const QVariant shaped = store->value(QString::fromUtf8(QByteArray(key) + suffix.toUtf8()));
    if (shaped.isValid())
        return shaped;
    const QVariant plain = store->value(QLatin1String(key));
    if (!plain.isValid())
        return defaultValue;

    QString firstShape = store->value(QStringLiteral("layoutFirstShape")).toString();
    if (firstShape.isEmpty()) {
        firstShape = suffix;
        if (settings->saveEnabled())
            settings->setValue("layoutFirstShape", firstShape);
    }
    return suffix == firstShape ? plain : defaultValue;
}
