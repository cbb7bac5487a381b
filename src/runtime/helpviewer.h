#pragma once

#include "error.h"

#include <QString>

#include <memory>

namespace quorvel::runtime {

// What the viewer is asked to open, by the classic help viewer's command numbers.
enum class HelpCommand {
    Contents = 0x3,     // the help file's contents
    PartialKey = 0x105, // its keyword search, with an empty keyword
};

// Shows the application's help file, so tests can replace the viewer with one that records.
class HelpViewer {
public:
    HelpViewer() = default;
    virtual ~HelpViewer() = default;
    HelpViewer(const HelpViewer&) = delete;
    HelpViewer& operator=(const HelpViewer&) = delete;

    // Starts the viewer on helpFile and returns without waiting. Nothing when it started (a file the
    // viewer cannot read is the viewer's to report), otherwise why it could not be started.
    [[nodiscard]] virtual Error show(const QString& helpFile, HelpCommand command) = 0;

    // The desktop's viewer for the file's type.
    [[nodiscard]] static std::shared_ptr<HelpViewer> createDesktop();
};

} // namespace quorvel::runtime
