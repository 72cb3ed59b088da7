// The walk from jacks to streaming pins, over a graph whose vertices are the
// filters' pins and nodes; connections are followed in either direction.
#include "EndpointPaths.h"

#include <deque>
#include <set>
#include <tuple>

namespace engine {

namespace {

constexpr ULONG FilterNode = static_cast<ULONG>(-1); // KSFILTER_NODE: the filter's own pins

struct Vertex {
    size_t filter;
    bool isNode;
    ULONG id;
    bool operator<(const Vertex &o) const
    {
        return std::tie(filter, isNode, id) < std::tie(o.filter, o.isNode, o.id);
    }
};

const PinDescription *PinOf(const FilterDescription &filter, ULONG id)
{
    return id < filter.pins.size() ? &filter.pins[id] : nullptr;
}

size_t FindFilter(const std::vector<FilterDescription> &filters, const std::wstring &path)
{
    const std::wstring key = FilterKey(path);
    for (size_t i = 0; i < filters.size(); ++i)
        if (filters[i].key == key)
            return i;
    return filters.size();
}

// The vertices one connection of the filter joins to `from`.
void Neighbours(const FilterDescription &filter, size_t index, const Vertex &from, std::vector<Vertex> &out)
{
    auto end = [&](ULONG node, ULONG pin) {
        return node == FilterNode ? Vertex{index, false, pin} : Vertex{index, true, node};
    };
    for (const KSTOPOLOGY_CONNECTION &c : filter.connections) {
        const Vertex a = end(c.FromNode, c.FromNodePin);
        const Vertex b = end(c.ToNode, c.ToNodePin);
        if (a.isNode == from.isNode && a.id == from.id)
            out.push_back(b);
        if (b.isNode == from.isNode && b.id == from.id)
            out.push_back(a);
    }
}

EndpointPath Walk(const std::vector<FilterDescription> &filters, size_t jackFilter, ULONG jackPin)
{
    EndpointPath path;
    path.jackFilter = jackFilter;
    path.jackPin = jackPin;
    path.render = filters[jackFilter].pins[jackPin].dataFlow == KSPIN_DATAFLOW_OUT;
    std::set<Vertex> seen;
    std::deque<Vertex> queue{{jackFilter, false, jackPin}};
    seen.insert(queue.front());
    std::vector<Vertex> next;
    while (!queue.empty()) {
        const Vertex v = queue.front();
        queue.pop_front();
        const FilterDescription &filter = filters[v.filter];
        next.clear();
        if (!v.isNode) {
            const PinDescription *pin = PinOf(filter, v.id);
            if (pin == nullptr)
                continue;
            if (pin->streamsAudio) {
                path.complete = true;
                path.streamFilter = v.filter;
                path.streamPin = v.id;
                path.render = pin->dataFlow == KSPIN_DATAFLOW_IN;
                return path;
            }
            if (pin->physical) {
                const size_t peer = FindFilter(filters, pin->peerPath);
                if (peer < filters.size())
                    next.push_back({peer, false, pin->peerPin});
            }
        }
        Neighbours(filter, v.filter, v, next);
        for (const Vertex &n : next)
            if (seen.insert(n).second)
                queue.push_back(n);
    }
    return path;
}

} // namespace

bool IsJack(const PinDescription &pin)
{
    static const GUID none = {};
    return pin.IsBridge() && !pin.physical && !IsEqualGUID(pin.category, none) &&
           !IsEqualGUID(pin.category, KSCATEGORY_AUDIO);
}

std::vector<EndpointPath> FindEndpointPaths(const std::vector<FilterDescription> &filters)
{
    std::vector<EndpointPath> paths;
    for (size_t f = 0; f < filters.size(); ++f)
        for (const PinDescription &pin : filters[f].pins)
            if (IsJack(pin))
                paths.push_back(Walk(filters, f, pin.id));
    return paths;
}

} // namespace engine
