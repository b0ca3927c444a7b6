// FilterField: the one-line field in which filter and search texts are typed, with a
// painted frame, a menu of recently used texts and, in the rounded look, a magnifier and
// a clear button. Each field keeps a history of recent texts as a JSON array under its
// own settings key; fields with the same key share one history. GUI thread only.
#pragma once

#include <QStringList>
#include <QWidget>

class QLineEdit;
class QMenu;
class QToolButton;

enum class FilterFieldStyle { Framed = 0, Rounded = 1 };

// The history rule: newest first, at most kMaxRecentFilters entries, no two equal
// ignoring case, none blank. Saving is skipped while AppSettings saving is off.
inline constexpr int kMaxRecentFilters = 20;
QStringList loadRecentFilters(const char* key);
QStringList addRecentFilter(QStringList list, const QString& text);
void saveRecentFilters(const char* key, const QStringList& list);

class FilterField : public QWidget {
    Q_OBJECT

public:
    // `historyKey` must outlive the field (a string literal).
    FilterField(const char* historyKey, QWidget* parent = nullptr, FilterFieldStyle look = FilterFieldStyle::Framed);

    QString text() const;
    void setText(const QString& text);  // emits textChanged only
    // Moves `text` (trimmed) to the front of the stored history.
    void rememberFilter(const QString& text);

    QLineEdit* lineEdit() const { return m_edit; }
    QToolButton* clearButton() const { return m_clear; }  // null in the framed look
    QToolButton* chevronButton() const { return m_chevron; }
    QMenu* recentMenu() const { return m_menu; }
    // Fills the recent-filters menu from the history and pops it up under the chevron.
    void showRecentMenu();

signals:
    void submitted();
    void textEdited();
    void textChanged(const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // Rebuilds the menu's actions from the stored history.
    void fillRecentMenu();

    QLineEdit* m_edit = nullptr;
    QToolButton* m_chevron = nullptr;
    QToolButton* m_clear = nullptr;
    QMenu* m_menu = nullptr;
    const char* m_historyKey;
    FilterFieldStyle m_look;
};
