#include "ui/mainwindow/WindowRules.h"

#include <QCoreApplication>

#include <algorithm>

QSize initialWindowSize(std::optional<QSize> available) {
    if (!available)
        return QSize(1396, 730);
    const int width = std::max(std::min(available->width() - 40, 1436), 800);
    const int height = std::max(std::min(available->height() - 90, 730), 500);
    return QSize(width, height);
}

std::pair<int, int> defaultSplitSizes(int extent, int percent) {
    const int first = extent * percent / 100;
    return {first, extent - first};
}

QString windowTitleFor(const TitleSource& source) {
    const QString app = QStringLiteral("Hollowmere");
    const auto tr = [](const char* text) { return QCoreApplication::translate("MainWindow", text); };
    const auto titled = [&](const QString& kind, const QString& text) {
        return kind.isEmpty() ? app + QStringLiteral(" — ") + text : app + QStringLiteral(" — ") + kind + u' ' + text;
    };
    if (!source.importedPath.isEmpty())
        return titled(source.importedIsMft ? tr("<MFT file>") : tr("<CSV file>"), source.importedPath);
    if (!source.roots.isEmpty())
        return titled(tr("<Multiple>"), source.roots.join(QStringLiteral("; ")));
    if (!source.selectedPath.isEmpty())
        return titled(source.selectedIsFolder ? tr("<Folder>") : QString(), source.selectedPath);
    return app;
}

ReturnKeyAction returnKeyAction(const ReturnKeyContext& c) {
    const bool returnKey = c.key == Qt::Key_Return || c.key == Qt::Key_Enter;
    const bool taken = c.windowActive && !c.modalOpen && returnKey && !c.autoRepeat
                       && (c.modifiers & ~Qt::KeypadModifier) == Qt::NoModifier && c.watchedIsFocus
                       && !c.focusIsEditor && c.focusInWindow;
    if (!taken)
        return ReturnKeyAction::Pass;
    if (c.focusOnResults && c.hasSelection && !c.jobRunning)
        return ReturnKeyAction::Open;
    return c.scanButtonEnabled ? ReturnKeyAction::Scan : ReturnKeyAction::Swallow;
}
