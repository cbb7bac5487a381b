#include "configyaml.h"

#include "messagetext.h"
#include "regularfile.h"

#include <yaml-cpp/anchor.h>
#include <yaml-cpp/eventhandler.h>

#include <array>
#include <sstream>

namespace quorvel::runtime {

QString ConfigError::text() const
{
    const QString shown = escapedForMessage(file);
    if (line <= 0)
        return QStringLiteral("%1: %2").arg(shown, message);
    if (column <= 0)
        return QStringLiteral("%1:%2: %3").arg(shown).arg(line).arg(message);
    return QStringLiteral("%1:%2:%3: %4").arg(shown).arg(line).arg(column).arg(message);
}

} // namespace quorvel::runtime

namespace quorvel::runtime::configyaml {

namespace {

// Notes the first anchor or alias and the node past MaxDocumentNodes, from the parser's events alone:
// nothing is built, so an alias bomb or a million empty entries cost no more than their text.
class AnchorFinder final : public YAML::EventHandler {
public:
    std::optional<YAML::Mark> first;
    std::optional<YAML::Mark> pastBound;

    void OnDocumentStart(const YAML::Mark&) override {}
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override { note(mark, anchor); }
    void OnAlias(const YAML::Mark& mark, YAML::anchor_t) override { note(mark, YAML::NullAnchor + 1); }
    void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                  const std::string&) override
    {
        note(mark, anchor);
    }
    void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                         YAML::EmitterStyle::value) override
    {
        note(mark, anchor);
    }
    void OnSequenceEnd() override {}
    void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                    YAML::EmitterStyle::value) override
    {
        note(mark, anchor);
    }
    void OnMapEnd() override {}
    void OnAnchor(const YAML::Mark& mark, const std::string&) override { note(mark, YAML::NullAnchor + 1); }

private:
    // Every node's event comes here once, anchors' too.
    void note(const YAML::Mark& mark, YAML::anchor_t anchor)
    {
        if (anchor != YAML::NullAnchor && !first)
            first = mark;
        if (++nodes_ > MaxDocumentNodes && !pastBound)
            pastBound = mark;
    }

    qint64 nodes_ = 0;
};

QString keyText(const YAML::Node& key)
{
    return key.IsScalar() ? QString::fromStdString(key.Scalar()) : QString();
}

// The parser's words for a line at the wrong depth, said as what was expected there.
QString parserMessage(const std::string& message)
{
    static const std::array<std::pair<const char*, const char*>, 6> Said{{
        {YAML::ErrorMsg::MAP_VALUE, "indentation: this key stands deeper than the keys above it; line it up "
                                    "with them (or quote a value that holds \": \")"},
        {YAML::ErrorMsg::END_OF_MAP, "indentation: this line stands in no mapping's column above it; line it "
                                     "up with the keys it belongs with"},
        {YAML::ErrorMsg::END_OF_SEQ, "indentation: this line stands in no list's or mapping's column above "
                                     "it; line it up with the - items or the keys it belongs with"},
        {YAML::ErrorMsg::TAB_IN_INDENTATION, "indentation: a tab; indent with spaces"},
        {YAML::ErrorMsg::END_OF_MAP_FLOW, "a { mapping is not closed here: expected }"},
        {YAML::ErrorMsg::END_OF_SEQ_FLOW, "a [ list is not closed here: expected ]"},
    }};
    for (const auto& [parser, said] : Said)
        if (message == parser)
            return QLatin1String(said);
    return QString::fromStdString(message);
}

} // namespace

void Faults::add(const YAML::Mark& mark, const QString& message)
{
    // yaml-cpp counts lines and columns from 0, people and editors from 1.
    if (mark.is_null())
        m_errors.append({m_file, 0, 0, message});
    else
        m_errors.append({m_file, mark.line + 1, mark.column + 1, message});
}

QList<ConfigError> Faults::told() const
{
    // In the file's order, as a person reads and mends it; the file's own faults first.
    QList<ConfigError> told = m_errors;
    std::stable_sort(told.begin(), told.end(), [](const ConfigError& a, const ConfigError& b) {
        return std::pair(a.line, a.column) < std::pair(b.line, b.column);
    });
    constexpr int Most = MaxToldFaults;
    if (told.size() <= Most)
        return told;
    told.resize(Most);
    told.append({m_file, 0, 0, QStringLiteral("%1 more faults").arg(m_errors.size() - Most)});
    return told;
}

QByteArray readFile(const QString& path, qint64 maxBytes, const QString& tooLarge, Faults& faults)
{
    const RegularFileRead file = readRegularFile(path, maxBytes);
    if (file.status == RegularFileRead::Status::NoInput)
        faults.addToFile(file.problem);
    else if (file.status == RegularFileRead::Status::TooLarge)
        faults.addToFile(tooLarge);
    return file.bytes;
}

std::optional<YAML::Node> loadDocument(const QByteArray& text, Faults& faults)
{
    const std::string bytes(text.constData(), std::size_t(text.size()));
    try {
        std::istringstream stream(bytes);
        YAML::Parser parser(stream);
        AnchorFinder finder;
        int documents = 0;
        while (parser.HandleNextDocument(finder) && !finder.first && !finder.pastBound)
            ++documents;
        if (finder.pastBound && (!finder.first || finder.first->pos > finder.pastBound->pos)) {
            faults.add(
                *finder.pastBound,
                QStringLiteral("more than %1 keys, values, lists and mappings here; a configuration needs "
                               "far fewer")
                    .arg(MaxDocumentNodes));
            return std::nullopt;
        }
        if (finder.first) {
            faults.add(*finder.first, QStringLiteral("anchors (&) and aliases (*) are not taken here; write "
                                                     "each value out"));
            return std::nullopt;
        }
        if (documents > 1) {
            faults.addToFile(
                QStringLiteral("holds %1 YAML documents; a configuration is one").arg(documents));
            return std::nullopt;
        }
        return YAML::Load(bytes);
    } catch (const YAML::Exception& error) {
        faults.add(error.mark, parserMessage(error.msg));
        return std::nullopt;
    }
}

YAML::Mark Entry::mark() const
{
    const YAML::Mark mark = value.Mark();
    return mark.is_null() ? key.Mark() : mark;
}

Fields::Fields(const YAML::Node& map, QString where, Faults& faults)
    : m_faults(faults), m_where(std::move(where)), m_mark(map.Mark())
{
    const QString prefix = m_where.isEmpty() ? QString() : m_where + QLatin1Char('.');
    for (const auto& pair : map) {
        const QString key = keyText(pair.first);
        if (key.isEmpty()) {
            m_faults.add(pair.first.Mark(),
                         QStringLiteral("%1a key is a word, not a list or mapping").arg(prefix));
            continue;
        }
        const Entry entry{pair.first, pair.second, prefix + escapedForMessage(key)};
        // By a hash of the keys seen: a mapping of many thousand keys is checked in one pass.
        if (const auto same = indexOf_.constFind(key); same != indexOf_.cend()) {
            m_faults.add(entry.key.Mark(), QStringLiteral("%1: given twice (first on line %2)")
                                               .arg(entry.where)
                                               .arg(m_entries[*same].key.Mark().line + 1));
            continue;
        }
        indexOf_.insert(key, m_entries.size());
        m_entries.push_back(entry);
        m_taken.push_back(false);
    }
}

Fields::~Fields()
{
    for (std::size_t i = 0; i < m_entries.size(); ++i)
        if (const Entry& entry = m_entries[i]; !m_taken[i])
            m_faults.add(entry.key.Mark(),
                         QStringLiteral("%1: unknown key; known %2: %3")
                             .arg(entry.where,
                                  m_where.isEmpty() ? QStringLiteral("at the top") : QStringLiteral("here"),
                                  m_known.join(QStringLiteral(", "))));
}

std::optional<Entry> Fields::take(const char* key, bool known)
{
    const QString name = QLatin1String(key);
    if (known)
        m_known.append(name);
    const auto at = indexOf_.constFind(name);
    if (at == indexOf_.cend() || m_taken[*at])
        return std::nullopt;
    m_taken[*at] = true;
    return m_entries[*at];
}

std::optional<QString> scalarText(const Entry& entry, Faults& faults)
{
    // A NUL ("\0" in double quotes) would cut the value wherever it reaches C: an argument, a path, a name.
    if (entry.value.IsScalar() && entry.value.Scalar().find('\0') != std::string::npos) {
        faults.add(entry.mark(), entry.where + QStringLiteral(": a value holds no NUL character (\\0)"));
        return std::nullopt;
    }
    if (entry.value.IsScalar())
        return QString::fromStdString(entry.value.Scalar());
    faults.add(entry.mark(),
               entry.where + (entry.value.IsNull() ? QStringLiteral(": has no value")
                                                   : QStringLiteral(": expected a single value")));
    return std::nullopt;
}

} // namespace quorvel::runtime::configyaml
