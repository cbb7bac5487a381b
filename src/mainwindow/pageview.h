#pragma once

#include <QTextBrowser>
#include <QTimer>

namespace quorvel::mainwindow {

// The read-only view of the loaded adapter page. It shows text, tables and form values only: it loads
// no resource from anywhere and follows no link the user clicks.
class PageView : public QTextBrowser {
    Q_OBJECT
public:
    // Rendering a page costs a relayout: at most one every MinIntervalMs, always the latest page.
    static constexpr int MinIntervalMs = 40;

    explicit PageView(QWidget* parent = nullptr);

    QVariant loadResource(int type, const QUrl& name) override;

    // Shows the page at once when the last one was shown at least MinIntervalMs ago, else at the end of
    // that interval, unless a later page replaces it first. At an adapter's pace every page is shown at once.
    void showHtml(QString html);
    // Forgets a page still waiting to be shown, so nothing is drawn after the window is unloaded.
    void dropPending();

private:
    QTimer cooldown_;
    QString pendingHtml_;
    bool pending_ = false;
};

} // namespace quorvel::mainwindow
