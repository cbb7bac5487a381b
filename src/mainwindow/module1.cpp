#include "module1.h"

#include "frmmain.h"

#include "logfile/logrecorder.h"
#include "logfile/logsession.h"
#include "sources/adapter/adapterreader.h"
#include "sources/adapter/webpagecomponent.h"

#include <QCoreApplication>

namespace quorvel::mainwindow {

Program::Program() : Program(std::make_unique<acquisition::WebPageComponent>()) {}

Program::Program(std::unique_ptr<acquisition::PageComponent> page)
    : reader_(std::make_unique<acquisition::AdapterReader>(std::move(page))),
      log_(std::make_unique<acquisition::LogSession>()),
      recorder_(std::make_unique<acquisition::LogRecorder>(*log_)),
      window_(std::make_unique<frmMain>(*reader_, *log_, *recorder_))
{
}

Program::~Program() = default;

acquisition::PageComponent& Program::page()
{
    return reader_->page();
}

namespace Module1 {

frmMain* MainForm = nullptr;

namespace {
std::unique_ptr<Program> running;
} // namespace

void Main()
{
    running = std::make_unique<Program>();
    // The process normally ends inside a handler without unwinding; should the event loop ever return,
    // the program goes while the application its window needs still exists, not at static destruction.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, [] {
        MainForm = nullptr;
        running.reset();
    });
    MainForm = &running->window();
    MainForm->Show();
}

} // namespace Module1

} // namespace quorvel::mainwindow
