// How the server reads requests, without sockets: the head limits (over all of a head's reads)
// and framing refusals of the request parser, a body's growth within the budget and its
// address's share, query
// parameters read and masked by their decoded names, the connection caps, and keys compared as
// digests.
#include <gtest/gtest.h>

#include <boost/asio/buffer.hpp>

#include "service/connection_limits.h"
#include "service/key_digest.h"
#include "service/request_parser.h"
#include "service/url_query.h"

namespace ombrivoice::service {
namespace {

constexpr std::uint64_t kBodyLimit = 1000;

// reads fed to a fresh parser one after the other, as the server feeds them (what a read left
// pending comes again before the next): 0 when the request was read whole, -1 when it needs
// more, else the status the server refuses it with.
int ParseReads(const std::vector<std::string>& reads, HttpRequest* request = nullptr) {
  RequestParser parser(kBodyLimit);
  boost::beast::error_code error;
  std::string pending;
  for (const std::string& read : reads) {
    pending += read;
    while (!pending.empty() && !parser.is_done()) {
      pending.erase(0, parser.Feed(boost::asio::buffer(pending), error));
      if (error == boost::beast::http::error::need_more) break;
      if (error) return parser.RefusalStatus(error);
    }
  }
  if (request != nullptr) *request = parser.request();
  return parser.is_done() ? 0 : -1;
}

// bytes as they would come in one read.
int Parse(const std::string& bytes, HttpRequest* request = nullptr) { return ParseReads({bytes}, request); }

std::string Lines(const std::string& line, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += line;
  return out;
}

TEST(ServiceRequestParser, HeadsOverTheLimitsAndBadFramingAreRefused) {
  const std::string post = "POST /u HTTP/1.1\r\nHost: x\r\n";
  struct Case {
    const char* what;
    std::string bytes;
    int result;
  };
  const Case cases[] = {
      {"a plain GET", "GET /a?b=c HTTP/1.1\r\nHost: x\r\n\r\n", 0},
      {"a POST with its body", post + "Content-Length: 5\r\n\r\nhello", 0},
      {"a head still coming", post + "Content-Le", -1},
      {"100 header lines", "GET / HTTP/1.1\r\n" + Lines("A: b\r\n", 100) + "\r\n", 0},
      {"101 header lines", "GET / HTTP/1.1\r\n" + Lines("A: b\r\n", 101) + "\r\n", 431},
      {"a flood of short lines, unfinished", "GET / HTTP/1.1\r\n" + Lines("a:b\r\n", 20000), 431},
      {"one header line of 16 KiB", "GET / HTTP/1.1\r\nA: " + std::string(kMaxHeadBytes, 'b') + "\r\n\r\n", 431},
      {"a target of 8 KiB", "GET /" + std::string(kMaxTargetBytes - 1, 'a') + " HTTP/1.1\r\n\r\n", 0},
      {"a target over 8 KiB", "GET /" + std::string(kMaxTargetBytes, 'a') + " HTTP/1.1\r\n\r\n", 414},
      {"a request line that fills the head", "GET /" + std::string(kMaxHeadBytes, 'a'), 414},
      {"a body over the limit", post + "Content-Length: 1001\r\n\r\n", 413},
      {"a length that is no number", post + "Content-Length: 12x\r\n\r\n", 400},
      {"two lengths that differ", post + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400},
      {"a length, then chunked", post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
      {"chunked, then a length", post + "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n", 400},
      {"a space before a colon", post + "Transfer-Encoding : chunked\r\nContent-Length: 5\r\n\r\nhello", 400},
      {"a line without a colon", post + "No colon\r\n\r\n", 400},
      {"a bare line feed", "GET / HTTP/1.1\nHost: x\n\n", 400},
      {"no request line", "\r\n\r\n", 400},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.bytes), c.result) << c.what;
  }
  HttpRequest request;
  ASSERT_EQ(Parse(post + "content-length: 5\r\nX-Two: a\r\nX-Two: b\r\n\r\nhello", &request), 0);
  EXPECT_EQ(request.method_string(), "POST");
  EXPECT_EQ(request.target(), "/u");
  EXPECT_EQ(request.version(), 11u);
  EXPECT_EQ(request.body(), "hello");
  EXPECT_EQ(request[boost::beast::http::field::content_length], "5");
  EXPECT_EQ(request.count("x-two"), 2u);
  EXPECT_EQ(request.count(boost::beast::http::field::range), 0u);
}

TEST(ServiceRequestParser, TheHeadIsBoundedOverAllItsReads) {
  const std::string line = "X: " + std::string(3995, 'a') + "\r\n";  // 4,000 bytes
  // Each read ends one byte into the next line, so Beast takes every line as it completes and
  // holds only that byte: its own limit, on what it holds, never speaks.
  auto trickled = [&line](int lines, const std::string& end) {
    std::vector<std::string> reads = {"POST /u HTTP/1.1\r\nContent-Length: 0\r\nX"};
    for (int i = 0; i < lines; ++i) reads.push_back(line.substr(1) + (i + 1 < lines ? "X" : ""));
    reads.push_back(end);
    return reads;
  };
  struct Case {
    const char* what;
    std::vector<std::string> reads;
    int result;
  };
  const Case cases[] = {
      {"lines one per read, 12 KB in all", trickled(3, "\r\n"), 0},
      {"lines one per read, 20 KB in all", trickled(5, "\r\n"), 431},
      {"lines one per read, 20 KB and still coming", trickled(5, "Y"), 431},
      {"a request line in two reads, then a short head", {"GET /a HT", "TP/1.1\r\nHost: x\r\n\r\n"}, 0},
      {"a request line in two reads, then 20 KB of lines", {"GET /a HT", "TP/1.1\r\n" + Lines(line, 5)}, 431},
      {"a long target in two reads", {"GET /" + std::string(5000, 'a'), std::string(5000, 'a') + " HTTP/1.1\r\n\r\n"},
       414},
      {"a request line that never ends", {"GET /" + std::string(9000, 'a'), std::string(9000, 'a')}, 414},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseReads(c.reads), c.result) << c.what;
  }
}

TEST(ServiceRequestParser, ABodyDrawsWhatHasArrivedWithinItsAddresssShare) {
  constexpr std::uint64_t kBudget = 8 << 20;
  constexpr std::uint64_t kShare = kBudget / 4;
  constexpr std::uint64_t kAnnounced = 60 << 20;
  BodyBudget budget(kBudget, kShare);
  boost::beast::error_code error;
  const std::string head = "POST /u HTTP/1.1\r\nContent-Length: " + std::to_string(kAnnounced) + "\r\n\r\n";
  {
    RequestParser parser(64 << 20, &budget);
    parser.request().client = "127.0.0.2";
    ASSERT_EQ(parser.Feed(boost::asio::buffer(head), error), head.size());
    EXPECT_EQ(parser.headBytes(), head.size());
    EXPECT_EQ(budget.Left(), kBudget) << "an announced length draws nothing";
    ASSERT_EQ(parser.Feed(boost::asio::buffer("x", 1), error), 1u);
    EXPECT_EQ(budget.Left(), kBudget - 1) << "one byte arrived, one drawn";
    const std::string piece(1 << 20, 'x');
    ASSERT_EQ(parser.Feed(boost::asio::buffer(piece), error), piece.size()) << error.message();
    EXPECT_EQ(budget.HeldBy("127.0.0.2"), piece.size() + 1);
    EXPECT_EQ(parser.Feed(boost::asio::buffer(piece), error), 0u);
    EXPECT_EQ(parser.RefusalStatus(error), 503) << "past the address's share, with the budget far from spent";
    EXPECT_EQ(budget.HeldBy("127.0.0.2"), piece.size() + 1) << "a refused growth draws nothing";
    std::size_t drawn = 0;
    EXPECT_EQ(parser.TakeBody(&drawn).size(), piece.size() + 1);
    EXPECT_EQ(drawn, piece.size() + 1) << "what the taken body holds is the taker's to give back";
    budget.Give("127.0.0.2", drawn);
    RequestParser other(64 << 20, &budget);
    other.request().client = "127.0.0.3";
    std::size_t used = other.Feed(boost::asio::buffer(head + piece), error);
    used += other.Feed(boost::asio::buffer(piece.data(), piece.size() - (used - head.size())), error);
    EXPECT_EQ(used, head.size() + piece.size()) << "another address draws its own share";
  }
  EXPECT_EQ(budget.Left(), kBudget) << "the parsers' end gives everything back";
  EXPECT_EQ(budget.HeldBy("127.0.0.2") + budget.HeldBy("127.0.0.3"), 0u);
  RequestParser small(64 << 20, &budget);
  const std::string request = "POST /u HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello";
  std::size_t used = small.Feed(boost::asio::buffer(request), error);
  used += small.Feed(boost::asio::buffer(request.data() + used, request.size() - used), error);
  ASSERT_TRUE(small.is_done()) << error.message();
  EXPECT_EQ(small.request().body(), "hello");
  EXPECT_EQ(budget.Left(), kBudget - 5) << "a short body draws its length";
  small.DropBody();
  EXPECT_EQ(budget.Left(), kBudget);
}

TEST(ServiceUrlQuery, ParametersAreFoundAndMaskedByTheirDecodedNames) {
  EXPECT_EQ(PercentDecoded("a%20b+c%2", false), "a b+c%2");
  EXPECT_EQ(PercentDecoded("a%20b+c%zz", true), "a b c%zz");
  struct Case {
    std::string query;
    std::optional<std::string> key;
  };
  const Case cases[] = {
      {"apikey=k1", "k1"},
      {"x=1&apikey=a%26b+c", "a&b c"},
      {"api%6Bey=k2&apikey=k3", "k2"},
      {"apikey", ""},
      {"APIKEY=k4", std::nullopt},  // read with its name as sent, as the routes always did
      {"apikeys=k5&key=k6", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QueryValue(c.query, "apikey"), c.key) << c.query;
  }
  EXPECT_EQ(MaskedQueryValues("/j?api%6Bey=k&APIKEY=k&b=c&apikey=&apikey", "apikey"),
            "/j?api%6Bey=*&APIKEY=*&b=c&apikey=&apikey");
  EXPECT_EQ(MaskedQueryValues("/j/apikey=k", "apikey"), "/j/apikey=k");
}

TEST(ServiceConnectionLimits, EachAddressAndAllTogetherAreCapped) {
  ConnectionLimits limits(3, 2);
  EXPECT_TRUE(limits.Admit("a"));
  EXPECT_TRUE(limits.Admit("a"));
  EXPECT_FALSE(limits.Admit("a")) << "a third from one address";
  EXPECT_TRUE(limits.Admit("b"));
  EXPECT_FALSE(limits.Admit("c")) << "a fourth in all";
  limits.Release("a");
  EXPECT_TRUE(limits.Admit("c"));
  EXPECT_EQ(limits.Open(), 3u);
  limits.Release("never-admitted");
  EXPECT_EQ(limits.Open(), 3u);
  for (const char* address : {"a", "b", "c"}) limits.Release(address);
  EXPECT_EQ(limits.Open(), 0u);
}

TEST(ServiceKeyDigest, KeysAreKnownByTheirSha256) {
  EXPECT_EQ(KeyDigest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const KeyRing keys({"first", "second"});
  EXPECT_TRUE(keys.Accepts("first"));
  EXPECT_TRUE(keys.Accepts("second"));
  for (const char* other : {"", "firs", "first ", "First", "second\n"}) {
    EXPECT_FALSE(keys.Accepts(other)) << other;
  }
  EXPECT_FALSE(KeyRing({}).Accepts(""));
}

}  // namespace
}  // namespace ombrivoice::service
