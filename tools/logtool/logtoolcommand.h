#pragma once

#include <QIODevice>
#include <QString>
#include <QStringList>

namespace quorvel::logtool {

// The command line of quorvel3-logtool, apart from main() so it runs in-process too.
class LogToolCommand {
public:
    enum ExitStatus {
        Success = 0,
        // Bad usage, an unreadable input file or an output that cannot be written.
        Failure = 1,
        // The input holds lines, but not one of them is a record.
        NoRecords = 2,
    };

    // arguments[0] is the program name. The plot command needs a QGuiApplication for its fonts.
    [[nodiscard]] static int run(const QStringList& arguments, QIODevice& out, QIODevice& err);
};

} // namespace quorvel::logtool
