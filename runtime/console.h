/*
 * The operator's console of a running flow: a small HTTP server (trevane-broker --http)
 * that serves
 *   /          one page with the flow's picture (flowpicture.h), whose script refreshes
 *              the figures from /counters every few seconds;
 *   /counters  the figures as JSON, by the ids the picture carries;
 *   /metrics   the counters in the Prometheus text format (exposition.h);
 *   /healthz   200 while the flow is deployed and its inputs are reading, else 503.
 * Anything else gets a 4xx. The server bounds what a client can take: a fixed number of
 * worker threads and waiting connections (more are answered 503 and closed at once), a
 * request head of limited size that must arrive within a time limit (431 / 408), no
 * request bodies, and keep-alive within limits. Stopping it ends every connection within
 * a fraction of a second. Used by main.cpp; the tests run it in process too.
 */
#ifndef TREVANE_RUNTIME_CONSOLE_H
#define TREVANE_RUNTIME_CONSOLE_H

#include <chrono>
#include <memory>
#include <string>

#include "runtime/runtime.h"

namespace runtime {

struct ConsoleOptions {
    std::string host = "127.0.0.1";
    int port = 0; /* 0: any free port (see Console::port) */
    /* Connections served at once, and accepted connections waiting for a worker; more
       are answered 503 and closed. */
    int workers = 4;
    int waiting = 16;
    /* Bytes of a request's line and headers (larger: 431), and the time they may take
       to arrive (slower: 408, or dropped before a request line). */
    size_t requestHeadLimit = 16 * 1024;
    std::chrono::milliseconds requestTime{5000};
    /* Idle time between requests of a kept-alive connection, and requests per
       connection. */
    std::chrono::milliseconds keepAliveTime{5000};
    int keepAliveRequests = 100;
    /* Seconds between the page's refreshes of its figures. */
    int refreshSeconds = 2;
};

/* Reads "PORT", ":PORT", "HOST:PORT" or "[IPV6]:PORT" into options.host and .port (host
   127.0.0.1 when none is given). False with `error` set when the text is not one. */
bool parseListenAddress(const std::string &text, ConsoleOptions &options, std::string &error);

class Console {
public:
    enum class Phase { Starting, Running, Stopping };

    /* Draws the flow's picture and starts listening. Throws DeployError naming the
       address when it cannot listen there, or when the picture cannot be drawn. The flow
       must outlive the console. */
    Console(const DeployedFlow &flow, ConsoleOptions options);
    /* Stops the server. */
    ~Console();
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    /* What /healthz reports besides the flow's own state (starting and stopping: 503). */
    void setPhase(Phase phase);
    /* The port listened on (the one chosen when options.port was 0). */
    int port() const;
    /* "http://HOST:PORT/". */
    std::string url() const;
    /* Stops accepting, ends the connections and joins the server's threads; later
       calls do nothing. */
    void stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace runtime

#endif
