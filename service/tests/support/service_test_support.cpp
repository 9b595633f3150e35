// Helpers of the service tests: byte builders and a blocking loopback HTTP exchange.
#include "support/service_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace ombrivoice::service::testing {
namespace {

void Put16(std::string* out, std::uint32_t value) {
  out->push_back(static_cast<char>(value & 0xFF));
  out->push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::string* out, std::uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

}  // namespace

std::string MakeWav(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits,
                    const std::vector<std::int16_t>& samples) {
  const std::uint32_t dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
  std::string wav = "RIFF";
  Put32(&wav, 36 + dataBytes);               // "WAVE" + fmt chunk (24) + data chunk header (8)
  wav += "WAVEfmt ";
  Put32(&wav, 16);                           // PCM fmt chunk size
  Put16(&wav, 1);                            // PCM
  Put16(&wav, channels);
  Put32(&wav, rate);
  Put32(&wav, rate * channels * bits / 8);   // bytes per second
  Put16(&wav, channels * bits / 8);          // block alignment
  Put16(&wav, bits);
  wav += "data";
  Put32(&wav, dataBytes);
  for (std::int16_t sample : samples) {
    Put16(&wav, static_cast<std::uint16_t>(sample));
  }
  return wav;
}

std::vector<std::int16_t> Sine(double hz, double amplitude, std::uint32_t rate, std::uint16_t channels,
                               std::size_t frames) {
  std::vector<std::int16_t> samples;
  for (std::size_t frame = 0; frame < frames; ++frame) {
    const double value = amplitude * 32767.0 * std::sin(2 * M_PI * hz * frame / rate);
    samples.insert(samples.end(), channels, static_cast<std::int16_t>(std::lround(value)));
  }
  return samples;
}

// Speaks into a file in a fresh temporary folder and reads it.
std::string SpeakPhrase() {
  TempDir folder;
  const std::string path = folder.File("phrase.wav");
  const std::string command = std::string("flite -voice slt -t '") + kPhrase + "' -o " + path;
  if (std::system(command.c_str()) != 0) return "";
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::string UploadBody(const std::string& boundary, const std::string& wav, const std::string& key) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"wav.wav\"\r\n" +
         "Content-Type: audio/wav\r\n\r\n" + wav + "\r\n--" + boundary +
         "\r\nContent-Disposition: form-data; name=\"apikey\"\r\n\r\n" + key + "\r\n--" + boundary + "--\r\n";
}

std::string UploadRequest(const std::string& target, const std::string& body, const std::string& boundary) {
  return "POST " + target + " HTTP/1.1\r\n" +
         "Host: api.ombrivoice.example\r\n"
         "Connection: close\r\n"
         "Content-Length: " + std::to_string(body.size()) + "\r\n" +
         "Accept: */*\r\n"
         "Origin: http://www.ombrivoice.example\r\n"
         "User-Agent: test\r\n"
         "Content-Type: multipart/form-data; boundary=" + boundary + "\r\n" +
         "Referer: http://www.ombrivoice.example/\r\n"
         "Accept-Encoding: gzip, deflate\r\n"
         "Accept-Language: en-US\r\n"
         "Pragma: no-cache\r\n\r\n" + body;
}

int ConnectLoopback(int port) {
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (sock >= 0 && connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(sock);
    return -1;
  }
  return sock;
}

bool SendAll(int sock, const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    ssize_t n = send(sock, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

RawReply Exchange(int sock, const std::string& request) {
  if (sock < 0) return RawReply();
  // The server may answer and close before the whole body is sent (a body over the limit);
  // the reply is read all the same.
  SendAll(sock, request);
  std::string received;
  char buffer[4096];
  for (ssize_t n; (n = recv(sock, buffer, sizeof buffer, 0)) > 0;) {
    received.append(buffer, static_cast<std::size_t>(n));
  }
  close(sock);
  return ParseReply(received);
}

bool ReadableWithin(int sock, std::chrono::milliseconds limit) {
  pollfd wait = {sock, POLLIN, 0};
  return poll(&wait, 1, static_cast<int>(limit.count())) == 1;
}

bool ClosedWithin(int sock, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  char piece[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd wait = {sock, POLLIN, 0};
    if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) != 1) return false;
    if (recv(sock, piece, sizeof piece, 0) <= 0) return true;
  }
}

RawReply ParseReply(const std::string& received) {
  RawReply reply;
  const std::size_t headerEnd = received.find("\r\n\r\n");
  if (received.rfind("HTTP/1.", 0) != 0 || headerEnd == std::string::npos) {
    return reply;
  }
  reply.status = std::stoi(received.substr(9, 3));
  reply.headers = received.substr(0, headerEnd);
  reply.body = received.substr(headerEnd + 4);
  return reply;
}

RawReply SendRaw(int port, const std::string& request) { return Exchange(ConnectLoopback(port), request); }

RawReply Get(int port, const std::string& target) {
  return SendRaw(port, "GET " + target + " HTTP/1.1\r\nHost: api.ombrivoice.example\r\n"
                       "User-Agent: FTP_to_AIX\r\nConnection: close\r\n\r\n");
}

RawReply WaitForResult(int port, const std::string& resultUrl, const std::string& key,
                       std::chrono::milliseconds limit) {
  constexpr auto kPollInterval = std::chrono::milliseconds(20);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  RawReply reply = Get(port, resultUrl + "?apikey=" + key);
  while (reply.status == 202 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kPollInterval);
    reply = Get(port, resultUrl + "?apikey=" + key);
  }
  return reply;
}

std::string JsonField(const std::string& json, const std::string& field) {
  const std::string label = "\"" + field + "\":";
  std::size_t at = json.find(label);
  if (at == std::string::npos) return "";
  at += label.size();
  if (json[at] == '"') {
    return json.substr(at + 1, json.find('"', at + 1) - at - 1);
  }
  return json.substr(at, json.find_first_of(",}", at) - at);
}

}  // namespace ombrivoice::service::testing
