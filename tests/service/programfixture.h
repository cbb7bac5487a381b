#pragma once

#include "acquisition/sensortable.h"
#include "fakes.h"
#include "service/app/serviceconfig.h"
#include "service/app/serviceoptions.h"
#include "service/app/serviceprogram.h"
#include "sources/adapter/adapterkind.h"

#include <QDateTime>
#include <QLocale>
#include <QSignalSpy>
#include <QString>
#include <QStringList>

#include <memory>

// The service in process, for the tests of its parts fed by events.
namespace quorvel::testing {

inline const QString Adapter = QStringLiteral("127.0.0.1:8080");
inline const QString Source = QStringLiteral("adapter");
inline const acquisition::SourceKind& Kind = acquisition::adapterKind();

inline QString romOf(int slot)
{
    return builtInRomCodes().at(slot);
}

inline SensorReading readOf(int slot, ReadOutcome outcome, QDateTime when = QDateTime::currentDateTime())
{
    return SensorReading{Adapter,
                         slot,
                         romOf(slot),
                         {},
                         outcome,
                         20.5f,
                         outcome == ReadOutcome::Ok ? QString() : QStringLiteral("Connection refused"),
                         when,
                         when};
}

inline ReadOutcome outcomeOf(const QString& label)
{
    for (const auto& [outcome, text] : ReadOutcomeLabels)
        if (label == QLatin1StringView(text.data(), qsizetype(text.size())))
            return outcome;
    return ReadOutcome::NoAnswer;
}

// The whole service in process: a fake page per source with an answer per ROM code, the options as given.
struct Program {
    QList<FakePage*> pages; // the program's, one per source in the order they were made
    QStringList messages;
    std::unique_ptr<service::ServiceProgram> program;
    FakePage& page; // the first source's

    explicit Program(const service::ServiceOptions& options)
        : Program(service::configFromOptions(options, Adapter))
    {
    }
    explicit Program(service::ServiceConfig config)
        : program(std::make_unique<service::ServiceProgram>(
              std::move(config),
              [this](const service::SourceConfig&) {
                  auto page = std::make_unique<FakePage>();
                  pages << page.get();
                  return page;
              },
              [this](const QString& line) { messages << line; })),
          page(*pages.front())
    {
    }
    // Runs until the sweep limit ends it.
    bool run()
    {
        QSignalSpy finished(program.get(), &service::ServiceProgram::finished);
        if (program->start())
            return false;
        return finished.count() > 0 || finished.wait(20000);
    }
};

inline service::ServiceOptions logOptions(const QString& path, qint64 sweeps,
                                          const QLocale& locale = QLocale::c())
{
    service::ServiceOptions options;
    options.logPath = path;
    options.locale = locale;
    options.sweeps = sweeps;
    return options;
}

} // namespace quorvel::testing
