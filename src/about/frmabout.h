#pragma once

#include "runtime/registry.h"

#include <QDialog>
#include <QPointer>

#include <memory>

class QLabel;
class QPushButton;

namespace quorvel::runtime {
class ProcessLauncher;
class RegistryBackend;
} // namespace quorvel::runtime

namespace quorvel::about {

// The About box: the application's title and version, and a button that starts the platform's system
// information program. One instance serves every opening and is loaded afresh each time it is shown.
class frmAbout : public QDialog {
    Q_OBJECT
public:
    explicit frmAbout(QWidget* owner = nullptr);
    ~frmAbout() override;

    // The shared instance, created on first use as a child of owner.
    [[nodiscard]] static frmAbout* instance(QWidget* owner);

    // Loads the box, shows it modal over owner and returns when it has been unloaded, with the result of
    // the modal loop (Accepted when closed by OK, Enter or Escape).
    int ShowModal(QWidget* owner);

    void StartSysInfo();
    [[nodiscard]] bool GetKeyValue(runtime::RegHandle KeyRoot, const QString& KeyName,
                                   const QString& SubKeyRef, QString& KeyVal);

    // Where the lookups read and how the tool is started; the platform's own unless replaced.
    void setRegistryBackend(std::shared_ptr<runtime::RegistryBackend> backend);
    void setProcessLauncher(std::shared_ptr<runtime::ProcessLauncher> launcher);

    [[nodiscard]] bool isLoaded() const { return loaded_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private slots:
    void cmdOK_Click();
    void cmdSysInfo_Click();

private:
    void Form_Load();
    void load();
    void unload();
    void placeControls();

    QLabel* picIcon = nullptr;
    QLabel* lblTitle = nullptr;
    QLabel* lblVersion = nullptr;
    QLabel* lblDescription = nullptr;
    QLabel* lblDisclaimer = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdSysInfo = nullptr;

    std::shared_ptr<runtime::RegistryBackend> registry_;
    std::shared_ptr<runtime::ProcessLauncher> launcher_;
    bool loaded_ = false;

    static QPointer<frmAbout> shared_;
};

} // namespace quorvel::about
