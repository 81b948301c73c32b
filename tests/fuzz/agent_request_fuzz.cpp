// The relay's agent datagram and the names both sides make of it in the
// check home.
//
// Input: two port bytes, then the datagram text. Checked beside "no crash":
//  - a request the parser accepts has a function starting with C, dotted
//    IPv4 addresses that are terminated strings and ports 1-65535, and the
//    same request written out again parses to the same fields;
//  - answering it (port 8080 is served), and the probe's own local check with the same texts,
//    leave in R/port only names of the form a.b.c.d.port;
//  - the probe's exclusion table takes the text only when it can be
//    matched again.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/tav_check_home.h"
#include "base/tav_registration.h"
#include "fuzz_check.h"
#include "rly_agent.h"

namespace {

using qel::fuzz::Cursor;

// The check home of this process, with one server registered on port 8080:
// an address entry and a live registration of a socket listening there.
const std::string& home() {
  static const std::string dir = [] {
    char t[] = "/tmp/qel-agent-fuzz.XXXXXX";
    FUZZ_CHECK(mkdtemp(t) != nullptr);
    const std::string d = t;
    rly::home_prepare(d.c_str());
    FILE* f = fopen((d + "/port/0.0.0.0.8080").c_str(), "w");
    FUZZ_CHECK(f != nullptr);
    fclose(f);
    const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(8080);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(l, 1) == 0);
    const std::string reg = d + "/port/127.0.0.1.8080";
    FUZZ_CHECK(mkdir(reg.c_str(), 0777) == 0);
    const int rfd = open(reg.c_str(), O_RDONLY | O_DIRECTORY);
    FUZZ_CHECK(tav::reg::write_entry(rfd, std::to_string(getpid()).c_str(), tav::reg::socket_inode(l)));
    close(rfd);
    tav_set_home(d.c_str(), "127.0.0.1");
    // The tree goes when the fuzzer exits (markers are removed after each
    // input); the path is kept where no destructor reaches it.
    static char root[64];
    snprintf(root, sizeof root, "%s", d.c_str());
    atexit([] {
      const std::string h = root;
      unlink((h + "/port/0.0.0.0.8080").c_str());
      unlink((h + "/port/127.0.0.1.8080/" + std::to_string(getpid())).c_str());
      rmdir((h + "/port/127.0.0.1.8080").c_str());
      for (const char* sub : {"/port", "/proc"}) rmdir((h + sub).c_str());
      rmdir(root);
    });
    return d;
  }();
  return dir;
}

// Every name in R/port is a port name; markers are removed again.
void check_port_dir() {
  const std::string port = home() + "/port";
  DIR* d = opendir(port.c_str());
  FUZZ_CHECK(d != nullptr);
  std::vector<std::string> markers;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (!rly::port_name(name.c_str())) {
      fprintf(stderr, "name in the check home: '%s'\n", name.c_str());
      FUZZ_CHECK(false);
    }
    if (name != "0.0.0.0.8080" && name != "127.0.0.1.8080") markers.push_back(name);
  }
  closedir(d);
  for (const std::string& m : markers) unlink((port + "/" + m).c_str());
}

bool terminated(const char* s, size_t cap) { return strnlen(s, cap) < cap; }

void check_parsed(const rly_agent_req& q) {
  FUZZ_CHECK(q.fn[0] == 'C' || q.fn[0] == 'c');
  FUZZ_CHECK(terminated(q.fn, sizeof q.fn));
  FUZZ_CHECK(terminated(q.la, sizeof q.la) && terminated(q.ra, sizeof q.ra));
  FUZZ_CHECK(rly::ipv4_text(q.la, strlen(q.la)) && rly::ipv4_text(q.ra, strlen(q.ra)));
  FUZZ_CHECK(q.lp >= 1 && q.lp <= 65535 && q.rp >= 1 && q.rp <= 65535);

  char text[RLY_AGENT_MSG_MAX + 1];
  const int n = snprintf(text, sizeof text, "fn=%s,tp=%d,la=%s,lp=%d,ra=%s,rp=%d", q.fn, q.tp,
                         q.la, q.lp, q.ra, q.rp);
  FUZZ_CHECK(n > 0 && n <= RLY_AGENT_MSG_MAX);
  rly_agent_req again;
  FUZZ_CHECK(rly_agent_parse(text, n, &again) == RLY_REQ_OK);
  FUZZ_CHECK(strcmp(again.fn, q.fn) == 0 && again.tp == q.tp && strcmp(again.la, q.la) == 0 &&
             again.lp == q.lp && strcmp(again.ra, q.ra) == 0 && again.rp == q.rp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  home();
  Cursor in{data, size};
  const int port = (in.byte() << 8 | in.byte()) - 100;
  const std::vector<uint8_t> text = in.rest();  // exact size, no terminator
  const char* msg = reinterpret_cast<const char*>(text.data());
  const int len = static_cast<int>(text.size());

  rly_agent_req req;
  if (rly_agent_parse(msg, len, &req) == RLY_REQ_OK) check_parsed(req);
  char reply[3] = {'x', 'x', 'x'};
  if (rly_agent_request(home().c_str(), msg, len, "10.1.2.3", reply) == 1)
    FUZZ_CHECK(strcmp(reply, "OK") == 0 || strcmp(reply, "NK") == 0);

  // The probe's side takes C strings: the text cut at its first comma is the
  // caller's address, the rest the destination's.
  std::string all(msg, text.size());
  all = all.substr(0, strnlen(all.c_str(), all.size()));
  const size_t comma = all.find(',');
  const std::string la = all.substr(0, comma);
  const std::string ra = comma == std::string::npos ? std::string() : all.substr(comma + 1);
  tav_bind_check(la.c_str(), port, ra.c_str(), 8080);
  tav_bind_check(la.c_str(), port, ra.c_str(), port);
  check_port_dir();

  if (tav_except_port_count < 100 && tav_set_except_port(la.c_str(), port) == 0)
    FUZZ_CHECK(tav_is_except_port(la.c_str(), port) == 1);
  return 0;
}
