// The loopback test server: one thread accepts, one thread per connection serves.
#include "support/loopback_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// Value of a header in a raw head, or "" (first match, name compared case-insensitively).
std::string HeadValue(const std::string& head, const std::string& name) {
  std::string lowered = Lower(head);
  size_t at = lowered.find("\r\n" + Lower(name) + ":");
  if (at == std::string::npos) return "";
  size_t start = at + 3 + name.size();
  size_t end = head.find("\r\n", start);
  std::string value = head.substr(start, end - start);
  while (!value.empty() && value[0] == ' ') value.erase(0, 1);
  return value;
}

bool SendAll(int socket, const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t sent = send(socket, bytes, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

// A 200 reply with length bytes of HugeBodyByte, made and sent a piece at a time.
void SendHugeBody(int socket, size_t length) {
  std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) +
                     "\r\nConnection: close\r\n\r\n";
  if (!SendAll(socket, head.data(), head.size())) return;
  char piece[65536];
  for (size_t offset = 0; offset < length;) {
    size_t count = length - offset < sizeof piece ? length - offset : sizeof piece;
    for (size_t i = 0; i < count; ++i) piece[i] = static_cast<char>(HugeBodyByte(offset + i));
    if (!SendAll(socket, piece, count)) return;
    offset += count;
  }
  shutdown(socket, SHUT_WR);
}

}  // namespace

std::string HttpReply(int status, const std::string& body, const std::string& extraHeaders) {
  return "HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

LoopbackServer::LoopbackServer(ServerScript script) : script_(std::move(script)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 64) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe2(stopPipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error("loopback server cannot listen");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  char wake = 1;
  (void)!write(stopPipe_[1], &wake, 1);
  acceptor_.join();
  for (std::thread& worker : workers_) worker.join();
  close(listener_);
  close(stopPipe_[0]);
  close(stopPipe_[1]);
}

std::string LoopbackServer::ConnectTo(const std::string& host, int hostPort) const {
  return host + ":" + std::to_string(hostPort) + ":127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> LoopbackServer::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool LoopbackServer::WaitForRequests(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return recorded_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return completeRequests_ >= count; });
}

void LoopbackServer::AcceptLoop() {
  for (;;) {
    pollfd waits[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(waits, 2, -1) < 0 && errno != EINTR) return;
    if (stopping_) return;
    if ((waits[0].revents & POLLIN) == 0) continue;
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    connections_++;
    workers_.emplace_back([this, client] {
      Serve(client);
      close(client);
    });
  }
}

void LoopbackServer::WaitForStop() {
  pollfd stop = {stopPipe_[0], POLLIN, 0};
  while (!stopping_) poll(&stop, 1, -1);
}

// Reads what is available (waiting for it), false on close, error or stop.
bool LoopbackServer::ReadMore(int client, std::string* into) {
  for (;;) {
    pollfd waits[2] = {{client, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(waits, 2, -1) < 0 && errno != EINTR) return false;
    if (stopping_) return false;
    if (waits[0].revents == 0) continue;
    char buffer[65536];
    ssize_t got = recv(client, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    into->append(buffer, static_cast<size_t>(got));
    return true;
  }
}

void LoopbackServer::Serve(int client) {
  std::string raw;
  size_t slot;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    slot = requests_.size();
    requests_.emplace_back();
  }
  auto record = [&](bool complete) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_[slot] = raw;
    if (complete) completeRequests_++;
    recorded_.notify_all();
  };
  if (script_.fault == ServerFault::CloseOnAccept) return record(false);
  size_t headEnd;
  while ((headEnd = raw.find("\r\n\r\n")) == std::string::npos) {
    if (!ReadMore(client, &raw)) return record(false);
  }
  headEnd += 4;
  std::string head = raw.substr(0, headEnd);
  const ServerScript& script = script_;
  if (script.fault == ServerFault::CloseAfterHead) return record(false);
  if (script.fault == ServerFault::StallAfterHead) {
    record(false);
    WaitForStop();  // read nothing, answer nothing
    return;
  }
  if (script.fault == ServerFault::HoldAfterHead && script.onHead) script.onHead();

  bool chunked = Lower(HeadValue(head, "Transfer-Encoding")).find("chunked") != std::string::npos;
  std::string lengthText = HeadValue(head, "Content-Length");
  size_t bodyLength = lengthText.empty() ? 0 : std::stoull(lengthText);
  size_t limit = script.fault == ServerFault::CloseMidBody ? script.bodyBytesBeforeClose : bodyLength;
  for (;;) {
    bool complete = chunked ? raw.find("\r\n0\r\n\r\n", headEnd - 2) != std::string::npos
                            : raw.size() - headEnd >= limit;
    if (complete) break;
    if (!ReadMore(client, &raw)) return record(false);
  }
  if (script.fault == ServerFault::CloseMidBody) {
    raw.resize(headEnd + limit);
    return record(false);
  }
  record(true);
  if (script.fault == ServerFault::CloseBeforeReply) return;
  if (script.fault == ServerFault::HugeBody) return SendHugeBody(client, script.hugeBodyBytes);
  bool partial = script.fault == ServerFault::CloseMidReply || script.fault == ServerFault::StallMidReply;
  SendAll(client, script.reply.data(), partial ? script.replyBytesBeforeClose : script.reply.size());
  if (script.fault == ServerFault::StallMidReply) WaitForStop();
  shutdown(client, SHUT_WR);
}

std::vector<std::string> RecordedRequest::Values(const std::string& name) const {
  std::vector<std::string> values;
  for (const std::string& line : headerLines) {
    size_t colon = line.find(':');
    if (colon != std::string::npos && Lower(line.substr(0, colon)) == Lower(name)) {
      std::string value = line.substr(colon + 1);
      while (!value.empty() && value[0] == ' ') value.erase(0, 1);
      values.push_back(value);
    }
  }
  return values;
}

RecordedRequest ParseRequest(const std::string& raw) {
  RecordedRequest request;
  size_t headEnd = raw.find("\r\n\r\n");
  std::string head = raw.substr(0, headEnd);
  request.body = headEnd == std::string::npos ? "" : raw.substr(headEnd + 4);
  size_t start = 0;
  bool first = true;
  while (start <= head.size()) {
    size_t end = head.find("\r\n", start);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(start, end - start);
    if (first) {
      request.requestLine = line;
      first = false;
    } else {
      request.headerLines.push_back(line);
    }
    start = end + 2;
  }
  return request;
}
