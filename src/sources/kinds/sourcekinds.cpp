#include "sourcekinds.h"

#include "sources/adapter/adapterkind.h"
#include "sources/owserver/owserverkind.h"
#include "sources/w1/w1kind.h"

#include <algorithm>
#include <array>

namespace quorvel::acquisition {

std::span<const SourceKind* const> sourceKinds()
{
    static const std::array kinds{&adapterKind(), &w1Kind(), &owserverKind()};
    return kinds;
}

const SourceKind* findSourceKind(const QString& name)
{
    const auto kinds = sourceKinds();
    const auto found = std::find_if(kinds.begin(), kinds.end(), [&name](const SourceKind* kind) {
        return name == QLatin1String(kind->name);
    });
    return found == kinds.end() ? nullptr : *found;
}

} // namespace quorvel::acquisition
