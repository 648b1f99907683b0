/*
 * The operator's console (see console.h): the page, the figures, /metrics and /healthz
 * over cpp-httplib, with the limits the server keeps.
 *
 * cpp-httplib reads requests through a Stream and hands each accepted socket to a task
 * queue. The console supplies both: a task queue with a fixed set of workers and a
 * bounded wait list (a connection beyond it is answered 503 on the accepting thread and
 * closed at once, without reading from it), and a stream that reads through a small
 * buffer within a byte budget and a deadline per request, and gives up as soon as the
 * console stops. The server's own per-socket loop is replaced to use them.
 */
#include "runtime/console.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <httplib.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "broker/host.h"
#include "messaging/admin.h"
#include "runtime/builtin.h"
#include "runtime/builtins.h"
#include "runtime/exposition.h"
#include "runtime/flowpicture.h"

namespace runtime {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto POLL_SLICE = std::chrono::milliseconds(100);
constexpr auto WRITE_TIME = std::chrono::milliseconds(5000);
constexpr int CONNECTION_BACKLOG = 512;

// ---- the queues of the flow ------------------------------------------------------------

std::vector<FlowQueue> flowQueues(const DeployedFlow &flow) {
    std::vector<FlowQueue> queues;
    auto add = [&queues](const std::string &name, FlowQueue::Role role, const std::string &node) {
        bool known = std::any_of(queues.begin(), queues.end(),
                                 [&name](const FlowQueue &q) { return q.name == name; });
        if (!name.empty() && !known) {
            queues.push_back({name, role, node, -1, -1});
        }
    };
    for (const NodeDefinition &n : flow.definition().nodes) {
        const BuiltinNode *node = builtinOf(flow.node(n.name));
        if (node == nullptr) {
            continue;
        }
        if (node->className() == MQINPUT_CLASS) {
            add(node->property("queueName"), FlowQueue::Role::Input, n.name);
            add(node->property("backoutQueue"), FlowQueue::Role::Backout, n.name);
        } else if (node->className() == MQOUTPUT_CLASS) {
            add(node->property("queueName"), FlowQueue::Role::Output, n.name);
        }
    }
    return queues;
}

// Fills in the depths; a queue manager or queue that cannot be read leaves -1.
void readDepths(const std::string &queueManager, std::vector<FlowQueue> &queues) {
    for (FlowQueue &q : queues) {
        q.depth = q.held = -1;
    }
    if (queueManager.empty() || queues.empty()) {
        return;
    }
    mqQueueInfo_t *list = nullptr;
    MQLONG count = 0;
    char detail[256] = "";
    if (mqListQueues(queueManager.c_str(), &list, &count, detail, sizeof detail) != MQRC_NONE) {
        std::free(list);
        return;
    }
    for (MQLONG i = 0; i < count; ++i) {
        for (FlowQueue &q : queues) {
            if (q.name == list[i].name) {
                q.depth = list[i].depth;
                q.held = list[i].uncommitted;
            }
        }
    }
    std::free(list);
}

std::string jsonText(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out + "\"";
}

// ---- connections: the bounded task queue and the stream ----------------------------------

// Set on the accepting thread while it turns a connection away.
thread_local bool turningAway = false;

class BoundedQueue final : public httplib::TaskQueue {
public:
    BoundedQueue(int workers, int waiting) : waiting_(static_cast<size_t>(std::max(0, waiting))) {
        for (int i = 0; i < std::max(1, workers); ++i) {
            threads_.emplace_back([this] { work(); });
        }
    }

    void enqueue(std::function<void()> fn) override {
        {
            std::lock_guard lock(mutex_);
            if (jobs_.size() < waiting_ + idle_) {
                jobs_.push_back(std::move(fn));
                wake_.notify_one();
                return;
            }
        }
        turningAway = true; // the socket is answered and closed without being read
        fn();
        turningAway = false;
    }

    void shutdown() override {
        {
            std::lock_guard lock(mutex_);
            shutdown_ = true;
        }
        wake_.notify_all();
        for (std::thread &t : threads_) {
            t.join();
        }
    }

private:
    void work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                ++idle_;
                wake_.wait(lock, [this] { return shutdown_ || !jobs_.empty(); });
                --idle_;
                if (jobs_.empty()) {
                    return; // shutting down with nothing left
                }
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    size_t waiting_;
    size_t idle_ = 0;
    bool shutdown_ = false;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
};

// What made the current request's reading stop, for the error handler's status.
enum class ReadEnd { None, TooLarge, TooSlow };
thread_local ReadEnd readEnd = ReadEnd::None;

class BoundedStream final : public httplib::Stream {
public:
    BoundedStream(int sock, const ConsoleOptions &options, const std::atomic<bool> &stopping)
        : sock_(sock), options_(options), stopping_(stopping) {}

    void beginRequest() {
        budget_ = options_.requestHeadLimit;
        deadline_ = Clock::now() + options_.requestTime;
        readEnd = ReadEnd::None;
    }

    // Waits for the next request of a kept-alive connection; false when none comes.
    bool awaitRequest() {
        return start_ < end_ || wait(POLLIN, Clock::now() + options_.keepAliveTime) == 1;
    }

    bool is_readable() const override { return start_ < end_ || wait(POLLIN, deadline_) == 1; }
    bool is_writable() const override { return wait(POLLOUT, Clock::now() + WRITE_TIME) == 1; }

    ssize_t read(char *ptr, size_t size) override {
        if (start_ == end_) {
            if (budget_ == 0) {
                readEnd = ReadEnd::TooLarge;
                return -1;
            }
            int ready = wait(POLLIN, deadline_);
            if (ready != 1) {
                readEnd = ready == 0 ? ReadEnd::TooSlow : readEnd;
                return -1;
            }
            ssize_t got = ::recv(sock_, buffer_, std::min(sizeof buffer_, budget_), 0);
            if (got <= 0) {
                return got;
            }
            budget_ -= static_cast<size_t>(got);
            start_ = 0;
            end_ = static_cast<size_t>(got);
        }
        size_t n = std::min(size, end_ - start_);
        std::memcpy(ptr, buffer_ + start_, n);
        start_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char *ptr, size_t size) override {
        if (wait(POLLOUT, Clock::now() + WRITE_TIME) != 1) {
            return -1;
        }
        return ::send(sock_, ptr, size, MSG_NOSIGNAL);
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override {
        address(::getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override {
        address(::getsockname, ip, port);
    }
    socket_t socket() const override { return sock_; }

private:
    // 1 ready, 0 deadline passed, -1 the console is stopping or the socket failed.
    int wait(short events, Clock::time_point deadline) const {
        for (;;) {
            if (stopping_.load()) {
                return -1;
            }
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return 0;
            }
            pollfd p{sock_, events, 0};
            int n = ::poll(&p, 1, static_cast<int>(std::min(left, POLL_SLICE).count()));
            if (n > 0) {
                return (p.revents & (events | POLLHUP | POLLERR)) != 0 ? 1 : -1;
            }
            if (n < 0 && errno != EINTR) {
                return -1;
            }
        }
    }

    template <class Get> void address(Get get, std::string &ip, int &port) const {
        sockaddr_storage storage{};
        socklen_t length = sizeof storage;
        ip.clear();
        port = -1;
        if (get(sock_, reinterpret_cast<sockaddr *>(&storage), &length) != 0) {
            return;
        }
        char text[INET6_ADDRSTRLEN] = "";
        if (storage.ss_family == AF_INET) {
            auto *a = reinterpret_cast<sockaddr_in *>(&storage);
            ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
            port = ntohs(a->sin_port);
        } else if (storage.ss_family == AF_INET6) {
            auto *a = reinterpret_cast<sockaddr_in6 *>(&storage);
            ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
            port = ntohs(a->sin6_port);
        }
        ip = text;
    }

    int sock_;
    const ConsoleOptions &options_;
    const std::atomic<bool> &stopping_;
    char buffer_[4096];
    size_t start_ = 0;
    size_t end_ = 0;
    size_t budget_ = 0;
    Clock::time_point deadline_;
};

#define BUSY_TEXT "503: the console serves as many connections as it takes; retry later\n"
constexpr const char BUSY_RESPONSE[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 69\r\nRetry-After: 1\r\nConnection: close\r\n\r\n" BUSY_TEXT;
static_assert(sizeof BUSY_TEXT - 1 == 69);
#undef BUSY_TEXT

class ConsoleServer final : public httplib::Server {
public:
    ConsoleServer(const ConsoleOptions &options, const std::atomic<bool> &stopping)
        : options_(options), stopping_(stopping) {}

    // The library listens with a backlog of 5: a burst of connections would wait in the
    // clients' SYN retries for seconds. A longer queue lets the accepting thread answer
    // them (most with 503) at once.
    void widenBacklog() { ::listen(svr_sock_, CONNECTION_BACKLOG); }

private:
    bool process_and_close_socket(socket_t sock) override {
        if (turningAway) {
            // Whatever the client sent already is read first, so that closing does not
            // reset the connection before it sees the answer.
            char discard[4096];
            while (::recv(sock, discard, sizeof discard, MSG_DONTWAIT) > 0) {
            }
            [[maybe_unused]] ssize_t sent =
                ::send(sock, BUSY_RESPONSE, sizeof BUSY_RESPONSE - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
            ::shutdown(sock, SHUT_RDWR);
            ::close(sock);
            return false;
        }
        bool served = false;
        {
            BoundedStream stream(sock, options_, stopping_);
            for (int request = 0; request < std::max(1, options_.keepAliveRequests); ++request) {
                if (request > 0 && !stream.awaitRequest()) {
                    break;
                }
                stream.beginRequest();
                bool last = request + 1 >= options_.keepAliveRequests;
                bool closed = false;
                served = process_request(stream, last, closed, nullptr);
                if (!served || closed) {
                    break;
                }
            }
        }
        readEnd = ReadEnd::None;
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return served;
    }

    const ConsoleOptions &options_;
    const std::atomic<bool> &stopping_;
};

// ---- the page ------------------------------------------------------------------------------

constexpr const char *PAGE_SCRIPT = R"(
(function () {
  var status = document.getElementById('status');
  var changed = [];
  function show(figures) {
    changed.forEach(function (g) { g.classList.remove('changed'); });
    changed = [];
    Object.keys(figures).forEach(function (id) {
      var group = document.getElementById('a_' + id);
      var text = group && group.querySelector('text');
      if (!text || text.textContent === figures[id]) { return; }
      text.textContent = figures[id];
      group.classList.add('changed');
      changed.push(group);
    });
  }
  function refresh() {
    fetch('/counters', {cache: 'no-store'}).then(function (response) {
      return response.json();
    }).then(function (answer) {
      show(answer.figures);
      status.textContent = answer.health;
      status.className = answer.ok ? 'ok' : 'bad';
      document.getElementById('updated').textContent = new Date().toLocaleTimeString();
    }).catch(function (e) {
      status.textContent = 'console not reachable (' + e.message + ')';
      status.className = 'bad';
    });
  }
  refresh();
  setInterval(refresh, REFRESH_MS);
})();
)";

constexpr const char *PAGE_STYLE = R"(
body { font-family: Helvetica, Arial, sans-serif; margin: 1.5em; color: #1d2733; background: #f4f6f8; }
h1 { font-size: 1.35em; margin: 0 0 .3em; }
.meta { color: #4f5b66; font-size: .92em; margin-bottom: 1em; }
#status { display: inline-block; padding: .1em .7em; border-radius: 1em; background: #dfe6ec; }
#status.ok { background: #cfe9cd; }
#status.bad { background: #f4d3cc; }
.picture { background: white; border: 1px solid #d3dbe3; border-radius: 6px; padding: 1em; overflow: auto; }
.picture svg { max-width: 100%; height: auto; }
.picture a { text-decoration: none; cursor: default; }
.picture .changed text { fill: #b4380a; font-weight: bold; }
footer { margin-top: 1em; font-size: .85em; color: #4f5b66; }
)";

} // namespace

bool parseListenAddress(const std::string &text, ConsoleOptions &options, std::string &error) {
    std::string host = "127.0.0.1";
    std::string port = text;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find("]:");
        if (close == std::string::npos) {
            error = "'" + text + "' is not [IPV6-ADDRESS]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (size_t colon = text.rfind(':'); colon != std::string::npos) {
        if (colon > 0) {
            host = text.substr(0, colon);
        }
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) {
            error = "'" + text + "': write an IPv6 address in brackets, as [::1]:8080";
            return false;
        }
    }
    if (host.empty() || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stol(port) > 65535) {
        error = "'" + text + "' is not [ADDRESS:]PORT with a port from 0 to 65535";
        return false;
    }
    options.host = host;
    options.port = static_cast<int>(std::stol(port));
    return true;
}

struct Console::State {
    const DeployedFlow &flow;
    ConsoleOptions options;
    std::atomic<bool> stopping{false};
    std::atomic<Phase> phase{Phase::Starting};
    std::vector<FlowQueue> queues; /* names and roles; depths are read per request */
    std::string picture;
    ConsoleServer server;
    int port = 0;
    std::thread listener;
    std::mutex stopMutex;
    bool stopped = false;
    std::atomic<int> runs{0}; /* listen_after_bind calls begun */
    std::atomic<bool> listenerDone{false};

    State(const DeployedFlow &f, ConsoleOptions o)
        : flow(f), options(std::move(o)), server(options, stopping) {}

    // The health text and whether it is good.
    std::pair<bool, std::string> health() const {
        const std::string name = "flow '" + flow.definition().name + "'";
        switch (phase.load()) {
        case Phase::Starting:
            return {false, "starting: " + name + " is being started"};
        case Phase::Stopping:
            return {false, "stopping: " + name + " is stopping"};
        case Phase::Running:
            break;
        }
        FlowStatistics statistics = flow.statistics();
        if (flow.inputsReading()) {
            return {true, "ok: " + name + " is deployed and its " +
                              std::to_string(statistics.instances.size()) +
                              " instance(s) are reading"};
        }
        std::string waiting;
        for (const InstanceStatistics &i : statistics.instances) {
            if (!i.reading) {
                waiting +=
                    (waiting.empty() ? "" : ", ") + i.inputNode + "#" + std::to_string(i.index);
            }
        }
        return {false, "not reading: " + name +
                           (waiting.empty() ? " has stopped reading"
                                            : ": instance(s) " + waiting + " are reconnecting")};
    }

    std::vector<FlowQueue> currentQueues() const {
        std::vector<FlowQueue> now = queues;
        readDepths(flow.queueManager(), now);
        return now;
    }

    std::string page() const {
        const FlowStatistics statistics = flow.statistics();
        const std::string name = htmlEscape(flow.definition().name);
        std::string script = PAGE_SCRIPT;
        script.replace(script.find("REFRESH_MS"), 10,
                       std::to_string(std::max(1, options.refreshSeconds) * 1000));
        std::ostringstream out;
        out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            << "<title>Flow " << name << " - trevane-broker</title>\n<style>" << PAGE_STYLE
            << "</style>\n</head>\n<body>\n<h1>Flow " << name << "</h1>\n<div class=\"meta\">"
            << "broker " << htmlEscape(broker::brokerIdentity().brokerName)
            << " &middot; queue manager " << htmlEscape(flow.queueManager()) << " &middot; "
            << statistics.instances.size() << " instance thread(s)"
            << (statistics.counting ? "" : " (this build counts nothing: its counters stay 0)")
            << " &middot; <span id=\"status\">&hellip;</span> &middot; "
            << "figures every " << std::max(1, options.refreshSeconds)
            << " s, last at <span id=\"updated\">&hellip;</span></div>\n"
            << "<div class=\"picture\">\n"
            << picture << "</div>\n<footer>Each node: messages in, exceptions it raised, units "
            << "backed out after reaching it, and messages per output terminal. Each queue: "
            << "its depth and the messages held in units of work. The same counters for "
            << "monitoring: <a href=\"/metrics\">/metrics</a>; health: <a "
               "href=\"/healthz\">/healthz</a>.</footer>\n<script>"
            << script << "</script>\n</body>\n</html>\n";
        return out.str();
    }

    std::string figures() const {
        auto [ok, text] = health();
        std::string out = "{\"ok\":" + std::string(ok ? "true" : "false") +
                          ",\"health\":" + jsonText(text) + ",\"figures\":{";
        bool first = true;
        for (const auto &[id, value] : pictureFigures(flow.statistics(), currentQueues())) {
            out += (first ? "" : ",") + jsonText(id) + ":" + jsonText(value);
            first = false;
        }
        return out + "}}\n";
    }

    void routes() {
        server.set_default_headers(
            {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});
        server.set_payload_max_length(0);
        // The library's default also sets SO_REUSEPORT, which lets a second broker listen
        // on the same port and take half of the first one's requests.
        server.set_socket_options([](socket_t sock) {
            int yes = 1;
            ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        server.set_keep_alive_max_count(
            static_cast<size_t>(std::max(1, options.keepAliveRequests)));
        server.new_task_queue = [this] {
            return new BoundedQueue(options.workers, options.waiting);
        };
        server.set_pre_routing_handler(
            [](const httplib::Request &request, httplib::Response &response) {
                if (request.method != "GET" && request.method != "HEAD") {
                    response.status = 405;
                    response.set_header("Allow", "GET, HEAD");
                    return httplib::Server::HandlerResponse::Handled;
                }
                // The library would leave a GET's body unread, to be taken for the next
                // request of the connection.
                const std::string length = request.get_header_value("Content-Length");
                if ((!length.empty() && length != "0") || request.has_header("Transfer-Encoding")) {
                    response.status = 413;
                    response.set_header("Connection", "close");
                    return httplib::Server::HandlerResponse::Handled;
                }
                return httplib::Server::HandlerResponse::Unhandled;
            });
        server.Get("/", [this](const httplib::Request &, httplib::Response &response) {
            response.set_header("Content-Security-Policy",
                                "default-src 'none'; script-src 'unsafe-inline'; style-src "
                                "'unsafe-inline'; connect-src 'self'; img-src 'self' data:; "
                                "base-uri 'none'; form-action 'none'");
            response.set_content(page(), "text/html; charset=utf-8");
        });
        server.Get("/counters", [this](const httplib::Request &, httplib::Response &response) {
            response.set_content(figures(), "application/json");
        });
        server.Get("/metrics", [this](const httplib::Request &, httplib::Response &response) {
            response.set_content(expositionText(flow.statistics(), currentQueues(), health().first),
                                 EXPOSITION_CONTENT_TYPE);
        });
        server.Get("/healthz", [this](const httplib::Request &, httplib::Response &response) {
            auto [ok, text] = health();
            response.status = ok ? 200 : 503;
            response.set_content(text + "\n", "text/plain; charset=utf-8");
        });
        server.set_exception_handler([](const httplib::Request &, httplib::Response &response,
                                        std::exception_ptr) { response.status = 500; });
        server.set_error_handler(httplib::Server::HandlerWithResponse(
            [](const httplib::Request &request, httplib::Response &response) {
                if (!response.body.empty()) {
                    return httplib::Server::HandlerResponse::Unhandled; // a page's own answer
                }
                if (readEnd == ReadEnd::TooLarge) {
                    response.status = 431;
                } else if (readEnd == ReadEnd::TooSlow) {
                    response.status = 408;
                }
                std::string why;
                switch (response.status) {
                case 400:
                    why = "the request is not HTTP this console understands";
                    break;
                case 404:
                    why = "no page '" + request.path.substr(0, 200) +
                          "' here: the console serves /, /metrics, "
                          "/healthz and /counters";
                    break;
                case 405:
                    why = "only GET and HEAD are served";
                    break;
                case 408:
                    why = "the request did not arrive in time";
                    break;
                case 413:
                    why = "requests to the console carry no body";
                    break;
                case 414:
                    why = "the request line is too long";
                    break;
                case 431:
                    why = "the request's headers are too large";
                    break;
                default:
                    why = "the request failed";
                    break;
                }
                response.set_content(std::to_string(response.status) + ": " + why + "\n",
                                     "text/plain; charset=utf-8");
                if (response.status == 408 || response.status == 431 || response.status == 400) {
                    response.set_header("Connection", "close");
                }
                return httplib::Server::HandlerResponse::Handled;
            }));
    }

    void listen() {
        listenUntilStopped();
        listenerDone = true;
    }

    void listenUntilStopped() {
        while (!stopping.load()) {
            ++runs;
            server.listen_after_bind();
            std::lock_guard lock(stopMutex);
            if (stopping.load()) {
                break;
            }
            // The library gives up its socket on an accept error; take the port again.
            runtimeLog(CCI_LOG_WARNING, __FILE__, __LINE__, "Console::listen", MSG_CONSOLE,
                       "The console of flow '" + flow.definition().name +
                           "' stopped accepting connections; listening again on port " +
                           std::to_string(port),
                       {flow.definition().name, std::to_string(port)});
            std::this_thread::sleep_for(POLL_SLICE);
            if (server.bind_to_port(options.host, port)) {
                server.widenBacklog();
            } else {
                runtimeLog(CCI_LOG_ERROR, __FILE__, __LINE__, "Console::listen", MSG_CONSOLE,
                           "The console of flow '" + flow.definition().name +
                               "' cannot listen on port " + std::to_string(port) + " again",
                           {flow.definition().name, std::to_string(port)});
                return;
            }
        }
    }
};

Console::Console(const DeployedFlow &flow, ConsoleOptions options)
    : state_(std::make_unique<State>(flow, std::move(options))) {
    State &s = *state_;
    const std::string where = s.options.host + ":" + std::to_string(s.options.port);
    s.queues = flowQueues(flow);
    std::ostringstream dot;
    flow.writeGraph(dot);
    try {
        s.picture = renderFlowPicture(dot.str(), flow.statistics(), s.queues);
    } catch (const std::runtime_error &e) {
        throw DeployError(std::string("console: ") + e.what());
    }
    s.routes();
    errno = 0;
    if (s.options.port == 0) {
        s.port = s.server.bind_to_any_port(s.options.host);
    } else {
        s.port = s.server.bind_to_port(s.options.host, s.options.port) ? s.options.port : -1;
    }
    if (s.port <= 0) {
        int error = errno;
        throw DeployError("console: cannot listen on " + where +
                          (error != 0 ? std::string(": ") + std::strerror(error)
                                      : std::string(": the address is not available")));
    }
    s.server.widenBacklog();
    s.listener = std::thread([&s] { s.listen(); });
    // stop() only reaches a server that has begun listening.
    auto until = Clock::now() + std::chrono::seconds(5);
    while (!s.server.is_running() && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

Console::~Console() {
    stop();
}

void Console::setPhase(Phase phase) {
    state_->phase = phase;
}

int Console::port() const {
    return state_->port;
}

std::string Console::url() const {
    const std::string &host = state_->options.host;
    bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(state_->port) + "/";
}

void Console::stop() {
    State &s = *state_;
    {
        std::lock_guard lock(s.stopMutex);
        if (s.stopped) {
            return;
        }
        s.stopped = true;
        s.stopping = true;
    }
    // The server hears a stop only while it runs: stop each run of the listener once,
    // until the listener has seen `stopping` and ended.
    int stoppedRun = -1;
    while (!s.listenerDone.load()) {
        int run = s.runs.load();
        if (s.server.is_running() && run != stoppedRun) {
            s.server.stop();
            stoppedRun = run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (s.listener.joinable()) {
        s.listener.join();
    }
}

} // namespace runtime
