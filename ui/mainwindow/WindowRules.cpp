#include "ui/mainwindow/WindowRules.h"

#include "app/DirectionalText.h"

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

std::vector<int> fitColumnWidths(std::vector<int> widths, const std::vector<int>& minimums, int available) {
    const size_t count = std::min(widths.size(), minimums.size());
    long long excess = -available;
    for (int width : widths)
        excess += width;
    if (excess <= 0 || count == 0)
        return widths;
    const auto roomOf = [&](size_t i) { return std::max(0, widths[i] - minimums[i]); };
    long long room = 0;
    for (size_t i = 1; i < count; ++i)
        room += roomOf(i);
    if (room > 0 && room <= excess) {
        for (size_t i = 1; i < count; ++i)
            widths[i] -= roomOf(i);
        excess -= room;
    } else if (room > 0) {
        std::vector<int> share(count, 0);
        long long taken = 0;
        for (size_t i = 1; i < count; ++i) {
            share[i] = int(excess * roomOf(i) / room);
            taken += share[i];
        }
        // The rounded-down shares leave fewer pixels than there are columns with room.
        for (size_t i = 1; i < count && taken < excess; ++i) {
            if (roomOf(i) > share[i]) {
                ++share[i];
                ++taken;
            }
        }
        for (size_t i = 1; i < count; ++i)
            widths[i] -= share[i];
        return widths;
    }
    widths[0] -= int(std::min<long long>(excess, roomOf(0)));
    return widths;
}

QString windowTitleFor(const TitleSource& source) {
    const QString app = QStringLiteral("Hollowmere");
    const auto tr = [](const char* text) { return QCoreApplication::translate("MainWindow", text); };
    const auto titled = [&](const QString& kind, const QString& text) {
        return kind.isEmpty() ? app + QStringLiteral(" — ") + text : app + QStringLiteral(" — ") + kind + u' ' + text;
    };
    if (!source.importedPath.isEmpty())
        return titled(source.importedIsMft ? tr("<MFT file>") : tr("<CSV file>"), isolatePath(source.importedPath));
    if (!source.roots.isEmpty()) {
        QStringList roots;
        for (const QString& root : source.roots)
            roots.append(isolatePath(root));
        return titled(tr("<Multiple>"), roots.join(QStringLiteral("; ")));
    }
    if (!source.selectedPath.isEmpty())
        return titled(source.selectedIsFolder ? tr("<Folder>") : QString(), isolatePath(source.selectedPath));
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

KeypadCommand keypadCommand(const ReturnKeyContext& c) {
    if (!c.windowActive || c.modalOpen || !c.watchedIsFocus || !c.focusInWindow || c.focusTakesText
        || c.modifiers != Qt::KeypadModifier)
        return KeypadCommand::None;
    switch (c.key) {
    case Qt::Key_Slash:
        return KeypadCommand::SelectParent;
    case Qt::Key_Asterisk:
        return KeypadCommand::ReselectChild;
    case Qt::Key_Plus:
        return KeypadCommand::ZoomTreemap;
    case Qt::Key_Minus:
        return KeypadCommand::UnzoomTreemap;
    default:
        return KeypadCommand::None;
    }
}
