#pragma once

#include <QMainWindow>

#include <cstdint>
#include <memory>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QToolBar;

namespace quorvel::acquisition {
class AcquisitionCycle;
class AdapterReader;
class LogSession;
class PageDocument;
struct SensorReading;
class SweepRecorder;
struct SweepReport;
} // namespace quorvel::acquisition

namespace quorvel::runtime {
class CommonDialog;
class HelpViewer;
enum class HelpCommand;
} // namespace quorvel::runtime

namespace quorvel::mainwindow {

class PageView;
class StatusPanels;
class ToolbarImages;

// The main window: the address box, the page view, the readings, the logging controls, menus, toolbar and
// status bar. It is given the adapter's reader, the log session and the recorder (the start procedure
// composes them) and owns the shared dialog and the acquisition cycle, which runs from the event loop once
// the window is loaded; the window shows what the cycle and the reader tell, and is shown after the first
// page. Its controls are found by object name.
class frmMain : public QMainWindow {
    Q_OBJECT
public:
    // The design size of the client area below the menu bar, in twips.
    static constexpr int ClientWidthTwips = 15120;
    static constexpr int ClientHeightTwips = 8180;
    // Kept in the address box's list: a hundred sweeps.
    static constexpr int AddressListLimit = 1300;

    frmMain(acquisition::AdapterReader& reader, acquisition::LogSession& log,
            acquisition::SweepRecorder& recorder, QWidget* parent = nullptr);
    ~frmMain() override;

    // Loads the window on first use (which starts the cycle; the cycle makes it visible once the first
    // page is complete), afterwards makes it visible.
    void Show();
    [[nodiscard]] bool isLoaded() const { return loaded_; }
    [[nodiscard]] bool isUnloaded() const { return unloaded_; }

    [[nodiscard]] std::int16_t LoggingActive() const;
    [[nodiscard]] acquisition::AcquisitionCycle& cycle() { return *cycle_; }
    [[nodiscard]] QWidget* client() const { return client_; }
    // The viewer the help commands start on the application's help file; the desktop's by default.
    void setHelpViewer(std::shared_ptr<runtime::HelpViewer> viewer);

    // Handlers, named after control and event.
    void Form_Load();
    // False when a failure ended the unload (the unhandled-error path has run).
    bool Form_Unload();
    void btnStop_Click();
    void btnFileWrite_Click();
    void mnuFileExit_Click();

    void mnuFileNew_Click();
    void mnuFileOpen_Click();
    void mnuFileClose_Click();
    void mnuFileSave_Click();
    void mnuFileSaveAs_Click();
    void mnuFileSaveAll_Click();
    void mnuFileProperties_Click();
    void mnuFilePageSetup_Click();
    void mnuFilePrintPreview_Click();
    void mnuFilePrint_Click();
    void mnuFileSend_Click();
    void mnuEditUndo_Click();
    void mnuEditCut_Click();
    void mnuEditCopy_Click();
    void mnuEditPaste_Click();
    void mnuEditPasteSpecial_Click();
    void mnuViewToolbar_Click();
    void mnuViewStatusBar_Click();
    void mnuViewRefresh_Click();
    void mnuViewOptions_Click();
    void mnuHelpContents_Click();
    void mnuHelpSearchForHelpOn_Click();
    void mnuHelpAbout_Click();
    void tbToolBar_ButtonClick(const QString& key);

    // Menu items by name; the three MRU items are mnuFileMRU1..3.
    [[nodiscard]] QAction* menuItem(const QString& name) const;
    [[nodiscard]] QAction* toolbarButton(const QString& key) const;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // What the cycle tells, in the order it tells it.
    void onSlotStarted(const QString& text);
    void onSensorRead(const acquisition::SensorReading& reading);
    void onSweepCompleted(const acquisition::SweepReport& sweep);

    void createControls();
    void createMenus();
    void createToolbar();
    void layoutEdgeBars();
    void placeholder(const char* handlerStem);
    void showHelp(runtime::HelpCommand command);
    // Unloads the window, closes the log, ends the process: Stop Program, File > Exit and the close box.
    void endProgram(bool closeLogFirst);
    void unloadWindow();

    // Controls keep the names they are known by (also their object names), outside the members' suffix.
    StatusPanels* sbStatusBar = nullptr;
    QToolBar* tbToolBar = nullptr;
    PageView* brwWebBrowser = nullptr;
    QComboBox* cboAddress = nullptr;
    QPushButton* btnFileWrite = nullptr;
    QPushButton* btnStop = nullptr;
    QLineEdit* txtSensorNum = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* txtTemperature = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* txtFileName = nullptr;
    QLineEdit* txtRecNum = nullptr;
    QLabel* Label3 = nullptr;
    runtime::CommonDialog* dlgCommonDialog = nullptr;
    ToolbarImages* imlToolbarIcons = nullptr;
    QTimer* timTimer = nullptr;

    QWidget* client_ = nullptr;
    acquisition::LogSession& log_;
    acquisition::AcquisitionCycle* cycle_ = nullptr;
    // The page of the read in hand, once loaded: shown with its number, so a page held back by a modal box
    // appears when the box has closed.
    const acquisition::PageDocument* loadedPage_ = nullptr;
    std::shared_ptr<runtime::HelpViewer> helpViewer_;
    bool loaded_ = false;
    bool unloaded_ = false;
    bool ending_ = false;
};

} // namespace quorvel::mainwindow
