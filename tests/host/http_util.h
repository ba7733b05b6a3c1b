// HTTP/1.1 over raw sockets for the host's tests: requests exactly as
// written (traversal paths, oversized lines, trickled bytes, pipelines), and
// answers read with Beast's response parser, one at a time from a stream.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qz::host::test {

// An owned client socket to 127.0.0.1.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int port, int timeout_seconds = 10) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(std::exchange(fd_, -1));
      return;
    }
    int yes = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    SetTimeout(timeout_seconds);
  }
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void SetTimeout(int seconds, int micros = 0) {
    timeval tv{seconds, micros};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  bool Send(std::string_view data) {
    while (!data.empty()) {
      ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  // Appends what arrives to *into; 0 at the peer's close, -1 on timeout or
  // error.
  ssize_t Receive(std::string* into) {
    char buf[16384];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) into->append(buf, static_cast<std::size_t>(n));
    return n;
  }
  // Everything until the peer closes (or the timeout).
  std::string ReadAll() {
    std::string all;
    while (Receive(&all) > 0) {
    }
    return all;
  }

 private:
  int fd_ = -1;
};

struct HttpAnswer {
  int status = 0;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The first value of the header ("" without one).
  std::string get_header_value(std::string_view name) const {
    for (const auto& [n, v] : headers) {
      if (boost::beast::iequals(n, name)) return v;
    }
    return {};
  }
  std::size_t count_header(std::string_view name) const {
    std::size_t n = 0;
    for (const auto& header : headers) n += boost::beast::iequals(header.first, name) ? 1 : 0;
    return n;
  }
};

// Reads one answer from the socket; bytes after it stay in *pending for the
// next. An answer to HEAD has no body whatever its Content-Length says.
inline std::optional<HttpAnswer> ReadAnswer(Socket& s, std::string* pending, bool head = false) {
  namespace http = boost::beast::http;
  http::response_parser<http::string_body> parser;
  parser.body_limit(std::uint64_t{1} << 30);
  parser.eager(true);
  if (head) parser.skip(true);
  boost::beast::error_code ec;
  bool closed = false;
  while (!parser.is_done()) {
    if (!pending->empty()) {
      std::size_t used = parser.put(boost::asio::buffer(*pending), ec);
      pending->erase(0, used);
      if (ec && ec != http::error::need_more) return std::nullopt;
      if (parser.is_done()) break;
      if (used > 0 && !ec) continue;
    }
    if (closed) {
      parser.put_eof(ec);
      if (ec || !parser.is_done()) return std::nullopt;
      break;
    }
    ssize_t n = s.Receive(pending);
    if (n < 0) return std::nullopt;
    if (n == 0) closed = true;
  }
  const auto& res = parser.get();
  HttpAnswer a;
  a.status = static_cast<int>(res.result_int());
  a.reason = std::string(res.reason());
  for (const auto& field : res) a.headers.emplace_back(field.name_string(), field.value());
  a.body = res.body();
  return a;
}

// A client of one server, which reconnects as needed. Without keep-alive
// each request asks for "Connection: close" on a fresh connection.
class TestClient {
 public:
  explicit TestClient(int port) : port_(port) {}
  void set_read_timeout(int seconds, int micros = 0) {
    timeout_ = seconds;
    micros_ = micros;
    if (socket_.ok()) socket_.SetTimeout(timeout_, micros_);
  }
  void set_keep_alive(bool on) { keep_alive_ = on; }

  std::optional<HttpAnswer> Get(const std::string& path, const std::string& headers = {}) {
    return Request("GET", path, headers, {});
  }
  std::optional<HttpAnswer> Head(const std::string& path) { return Request("HEAD", path, {}, {}); }
  std::optional<HttpAnswer> Post(const std::string& path, const std::string& body,
                                 const std::string& type) {
    return Request("POST", path, "Content-Type: " + type + "\r\n", body);
  }
  // headers: whole lines, each ending in CRLF.
  std::optional<HttpAnswer> Request(const std::string& method, const std::string& path,
                                    const std::string& headers, const std::string& body) {
    std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers;
    if (!body.empty() || method == "POST")
      text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (!keep_alive_) text += "Connection: close\r\n";
    text += "\r\n" + body;
    for (int attempt = 0; attempt < 2; ++attempt) {
      bool reused = socket_.ok() && keep_alive_;
      if (!reused) {
        socket_ = Socket(port_, timeout_);
        socket_.SetTimeout(timeout_, micros_);
        pending_.clear();
      }
      if (!socket_.ok()) return std::nullopt;
      if (socket_.Send(text)) {
        std::optional<HttpAnswer> a = ReadAnswer(socket_, &pending_, method == "HEAD");
        if (a) {
          if (!keep_alive_ || boost::beast::iequals(a->get_header_value("Connection"), "close"))
            socket_ = Socket();
          return a;
        }
      }
      socket_ = Socket();
      // A kept-alive connection the server has closed in the meantime is
      // tried once more on a new one.
      if (!reused) break;
    }
    return std::nullopt;
  }

 private:
  int port_;
  int timeout_ = 30;
  int micros_ = 0;
  bool keep_alive_ = false;
  Socket socket_;
  std::string pending_;
};

// Sends the request text as it stands and answers everything the server
// sends until it closes the connection (empty on connection failure).
inline std::string RawExchange(int port, const std::string& request) {
  Socket s(port);
  if (!s.ok()) return {};
  s.Send(request);
  return s.ReadAll();
}

}  // namespace qz::host::test
