#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace quorvel::runtime {

// Style bits of a message box: buttons in the low bits, the icon in the next group.
namespace MsgStyle {
constexpr int OkOnly = 0;
constexpr int OkCancel = 1;
constexpr int YesNo = 4;
constexpr int Critical = 16;
constexpr int Question = 32;
constexpr int Exclamation = 48;
constexpr int Information = 64;
} // namespace MsgStyle

namespace MsgResult {
constexpr int Ok = 1;
constexpr int Cancel = 2;
constexpr int Yes = 6;
constexpr int No = 7;
} // namespace MsgResult

struct MessageRequest {
    QString prompt;
    int style = MsgStyle::OkOnly;
    QString title;
};

// Shows a modal message box; the title defaults to the application title. Tests may install a presenter
// that records the request instead of showing a window.
class MessageBox {
public:
    using Presenter = std::function<int(const MessageRequest&)>;

    static int show(const QString& prompt, int style = MsgStyle::OkOnly, const QString& title = {},
                    QWidget* parent = nullptr);

    static void setPresenter(Presenter presenter);
    static void resetPresenter();
};

// The one path for a failure nobody handles: its description in a message box, then the end of the
// process. Returns only under a test ender; callers stop their own work after it.
void unhandledError(const QString& description);

} // namespace quorvel::runtime
