#include "module1.h"

#include "frmmain.h"

namespace quorvel::mainwindow::Module1 {

frmMain* MainForm = nullptr;

void Main()
{
    // Deliberately without an owner: the window lives until the process ends.
    MainForm = new frmMain(nullptr);
    MainForm->Show();
}

} // namespace quorvel::mainwindow::Module1
