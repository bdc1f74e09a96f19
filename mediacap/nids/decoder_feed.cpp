#include "mediacap/nids/decoder_feed.hpp"

namespace nids {

callback_scope::~callback_scope()
{
    loop_.established = nullptr;
    loop_.closed = nullptr;
    loop_.request_bytes = nullptr;
    loop_.response_bytes = nullptr;
    loop_.after_dispatch = nullptr;
}

decoder_feed::decoder_feed(dispatcher& loop, mediacap::decoder::http_decoder& decoder) : scope_(loop)
{
    decoder.set_budget(&loop.budget());
    loop.established = [&decoder](tuple4* key) { decoder.on_established(key); };
    loop.closed = [&decoder](tuple4* key, int state) { decoder.on_close(key, state); };
    loop.request_bytes = [&decoder](tuple4* key, const char* data, unsigned length) {
        return decoder.on_request_bytes(key, data, length);
    };
    loop.response_bytes = [&decoder](tuple4* key, const char* data, unsigned length) {
        return decoder.on_response_bytes(key, data, length);
    };
}

}  // namespace nids
