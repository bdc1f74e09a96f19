#pragma once

#include "mediacap/decoder/http_decoder.hpp"
#include "mediacap/nids/dispatcher.hpp"

namespace nids {

// Empties every callback of the capture loop when it goes, so that none of
// them outlives the objects it reaches: for a run whose callbacks capture
// objects on the caller's stack. Made and destroyed on the capture thread,
// around dispatcher::run.
class callback_scope {
public:
    explicit callback_scope(dispatcher& loop) : loop_(loop) {}
    ~callback_scope();

    callback_scope(const callback_scope&) = delete;
    callback_scope& operator=(const callback_scope&) = delete;

private:
    dispatcher& loop_;
};

// Hands what the capture loop sees to an HTTP decoder while it lives: the
// opening and closing of each connection and the bytes of both directions,
// whose consumed counts go back to libnids; the decoder charges the loop's
// memory budget from then on. When it goes, every callback of
// the loop is emptied (after_dispatch too, which its owner may set). The one
// wiring of the engine, its benchmark and its tests.
class decoder_feed {
public:
    decoder_feed(dispatcher& loop, mediacap::decoder::http_decoder& decoder);

private:
    callback_scope scope_;
};

}  // namespace nids
