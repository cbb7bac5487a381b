#include "forms.h"

namespace quorvel::runtime {

namespace {
QList<QPointer<QWidget>>& list()
{
    static QList<QPointer<QWidget>> forms;
    return forms;
}

void prune()
{
    list().removeIf([](const QPointer<QWidget>& p) { return p.isNull(); });
}
} // namespace

void Forms::loaded(QWidget* form)
{
    prune();
    if (form && !list().contains(form))
        list().append(form);
}

void Forms::unloaded(QWidget* form)
{
    list().removeAll(form);
    prune();
}

int Forms::count()
{
    prune();
    return static_cast<int>(list().size());
}

QWidget* Forms::at(int index)
{
    prune();
    return index >= 0 && index < list().size() ? list().at(index).data() : nullptr;
}

} // namespace quorvel::runtime
