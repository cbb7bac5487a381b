// The whole main window on the offscreen platform, logging off, against a simulator: what the user's
// program does per page, painting included.

#include "acquisition/acquisitioncycle.h"
#include "sources/adapter/adapteraddress.h"
#include "sources/adapter/webpagecomponent.h"
#include "mainwindow/frmmain.h"
#include "mainwindow/module1.h"
#include "processprobe.h"
#include "runtime/appinfo.h"
#include "runtime/processcontrol.h"
#include "runtime/settingskeys.h"
#include "runtime/settingsstore.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

using namespace quorvel;

int main(int argc, char* argv[])
{
    // Never a real display: the figure is about the program, not the desktop's compositor.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Simulator port."),
                                        QStringLiteral("N"));
    const QCommandLineOption sweepsOption(QStringLiteral("sweeps"), QStringLiteral("Sweeps to run."),
                                          QStringLiteral("N"), QStringLiteral("200"));
    const QCommandLineOption everyOption(QStringLiteral("sample-every"),
                                         QStringLiteral("Print the rate every N sweeps (0: never)."),
                                         QStringLiteral("N"), QStringLiteral("0"));
    parser.addOptions({portOption, sweepsOption, everyOption});
    parser.process(app);
    const uint port = parser.value(portOption).toUInt();
    const int sweeps = parser.value(sweepsOption).toInt();
    const int every = parser.value(everyOption).toInt();
    if (port == 0 || port > 65535 || sweeps <= 0) {
        std::fprintf(stderr, "bench_window: needs --port and a positive --sweeps\n");
        return 2;
    }

    // A private settings store: the adapter address is written there, and the user's is never read.
    QTemporaryDir settingsDir;
    if (!settingsDir.isValid())
        return 1;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    if (const auto error = runtime::SettingsStore::saveSetting(
            runtime::AppInfo::title(), runtime::settingskeys::Settings, runtime::settingskeys::AdapterAddress,
            QStringLiteral("127.0.0.1:%1").arg(port))) {
        std::fprintf(stderr, "bench_window: %s\n", qPrintable(error->reason));
        return 1;
    }
    // An unexpected end of the program must not cut the report short.
    runtime::ProcessControl::setEnder([](int code) {
        std::fprintf(stderr, "bench_window: the program asked to end with code %d\n", code);
        std::fflush(stderr);
        std::_Exit(1);
    });

    auto webPage = std::make_unique<acquisition::WebPageComponent>();
    acquisition::WebPageComponent& page = *webPage;
    mainwindow::Program program(std::move(webPage));
    mainwindow::frmMain& window = program.window();
    auto* const addressBox = window.findChild<QComboBox*>(QStringLiteral("cboAddress"));
    QEventLoop loop;
    quint64 errorPages = 0;
    int done = 0;
    QElapsedTimer wall;
    qint64 sampledNs = 0;
    QObject::connect(&page, &acquisition::PageComponent::completed, &loop, [&] {
        if (page.htmlDocument() && page.htmlDocument()->errorReason())
            ++errorPages;
    });
    QObject::connect(&window.cycle(), &acquisition::AcquisitionCycle::sweepCompleted, &loop, [&] {
        ++done;
        if (every > 0 && done % every == 0) {
            // Per interval, so a cost that grows with the address list shows as a falling rate.
            const qint64 now = wall.nsecsElapsed();
            std::printf("window_sample pages=%d address_items=%d pages_per_second=%.1f\n",
                        done * acquisition::SensorCount, addressBox->count(),
                        double(every * acquisition::SensorCount) * 1e9 / double(now - sampledNs));
            std::fflush(stdout);
            sampledNs = now;
        }
        if (done == sweeps) {
            window.cycle().stop();
            loop.quit();
        }
    });

    const double cpuStart = bench::ProcessProbe::cpuSeconds();
    wall.start();
    window.Show();
    loop.exec();
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    const double cpu = bench::ProcessProbe::cpuSeconds() - cpuStart;
    const double pages = double(sweeps) * acquisition::SensorCount;

    std::printf("window pages=%.0f error_pages=%llu visible=%d seconds=%.3f pages_per_second=%.1f "
                "cpu_ms_per_page=%.4f\n",
                pages, static_cast<unsigned long long>(errorPages), window.isVisible() ? 1 : 0, seconds,
                pages / seconds, cpu * 1000.0 / pages);
    runtime::ProcessControl::resetEnder();
    return errorPages == 0 ? 0 : 1;
}
