// The listener of a process on one PostgreSQL database and the getters it wakes (see
// pglistener.h). The listener is made at its database's first wait and lives as long as
// the process: a thread with a connection of its own, which LISTENs on each channel a
// getter asks for (before that getter first looks, so that no put after its look goes
// unseen), reads the notifications and wakes getters. When its connection breaks it
// connects again every second and listens on every channel again; getters meanwhile find
// new messages when they look again, at their housekeeping rounds.
#include "messaging/pglistener.h"

#include "messaging/pgstore.h"

#include <libpq-fe.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <thread>
#include <unistd.h>
#include <vector>

namespace trevane::mq {

pg_conn *connectToServer(const std::string &conninfo) {
    // The text, expanded in place of dbname, comes after the default timeout and
    // overrides it.
    const char *timeout = std::getenv("PGCONNECT_TIMEOUT");
    std::string seconds = std::to_string(PG_CONNECT_TIMEOUT);
    const char *const keywords[] = {"connect_timeout", "dbname", nullptr};
    const char *const values[] = {timeout != nullptr && *timeout != '\0' ? timeout
                                                                         : seconds.c_str(),
                                  conninfo.c_str(), nullptr};
    return PQconnectdbParams(keywords, values, 1);
}

struct PgWaiter::State {
    std::string channel;
    bool anyMessage = true;
    bool waiting = false; // asleep in wait
    int64_t wakeups = 0;
    std::condition_variable woken;
};

class PgListener {
public:
    explicit PgListener(std::string conninfo) : conninfo_(std::move(conninfo)) {
        if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
            wake_[0] = wake_[1] = -1;
        }
        std::thread([this] { run(); }).detach();
    }

    // The listener of that database; made, with its thread, at the first call. Kept until
    // the process ends, since its thread never stops.
    static PgListener &of(const std::string &conninfo) {
        static auto *mutex = new std::mutex;
        static auto *listeners = new std::map<std::string, PgListener *>;
        std::lock_guard lock(*mutex);
        PgListener *&listener = (*listeners)[conninfo];
        if (listener == nullptr) {
            listener = new PgListener(conninfo);
        }
        return *listener;
    }

    void add(PgWaiter::State *waiter) {
        std::lock_guard lock(mutex_);
        waiters_.push_back(waiter);
    }
    void remove(PgWaiter::State *waiter) {
        std::lock_guard lock(mutex_);
        waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), waiter), waiters_.end());
    }

    bool watch(PgWaiter::State *waiter, const std::string &channel, bool anyMessage) {
        std::unique_lock lock(mutex_);
        waiter->channel = channel;
        waiter->anyMessage = anyMessage;
        if (listening_.count(channel) != 0) {
            return true;
        }
        wanted_.insert(channel);
        poke();
        if (down_) {
            // The server did not answer the last attempt: the getter does not wait for the
            // next one, which the thread makes each second.
            return false;
        }
        // Until the thread has listened, or has failed to; a server that stops answering
        // holds the getter for at most a connection attempt.
        uint64_t failures = failures_;
        listened_.wait_for(lock, std::chrono::seconds(PG_CONNECT_TIMEOUT + 1),
                           [&] { return listening_.count(channel) != 0 || failures_ != failures; });
        return listening_.count(channel) != 0;
    }

    int64_t wakeups(const PgWaiter::State *waiter) {
        std::lock_guard lock(mutex_);
        return waiter->wakeups;
    }

    void wait(PgWaiter::State *waiter, int64_t seen, std::chrono::milliseconds longest) {
        std::unique_lock lock(mutex_);
        waiter->waiting = true;
        waiter->woken.wait_for(lock, longest, [&] { return waiter->wakeups != seen; });
        waiter->waiting = false;
    }

private:
    void poke() {
        char byte = 1;
        if (wake_[1] >= 0 && ::write(wake_[1], &byte, 1) < 0) {
            // Full: the thread is woken already.
        }
    }

    void run() {
        pg_conn *connection = nullptr;
        for (;;) {
            bool again = false; // connected again after a break
            if (connection == nullptr || PQstatus(connection) != CONNECTION_OK) {
                again = connection != nullptr;
                PQfinish(connection);
                connection = connectToServer(conninfo_);
                bool up = PQstatus(connection) == CONNECTION_OK;
                {
                    // A new connection listens on nothing yet.
                    std::lock_guard lock(mutex_);
                    wanted_.insert(listening_.begin(), listening_.end());
                    listening_.clear();
                    failures_ += up ? 0 : 1;
                    down_ = !up;
                }
                listened_.notify_all();
                if (!up) {
                    sleepOrPoke(1000);
                    continue;
                }
            }
            listen(connection, again);
            pollfd ready[2] = {{PQsocket(connection), POLLIN, 0}, {wake_[0], POLLIN, 0}};
            ::poll(ready, wake_[0] >= 0 ? 2 : 1, 1000);
            drainPokes();
            if (PQconsumeInput(connection) == 0) {
                continue; // broken: connected again above
            }
            while (PGnotify *notice = PQnotifies(connection)) {
                dispatch(notice->relname, notice->extra);
                PQfreemem(notice);
            }
        }
    }

    // Listens on the channels asked for; after a break, wakes every getter, since what was
    // put while no one listened is found only by looking again.
    void listen(pg_conn *connection, bool again) {
        std::set<std::string> wanted;
        {
            std::lock_guard lock(mutex_);
            wanted.swap(wanted_);
        }
        if (wanted.empty() && !again) {
            return;
        }
        std::set<std::string> done;
        for (const std::string &channel : wanted) {
            std::string sql = "LISTEN " + channel;
            PGresult *r = PQexec(connection, sql.c_str());
            if (PQresultStatus(r) == PGRES_COMMAND_OK) {
                done.insert(channel);
            }
            PQclear(r);
        }
        {
            std::lock_guard lock(mutex_);
            bool broken = PQstatus(connection) != CONNECTION_OK;
            for (const std::string &channel : wanted) {
                if (done.count(channel) != 0 && !broken) {
                    listening_.insert(channel);
                } else {
                    wanted_.insert(channel);
                }
            }
            failures_ += done.size() != wanted.size() ? 1 : 0;
            if (again) {
                for (PgWaiter::State *waiter : waiters_) {
                    wake(waiter);
                }
            }
        }
        listened_.notify_all();
    }

    // A notification with text readies one message: it wakes one getter that takes any
    // message (one asleep in wait, if any, taken in turn) and every getter that selects.
    // Without text it wakes every getter of the queue.
    void dispatch(const std::string &channel, const std::string &text) {
        std::lock_guard lock(mutex_);
        std::vector<PgWaiter::State *> takers;
        for (PgWaiter::State *waiter : waiters_) {
            if (waiter->channel != channel) {
                continue;
            }
            if (text.empty() || !waiter->anyMessage) {
                wake(waiter);
            } else {
                takers.push_back(waiter);
            }
        }
        if (takers.empty()) {
            return;
        }
        ++turn_;
        PgWaiter::State *chosen = takers[turn_ % takers.size()];
        for (size_t i = 0; i < takers.size(); ++i) {
            PgWaiter::State *waiter = takers[(turn_ + i) % takers.size()];
            if (waiter->waiting) {
                chosen = waiter;
                break;
            }
        }
        wake(chosen);
    }

    static void wake(PgWaiter::State *waiter) {
        ++waiter->wakeups;
        waiter->woken.notify_one();
    }

    void sleepOrPoke(int milliseconds) {
        pollfd ready{wake_[0], POLLIN, 0};
        ::poll(&ready, wake_[0] >= 0 ? 1 : 0, milliseconds);
        drainPokes();
    }

    void drainPokes() {
        char bytes[64];
        while (wake_[0] >= 0 && ::read(wake_[0], bytes, sizeof bytes) > 0) {
        }
    }

    const std::string conninfo_;
    int wake_[2] = {-1, -1}; // a write to wake_[1] wakes the thread
    std::mutex mutex_;
    std::condition_variable listened_;
    std::vector<PgWaiter::State *> waiters_;
    std::set<std::string> wanted_;    // channels to listen on
    std::set<std::string> listening_; // channels listened on
    uint64_t failures_ = 0;           // connections and LISTENs that failed
    bool down_ = false;               // the last connection attempt failed
    uint64_t turn_ = 0;
};

PgWaiter::PgWaiter(const std::string &conninfo)
    : listener_(PgListener::of(conninfo)), state_(new State) {
    listener_.add(state_);
}

PgWaiter::~PgWaiter() {
    listener_.remove(state_);
    delete state_;
}

bool PgWaiter::watch(const std::string &channel, bool anyMessage) {
    return listener_.watch(state_, channel, anyMessage);
}

int64_t PgWaiter::wakeups() const {
    return listener_.wakeups(state_);
}

void PgWaiter::wait(int64_t seen, std::chrono::milliseconds longest) {
    listener_.wait(state_, seen, longest);
}

} // namespace trevane::mq
