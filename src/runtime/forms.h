#pragma once

#include <QList>
#include <QPointer>
#include <QWidget>

namespace quorvel::runtime {

// The runtime's list of loaded windows in the order of loading; index 0 is the main window.
class Forms {
public:
    static void loaded(QWidget* form);
    static void unloaded(QWidget* form);
    [[nodiscard]] static int count();
    [[nodiscard]] static QWidget* at(int index);
};

} // namespace quorvel::runtime
