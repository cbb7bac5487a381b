#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <utility>

namespace quorvel::runtime {

// A whole-number value's bounds, both included.
struct WholeBounds {
    qint64 low = 0;
    qint64 high = 0;
};

// The number, or nothing when the text is not a whole number within the bounds (a leading + is refused).
[[nodiscard]] inline std::optional<qint64> wholeNumber(const QString& text, const WholeBounds& bounds)
{
    bool ok = false;
    const qint64 n = text.toLongLong(&ok);
    if (!ok || n < bounds.low || n > bounds.high || text.startsWith(QLatin1Char('+')))
        return std::nullopt;
    return n;
}

// One setting of a program, declared once by the part it sets: the command-line parser, the usage text, the
// configuration file's reader and the test that holds the manual page to them all read this.
template <class Target> struct OptionDecl {
    // Takes the value, or gives the reason it is no good.
    using Apply = std::function<std::optional<QString>(const QString& value, Target& target)>;

    // Each member has an initializer, so a row names only what it needs.
    QStringList names{}; // without dashes; the first is the one the synopsis shows, the rest are aliases
    QString valueName{}; // empty: a flag
    QString help{};
    // What applies without it, as the usage text says it; empty: nothing worth a figure.
    QString defaultValue{};
    // A whole number within these, checked before apply is called.
    std::optional<WholeBounds> bounds{};
    // Refused without the option of this name.
    QString needs{};
    // Its key in the configuration file; empty: the command line's only. A flag's key is true or false.
    QString key{};
    // The mapping of the file the key stands in; empty: the top level.
    QString section{};
    // A file or folder: in the configuration file, relative to the file's folder.
    bool path = false;
    // For a flag: the key says the opposite (discovery: false for --no-discovery).
    bool keyInverts = false;
    Apply apply{};
};

// The rows' setters: each takes the value and gives the reason it is no good, if it is not.
template <class Field, class Value> std::optional<QString> setValue(Field& field, Value value)
{
    field = value;
    return std::nullopt;
}

// A file or user name: anything but empty.
inline std::optional<QString> setNamed(QString& field, const QString& value, const char* what)
{
    if (value.isEmpty())
        return QStringLiteral("expected %1").arg(QLatin1StringView(what));
    return setValue(field, value);
}

// The declaration of a part's setting as one of the whole that holds the part.
template <class Whole, class Part>
OptionDecl<Whole> lifted(const OptionDecl<Part>& decl, std::function<Part&(Whole&)> part)
{
    OptionDecl<Whole> whole{decl.names, decl.valueName, decl.help,    decl.defaultValue, decl.bounds,
                            decl.needs, decl.key,       decl.section, decl.path,         decl.keyInverts};
    whole.apply = [apply = decl.apply, part = std::move(part)](const QString& value, Whole& target) {
        return apply(value, part(target));
    };
    return whole;
}

} // namespace quorvel::runtime
