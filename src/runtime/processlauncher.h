#pragma once

#include <QString>

#include <memory>

namespace quorvel::runtime {

// Starts a program as a process of its own, so tests can replace the launch with one that records.
class ProcessLauncher {
public:
    ProcessLauncher() = default;
    virtual ~ProcessLauncher() = default;
    ProcessLauncher(const ProcessLauncher&) = delete;
    ProcessLauncher& operator=(const ProcessLauncher&) = delete;

    // Starts program by its path, without arguments and without waiting for it; the program opens its
    // own window as usual. False when nothing could be started, an empty path included.
    [[nodiscard]] virtual bool startDetached(const QString& program) = 0;

    // The launcher that starts real processes.
    [[nodiscard]] static std::shared_ptr<ProcessLauncher> createSystem();
};

} // namespace quorvel::runtime
