// The load driver: one connection that puts requests (persistent, outside syncpoint, new
// message identifier each) and takes replies with a waiting get, keeping the window of
// requests in flight full. Used by flowload.cpp and bench_runtime.cpp.
#include "bench/runtime/load.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <vector>

#include "messaging/mq.h"

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

    bool put(std::string &error) {
        MQMD md = MQMD_DEFAULT;
        md.Persistence = MQPER_PERSISTENT;
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_NEW_MSG_ID;
        MQLONG cc = 0, reason = 0;
        MQPUT(hconn_, putQueue_, &md, &pmo, static_cast<MQLONG>(settings_.body.size()),
              settings_.body.data(), &cc, &reason);
        if (cc == MQCC_FAILED) {
            error = failure("MQPUT", settings_.putQueue, reason);
            return false;
        }
        pending_.emplace(std::string(reinterpret_cast<char *>(md.MsgId), sizeof md.MsgId),
                         Clock::now());
        return true;
    }

    // Takes one reply; its latency in milliseconds, or -1 with error filled.
    double take(std::string &error) {
        for (;;) {
            MQMD md = MQMD_DEFAULT;
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = MQGMO_WAIT | MQGMO_NO_SYNCPOINT;
            gmo.WaitInterval = settings_.replyWaitMs;
            MQLONG length = 0, cc = 0, reason = 0;
            MQGET(hconn_, getQueue_, &md, &gmo, static_cast<MQLONG>(buffer_.size()), buffer_.data(),
                  &length, &cc, &reason);
            if (cc == MQCC_FAILED) {
                error = failure("MQGET", settings_.getQueue, reason);
                return -1;
            }
            auto found =
                pending_.find(std::string(reinterpret_cast<char *>(md.MsgId), sizeof md.MsgId));
            if (found == pending_.end()) {
                continue; // a reply left from an earlier run
            }
            double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - found->second).count();
            pending_.erase(found);
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
    std::vector<char> buffer_ = std::vector<char>(1 << 20);
};

double percentile(std::vector<double> sorted, double fraction) {
    if (sorted.empty()) {
        return 0;
    }
    size_t index = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

} // namespace

LoadResult runLoad(const LoadSettings &settings) {
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
