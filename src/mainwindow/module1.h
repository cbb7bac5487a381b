#pragma once

namespace quorvel::mainwindow {

class frmMain;

// The start procedure and the one reference to the main window, held for the life of the process.
namespace Module1 {
extern frmMain* MainForm;
void Main();
} // namespace Module1

} // namespace quorvel::mainwindow
