#pragma once

#include <QTextBrowser>

namespace quorvel::mainwindow {

// The read-only view of the loaded adapter page. It shows text, tables and form values only: it loads
// no resource from anywhere and follows no link the user clicks.
class PageView : public QTextBrowser {
    Q_OBJECT
public:
    explicit PageView(QWidget* parent = nullptr);

    QVariant loadResource(int type, const QUrl& name) override;
};

} // namespace quorvel::mainwindow
