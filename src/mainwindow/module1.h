#pragma once

#include <memory>

namespace quorvel::acquisition {
class AdapterReader;
class LogRecorder;
class LogSession;
class PageComponent;
} // namespace quorvel::acquisition

namespace quorvel::mainwindow {

class frmMain;

// The program as the start procedure composes it: the page component and the reader over it, the log
// session, the recorder that writes each sweep there, and the window that is given them. This is their one
// owner; the window goes first, so no part it holds is gone before it.
class Program {
public:
    // With the adapter's own page component.
    Program();
    // With the page component given (a test's fake).
    explicit Program(std::unique_ptr<acquisition::PageComponent> page);
    ~Program();

    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    [[nodiscard]] frmMain& window() { return *window_; }
    [[nodiscard]] acquisition::PageComponent& page();
    [[nodiscard]] acquisition::LogSession& log() { return *log_; }

private:
    std::unique_ptr<acquisition::AdapterReader> reader_; // owns the page component
    std::unique_ptr<acquisition::LogSession> log_;
    std::unique_ptr<acquisition::LogRecorder> recorder_;
    std::unique_ptr<frmMain> window_;
};

// The start procedure and the one reference to the main window, held for the life of the process.
namespace Module1 {
extern frmMain* MainForm;
void Main();
} // namespace Module1

} // namespace quorvel::mainwindow
