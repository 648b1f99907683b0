// What the console does with bad HTTP input while its flow runs: paths outside the
// site, wrong methods and bodies, oversized headers, slow and silent clients, and a
// thousand connections at once. Each gets a clear 4xx (or 503 when the console is full)
// or is dropped, within the console's time limits; the console then answers again and
// the flow has gone on taking messages all along. Loopback only, bounded in count and
// time.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include "broker/host.h"
#include "runtime/console.h"
#include "runtime/runtime.h"
#include "tests/console/http_client.h"
#include "tests/runtime/helpers.h"

namespace {

using namespace std::chrono_literals;

constexpr const char *FLOW = R"(name: PASS
queueManager: QMH
nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q, waitInterval: 50}}
  - {name: Out, class: MQOutput, properties: {queueName: OUT.Q}}
connections:
  - In.out -> Out.in
)";

class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        qm = std::make_unique<rttest::QueueManager>("QMH", dir.file("mq"));
        qm->define("I.Q");
        qm->define("OUT.Q");
        rttest::writeFile(dir.file("flow.yaml"), FLOW);
        logStream = std::fopen("/dev/null", "w");
        broker::setLogStream(logStream);
        flow = runtime::DeployedFlow::deploy(runtime::parseFlowFile(dir.file("flow.yaml")), {});
        flow->start();
        runtime::ConsoleOptions options;
        options.workers = 2;
        options.waiting = 4;
        options.requestHeadLimit = 4096;
        options.requestTime = 1000ms;
        options.keepAliveTime = 1000ms;
        console = std::make_unique<runtime::Console>(*flow, options);
        console->setPhase(runtime::Console::Phase::Running);
        port = console->port();
    }
    void TearDown() override {
        console.reset();
        flow.reset();
        broker::setLogStream(nullptr);
        if (logStream != nullptr) {
            std::fclose(logStream);
        }
    }

    // The console answers and the flow passes `count` more messages.
    void expectStillServing(int count) {
        EXPECT_TRUE(
            rttest::waitFor([&] { return httptest::get(port, "/healthz").status == 200; }, 5s))
            << "the console does not answer again";
        MQLONG before = qm->depth("OUT.Q");
        std::vector<std::string> bodies(static_cast<size_t>(count), "<m>still</m>");
        qm->put("I.Q", bodies);
        EXPECT_TRUE(rttest::waitFor([&] { return qm->depth("OUT.Q") == before + count; }))
            << qm->depth("OUT.Q") << " on OUT.Q, " << before << " before";
    }

    rttest::TempDir dir;
    std::unique_ptr<rttest::QueueManager> qm;
    std::unique_ptr<runtime::DeployedFlow> flow;
    std::unique_ptr<runtime::Console> console;
    FILE *logStream = nullptr;
    int port = 0;
};

TEST_F(BadInput, PathsMethodsAndBodiesOutsideTheSiteGet4xx) {
    const std::pair<std::string, int> cases[] = {
        {"GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"GET /metrics/../../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"GET //etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"GET /healthz/ HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"GET /%00 HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", 405},
        {"DELETE /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 405},
        {"PUT /healthz HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", 405},
        {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n" + std::string(100, 'x'), 413},
        {"BREW /pot HTCPCP/1.0\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         413},
        {"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 not HTTP at all\r\n\r\n", 400},
    };
    for (const auto &[bytes, status] : cases) {
        httptest::Answer a = httptest::request(port, bytes, 5s);
        if (status == 400 && a.status == 0) {
            continue; // dropped without an answer: allowed for what is not HTTP
        }
        EXPECT_EQ(a.status, status) << bytes << "\n" << a.head << "\n" << a.body;
        if (a.status >= 400) {
            EXPECT_EQ(a.body.rfind(std::to_string(status) + ": ", 0), 0u) << a.body;
        }
    }
    expectStillServing(3);
}

TEST_F(BadInput, OversizedHeadersGet431OrAreDropped) {
    struct Case {
        const char *what;
        std::string bytes;
    };
    std::string manyHeaders = "GET / HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 400; ++i) {
        manyHeaders += "X-Filler-" + std::to_string(i) + ": " + std::string(40, 'f') + "\r\n";
    }
    const Case cases[] = {
        {"one long header",
         "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(64 * 1024, 'b') + "\r\n\r\n"},
        {"many headers", manyHeaders + "\r\n"},
        {"a long request line", "GET /" + std::string(32 * 1024, 'p') + " HTTP/1.1\r\n\r\n"},
    };
    for (const Case &c : cases) {
        httptest::Connection connection(port);
        connection.send(c.bytes); // the console may close before it has read all of it
        bool closed = false;
        httptest::Answer a = httptest::parse(connection.receive(5s, &closed, false));
        EXPECT_TRUE(a.status == 431 || (a.status == 0 && closed))
            << c.what << ": status " << a.status << "\n"
            << a.head;
    }
    expectStillServing(3);
}

TEST_F(BadInput, SlowAndSilentClientsAreCutOffInTime) {
    // A client that trickles its headers a byte at a time never finishes within the
    // console's time for a request head.
    httptest::Connection slow(port);
    ASSERT_TRUE(slow.send("GET /metrics HTTP/1.1\r\n"));
    auto started = httptest::Clock::now();
    std::string answer;
    for (char c : std::string("X-Slow: 0123456789012345678901234567890123456789")) {
        if (!slow.send(std::string(1, c))) {
            break; // the console has closed the connection
        }
        answer += slow.receive(100ms, nullptr, false);
        if (!answer.empty()) {
            break;
        }
    }
    bool closed = false;
    answer += slow.receive(3s, &closed, false);
    auto took = httptest::Clock::now() - started;
    httptest::Answer a = httptest::parse(answer);
    EXPECT_TRUE(a.status == 408 || (a.status == 0 && closed)) << a.status << "\n" << answer;
    EXPECT_LT(took, 3s) << "the slow client held its connection too long";

    // A client that connects and says nothing is dropped without an answer.
    httptest::Connection silent(port);
    started = httptest::Clock::now();
    std::string said = silent.receive(4s, &closed, false);
    EXPECT_TRUE(closed) << "the silent connection is still open";
    EXPECT_TRUE(said.empty() || httptest::parse(said).status == 408) << said;
    EXPECT_LT(httptest::Clock::now() - started, 3s);

    // A kept-alive connection that falls silent after its first answer is closed too.
    httptest::Connection idle(port);
    idle.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(httptest::parse(idle.receive(3s)).status, 200);
    started = httptest::Clock::now();
    idle.receive(4s, &closed, false);
    EXPECT_TRUE(closed);
    EXPECT_LT(httptest::Clock::now() - started, 3s);
    expectStillServing(3);
}

TEST_F(BadInput, AThousandConnectionsAreBoundedWhileTheFlowGoesOn) {
    constexpr int CONNECTIONS = 1000;
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < CONNECTIONS + 200) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, CONNECTIONS + 200);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    std::vector<std::string> requests(20, "<m>during the flood</m>");
    qm->put("I.Q", requests);

    std::vector<httptest::Connection> connections;
    connections.reserve(CONNECTIONS);
    for (int i = 0; i < CONNECTIONS; ++i) {
        connections.emplace_back(port, false);
        ASSERT_GE(connections.back().fd(), 0) << "connection " << i;
    }
    // Every connection ends within the limits: answered 503 (the console is full),
    // answered after a request, or dropped as silent. None stays open for long.
    int busy = 0, served = 0, dropped = 0, open = 0;
    auto until = httptest::Clock::now() + 20s;
    std::vector<bool> done(CONNECTIONS, false);
    int remaining = CONNECTIONS;
    std::vector<std::string> received(CONNECTIONS);
    while (remaining > 0 && httptest::Clock::now() < until) {
        std::vector<pollfd> polls;
        std::vector<int> which;
        for (int i = 0; i < CONNECTIONS; ++i) {
            if (!done[i]) {
                polls.push_back({connections[i].fd(), POLLIN, 0});
                which.push_back(i);
            }
        }
        if (::poll(polls.data(), polls.size(), 100) <= 0) {
            continue;
        }
        for (size_t k = 0; k < polls.size(); ++k) {
            if (polls[k].revents == 0) {
                continue;
            }
            int i = which[k];
            char buffer[1024];
            ssize_t n = ::recv(polls[k].fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                received[i].append(buffer, static_cast<size_t>(n));
                continue;
            }
            done[i] = true;
            --remaining;
            int status = httptest::parse(received[i]).status;
            if (status == 503) {
                ++busy;
            } else if (status == 0) {
                ++dropped;
            } else {
                ++served;
            }
        }
    }
    open = remaining;
    EXPECT_EQ(open, 0) << "connections still open after 20 s";
    EXPECT_EQ(served, 0) << "no request was sent, so none is answered but with 503";
    EXPECT_GE(busy, CONNECTIONS - 200) << busy << " busy, " << dropped << " dropped";
    EXPECT_EQ(busy + dropped + open, CONNECTIONS);
    EXPECT_TRUE(rttest::waitFor([&] { return qm->depth("OUT.Q") == 20; }))
        << "the flow stalled during the flood: " << qm->depth("OUT.Q") << " of 20";
    connections.clear();
    expectStillServing(5);
}

TEST_F(BadInput, StoppingEndsOpenConnectionsPromptly) {
    httptest::Connection silent(port);
    httptest::Connection trickle(port);
    trickle.send("GET / HTTP/1.1\r\n");
    std::this_thread::sleep_for(100ms);
    auto started = httptest::Clock::now();
    console->stop();
    EXPECT_LT(httptest::Clock::now() - started, 1s);
    bool closed = false;
    silent.receive(2s, &closed, false);
    EXPECT_TRUE(closed);
    EXPECT_EQ(httptest::request(port, "GET / HTTP/1.1\r\n\r\n", 1s).status, 0)
        << "a stopped console still answers";
}

} // namespace
