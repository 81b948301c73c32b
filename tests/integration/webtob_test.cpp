// HTTP requests from real clients through the processes of a small web
// server, each with the WebtoB build preloaded: an HTTP handler ("hth01")
// that takes requests from clients and passes each to a service process
// ("htmls01") behind a framed header, then writes the service's answer back.
// The clients (curl, a Python script) are not monitored. Every request must
// be one transaction that the handler starts, hands to the service and ends
// with its answer, and every answer must reach the client unchanged: the
// library's own bytes travel between handler and service only.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/tav_mzp.h"
#include "hops.h"
#include "master_run.h"
#include "probe_run.h"
#include "queue_drain.h"
#include "sockaddrs.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

// --- answers as the clients see them ------------------------------------------------

// What the service process answers to a path: for "/big?n=K" K bytes of a
// fixed pattern, else a greeting.
std::string body_for(const std::string& path) {
  const std::string big = "/big?n=";
  if (path.rfind(big, 0) != 0) return "hello " + path + "\n";
  std::string out(std::stoul(path.substr(big.size())), '\0');
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return out;
}

// An HTTP answer: the head with its blank line, and what came behind it.
struct Answer {
  std::string head, body;
};

Answer split_answer(const std::string& raw) {
  const size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return {raw, {}};
  return {raw.substr(0, end + 4), raw.substr(end + 4)};
}

// The head's lines without their CR LF, up to the blank line.
std::vector<std::string> head_lines(const std::string& head) {
  std::vector<std::string> out;
  for (size_t at = 0;;) {
    const size_t eol = head.find("\r\n", at);
    if (eol == std::string::npos || eol == at) return out;
    out.push_back(head.substr(at, eol - at));
    at = eol + 2;
  }
}

// The header line the library adds to an answer the handler reads header
// first: name, four digits, blanks, 96 bytes with its CR LF.
constexpr char kTraceKey[] = "Korvath-Elmira-Tracekey: ";
constexpr size_t kTraceLineSize = 96;

void expect_trace_line(const std::string& line) {
  const size_t digits = sizeof kTraceKey - 1;
  EXPECT_EQ(line.size() + 2, kTraceLineSize) << "[" << line << "]";
  EXPECT_EQ(line.substr(digits, 4).find_first_not_of("0123456789"), std::string::npos) << line;
  EXPECT_EQ(line.find_first_not_of(' ', digits + 4), std::string::npos) << "[" << line << "]";
}

// A well-formed answer: status 200 and a Content-Length that counts exactly
// the bytes behind the head. With a path, the body must be the service's;
// the trace header line must be there once when `trace_line`, else not at all.
void expect_answer(const Answer& a, const char* path, bool trace_line) {
  const std::vector<std::string> lines = head_lines(a.head);
  ASSERT_FALSE(lines.empty()) << "no answer head: [" << a.head.substr(0, 200) << "]";
  EXPECT_EQ(lines[0], "HTTP/1.1 200 OK");
  std::string length = "(none)";
  int traces = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].rfind("Content-Length: ", 0) == 0) length = lines[i].substr(16);
    if (lines[i].rfind(kTraceKey, 0) == 0) {
      ++traces;
      expect_trace_line(lines[i]);
    }
  }
  EXPECT_EQ(length, std::to_string(a.body.size())) << a.head;
  EXPECT_EQ(traces, trace_line ? 1 : 0) << a.head;
  if (!path) return;
  const std::string want = body_for(path);
  const auto diff = std::mismatch(want.begin(), want.end(), a.body.begin(), a.body.end());
  EXPECT_TRUE(a.body == want) << "body of " << a.body.size() << " bytes, expected " << want.size()
                              << "; first difference at " << (diff.first - want.begin()) << ": ["
                              << a.body.substr(0, 120) << "]";
}

// --- records on the gtuid queue -------------------------------------------------------

// The way of one request: started in the handler, handed to the service,
// answered, taken back and ended with the answer to the client.
const std::vector<std::string> kRequestHops = {"00000 hth01 RS",   "00001 hth01 SC", "00002 htmls01 RC",
                                               "00003 htmls01 SC", "00004 hth01 RC", "00005 hth01 SE"};

// The probe's log lines that tell how requests and answers were followed.
std::string trace_excerpt(const std::string& logs) {
  static const char* const kMarks[] = {"msg.", "recreate.", "clear.", "mzp1(", "trace key", "gelist"};
  std::istringstream in(logs);
  std::string out;
  for (std::string line; std::getline(in, line);)
    if (std::any_of(std::begin(kMarks), std::end(kMarks),
                    [&](const char* m) { return line.find(m) != std::string::npos; }))
      out += line + "\n";
  return out.size() > 40000 ? "...\n" + out.substr(out.size() - 40000) : out;
}

// `requests` transactions, each with a 22-digit identifier and the way above.
void expect_requests(const std::vector<Hop>& hops, size_t requests, const Names& names, const std::string& logs) {
  expect_transactions(hops, requests, kRequestHops, names, [&] { return trace_excerpt(logs); });
}

// --- the web server -----------------------------------------------------------------

enum class Link { kUnix, kTcp };  // between handler and service process

// A sandbox for the WebtoB build in FULL mode with trace logging, the gtuid
// queue read while the processes run, and the handler and the service
// process started under their names. Settings may be added before start().
class WebServer {
 public:
  WebServer() {
    // Over TCP the handler knows the service process as a monitored peer
    // from its listener in the check home; nobody answers the check port.
    server_test_settings(box, check.port);
  }

  // The service process on `link` and the handler in front of it.
  bool start(Link link, const std::vector<std::string>& handler_options = {}) {
    std::string entries = "127.0.0.1:" + std::to_string(port) + ":START";
    std::string service = "tcp:" + std::to_string(free_port());
    if (link == Link::kUnix) {
      const std::string sock = box.path("htmls01.sock");
      entries += "," + sock + ":0:SERVICE";
      service = "unix:" + sock;
    }
    box.add_setting("qel.ip.information", entries);
    if (!launch("htmls01", {"service", service}, service)) return false;
    std::vector<std::string> args{"handler", std::to_string(port), service};
    args.insert(args.end(), handler_options.begin(), handler_options.end());
    handler = launch("hth01", args, std::to_string(port));
    return handler != nullptr;
  }

  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
  std::string logs() const { return probe_logs(box.log_dir()); }

  // Waits for `n` records and a little longer for any beyond them, then
  // stops reading: all records read, from the `from`th on.
  std::vector<Hop> records(size_t n, size_t from = 0) {
    drain.wait_for(n, 10s);
    std::this_thread::sleep_for(300ms);
    std::vector<Hop> out;
    const std::vector<Record> all = drain.finish();
    for (size_t i = from; i < all.size(); ++i) {
      EXPECT_EQ(all[i].size, sizeof(mzp1_t) - sizeof(long)) << "record " << i << " is not of type 1";
      out.push_back(hop_of(all[i]));
    }
    return out;
  }

  ProbeSandbox box{"webtob"};
  Bound check{SOCK_DGRAM};
  const int port = free_port();
  Names names;
  Background* handler = nullptr;
  OwnQueue queue{box.key(1)};
  Drain drain{queue.id()};

 private:
  // webtob_peer under `name` (a link in the sandbox), ready when it says so.
  Background* launch(const std::string& name, const std::vector<std::string>& args, const std::string& shown) {
    std::vector<std::string> argv{box.path(name)};
    std::filesystem::create_symlink(WEBTOB_PEER_BIN, argv[0]);
    argv.insert(argv.end(), args.begin(), args.end());
    Background& b = box.start(argv);
    const std::string first = b.wait_first_line(20s);
    if (first != "ready " + shown) {
      ADD_FAILURE() << name << " did not start (" << first << "): " << b.err();
      return nullptr;
    }
    names[b.pid()] = name;
    return &b;
  }
};

// One unmonitored curl for all `paths`, in this order on one connection.
// Checks that curl succeeded and did not connect again; returns the answers.
std::vector<Answer> fetch(WebServer& w, const std::vector<std::string>& paths) {
  // -i: each output file holds the answer's head and its body.
  std::vector<std::string> argv{"curl", "-sS", "-i", "--max-time", "20", "-w", "%{http_code} %{num_connects}\\n"};
  std::string want_out;
  for (size_t i = 0; i < paths.size(); ++i) {
    argv.insert(argv.end(), {"-o", w.box.path("answer" + std::to_string(i)), w.url(paths[i])});
    want_out += i == 0 ? "200 1\n" : "200 0\n";
  }
  const RunResult r = w.box.run_plain(argv, {.timeout = 30s});
  EXPECT_TRUE(r.ok()) << r.describe() << "\n" << trace_excerpt(w.logs());
  EXPECT_EQ(r.out, want_out) << "status and new connections of each transfer";
  std::vector<Answer> out;
  for (size_t i = 0; i < paths.size(); ++i) out.push_back(split_answer(read_file(w.box.path("answer" + std::to_string(i)))));
  return out;
}

// --- requests from curl -------------------------------------------------------------

struct RequestCase {
  const char* name;
  Link link;
  std::vector<std::string> handler_options;
  bool trace_line;  // the handler reads each answer's header alone: small
                    // answers get the header line
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

// The handler reads answers in one read with the header, in pieces smaller
// than the big answer, or the 96-byte header alone first.
const RequestCase kRequestCases[] = {
    {"unix_default", Link::kUnix, {}, false},
    {"tcp_default", Link::kTcp, {}, false},
    {"unix_chunk4096", Link::kUnix, {"--chunk", "4096"}, false},
    {"tcp_chunk4096", Link::kTcp, {"--chunk", "4096"}, false},
    {"unix_header_first", Link::kUnix, {"--header-first"}, true},
    {"tcp_header_first", Link::kTcp, {"--header-first"}, true},
};

class WebtobRequests : public testing::TestWithParam<RequestCase> {};

// Three requests on one keep-alive connection, one of them with an answer
// larger than any read of the handler: three transactions, exact answers.
TEST_P(WebtobRequests, EachRequestIsOneTransactionAndEveryAnswerIsExact) {
  const RequestCase& c = GetParam();
  WebServer w;
  ASSERT_GE(w.queue.id(), 0) << strerror(errno);
  ASSERT_TRUE(w.start(c.link, c.handler_options));
  const std::vector<std::string> paths = {"/a", "/big?n=300000", "/b"};
  const std::vector<Answer> answers = fetch(w, paths);
  for (size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(paths[i]);
    // The line goes into an answer only where the read that brings the
    // answer's start leaves room for it in the handler's buffer; the big
    // answer fills that read, so its transaction rides behind it instead.
    const bool fills_the_read = paths[i].rfind("/big", 0) == 0;
    expect_answer(answers[i], paths[i].c_str(), c.trace_line && !fills_the_read);
  }
  if (HasFailure()) std::cerr << "probe log lines:\n" << trace_excerpt(w.logs());
  expect_requests(w.records(paths.size() * kRequestHops.size()), paths.size(), w.names, w.logs());
}

INSTANTIATE_TEST_SUITE_P(Reads, WebtobRequests, testing::ValuesIn(kRequestCases),
                         [](const testing::TestParamInfo<RequestCase>& info) { return info.param.name; });

// --- excluded URLs ------------------------------------------------------------------

// A URL of the exclusion list starts no transaction; a URL that only begins
// with one is traced. One client after the other, so that each one's
// records can be told apart.
TEST(WebtobExcluded, ExcludedUrlsLeaveNoRecordOthersAreTraced) {
  WebServer w;
  w.box.add_setting("QEL_GTUID_EXCEPT", "/health,/ping");
  ASSERT_GE(w.queue.id(), 0) << strerror(errno);
  ASSERT_TRUE(w.start(Link::kUnix));
  const std::pair<const char*, bool> cases[] = {
      {"/health", false}, {"/healthcheck", true}, {"/ping", false}, {"/b", true}};
  size_t expected = 0, traced = 0;
  for (const auto& [path, is_traced] : cases) {
    SCOPED_TRACE(path);
    expect_answer(fetch(w, {path}).at(0), path, false);
    if (is_traced) {
      expected += kRequestHops.size();
      ++traced;
    }
    w.drain.wait_for(expected, 5s);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(w.drain.occurrences(), expected) << trace_excerpt(w.logs());
  }
  expect_requests(w.records(expected), traced, w.names, w.logs());
}

// --- requests in pieces and malformed requests ---------------------------------------

// An unmonitored client: sends its pieces (hex) with 50 ms between them,
// with "shut" closes its sending side, then writes to stdout what comes
// back: a whole answer and anything that follows it within 300 ms, or what
// came before the server closed. Exit 3 when nothing more came for 5 s, 4
// when the connection was reset.
constexpr char kRawClient[] = R"(import socket, sys, time
port, shut = int(sys.argv[1]), sys.argv[2] == "shut"
s = socket.create_connection(("127.0.0.1", port), timeout=5)
for i, piece in enumerate(sys.argv[3:]):
    if i:
        time.sleep(0.05)
    s.sendall(bytes.fromhex(piece))
if shut:
    s.shutdown(socket.SHUT_WR)
data = b""
def complete():
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return False
    for line in data[:end].split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            return len(data) >= end + 4 + int(value)
    return False
try:
    while not complete():
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    if complete():
        s.settimeout(0.3)
        try:
            data += s.recv(65536)
        except socket.timeout:
            pass
except socket.timeout:
    sys.stdout.buffer.write(data)
    sys.exit(3)
except ConnectionResetError:
    sys.exit(4)
sys.stdout.buffer.write(data)
)";

struct RawCase {
  const char* name;
  std::vector<std::string> pieces;
  bool shut;         // the client closes its sending side after the pieces
  const char* path;  // the answer must be this path's; null: any well-formed answer, or a close
};

const RawCase kRawCases[] = {
    {"split in the request line and in a header",
     {"GET /sp", "lit HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pa", "rt: 3\r\n\r\n"}, false, "/split"},
    {"no version", {"GET /x\r\n\r\n"}, false, nullptr},
    {"binary", {std::string("\x01\x02\xff\x00 garbage\r\n\r\n", 16)}, false, nullptr},
    {"begins like an answer", {"HTTP/1.1 200 OK\r\n\r\n"}, false, nullptr},
    {"cut off before its end", {"GET /cut HTTP/1.1\r\nHost: 127.0.0.1\r\n"}, true, nullptr},
};

// The handler takes a request that arrives in pieces as one; malformed
// requests get an answer or a clean close, never a hang, and the handler
// goes on serving with the next request traced as usual.
TEST(WebtobRawClients, PiecesAndMalformedRequestsLeaveTheHandlerServing) {
  WebServer w;
  ASSERT_GE(w.queue.id(), 0) << strerror(errno);
  ASSERT_TRUE(w.start(Link::kUnix));
  const std::string script = w.box.write_file("raw_client.py", kRawClient);
  for (const RawCase& c : kRawCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv{"python3", script, std::to_string(w.port), c.shut ? "shut" : "keep"};
    for (const std::string& p : c.pieces) argv.push_back(hex_of(p));
    const RunResult r = w.box.run_plain(argv, {.timeout = 20s});
    EXPECT_TRUE(r.ok()) << r.describe() << "\n" << trace_excerpt(w.logs());
    if (c.path || !r.out.empty()) expect_answer(split_answer(r.out), c.path, false);
    EXPECT_TRUE(w.handler->running()) << w.handler->err();
  }
  ASSERT_TRUE(w.handler->running()) << w.handler->err();
  std::this_thread::sleep_for(300ms);
  const size_t before = w.drain.occurrences();
  expect_answer(fetch(w, {"/after"}).at(0), "/after", false);
  expect_requests(w.records(before + kRequestHops.size(), before), 1, w.names, w.logs());
}

// --- through relayd to the master ------------------------------------------------------

// relayd reads the gtuid queue and sends what it reads to the development
// master, which writes one JSON line for each record.
TEST(WebtobToMaster, TheSixRecordsOfARequestReachTheMaster) {
  WebServer w;
  w.drain.finish();  // relayd is the reader here
  MasterAndRelay master(w.box, TAVMASTER_BIN, RELAYD_BIN, w.box.key(1), w.box.key(3), "04");
  ASSERT_TRUE(master.ok()) << master.story();

  ASSERT_TRUE(w.start(Link::kUnix));
  expect_answer(fetch(w, {"/to-master"}).at(0), "/to-master", false);
  master.wait_records(kRequestHops.size());
  EXPECT_TRUE(master.stop_relay().ok()) << master.story();
  EXPECT_TRUE(master.stop_master().ok()) << master.story();
  expect_requests(hops_of(master.records()), 1, master_names(w.names), w.logs());
}

}  // namespace
}  // namespace qel::test
