// The load driver: one connection that puts requests (persistent, outside syncpoint, new
// message identifier each) and takes replies with a waiting get, keeping the window of
// requests in flight full. Used by flowload.cpp and bench_runtime.cpp.
#include "bench/runtime/load.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include "trevane/mq.h"

namespace flowload {

namespace {

using Clock = std::chrono::steady_clock;

std::string failure(const char *call, const std::string &object, MQLONG reason) {
    return std::string(call) + " " + object + " failed: reason " + std::to_string(reason) + " (" +
           mqReasonName(reason) + ")";
}

class Session {
public:
    explicit Session(const LoadSettings &settings) : settings_(settings) {}
    ~Session() {
        if (hconn_ != MQHC_UNUSABLE_HCONN) {
            MQLONG cc = 0, reason = 0;
            MQDISC(&hconn_, &cc, &reason);
        }
    }

    bool open(std::string &error) {
        MQLONG cc = 0, reason = 0;
        MQCONN(settings_.queueManager.c_str(), &hconn_, &cc, &reason);
        if (cc == MQCC_FAILED) {
            error = failure("MQCONN", settings_.queueManager, reason);
            return false;
        }
        return openQueue(settings_.putQueue, MQOO_OUTPUT, putQueue_, error) &&
               openQueue(settings_.getQueue, MQOO_INPUT_SHARED, getQueue_, error);
    }

    // Requests in flight of all sessions, for sessions that take each other's replies.
    struct Book {
        std::mutex mutex;
        std::map<std::string, Clock::time_point> pending;
        uint64_t lastId = 0;
    };
    void share(Book *book) { book_ = book; }

    bool put(std::string &error) {
        MQMD md = MQMD_DEFAULT;
        md.Persistence = MQPER_PERSISTENT;
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_NEW_MSG_ID;
        if (book_ != nullptr) {
            // The reply may reach another session before this put returns: the request is
            // in the book, under an identifier chosen here, before it is put.
            pmo.Options = MQPMO_NO_SYNCPOINT;
            std::lock_guard lock(book_->mutex);
            uint64_t number = ++book_->lastId;
            uint64_t process = static_cast<uint64_t>(::getpid());
            std::memcpy(md.MsgId, &process, sizeof process);
            std::memcpy(md.MsgId + 8, &number, sizeof number);
            book_->pending.emplace(std::string(reinterpret_cast<char *>(md.MsgId), sizeof md.MsgId),
                                   Clock::now());
        }
        MQLONG cc = 0, reason = 0;
        MQPUT(hconn_, putQueue_, &md, &pmo, static_cast<MQLONG>(settings_.body.size()),
              settings_.body.data(), &cc, &reason);
        if (cc == MQCC_FAILED) {
            error = failure("MQPUT", settings_.putQueue, reason);
            return false;
        }
        if (book_ == nullptr) {
            pending_.emplace(std::string(reinterpret_cast<char *>(md.MsgId), sizeof md.MsgId),
                             Clock::now());
        }
        return true;
    }

    // Takes one reply; its latency in milliseconds, or -1 with error filled. With waitMs
    // given, -2 when no reply came in that time.
    double take(std::string &error, MQLONG waitMs = -1) {
        for (;;) {
            MQMD md = MQMD_DEFAULT;
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = MQGMO_WAIT | MQGMO_NO_SYNCPOINT;
            gmo.WaitInterval = waitMs >= 0 ? waitMs : settings_.replyWaitMs;
            MQLONG length = 0, cc = 0, reason = 0;
            MQGET(hconn_, getQueue_, &md, &gmo, static_cast<MQLONG>(buffer_.size()), buffer_.data(),
                  &length, &cc, &reason);
            if (cc == MQCC_FAILED) {
                if (waitMs >= 0 && reason == MQRC_NO_MSG_AVAILABLE) {
                    return -2;
                }
                error = failure("MQGET", settings_.getQueue, reason);
                return -1;
            }
            std::string id(reinterpret_cast<char *>(md.MsgId), sizeof md.MsgId);
            std::unique_lock<std::mutex> lock;
            auto &pending = book_ != nullptr ? book_->pending : pending_;
            if (book_ != nullptr) {
                lock = std::unique_lock(book_->mutex);
            }
            auto found = pending.find(id);
            if (found == pending.end()) {
                continue; // a reply left from an earlier run
            }
            double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - found->second).count();
            pending.erase(found);
            return ms;
        }
    }

private:
    bool openQueue(const std::string &name, MQLONG options, MQHOBJ &queue, std::string &error) {
        MQOD od = MQOD_DEFAULT;
        std::memcpy(od.ObjectName, name.data(), std::min(name.size(), sizeof od.ObjectName));
        MQLONG cc = 0, reason = 0;
        MQOPEN(hconn_, &od, options, &queue, &cc, &reason);
        if (cc == MQCC_FAILED) {
            error = failure("MQOPEN", name, reason);
            return false;
        }
        return true;
    }

    const LoadSettings &settings_;
    MQHCONN hconn_ = MQHC_UNUSABLE_HCONN;
    MQHOBJ putQueue_ = MQHO_UNUSABLE_HOBJ;
    MQHOBJ getQueue_ = MQHO_UNUSABLE_HOBJ;
    std::map<std::string, Clock::time_point> pending_;
    Book *book_ = nullptr;
    std::vector<char> buffer_ = std::vector<char>(1 << 20);
};

double percentile(std::vector<double> sorted, double fraction) {
    if (sorted.empty()) {
        return 0;
    }
    size_t index = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

// Several connections, one thread each, sharing the window and the count: any of them
// may take any reply, so each waits in short steps and stops once all are answered.
LoadResult runSharedLoad(const LoadSettings &settings) {
    LoadResult result;
    const int total = settings.warmUp + settings.requests;
    const int count = std::max(1, settings.connections);
    Session::Book book;
    std::mutex mutex; // guards everything below
    int sent = 0;
    int answered = 0;
    std::string error;
    std::vector<double> latencies;
    Clock::time_point start = Clock::now();
    auto claimPut = [&] {
        std::lock_guard lock(mutex);
        if (sent >= total || !error.empty()) {
            return false;
        }
        ++sent;
        return true;
    };
    auto fail = [&](const std::string &what) {
        std::lock_guard lock(mutex);
        if (error.empty()) {
            error = what;
        }
    };
    auto work = [&](int index) {
        Session session(settings);
        session.share(&book);
        std::string failed;
        if (!session.open(failed)) {
            return fail(failed);
        }
        int window = settings.inFlight / count + (index < settings.inFlight % count ? 1 : 0);
        for (int i = 0; i < window && claimPut(); ++i) {
            if (!session.put(failed)) {
                return fail(failed);
            }
        }
        Clock::time_point lastReply = Clock::now();
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (answered >= total || !error.empty()) {
                    return;
                }
            }
            double ms = session.take(failed, 100);
            if (ms == -1) {
                return fail(failed);
            }
            if (ms == -2) {
                if (Clock::now() - lastReply > std::chrono::milliseconds(settings.replyWaitMs)) {
                    return fail("no reply on " + settings.getQueue + " for " +
                                std::to_string(settings.replyWaitMs) + " ms");
                }
                continue;
            }
            lastReply = Clock::now();
            {
                std::lock_guard lock(mutex);
                ++answered;
                if (answered == settings.warmUp) {
                    start = Clock::now();
                }
                if (answered > settings.warmUp) {
                    latencies.push_back(ms);
                }
            }
            if (claimPut() && !session.put(failed)) {
                return fail(failed);
            }
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back(work, i);
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    if (!error.empty()) {
        result.error = error;
        return result;
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    result.measured = static_cast<int>(latencies.size());
    result.requestsPerSecond = result.seconds > 0 ? result.measured / result.seconds : 0;
    result.p50Ms = percentile(latencies, 0.50);
    result.p99Ms = percentile(latencies, 0.99);
    result.maxMs = latencies.empty() ? 0 : latencies.back();
    result.ok = true;
    return result;
}

} // namespace

LoadResult runLoad(const LoadSettings &settings) {
    if (settings.connections > 1) {
        return runSharedLoad(settings);
    }
    LoadResult result;
    Session session(settings);
    if (!session.open(result.error)) {
        return result;
    }
    const int total = settings.warmUp + settings.requests;
    const int window = std::max(1, settings.inFlight);
    int sent = 0;
    int answered = 0;
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(settings.requests));
    Clock::time_point start = Clock::now();
    while (sent < total && sent < window) {
        if (!session.put(result.error)) {
            return result;
        }
        ++sent;
    }
    while (answered < total) {
        double ms = session.take(result.error);
        if (ms < 0) {
            return result;
        }
        ++answered;
        if (answered == settings.warmUp) {
            start = Clock::now(); // the measured part starts after the warm-up replies
        }
        if (answered > settings.warmUp) {
            latencies.push_back(ms);
        }
        if (sent < total) {
            if (!session.put(result.error)) {
                return result;
            }
            ++sent;
        }
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    result.measured = static_cast<int>(latencies.size());
    result.requestsPerSecond = result.seconds > 0 ? result.measured / result.seconds : 0;
    result.p50Ms = percentile(latencies, 0.50);
    result.p99Ms = percentile(latencies, 0.99);
    result.maxMs = latencies.empty() ? 0 : latencies.back();
    result.ok = true;
    return result;
}

} // namespace flowload
