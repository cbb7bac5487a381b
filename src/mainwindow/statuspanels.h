#pragma once

#include <QLocale>
#include <QStatusBar>
#include <QTimer>

class QLabel;

namespace quorvel::mainwindow {

// The status bar's three panels: a text panel that takes the width that is left, the date and the time
// of day, kept current by a timer that wakes once a minute.
class StatusPanels : public QStatusBar {
    Q_OBJECT
public:
    explicit StatusPanels(QWidget* parent = nullptr);

    // Shown in the text panel; an empty text restores "Status".
    void setStatusText(const QString& text);
    void refreshClock();

    [[nodiscard]] QLabel* textPanel() const { return text_; }
    [[nodiscard]] QLabel* datePanel() const { return date_; }
    [[nodiscard]] QLabel* timePanel() const { return time_; }

private:
    QLabel* text_;
    QLabel* date_;
    QLabel* time_;
    QTimer tick_;
};

} // namespace quorvel::mainwindow
