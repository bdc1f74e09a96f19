#include <gtest/gtest.h>

#include <sched.h>

#include <functional>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "mediacap/decoder/connection_address.hpp"
#include "mediacap/decoder/http_decoder.hpp"
#include "mediacap/http/ip_to_string.hpp"
#include "mediacap/nids/capture_thread.hpp"
#include "mediacap/nids/decoder_feed.hpp"
#include "mediacap/nids/dispatcher.hpp"
#include "mediacap/nids/kernel_buffer.hpp"
#include "tests/nids/capture_file.hpp"
#include "testkit/pcap_writer.hpp"

using test_support::pcap_writer;
using test_support::side;
using test_support::tcp_flow;

namespace {

std::string ends_of(tuple4* key)
{
    const auto a = mediacap::decoder::read_connection_address(key);
    return mediacap::ip_to_string(a.saddr) + ":" + std::to_string(a.source) + ">" +
           mediacap::ip_to_string(a.daddr) + ":" + std::to_string(a.dest);
}

// Records the dispatcher's callbacks as text:
//   "open <client>><server>", "request <bytes>", "response <bytes>",
//   "closed <state>"
// and answers the byte callbacks with `consume` (everything by default).
struct capture_log {
    std::vector<std::string> events;
    std::function<unsigned(bool from_client, const std::string& offered)> consume =
        [](bool, const std::string& offered) { return static_cast<unsigned>(offered.size()); };

    void install()
    {
        nids::dispatcher& loop = nids::dispatcher::instance();
        loop.established = [this](tuple4* key) { events.push_back("open " + ends_of(key)); };
        loop.closed = [this](tuple4*, int state) { events.push_back("closed " + std::to_string(state)); };
        loop.request_bytes = [this](tuple4*, const char* data, unsigned length) {
            return offered(true, std::string(data, length));
        };
        loop.response_bytes = [this](tuple4*, const char* data, unsigned length) {
            return offered(false, std::string(data, length));
        };
    }

    unsigned offered(bool from_client, const std::string& bytes)
    {
        events.push_back((from_client ? "request " : "response ") + bytes);
        return consume(from_client, bytes);
    }

    // Every byte offered in one direction, joined: with the default policy
    // each byte is offered exactly once.
    std::string joined(const std::string& direction) const
    {
        std::string all;
        for (const std::string& event : events)
            if (event.rfind(direction + " ", 0) == 0)
                all += event.substr(direction.size() + 1);
        return all;
    }
};

// Compares byte strings without printing them whole.
::testing::AssertionResult same_bytes(const std::string& got, const std::string& expected)
{
    if (got == expected)
        return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at])
        ++at;
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, expected " << expected.size()
                                         << "; first difference at offset " << at;
}

class CaptureLoop : public ::testing::Test {
protected:
    std::vector<std::string> capture(const std::string& file)
    {
        log.install();
        run_over_file(file);
        return log.events;
    }

    scratch_folder folder;
    capture_log log;
};

TEST_F(CaptureLoop, HandshakeDataAndFinReachTheFourCallbacksInOrder)
{
    const std::string file = folder.file("plain.pcap");
    {
        pcap_writer writer(file);
        tcp_flow flow(writer, "10.0.0.1", 40000, "10.0.0.2", 80);
        flow.handshake();
        flow.send(side::client, "GET / HTTP/1.1\r\n\r\n");
        flow.send(side::server, "HTTP/1.1 200 OK\r\n\r\n");
        flow.close();
    }
    EXPECT_EQ(capture(file), (std::vector<std::string>{"open 10.0.0.1:40000>10.0.0.2:80", "request GET / HTTP/1.1\r\n\r\n",
                                                       "response HTTP/1.1 200 OK\r\n\r\n", "response ", "closed 3"}))
        << "the close flushes the server's direction once more, here with nothing left";
}

TEST_F(CaptureLoop, UnconsumedBytesAreOfferedAgainWithTheNextSegment)
{
    const std::string file = folder.file("split.pcap");
    {
        pcap_writer writer(file);
        tcp_flow flow(writer, "10.0.0.1", 40001, "10.0.0.2", 8080);
        flow.handshake();
        flow.split(side::client, "GET /a HTTP/1.1\r\n\r\n", {5, 9});
        flow.close();
    }
    // Nothing is consumed until the head is whole.
    log.consume = [](bool, const std::string& offered) {
        return offered.find("\r\n\r\n") == std::string::npos ? 0u : static_cast<unsigned>(offered.size());
    };
    EXPECT_EQ(capture(file), (std::vector<std::string>{"open 10.0.0.1:40001>10.0.0.2:8080", "request GET /", "request GET /a HT",
                                                       "request GET /a HTTP/1.1\r\n\r\n", "request ", "closed 3"}));
}

TEST_F(CaptureLoop, ReorderedAndRetransmittedSegmentsAreDeliveredOnceInOrder)
{
    const std::string file = folder.file("reorder.pcap");
    const std::string request = "GET /v HTTP/1.1\r\n\r\n";
    const std::string response = pattern(10000, 1);
    {
        pcap_writer writer(file);
        tcp_flow flow(writer, "10.0.0.1", 40002, "10.0.0.2", 80);
        flow.handshake();
        flow.send(side::client, request);
        flow.reorder(side::server, response.substr(0, 4000), 1000);
        flow.retransmit(side::server, response.substr(4000), 1000, 2);
        flow.close(side::server);
    }
    const auto events = capture(file);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front(), "open 10.0.0.1:40002>10.0.0.2:80");
    EXPECT_EQ(events.back(), "closed 3");
    EXPECT_EQ(log.joined("request"), request);
    EXPECT_TRUE(same_bytes(log.joined("response"), response)) << "every response byte exactly once, in order";
}

TEST_F(CaptureLoop, ResetWithoutDataReportsOnlyTheClose)
{
    const std::string file = folder.file("reset.pcap");
    {
        pcap_writer writer(file);
        tcp_flow flow(writer, "10.0.0.1", 40003, "10.0.0.2", 80);
        flow.handshake();
        flow.reset(side::server);
    }
    EXPECT_EQ(capture(file), (std::vector<std::string>{"open 10.0.0.1:40003>10.0.0.2:80", "closed 4"}));
}

TEST_F(CaptureLoop, FinFlushesUnconsumedResponseBytesButNotRequestBytes)
{
    const std::string file = folder.file("flush.pcap");
    {
        pcap_writer writer(file);
        tcp_flow flow(writer, "10.0.0.1", 40004, "10.0.0.2", 80);
        flow.handshake();
        flow.send(side::client, "abc");
        flow.send(side::server, "0123456789");
        flow.close();
    }
    log.consume = [](bool, const std::string&) { return 0u; };
    EXPECT_EQ(capture(file), (std::vector<std::string>{"open 10.0.0.1:40004>10.0.0.2:80", "request abc",
                                                       "response 0123456789", "response 0123456789", "closed 3"}));
}

TEST_F(CaptureLoop, ConnectionsStillOpenAtTheEndAreFlushedAsExiting)
{
    const std::string file = folder.file("open.pcap");
    {
        pcap_writer writer(file);
        tcp_flow flow(writer, "10.0.0.1", 40005, "10.0.0.2", 80);
        flow.handshake();
        flow.send(side::client, "GET /x HTTP/1.1\r\n");
    }
    log.consume = [](bool, const std::string&) { return 0u; };
    EXPECT_EQ(capture(file), (std::vector<std::string>{"open 10.0.0.1:40005>10.0.0.2:80", "request GET /x HTTP/1.1\r\n",
                                                       "request GET /x HTTP/1.1\r\n", "closed 6"}));
}

TEST_F(CaptureLoop, OnlyTheWatchedPortsAreFollowed)
{
    const std::string file = folder.file("ports.pcap");
    {
        pcap_writer writer(file);
        tcp_flow other(writer, "10.0.0.1", 40006, "10.0.0.2", 9999);
        other.handshake();
        other.send(side::client, "not watched");
        other.close();
        tcp_flow watched(writer, "10.0.0.1", 40007, "10.0.0.2", 8080);
        watched.handshake();
        watched.reset(side::client);
    }
    EXPECT_EQ(capture(file), (std::vector<std::string>{"open 10.0.0.1:40007>10.0.0.2:8080", "closed 4"}));
}

TEST_F(CaptureLoop, ThrowingCallbacksDoNotEndTheRun)
{
    const std::string file = folder.file("throw.pcap");
    {
        pcap_writer writer(file);
        tcp_flow flow(writer, "10.0.0.1", 40008, "10.0.0.2", 80);
        flow.handshake();
        flow.send(side::server, "first");
        flow.send(side::server, "second");
        flow.close();
    }
    log.consume = [](bool, const std::string&) -> unsigned { throw std::runtime_error("slot failed"); };
    EXPECT_EQ(capture(file), (std::vector<std::string>{"open 10.0.0.1:40008>10.0.0.2:80", "response first",
                                                       "response second", "response ", "closed 3"}))
        << "bytes offered to a throwing callback are dropped, the run goes on";
}

TEST_F(CaptureLoop, TwoRunsInARowSeeTheSameTraffic)
{
    const std::string file = folder.file("twice.pcap");
    {
        pcap_writer writer(file);
        tcp_flow flow(writer, "10.0.0.1", 40009, "10.0.0.2", 80);
        flow.handshake();
        flow.send(side::client, "hello");
        flow.close();
    }
    const auto first = capture(file);
    log.events.clear();
    EXPECT_EQ(capture(file), first);
    EXPECT_EQ(first.size(), 4u);
}

TEST(CaptureLoopFilter, WatchedPortsInAscendingOrderAndNoFragment)
{
    const std::string both = nids::dispatcher::make_filter({8080, 80});
    EXPECT_EQ(both, "tcp and (port 80 or port 8080) and ip[6:2] & 0x3fff = 0");
    EXPECT_EQ(nids::dispatcher::make_filter({80}), "tcp and (port 80) and ip[6:2] & 0x3fff = 0");
}

// 250 ms of the link's rate and a quarter more, in whole MiB, within the
// floor, the ceiling and a sixteenth of the memory.
TEST(CaptureLoopKernelBuffer, HoldsAQuarterSecondOfTheLink)
{
    constexpr std::uint64_t mbit = 1000000, gib = std::uint64_t(1) << 30;
    const std::vector<std::tuple<std::uint64_t, std::uint64_t, std::size_t>> rows = {
        {100 * mbit, 16 * gib, 32}, {1000 * mbit, 16 * gib, 38}, {10000 * mbit, 16 * gib, 373},
        {10000 * mbit, 4 * gib, 256}, {100000 * mbit, 64 * gib, 1024}, {0, 16 * gib, 128},
        {0, 1 * gib, 64}, {0, gib / 4, 32}, {10000 * mbit, 0, 373}};
    for (const auto& [bits, memory, mib] : rows)
        EXPECT_EQ(nids::kernel_buffer_bytes(bits, memory), mib << 20) << bits << " bit/s, " << memory << " bytes";
}

// Real-time priority only where the thread may run on more than one
// processor: its affinity counts, not the processors the machine has.
TEST(CaptureLoopPriority, RaisedOnlyWithMoreThanOneUsableProcessor)
{
    cpu_set_t all;
    ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
    std::vector<int> processors;
    for (int cpu = 0; cpu < CPU_SETSIZE && processors.size() < 2; ++cpu)
        if (CPU_ISSET(cpu, &all))
            processors.push_back(cpu);
    for (std::size_t usable = 1; usable <= processors.size(); ++usable) {
        bool raised = false, fifo = false, restored = false;
        std::thread([&] {
            cpu_set_t narrowed;
            CPU_ZERO(&narrowed);
            for (std::size_t i = 0; i < usable; ++i)
                CPU_SET(processors[i], &narrowed);
            ASSERT_EQ(::sched_setaffinity(0, sizeof narrowed, &narrowed), 0);
            {
                const nids::raised_capture_thread thread(true);
                raised = thread.raised();
                fifo = (::sched_getscheduler(0) & ~SCHED_RESET_ON_FORK) == SCHED_FIFO;
            }
            restored = (::sched_getscheduler(0) & ~SCHED_RESET_ON_FORK) == SCHED_OTHER;
        }).join();
        EXPECT_TRUE(restored) << usable << " processor(s)";
        EXPECT_EQ(fifo, raised) << usable << " processor(s)";
        if (usable == 1)
            EXPECT_FALSE(raised) << "raised on the only processor the thread may use";
        else if (!raised)
            GTEST_SKIP() << "this process may not take real-time priority (needs CAP_SYS_NICE)";
    }
}

TEST(CaptureLoopErrors, StartFailuresThrowWithTheLibraryText)
{
    struct failure {
        const char* what;
        nids::options settings;
    };
    std::vector<failure> failures(2);
    failures[0].what = "a missing capture file";
    failures[0].settings.capture_file = "/nonexistent/vendrax/none.pcap";
    failures[1].what = "a device that does not exist";
    failures[1].settings.device = "vdx-no-such0";
    failures[1].settings.promiscuous = false;
    for (const failure& f : failures) {
        nids::configure(f.settings);
        try {
            nids::dispatcher::instance().run({80, 8080});
            ADD_FAILURE() << f.what << ": run returned instead of throwing";
        } catch (const nids::error& e) {
            EXPECT_GT(std::string(e.what()).size(), 0u) << f.what;
        }
    }
    // libnids is usable again after a failed start.
    scratch_folder folder;
    const std::string file = folder.file("after.pcap");
    {
        pcap_writer writer(file);
        tcp_flow flow(writer, "10.0.0.1", 40010, "10.0.0.2", 80);
        flow.handshake();
        flow.reset(side::client);
    }
    capture_log log;
    log.install();
    run_over_file(file);
    EXPECT_EQ(log.events, (std::vector<std::string>{"open 10.0.0.1:40010>10.0.0.2:80", "closed 4"}));
}

// The dispatcher and the decoder together, as the engine binds them.
TEST_F(CaptureLoop, DecoderSeesEveryExchangeOfKeptAliveConnections)
{
    const std::string file = folder.file("http.pcap");
    const std::string video = pattern(300000, 2), image = pattern(5000, 3);
    const auto reply = [](const std::string& body) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    {
        pcap_writer writer(file);
        tcp_flow first(writer, "192.168.1.10", 50000, "10.0.0.2", 80);
        tcp_flow second(writer, "192.168.1.10", 50001, "10.0.0.3", 8080);
        first.handshake();
        second.handshake();
        first.send(side::client, "GET /clip.mp4 HTTP/1.1\r\nHost: a:80\r\n\r\n");
        second.split(side::client, "GET /a.png HTTP/1.1\r\n\r\nGET /b.png HTTP/1.1\r\n\r\n", {3, 30});
        first.send(side::server, reply(video), 1448);
        second.reorder(side::server, reply(image) + reply("tiny"), 700);
        first.send(side::client, "GET /none HTTP/1.1\r\n\r\n");
        first.send(side::server, "HTTP/1.1 304 Not Modified\r\n\r\n");
        first.close();
        second.close(side::server);
    }
    mediacap::decoder::http_decoder decoder;
    std::vector<std::string> exchanges;
    std::map<unsigned, std::string> bodies;
    std::vector<std::string> ends;
    decoder.exchange_signal.connect([&](unsigned id, const mediacap::http::http_tuple& exchange) {
        exchanges.push_back(std::to_string(id) + " " + exchange.request.server_address + ":" +
                            std::to_string(exchange.request.server_port) + exchange.request.path + " " +
                            std::to_string(exchange.response.status));
    });
    decoder.data_signal.connect([&](unsigned id, const char* data, unsigned length) { bodies[id].append(data, length); });
    decoder.finished_signal.connect([&](unsigned id) { ends.push_back("finished " + std::to_string(id)); });
    decoder.closed_signal.connect([&](unsigned id) { ends.push_back("closed " + std::to_string(id)); });

    nids::decoder_feed feed(nids::dispatcher::instance(), decoder);
    run_over_file(file);

    EXPECT_EQ(exchanges, (std::vector<std::string>{"1 10.0.0.2:80/clip.mp4 200", "2 10.0.0.3:8080/a.png 200",
                                                   "2 10.0.0.3:8080/b.png 200"}));
    EXPECT_TRUE(same_bytes(bodies[1], video));
    EXPECT_TRUE(same_bytes(bodies[2], image + "tiny"));
    EXPECT_EQ(ends, (std::vector<std::string>{"finished 1", "finished 2", "finished 2", "closed 1", "closed 2"}));
}

}  // namespace
