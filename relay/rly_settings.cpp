#include "rly_settings.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netdb.h>
#include <strings.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/tav_registration.h"
#include "base/tav_ring.h"
#include "rly_agent.h"
#include "rly_build.h"
#include "rly_cfg_reader.h"
#include "rly_state.h"

const rly_required_codes rly_codes_keys = {-1551, -1564, -1587, -1600, -1629,
                                           -1663, -1690, -1703, -1716, -1716};
const rly_required_codes rly_codes_xml = {-1188, -1200, -1222, -1234, -1259,
                                          -1288, -1313, -1325, -1337, -1349};

namespace {

constexpr int kXmlValueMax = 4095;

// The settings file in either form. A key = value file is opened anew for
// every key; an XML-like file that cannot be opened is reported once and then
// reads as empty.
class Source {
 public:
  Source(const char* path, bool xml) : path_(path), xml_(xml) {}

  // Value of the key (the name of the file's form), or null.
  std::unique_ptr<char, decltype(&free)> get(const char* kv_key, const char* xml_key) {
    std::unique_ptr<char, decltype(&free)> none(nullptr, &free);
    if (!xml_) return std::unique_ptr<char, decltype(&free)>(tav_gets(path_, kv_key), &free);
    if (unreadable_) return none;
    char buf[kXmlValueMax + 1];
    int n = tav_xfgets(path_, xml_key, buf, sizeof buf);
    if (n < 0) unreadable_ = true;
    if (n <= 0) return none;
    return std::unique_ptr<char, decltype(&free)>(strdup(buf), &free);
  }

 private:
  const char* path_;
  bool xml_;
  bool unreadable_ = false;
};

using Value = std::unique_ptr<char, decltype(&free)>;

// Copies text into a field of `size` bytes, cut to size - 1 characters.
void put(char* field, size_t size, const char* text) { snprintf(field, size, "%s", text); }

// A number within [lo, hi]: values outside are clamped (and logged), text
// without digits leaves *out as it was.
void number(const Value& v, const char* key, int lo, int hi, int* out) {
  if (!v) return;
  int n = 0;
  if (!rly_parse_int(v.get(), &n)) {
    RLY_LOG_E("config %s(%s) not a number, kept %d.\n", key, v.get(), *out);
    return;
  }
  if (n < lo || n > hi) {
    int c = n < lo ? lo : hi;
    RLY_LOG_E("config %s(%d) out of range %d..%d, taken as %d.\n", key, n, lo, hi, c);
    n = c;
  }
  *out = n;
}

// A TCP or UDP port: 1 to 65535, or -1 when absent or unusable.
int port(const Value& v, const char* key) {
  if (!v) return -1;
  int n = 0;
  if (!rly_parse_int(v.get(), &n) || n < 1 || n > 65535) {
    RLY_LOG_E("config %s(%s) is not a port 1..65535.\n", key, v.get());
    return -1;
  }
  return n;
}

bool dotted(const char* text) {
  in_addr a;
  return inet_pton(AF_INET, text, &a) == 1;
}

void touch_segment(const Value& v, const char* key) {
  if (!v) return;
  unsigned k = 0;
  if (sscanf(v.get(), "0x%x", &k) != 1) {
    RLY_LOG_E("config %s(%s) is not a key 0x..., ignored.\n", key, v.get());
    return;
  }
  if (rly_shm_touch(static_cast<key_t>(k)) != 0)
    RLY_LOG_E("shm key 0x%08x (%d:%s) error.\n", k, errno, strerror(errno));
}

// Slots of a ring: within the limits, rounded up to a power of two.
void slots(const Value& v, const char* key, int* out) {
  int n = *out;
  number(v, key, static_cast<int>(tav::ring::kMinSlots), static_cast<int>(tav::ring::kMaxSlots), &n);
  unsigned p = tav::ring::kMinSlots;
  while (p < static_cast<unsigned>(n)) p <<= 1;
  if (p != static_cast<unsigned>(n)) RLY_LOG_E("config %s(%d) taken as %u, a power of two.\n", key, n, p);
  *out = static_cast<int>(p);
}

// Permission bits in octal ("0660"). The relay keeps read and write for
// itself, which it needs to drain the ring.
void mode_bits(const Value& v, const char* key, int* out) {
  if (!v) return;
  char* end = nullptr;
  const long m = strtol(v.get(), &end, 8);
  while (end && isspace(static_cast<unsigned char>(*end))) ++end;
  if (end == v.get() || (end && *end) || m < 0 || m > 0777) {
    RLY_LOG_E("config %s(%s) is not an octal mode 0..0777, kept %04o.\n", key, v.get(), *out);
    return;
  }
  *out = static_cast<int>(m) | 0600;
}

// Who may write the check home and whose entries count there: trusted user
// and group ids (as the probes take them), and the group and mode the relay
// gives the tree (a group name or id; the mode in octal, set-group-id
// allowed, so that entries keep the group).
void check_home_access(Source& src) {
  const Value users = src.get("QEL_CHECK_TRUST_USERS", "rlyQelCheckTrustUsers");
  if (tav::reg::set_trusted_users(users.get()) != 0)
    RLY_LOG_E("config QEL_CHECK_TRUST_USERS(%s) is not a list of user ids, none taken.\n", users.get());
  const Value groups = src.get("QEL_CHECK_TRUST_GROUPS", "rlyQelCheckTrustGroups");
  if (tav::reg::set_trusted_groups(groups.get()) != 0)
    RLY_LOG_E("config QEL_CHECK_TRUST_GROUPS(%s) is not a list of group ids, none taken.\n", groups.get());
  int gid = -1;
  if (Value g = src.get("QEL_CHECK_HOME_GROUP", "rlyQelCheckHomeGroup")) {
    char* end = nullptr;
    const long id = strtol(g.get(), &end, 10);
    if (end != g.get() && *end == 0 && id >= 0 && id < INT_MAX) {
      gid = static_cast<int>(id);
    } else if (const group* gr = getgrnam(g.get())) {
      gid = static_cast<int>(gr->gr_gid);
    } else {
      RLY_LOG_E("config QEL_CHECK_HOME_GROUP(%s) is no group, the check home stays open.\n", g.get());
    }
  }
  int mode = 0;
  if (Value m = src.get("QEL_CHECK_HOME_MODE", "rlyQelCheckHomeMode")) {
    char* end = nullptr;
    const long bits = strtol(m.get(), &end, 8);
    if (end != m.get() && *end == 0 && bits > 0 && bits <= 07777) mode = static_cast<int>(bits);
    else RLY_LOG_E("config QEL_CHECK_HOME_MODE(%s) is not an octal mode, 02770 taken.\n", m.get());
  }
  if (gid >= 0 && mode == 0) mode = 02770;
  rly::set_home_access(gid, mode);
}

// Second address of a "value" that names two masters ("a,b" or "a b").
void split_pair(const char* text, char* first, size_t fsize, char* second, size_t ssize) {
  const char* sep = strpbrk(text, ", ");
  if (!sep) {
    put(first, fsize, text);
    put(second, ssize, text);
    return;
  }
  snprintf(first, fsize, "%.*s", static_cast<int>(sep - text), text);
  while (*sep == ',' || *sep == ' ') ++sep;
  put(second, ssize, *sep ? sep : first);
}

}  // namespace

bool rly_parse_int(const char* text, int* out) {
  if (!text) return false;
  const char* p = text;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  long long v = 0;
  for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
    if (v <= INT_MAX) v = v * 10 + (*p - '0');
  }
  if (neg) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  *out = static_cast<int>(v);
  return true;
}

int rly_shm_touch(key_t key) {
  int id = shmget(key, 8, 0666 | IPC_CREAT);
  if (id < 0) return -1;
  void* p = shmat(id, nullptr, 0);
  if (p == reinterpret_cast<void*>(-1)) return -1;
  shmdt(p);
  return 0;
}

extern "C" int tav_cfg_init(const char* path) {
  const rly_build_t& b = rly_build();
  const bool xml = b.settings == RLY_SETTINGS_XML;
  const rly_required_codes& code = xml ? rly_codes_xml : rly_codes_keys;
  Source src(path, xml);

  touch_segment(src.get("QEL_ATTACH_SHM_KEY", "rlyAttachShmKey"), "QEL_ATTACH_SHM_KEY");
  if (b.reads_log_shm_key)
    touch_segment(src.get("QEL_LOG_SHM_KEY", "rlyLogShmKey"), "QEL_LOG_SHM_KEY");

  if (Value v = src.get("TAV_LOG_FLAG_RLY", "rlyLogMode"))
    en_log = strncasecmp(v.get(), "ON", 2) == 0 ? 1 : 0;
  if (Value v = src.get("TAV_LOG_DEPTH", "rlyLogDepth")) {
    if (strncasecmp(v.get(), "ERROR", 5) == 0) en_log_level = 1;
    if (strncasecmp(v.get(), "TRACE", 5) == 0) en_log_level = 2;
  }
  int mb = en_log_sz / 1048576;
  number(src.get("TAV_LOG_MAX_SIZE", "rlyLogMaxSize"), "TAV_LOG_MAX_SIZE", 1, INT_MAX / 1048576,
         &mb);
  en_log_sz = mb * 1048576;
  if (Value v = src.get("TAV_LOG_PATH", "rlyLogPath")) {
    put(en_log_path, sizeof en_log_path, v.get());
    if (Value f = src.get("TAV_LOG_FILE_RLY", "rlyLogName")) put(en_log_file, sizeof en_log_file, f.get());
  }

  if (Value v = src.get("QEL_CHECK_UDP_PORT", "rlyQelCheckUdpPort")) {
    int p = port(v, "QEL_CHECK_UDP_PORT");
    en_check_port = p > 0 ? p : 0;
  }
  if (Value v = src.get("QEL_CHECK_HOME", "rlyQelCheckHome")) put(en_check_home, sizeof en_check_home, v.get());
  check_home_access(src);

  char host[256] = "";
  gethostname(host, sizeof host - 1);
  Value agent = src.get("TAV_RLY_AGENT_NAME", "rlyAgentName");
  if (!agent) return code.agent_name;
  snprintf(en_agent, sizeof en_agent, "%s%.31s", agent.get(), host);
  Value alias = src.get("TAV_RLY_AGENT_ALIAS", "rlyAgentAlias");
  if (!alias) return code.agent_alias;
  put(en_agtalias, sizeof en_agtalias, alias.get());
  put(en_hostname, sizeof en_hostname, host);
  // A host name that does not resolve leaves the address empty.
  tav_gethostbyname(host, en_ipaddr);

  Value domain = src.get("TAV_NODE_DOMAIN_NAME", "rlyDomainName");
  if (!domain) return code.domain;
  put(en_domainname, sizeof en_domainname, domain.get());
  Value prod = src.get("TAV_NODE_PRODUCT_CODE", "rlyProductCode");
  if (!prod) return code.product;
  put(en_prodcode, sizeof en_prodcode, prod.get());

  number(src.get("TAV_RLY_GTUID_THREAD_COUNT", "rlyGtuidThreadCount"), "TAV_RLY_GTUID_THREAD_COUNT",
         1, RLY_THREADS_PER_QUEUE_MAX, &en_gtuid_thread_count);
  number(src.get("TAV_RLY_GTUID_QUEUE_COUNT", "rlyGtuidQueueCount"), "TAV_RLY_GTUID_QUEUE_COUNT", 1,
         RLY_GTUID_QUEUES_MAX, &en_gtuid_queue_count);
  Value gname = src.get("TAV_RLY_GTUID_QUEUE_NAME", "rlyGtuidQueueName");
  if (!gname) return code.gtuid_queue;
  put(en_gtuid_queue_name, sizeof en_gtuid_queue_name, gname.get());
  number(src.get("TAV_RLY_GTUID_QUEUE_MAXMSG", "rlyGtuidQueueMaxMsg"), "TAV_RLY_GTUID_QUEUE_MAXMSG",
         1, 1000000, &en_gtuid_queue_maxmsg);

  if (Value tcount = src.get("TAV_RLY_TCODE_QUEUE_COUNT", "rlyTrcodeQueueCount")) {
    number(tcount, "TAV_RLY_TCODE_QUEUE_COUNT", 0, RLY_TCODE_QUEUES_MAX, &en_tcode_queue_count);
    number(src.get("TAV_RLY_TCODE_THREAD_COUNT", "rlyTrcodeThreadCount"),
           "TAV_RLY_TCODE_THREAD_COUNT", 0, RLY_THREADS_PER_QUEUE_MAX, &en_tcode_thread_count);
    Value tname = src.get("TAV_RLY_TCODE_QUEUE_NAME", "rlyTrcodeQueueName");
    if (!tname) return code.tcode_queue;
    put(en_tcode_queue_name, sizeof en_tcode_queue_name, tname.get());
    number(src.get("TAV_RLY_TCODE_QUEUE_MAXMSG", "rlyTrcodeQueueMaxMsg"),
           "TAV_RLY_TCODE_QUEUE_MAXMSG", 1, 1000000, &en_tcode_queue_maxmsg);
  }

  number(src.get("TAV_RLY_MASTER_SESSION_COUNT", "rlyMasterSessionCount"),
         "TAV_RLY_MASTER_SESSION_COUNT", 1, RLY_SESSIONS_MAX, &en_master_max_cnt);

  // Master addresses must be dotted IPv4 addresses. The XML-like form names
  // both in one value ("a,b"), or one address for both.
  if (xml) {
    Value addr = src.get(nullptr, "rlyMasterAddress");
    if (!addr) return code.master_ip;
    split_pair(addr.get(), en_master_ip, sizeof en_master_ip, en_master_ip2, sizeof en_master_ip2);
    if (!dotted(en_master_ip)) return code.master_ip;
    if (!dotted(en_master_ip2)) return code.master_ip2;
  } else {
    Value ip1 = src.get("TAV_MST_1ST_MASTER_IPADDR", nullptr);
    if (!ip1 || !dotted(ip1.get())) return code.master_ip;
    put(en_master_ip, sizeof en_master_ip, ip1.get());
    Value ip2 = src.get("TAV_MST_2ND_MASTER_IPADDR", nullptr);
    if (!ip2 || !dotted(ip2.get())) return code.master_ip2;
    put(en_master_ip2, sizeof en_master_ip2, ip2.get());
  }
  int p = port(src.get("TAV_MST_1ST_MASTER_PORT", "rlyMasterPort"), "TAV_MST_1ST_MASTER_PORT");
  if (p < 0) return code.master_port;
  // Both masters listen on one port.
  en_master_port = en_master_port2 = p;

  number(src.get("TAV_MST_CONNECT_RETRY_INTERVAL", "rlyMasterConnectRetryInterval"),
         "TAV_MST_CONNECT_RETRY_INTERVAL", 1, 3600, &en_master_ctime);
  number(src.get("TAV_MST_RESPONSE_TIMEOUT", "rlyMasterResponseTimeout"), "TAV_MST_RESPONSE_TIMEOUT",
         1, 3600, &en_master_ptime);
  number(src.get("TAV_RLY_GTUID_MSEND_COUNT", "rlyGtuidmsendCount"), "TAV_RLY_GTUID_MSEND_COUNT", 0,
         1000000, &en_gtuid_msend_count);
  number(src.get("TAV_RLY_TCODE_MSEND_COUNT", "rlyTcodemsendCount"), "TAV_RLY_TCODE_MSEND_COUNT", 0,
         1000000, &en_tcode_msend_count);

  // Key names that no other key begins with: the reader matches prefixes.
  if (Value v = src.get("TAV_RLY_RINGS", "rlyRings")) en_ring_on = strncasecmp(v.get(), "OFF", 3) == 0 ? 0 : 1;
  slots(src.get("TAV_RLY_RING_GTUID_SLOTS", "rlyRingGtuidSlots"), "TAV_RLY_RING_GTUID_SLOTS",
        &en_ring_gtuid_slots);
  slots(src.get("TAV_RLY_RING_TCODE_SLOTS", "rlyRingTcodeSlots"), "TAV_RLY_RING_TCODE_SLOTS",
        &en_ring_tcode_slots);
  mode_bits(src.get("TAV_RLY_RING_MODE", "rlyRingMode"), "TAV_RLY_RING_MODE", &en_ring_mode);
  return 0;
}
