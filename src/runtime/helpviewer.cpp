#include "helpviewer.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace quorvel::runtime {

namespace {

class DesktopHelpViewer final : public HelpViewer {
public:
    Error show(const QString& helpFile, HelpCommand command) override
    {
        // A desktop viewer takes a file and nothing else: both commands open the file as a whole.
        (void)command;
        const QString path = QFileInfo(helpFile).absoluteFilePath();
        if (QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
            return std::nullopt;
        return Failure{QStringLiteral("The help viewer could not be started for %1.").arg(path)};
    }
};

} // namespace

std::shared_ptr<HelpViewer> HelpViewer::createDesktop()
{
    return std::make_shared<DesktopHelpViewer>();
}

} // namespace quorvel::runtime
