// The getters of one process that wait on queues of one PostgreSQL database, and the one
// server connection that listens for them (pglistener.cpp). A put notifies its queue's
// channel; the listener's thread reads the notification and wakes one getter of the
// process that takes any message from that queue (one that is waiting, if any) and every
// getter that selects by identifier; a message made ready again (a notification without
// text) wakes every getter of the queue. So however many connections of a process wait
// on a queue, the server sends each notification once, and one put wakes one of them.
#ifndef MESSAGING_PGLISTENER_H
#define MESSAGING_PGLISTENER_H

#include <chrono>
#include <cstdint>
#include <string>

struct pg_conn;

namespace trevane::mq {

// A new connection to the server the libpq connection text names, or one whose status is
// not CONNECTION_OK (for its error message; the caller finishes it). A server that does
// not answer fails within PG_CONNECT_TIMEOUT seconds unless the text or PGCONNECT_TIMEOUT
// names another limit.
pg_conn *connectToServer(const std::string &conninfo);

class PgListener;

// One getter's place among the waiting getters of its process.
class PgWaiter {
public:
    explicit PgWaiter(const std::string &conninfo);
    ~PgWaiter();
    PgWaiter(const PgWaiter &) = delete;
    PgWaiter &operator=(const PgWaiter &) = delete;

    // From now on the getter waits on this channel, for any message or for those it
    // selects. True once the listener listens on the channel; false when it cannot (the
    // getter then finds new messages only by looking again).
    bool watch(const std::string &channel, bool anyMessage);
    // The times this getter was woken.
    int64_t wakeups() const;
    // Sleeps until the getter is woken after the given count, or for at most longest.
    void wait(int64_t seen, std::chrono::milliseconds longest);

    struct State;

private:
    PgListener &listener_;
    State *state_;
};

} // namespace trevane::mq

#endif
