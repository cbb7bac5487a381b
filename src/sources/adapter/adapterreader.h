#pragma once

#include "acquisition/sensorreader.h"

#include <QStringList>
#include <QStringView>

#include <memory>
#include <string_view>

namespace quorvel::acquisition {

// The id of the page element that carries the temperature.
inline constexpr std::string_view TemperatureElementId = "Temperature_0";

// The request URL of one sensor at the given adapter address ("host" or "host:port").
[[nodiscard]] QString sensorUrl(const QString& adapterAddress, QStringView romCode);
[[nodiscard]] QString sensorUrl(const QString& adapterAddress, std::string_view romCode);

class PageComponent;
class PageDocument;

// Reads an adapter's sensors through its pages: each read loads the sensor's page and answers with what the
// page says. The loaded page is told too, for whoever shows it. There is nothing to list: an adapter's
// sensors are the ones configured.
class AdapterReader final : public SensorReader {
    Q_OBJECT
public:
    explicit AdapterReader(PageComponent& page, QObject* parent = nullptr);
    // The reader owns the page component.
    explicit AdapterReader(std::unique_ptr<PageComponent> page, QObject* parent = nullptr);

    // What a loaded page (null: none) says of the temperature; gotAnswer is whether the load got an HTTP
    // answer at all.
    [[nodiscard]] static SensorAnswer answerOf(const PageDocument* document, bool gotAnswer);

    void setSource(const QString& address) override;
    void setSensors(const QStringList& romCodes) override;
    // The sensor's request URL, which is what the page component is asked for.
    [[nodiscard]] QString slotText(int slot) const override;
    void read(int slot) override;
    void cancel() override { slot_ = -1; }
    void discover() override;
    // The page component answers a dead adapter within its deadline, and the cycle pauses after that.
    [[nodiscard]] bool pausesAfterSweepWithoutNumber() const override { return false; }

    [[nodiscard]] PageComponent& page() { return page_; }

signals:
    // Each loaded page of a read that was not cancelled, just before its answer. The document lives until
    // the next read.
    void pageLoaded(const quorvel::acquisition::PageDocument* document);

private:
    void onCompleted();

    PageComponent& page_;
    QString address_;
    QStringList romCodes_;
    QStringList urls_; // per slot, made once: the page component keeps its requests by this text
    int slot_ = -1;    // the read in flight
};

} // namespace quorvel::acquisition
