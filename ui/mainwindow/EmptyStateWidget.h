// The page shown in the results area while there are no results: an icon, a bold title
// and centred hint lines saying what to do or what is happening. GUI thread only.
#pragma once

#include <QPixmap>
#include <QStringList>
#include <QStyle>
#include <QWidget>

class QLabel;
class QVBoxLayout;

class EmptyStateWidget : public QWidget {
    Q_OBJECT

public:
    explicit EmptyStateWidget(QWidget* parent = nullptr);

    // A null icon hides the icon row; the hint lines replace the previous ones.
    void setContent(const QPixmap& icon, const QString& title, const QStringList& hints);
    QString text() const;
    QStringList hints() const { return m_hintLines; }
    QLabel* iconLabel() const { return m_iconLabel; }

    // The two hint lines of the ready state.
    static QStringList hintText();
    // The program's icon at 48 x 48 (null when the resource is missing).
    static QPixmap logoPixmap();

private:
    QLabel* m_iconLabel = nullptr;
    QLabel* m_titleLabel = nullptr;
    QVBoxLayout* m_hintLayout = nullptr;
    QStringList m_hintLines;
};

// The desktop theme's icon `name`, or the style's standard icon when the theme has none,
// as a 40 x 40 pixmap.
QPixmap themeIconPixmap(const QString& name, QStyle::StandardPixmap fallback);
