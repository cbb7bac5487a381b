#include "adapterreader.h"

#include "pagecomponent.h"

#include "runtime/conversions.h"

#include <QTimer>

#include <utility>

namespace quorvel::acquisition {

QString sensorUrl(const QString& adapterAddress, QStringView romCode)
{
    return QStringLiteral("http://") + adapterAddress +
           QStringLiteral("/1Wire/ReadDS18B20.html?DS18B20Request=%7b") + romCode.toString() +
           QStringLiteral(",12%7d");
}

QString sensorUrl(const QString& adapterAddress, std::string_view romCode)
{
    return sensorUrl(adapterAddress,
                     QString::fromLatin1(romCode.data(), static_cast<qsizetype>(romCode.size())));
}

AdapterReader::AdapterReader(PageComponent& page, QObject* parent) : SensorReader(parent), page_(page)
{
    connect(&page_, &PageComponent::completed, this, &AdapterReader::onCompleted);
}

AdapterReader::AdapterReader(std::unique_ptr<PageComponent> page, QObject* parent)
    : AdapterReader(*page, parent)
{
    page.release()->setParent(this);
}

SensorAnswer AdapterReader::answerOf(const PageDocument* document, bool gotAnswer)
{
    const std::optional<QString> error = document ? document->errorReason() : std::nullopt;
    if (!gotAnswer)
        return {ReadOutcome::NoAnswer, 0, error.value_or(QStringLiteral("no answer"))};
    if (!document || error)
        return {ReadOutcome::HttpError, 0, error.value_or(QStringLiteral("no page"))};
    // Built once: this runs for every page.
    static const QString elementId =
        QString::fromLatin1(TemperatureElementId.data(), static_cast<qsizetype>(TemperatureElementId.size()));
    const auto value = document->elementValue(elementId);
    if (!value)
        return {ReadOutcome::NoElement, 0,
                QStringLiteral("the page has no value with the id %1").arg(elementId)};
    const auto number = runtime::textToSingle(*value);
    if (!number)
        return {ReadOutcome::NotANumber, 0,
                QStringLiteral("the value \"%1\" of %2 is not a number").arg(value->left(40), elementId)};
    return {ReadOutcome::Ok, *number, {}};
}

void AdapterReader::setSource(const QString& address)
{
    address_ = address;
    setSensors(romCodes_);
}

void AdapterReader::setSensors(const QStringList& romCodes)
{
    romCodes_ = romCodes;
    urls_.clear();
    for (const QString& rom : romCodes_)
        urls_ << sensorUrl(address_, rom);
}

QString AdapterReader::slotText(int slot) const
{
    return urls_.value(slot);
}

void AdapterReader::read(int slot)
{
    slot_ = slot;
    page_.Navigate(urls_.value(slot));
}

void AdapterReader::discover()
{
    QTimer::singleShot(0, this, [this] {
        emit discoveryFailed(QStringLiteral("an adapter's sensors are the ones configured"));
    });
}

void AdapterReader::onCompleted()
{
    if (slot_ < 0)
        return;
    const int slot = std::exchange(slot_, -1);
    const PageDocument* document = page_.Document();
    emit pageLoaded(document);
    emit answered(slot, answerOf(document, page_.lastLoadGotAnswer()));
}

} // namespace quorvel::acquisition
