#include "mediacap/nids/connection_registry.hpp"

namespace nids {

void connection_registry::start()
{
    followed_.clear();
    watched_ = nullptr;
}

void connection_registry::opened(const tcp_stream* stream)
{
    try {
        followed_.emplace(stream, stream->addr);
    } catch (...) {
        // Not watched; libnids reports its close as ever.
    }
}

void connection_registry::watch(tuple4 key)
{
    tcp_stream* stream = nids_find_tcp_stream(&key);
    if (stream && follows(stream)) {
        watched_ = stream;
        watched_key_ = key;
    }
}

std::vector<tcp_stream*> connection_registry::lost_all()
{
    std::vector<tcp_stream*> lost;
    for (auto& [stream, key] : followed_)
        if (gone(stream, key))
            lost.push_back(const_cast<tcp_stream*>(stream));
    return lost;
}

bool connection_registry::gone(const tcp_stream* stream, tuple4 key)
{
    return nids_find_tcp_stream(&key) != stream || stream->nids_state != NIDS_DATA;
}

}  // namespace nids
