#include "processlauncher.h"

#include <QProcess>

namespace quorvel::runtime {

namespace {

class SystemProcessLauncher final : public ProcessLauncher {
public:
    bool startDetached(const QString& program) override
    {
        if (program.isEmpty())
            return false;
        // The argument-list form takes the path as it is, spaces included, and never waits.
        return QProcess::startDetached(program, {});
    }
};

} // namespace

std::shared_ptr<ProcessLauncher> ProcessLauncher::createSystem()
{
    return std::make_shared<SystemProcessLauncher>();
}

} // namespace quorvel::runtime
