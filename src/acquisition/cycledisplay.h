#pragma once

#include <QString>

namespace quorvel::acquisition {

class PageDocument;

// The outputs the acquisition cycle writes: the main window implements them, tests record them.
class CycleDisplay {
public:
    virtual ~CycleDisplay() = default;

    virtual void setAddressText(const QString& text) = 0;
    // Appends the address box's current text to the end of its list.
    virtual void appendAddressText() = 0;
    [[nodiscard]] virtual int addressCount() const = 0;
    virtual void removeOldestAddress() = 0;

    virtual void showPage(const PageDocument* document) = 0;
    // Makes the main window visible; later calls leave it visible.
    virtual void showMainWindow() = 0;

    virtual void setSensorNumberText(const QString& text) = 0;
    virtual void setTemperatureText(const QString& text) = 0;
    virtual void setRecordNumberText(const QString& text) = 0;
    // What the recorder has to tell about the log (its notice, else why the last write failed); empty
    // when nothing.
    virtual void setLogWriteError(const QString& error) = 0;
};

} // namespace quorvel::acquisition
