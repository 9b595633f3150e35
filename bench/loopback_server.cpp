// The benchmarks' loopback HTTP server: a POST body is read and discarded, then a small reply
// is sent; a GET for ".../bytes/N" streams N bytes from one fixed buffer, so memory stays flat.
//   ombrivoice_bench_server LIFETIME_SECONDS [CERTIFICATE KEY]
// prints its port on the first line of stdout; with a certificate and key (PEM) it speaks TLS.
// One thread per connection; the process ends by itself after LIFETIME_SECONDS.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr size_t kHeadBytes = 64 * 1024;        // longest request head accepted
constexpr size_t kDiscardBytes = 256 * 1024;    // one recv of a request body
constexpr size_t kStreamBytes = 1024 * 1024;    // one send of a streamed body
constexpr int kAcceptPollMs = 200;              // how often the lifetime is checked

char gStream[kStreamBytes];  // what every streamed body is made of
SSL_CTX* gTls = nullptr;     // set when the server speaks TLS

// One connection: its socket and, under TLS, its session.
struct Peer {
  int fd;
  SSL* ssl;
};

ssize_t Receive(Peer peer, char* into, size_t length) {
  if (peer.ssl != nullptr) return SSL_read(peer.ssl, into, static_cast<int>(length < INT32_MAX ? length : INT32_MAX));
  return recv(peer.fd, into, length, 0);
}

bool SendAll(Peer peer, const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t sent = peer.ssl != nullptr ? SSL_write(peer.ssl, bytes, static_cast<int>(length))
                                       : send(peer.fd, bytes, length, MSG_NOSIGNAL);
    if (sent <= 0) {
      return false;
    }
    bytes += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

// The value of header `name` (lower case, with colon) in head, or "" when absent.
std::string HeaderValue(const std::string& head, const char* name) {
  std::string lower = head;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  size_t at = lower.find(std::string("\r\n") + name);
  if (at == std::string::npos) {
    return "";
  }
  size_t start = at + 2 + strlen(name);
  size_t end = lower.find("\r\n", start);
  size_t first = lower.find_first_not_of(" \t", start);
  return lower.substr(first, end - first);
}

// Reads and discards length body bytes, of which `already` came with the head.
bool Discard(Peer peer, unsigned long long length, size_t already) {
  static thread_local char sink[kDiscardBytes];
  unsigned long long left = length > already ? length - already : 0;
  while (left > 0) {
    ssize_t got = Receive(peer, sink, left < kDiscardBytes ? left : kDiscardBytes);
    if (got <= 0) {
      return false;
    }
    left -= static_cast<unsigned long long>(got);
  }
  return true;
}

bool Stream(Peer peer, unsigned long long length) {
  std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                     std::to_string(length) + "\r\n\r\n";
  if (!SendAll(peer, head.data(), head.size())) {
    return false;
  }
  while (length > 0) {
    size_t piece = length < kStreamBytes ? length : kStreamBytes;
    if (!SendAll(peer, gStream, piece)) {
      return false;
    }
    length -= piece;
  }
  return true;
}

bool ReplyToUpload(Peer peer, unsigned long long length) {
  std::string body = "{\"jobId\":\"bench\",\"received\":" + std::to_string(length) + "}";
  std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body;
  return SendAll(peer, reply.data(), reply.size());
}

// Serves requests on one connection until the peer closes it or sends something unexpected.
// One request at a time: bytes past a request's body are not kept (the clients never pipeline).
void Serve(int socketFd) {
  static thread_local char head[kHeadBytes];
  Peer peer = {socketFd, nullptr};
  if (gTls != nullptr) {
    peer.ssl = SSL_new(gTls);
    if (peer.ssl == nullptr || SSL_set_fd(peer.ssl, socketFd) != 1 || SSL_accept(peer.ssl) != 1) {
      SSL_free(peer.ssl);
      close(socketFd);
      return;
    }
  }
  for (;;) {
    size_t have = 0;
    char* end = nullptr;
    while (end == nullptr) {
      if (have == kHeadBytes) break;
      ssize_t got = Receive(peer, head + have, kHeadBytes - have);
      if (got <= 0) break;
      have += static_cast<size_t>(got);
      end = static_cast<char*>(memmem(head, have, "\r\n\r\n", 4));
    }
    if (end == nullptr) break;
    size_t headLength = static_cast<size_t>(end - head) + 4;
    std::string text(head, headLength);
    bool ok = false;
    if (text.compare(0, 4, "GET ") == 0) {
      size_t at = text.find("/bytes/");
      ok = at != std::string::npos && Stream(peer, strtoull(text.c_str() + at + 7, nullptr, 10));
    } else if (text.compare(0, 5, "POST ") == 0) {
      unsigned long long length = strtoull(HeaderValue(text, "content-length:").c_str(), nullptr, 10);
      bool expects = HeaderValue(text, "expect:") == "100-continue";
      ok = (!expects || SendAll(peer, "HTTP/1.1 100 Continue\r\n\r\n", 25)) &&
           Discard(peer, length, have - headLength) && ReplyToUpload(peer, length);
    }
    if (!ok) break;
  }
  if (peer.ssl != nullptr) {
    SSL_shutdown(peer.ssl);
    SSL_free(peer.ssl);
  }
  close(socketFd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    fprintf(stderr, "usage: %s LIFETIME_SECONDS [CERTIFICATE KEY]\n", argv[0]);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);  // a TLS write to a client that has gone is a plain write()
  if (argc == 4) {
    gTls = SSL_CTX_new(TLS_server_method());
    if (gTls == nullptr || SSL_CTX_use_certificate_chain_file(gTls, argv[2]) != 1 ||
        SSL_CTX_use_PrivateKey_file(gTls, argv[3], SSL_FILETYPE_PEM) != 1) {
      fprintf(stderr, "cannot load %s and %s\n", argv[2], argv[3]);
      return 1;
    }
  }
  memset(gStream, 'a', sizeof gStream);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(atoi(argv[1]));
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener, 64) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    perror("listen");
    return 1;
  }
  printf("%d\n", ntohs(address.sin_port));
  fflush(stdout);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd waiting = {listener, POLLIN, 0};
    if (poll(&waiting, 1, kAcceptPollMs) <= 0) continue;
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    std::thread(Serve, fd).detach();
  }
  _exit(0);  // connection threads still running end with the process
}
