#pragma once

#include <yaml-cpp/yaml.h>

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace quorvel::runtime {

// Where a configuration file is wrong: "file:line:column: message", as a compiler says it, so an editor can
// go there. line and column count from 1; 0 when the fault is the file's as a whole.
struct ConfigError {
    QString file;
    int line = 0;
    int column = 0;
    QString message;

    [[nodiscard]] QString text() const;
};

} // namespace quorvel::runtime

// The YAML side of a configuration file: the document read from bounded bytes, and each mapping's keys
// taken one by one, every fault told where it is. What the keys mean is their reader's.
namespace quorvel::runtime::configyaml {

// Collects the faults of one file, each at its place.
class Faults {
public:
    explicit Faults(QString file) : m_file(std::move(file)) {}

    void add(const YAML::Mark& mark, const QString& message);
    void addToFile(const QString& message) { add(YAML::Mark::null_mark(), message); }
    [[nodiscard]] bool any() const { return !m_errors.isEmpty(); }
    [[nodiscard]] qsizetype count() const { return m_errors.size(); }
    // At most MaxToldFaults of them, then how many more.
    [[nodiscard]] QList<ConfigError> told() const;

private:
    QString m_file;
    QList<ConfigError> m_errors;
};

// A document of more nodes (keys, values, lists, mappings) is refused before its tree is built: a hundred
// sources of a hundred sensors with every key hold about 151,000, and a tree costs hundreds of bytes a node.
inline constexpr qint64 MaxDocumentNodes = 160'000;

// The file's bytes, read by readRegularFile(); empty, with the fault told to the file, when it cannot be
// read or is larger than maxBytes (tooLarge says what it is then).
[[nodiscard]] QByteArray readFile(const QString& path, qint64 maxBytes, const QString& tooLarge,
                                  Faults& faults);

// The one document of the file, or nothing with the fault told. Anchors and aliases, and a document past
// MaxDocumentNodes, are refused from the parser's events before a tree is built: walking an alias bomb's
// shared nodes would never end, and a configuration has no use for them.
[[nodiscard]] std::optional<YAML::Node> loadDocument(const QByteArray& text, Faults& faults);

// One key of a mapping with its value, and the key's full name for messages ("sources[1].address").
struct Entry {
    YAML::Node key;
    YAML::Node value;
    QString where;

    // Where the value stands; the key's place for a value left empty.
    [[nodiscard]] YAML::Mark mark() const;
};

// The entries of one mapping, taken key by key by their readers. A key given twice is told at once; a key
// that no reader took is told when the Fields end, with the keys known there, so no reader can forget to.
class Fields {
public:
    Fields(const YAML::Node& map, QString where, Faults& faults);
    ~Fields();
    Fields(const Fields&) = delete;
    Fields& operator=(const Fields&) = delete;

    // known: the key is said among the mapping's known ones when another is unknown.
    [[nodiscard]] std::optional<Entry> take(const char* key, bool known = true);
    // The mapping's own place, for a key that is missing.
    [[nodiscard]] YAML::Mark mark() const { return m_mark; }
    [[nodiscard]] const QString& where() const { return m_where; }

private:
    Faults& m_faults;
    QString m_where;
    YAML::Mark m_mark;
    // A std::vector of entries that are only ever appended: assigning a YAML::Node (as QList::takeAt
    // would, shifting) writes into the document instead of rebinding the handle.
    std::vector<Entry> m_entries;
    std::vector<bool> m_taken;
    QHash<QString, std::size_t> indexOf_; // key -> its entry
    QStringList m_known;
};

// The value as text, or nothing with the fault told (left empty, a list or a mapping).
[[nodiscard]] std::optional<QString> scalarText(const Entry& entry, Faults& faults);

} // namespace quorvel::runtime::configyaml
