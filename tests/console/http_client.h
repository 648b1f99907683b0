// A raw HTTP/1.1 client for the console's tests, on loopback sockets with time limits:
// it sends exactly the bytes a test gives (well-formed or not) and reads the answer.
#ifndef TESTS_CONSOLE_HTTP_CLIENT_H
#define TESTS_CONSOLE_HTTP_CLIENT_H

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace httptest {

using Clock = std::chrono::steady_clock;

// A connected socket to 127.0.0.1:port, closed with the object (-1 when not connected).
class Connection {
public:
    explicit Connection(int port, bool blocking = true) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | (blocking ? 0 : SOCK_NONBLOCK), 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 &&
            ::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
            errno != EINPROGRESS) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Connection() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Connection(Connection &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    int fd() const { return fd_; }
    bool send(const std::string &bytes) const {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads until the peer closes, `limit` passes, or (with `untilBody`) a complete
    // answer with a Content-Length has arrived. `closed` tells whether the peer closed.
    std::string receive(std::chrono::milliseconds limit, bool *closed = nullptr,
                        bool untilBody = true) const {
        std::string data;
        auto until = Clock::now() + limit;
        bool ended = false;
        while (Clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now())
                    .count());
            if (::poll(&p, 1, std::max(1, left)) <= 0) {
                continue;
            }
            char buffer[8192];
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ended = true;
                break;
            }
            data.append(buffer, static_cast<size_t>(n));
            if (untilBody && complete(data)) {
                break;
            }
        }
        if (closed != nullptr) {
            *closed = ended;
        }
        return data;
    }

private:
    static bool complete(const std::string &data) {
        size_t head = data.find("\r\n\r\n");
        if (head == std::string::npos) {
            return false;
        }
        size_t at = data.find("Content-Length: ");
        if (at == std::string::npos || at > head) {
            return false;
        }
        size_t length = std::stoul(data.substr(at + 16));
        return data.size() >= head + 4 + length;
    }

    int fd_ = -1;
};

struct Answer {
    int status = 0; /* 0: no status line came */
    std::string head;
    std::string body;
};

inline Answer parse(const std::string &data) {
    Answer a;
    if (data.rfind("HTTP/1.1 ", 0) == 0 && data.size() >= 12) {
        a.status = std::stoi(data.substr(9, 3));
    }
    size_t head = data.find("\r\n\r\n");
    a.head = data.substr(0, head);
    a.body = head == std::string::npos ? "" : data.substr(head + 4);
    return a;
}

// One request on a fresh connection.
inline Answer request(int port, const std::string &bytes,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    Connection c(port);
    if (c.fd() < 0 || !c.send(bytes)) {
        return {};
    }
    return parse(c.receive(limit));
}

inline Answer get(int port, const std::string &path) {
    return request(port,
                   "GET " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
}

} // namespace httptest

#endif
