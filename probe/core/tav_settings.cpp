// The settings file: key = value lines (see the reader in tav_cfg_reader.cpp),
// read once per process at start-up. Java builds use dotted lower-case names,
// the Tmax and WebtoB builds upper-case ones.
#include "core/tav_settings.h"

#include <strings.h>
#include <sys/msg.h>
#include <sys/shm.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/tav_check_home.h"
#include "base/tav_registration.h"
#include "base/tav_ipinfo.h"
#include "base/tav_iplist.h"
#include "base/tav_items.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "base/tav_ring.h"
#include "base/tav_util.h"
#include "core/tav_build.h"
#include "servers/weblogic/tav_wls.h"

namespace {

struct Keys {
  const char* log;
  const char* log_level;
  const char* log_size;
  const char* log_path;
  const char* start_log_path;
  const char* check_mode;
  const char* check_udp_port;
  const char* check_udp_timeout;
  const char* check_home;
  const char* mode;
  const char* bmt_mode;
  const char* system_code;
  const char* dbms_code;
  const char* product_code;
  const char* domain_name;
  const char* node_name;
  const char* node_id;
  const char* dbms_wait_gtuid;
  const char* ip_keep_mode;
  const char* gtuid_create_mode;
  const char* gtuid_create_keep;
  const char* gtuid_clear_end;
  const char* server_info_mode;
  const char* putclass;
  const char* gtuid_proc_mode;
  const char* gtuid_send_type;
  const char* gtuid_queue_count;
  const char* gtuid_queue_name;
  const char* tcode_queue_count;
  const char* tcode_queue_name;
  const char* tcod6_queue_count;
  const char* tcod6_queue_name;
  const char* log_shm_key;
  const char* attach_shm_key;
  const char* ip_information;
  const char* server_information;
  const char* adapter_information;
  const char* check_include_ip;
  const char* check_exclude_ip;
  const char* check_trust_users;
  const char* check_trust_groups;
};

#if TAV_WITH_JAVA
constexpr Keys kKeys = {
    "qel.log", "qel.log.level", "qel.log.size", "qel.log.path", "qel.start.log.path",
    "qel.check.mode", "qel.check.udp.port", "qel.check.udp.timeout", "qel.check.home", "qel.mode",
    "qel.gtuid.bmt.mode", "qel.system.code", "qel.dbms.code", "qel.node.product.code",
    "qel.domain.name", "qel.node.name", "qel.node.id", "qel.dbms.wait.gtuid", "qel.ip.keep.mode",
    "qel.gtuid.create.mode", "qel.gtuid.create.keep", "qel.gtuid.clear.end",
    "qel.server.info.mode", "qel.putclass", "qel.gtuid.proc.mode", "qel.gtuid.send.type",
    "qel.gtuid.queue.count", "qel.gtuid.queue.name", "qel.tcode.queue.count",
    "qel.tcode.queue.name", "qel.tcod6.queue.count", "qel.tcod6.queue.name", "qel.log.shm.key",
    "qel.attach.shm.key", "qel.ip.information", "qel.server.information",
    "qel.adapter.information", "qel.check.include.ip", "qel.check.exclude.ip",
    "qel.check.trust.users", "qel.check.trust.groups"};
#else
// The queue names are the relay's own keys, so one file serves both.
constexpr Keys kKeys = {
    "QEL_LOG", "QEL_LOG_LEVEL", "QEL_LOG_SIZE", "QEL_LOG_PATH", "QEL_START_LOG_PATH",
    "QEL_CHECK_MODE", "QEL_CHECK_UDP_PORT", nullptr, "QEL_CHECK_HOME", "QEL_MODE",
    "QEL_GTUID_BMT_MODE", "TAV_NODE_SYSTEM_CODE", "TAV_NODE_DBMS_CODE", "TAV_NODE_PRODUCT_CODE",
    "TAV_NODE_DOMAIN_NAME", "QEL_NODE_NAME", "QEL_NODE_ID", "QEL_DBMS_WAIT_GTUID",
    "QEL_IP_KEEP_MODE", "QEL_GTUID_CREATE_MODE", "QEL_GTUID_CREATE_KEEP", "QEL_GTUID_CLEAR_END",
    "QEL_SERVER_INFO_MODE", nullptr, nullptr, nullptr, "TAV_RLY_GTUID_QUEUE_COUNT",
    "TAV_RLY_GTUID_QUEUE_NAME", "TAV_RLY_TCODE_QUEUE_COUNT", "TAV_RLY_TCODE_QUEUE_NAME",
    "TAV_RLY_TCOD6_QUEUE_COUNT", "TAV_RLY_TCOD6_QUEUE_NAME", "QEL_LOG_SHM_KEY",
    "QEL_ATTACH_SHM_KEY", "QEL_IP_INFORMATION", "QEL_SERVER_INFORMATION",
    "QEL_ADAPTER_INFORMATION", "QEL_CHECK_INCLUDE_IP", "QEL_CHECK_EXCLUDE_IP",
    "QEL_CHECK_TRUST_USERS", "QEL_CHECK_TRUST_GROUPS"};
#endif

using Value = tav::SettingText;

// The value of a key, or null when the key is absent, empty or not read by
// this build.
Value get(const char* key) {
  return Value(key && en_config_file ? tav_gets(en_config_file, key) : nullptr);
}

bool is(const Value& v, const char* word) { return v && strcasecmp(v.get(), word) == 0; }

// Copies a value into a fixed field, cut to the field.
template <size_t N>
void copy_to(char (&field)[N], const Value& v) {
  if (v) snprintf(field, N, "%s", v.get());
}

// A key such as "0x1000"; false when absent or not in that form.
bool hex_key(const Value& v, key_t& out) {
  unsigned x = 0;
  if (!v || sscanf(v.get(), "0x%x", &x) != 1) return false;
  out = static_cast<key_t>(x);
  return true;
}

struct Family {
  const char* count_key;
  const char* name_key;
  const char* fallback_count_key;  // used when count_key is absent
  const char* fallback_name_key;   // used when name_key is absent
  key_t& key;
  int& count;
  int*& ids;
};

// Reads a queue family and opens its queues, never creating one. A family
// without a usable name or with a count below 1 has no queues (key 0 would
// make private queues at every reopen).
bool open_family(const Family& f) {
  Value count = get(f.count_key);
  if (!count && f.fallback_count_key) count = get(f.fallback_count_key);
  if (count) {
    int n = 0;
    f.count = sscanf(count.get(), "%d", &n) == 1 ? n : 0;
  }
  Value name = get(f.name_key);
  if (!name && f.fallback_name_key) name = get(f.fallback_name_key);
  if (!hex_key(name, f.key) || f.count < 1) {
    f.count = 0;
    return true;
  }
  f.ids = static_cast<int*>(malloc(sizeof(int) * static_cast<size_t>(f.count)));
  if (!f.ids) return false;
  for (int i = 0; i < f.count; ++i) f.ids[i] = tav::real::msgget(f.key + i, 0666);
  return true;
}

// The 8-byte control segment with `key`, if there is one. A record ring of
// the relay that has the same key is not one: its header would read as the
// switches.
mlogshm* control_segment(key_t key, int* id) {
  auto* p = static_cast<mlogshm*>(tav_shm_get(key, id, sizeof(mlogshm), 0666, 0));
  if (!p) return nullptr;
  shmid_ds ds{};
  if (shmctl(*id, IPC_STAT, &ds) == 0 && tav::ring::is_ring(p, ds.shm_segsz)) {
    shmdt(p);
    *id = -1;
    TAV_LOG_E("M", "shm(0x%08x) is a record ring, not a control segment: not used.\n",
              static_cast<unsigned>(key));
    return nullptr;
  }
  return p;
}

// The number after the last point of a dotted address.
int last_octet(const char* ip) {
  const char* dot = strrchr(ip, '.');
  return dot ? atoi(dot + 1) : 0;
}

}  // namespace

namespace tav {

const char* settings_read() {
  if (en_config_file) return nullptr;  // read once per process
  if (const char* path = getenv("TAV_CONFIG_FILE")) en_config_file = strdup(path);
  const Keys& k = kKeys;

  if (is(get(k.log), "ON")) en_log = 1;
  if (Value v = get(k.log_level)) en_log_level = atoi(v.get());
  if (Value v = get(k.log_size)) en_log_size = atol(v.get()) * 1048576L;
  copy_to(en_log_path, get(k.log_path));
  snprintf(en_log_file, sizeof en_log_file, "%s/%s.%d", en_log_path, "TavQEL.LOG",
           static_cast<int>(en_my_pid));
  copy_to(en_start_log_path, get(k.start_log_path));

  Value check = get(k.check_mode);
  if (is(check, "ON")) en_qel_check_mode = 1;
  else if (is(check, "OFF")) en_qel_check_mode = 0;
  if (Value v = get(k.check_udp_port)) en_qel_check_port = atoi(v.get());
  else en_qel_check_mode = 0;  // nobody to ask
  if (Value v = get(k.check_udp_timeout)) en_qel_check_time = atoi(v.get());
  copy_to(en_qel_check_home, get(k.check_home));
  tav_set_home(en_qel_check_home, en_my_ip);
  // Whose check-home entries count besides root, this user and the home's
  // owner: numeric ids, so that no name service is asked inside the host.
  if (tav::reg::set_trusted_users(get(k.check_trust_users).get()) != 0)
    TAV_LOG_E("S", "%s: not a list of user ids, none taken\n", k.check_trust_users);
  if (tav::reg::set_trusted_groups(get(k.check_trust_groups).get()) != 0)
    TAV_LOG_E("S", "%s: not a list of group ids, none taken\n", k.check_trust_groups);

  if (is(get(k.mode), "FULL")) en_qel_full = 1;
  if (is(get(k.bmt_mode), "ON")) en_bmt_mode = 1;
  if (Value v = get(k.system_code)) en_my_scode = v.get()[0];
  if (Value v = get(k.dbms_code)) en_my_dcode = v.get()[0];
  if (Value v = get(k.product_code)) en_my_pcode = static_cast<char>(atoi(v.get()));
  if (const char* d = getenv("TAV_DOMAIN_NAME")) snprintf(en_my_dname, sizeof en_my_dname, "%s", d);
  else copy_to(en_my_dname, get(k.domain_name));
  copy_to(en_my_nname, get(k.node_name));
  if (Value v = get(k.node_id)) en_my_nid = atoi(v.get());
  else en_my_nid = last_octet(en_my_ip);

  if (is(get(k.dbms_wait_gtuid), "ON")) en_dbms_wait_gtuid = 1;
  if (is(get(k.ip_keep_mode), "OFF")) en_ip_keep_mode = 0;
  if (is(get(k.gtuid_create_mode), "OFF")) en_gtuid_create = 0;
  if (is(get(k.gtuid_create_keep), "ON")) en_gtuid_create_keep = 1;
  if (is(get(k.gtuid_clear_end), "ON")) en_qel_gtuid_clear_end = 1;
  if (is(get(k.server_info_mode), "ON")) en_qel_server_mode = 1;
  if (is(get(k.putclass), "ON")) en_putClass = 1;
  if (is(get(k.gtuid_proc_mode), "ON")) en_gtuid_proc_mode = 1;
#if defined(TAV_BUILD_WEBLOGIC)
  if (is(get("qel.gtuid.complete.read.jput"), "OFF")) en_complete_read_jput = 0;
  if (is(get("qel.gtuid.jmsg.check"), "OFF")) en_jvm_msg_read = 0;
#endif
#if TAV_WITH_JAVA
  en_mzp_qsend = is(get(k.gtuid_send_type), "QUEUE") ? 1 : 0;
#else
  en_mzp_qsend = 1;  // these servers always report through the queues
#endif

  if (en_mzp_qsend) {
    const Family families[] = {
        {k.gtuid_queue_count, k.gtuid_queue_name, nullptr, nullptr, en_gtuid_queue_key,
         en_gtuid_queue_count, en_gtuid_queue_id},
        {k.tcode_queue_count, k.tcode_queue_name, nullptr, nullptr, en_tcode_queue_key,
         en_tcode_queue_count, en_tcode_queue_id},
        {k.tcod6_queue_count, k.tcod6_queue_name, k.tcode_queue_count, k.tcode_queue_name,
         en_tcod6_queue_key, en_tcod6_queue_count, en_tcod6_queue_id},
    };
    static const char* const kFail[] = {"en_gtuid_queue_id calloc", "en_tcode_queue_id calloc",
                                        "en_tcod6_queue_id calloc"};
    for (int i = 0; i < 3; ++i) {
      if (!open_family(families[i])) return kFail[i];
    }
  }
  return nullptr;
}

void settings_attach_segments() {
  const Keys& k = kKeys;
  if (!en_log_info && hex_key(get(k.log_shm_key), en_log_shmkey)) {
    en_log_info = control_segment(en_log_shmkey, &en_log_shmid);
    if (en_log_info) {
      en_log = en_log_info->logmode;
      en_log_level = en_log_info->loglevel;
      TAV_LOG_T("M", "en_log_info : log_mode(%s), log_level(%d)\n", en_log ? "ON" : "OFF",
                en_log_level);
    }
  }
  if (!en_ath_info && hex_key(get(k.attach_shm_key), en_attach_shmkey)) {
    en_ath_info = control_segment(en_attach_shmkey, &en_attach_shmid);
    if (en_ath_info) {
      en_qel_full = en_ath_info->logmode;
      en_bmt_mode = en_ath_info->loglevel;
      TAV_LOG_T("M", "en_ath_info : qel_full(%s), bmt(%s)\n", en_qel_full ? "FULL" : "HALF",
                en_bmt_mode ? "ON" : "OFF");
    }
  }
}

const char* settings_read_lists() {
  if (!en_mip && !(en_mip = tav_iplist_create())) return "en_mip create";
  if (!en_cip && !(en_cip = tav_iplist_create())) return "en_cip create";
  const Keys& k = kKeys;
  // The parsers cut the text they are given: each gets its own copy.
  if (Value v = get(k.ip_information)) tav_ipinfo(v.get(), 1);
  if (Value v = get(k.server_information)) tav_sipinfo(v.get());
  if (Value v = get(k.adapter_information)) tav_aipinfo(v.get());
  if (Value v = get(k.check_include_ip)) tav_eipinfo(1, v.get());
  if (Value v = get(k.check_exclude_ip)) tav_eipinfo(0, v.get());
  return nullptr;
}

void settings_log_queues() {
  if (!en_mzp_qsend || !en_log) return;
  const struct {
    const char* name;
    key_t key;
    int count;
    const int* ids;
  } families[] = {
      {"mzp1", en_gtuid_queue_key, en_gtuid_queue_count, en_gtuid_queue_id},
      {"mzp2", en_tcode_queue_key, en_tcode_queue_count, en_tcode_queue_id},
      {"mzp6", en_tcod6_queue_key, en_tcod6_queue_count, en_tcod6_queue_id},
  };
  for (const auto& f : families) {
    for (int i = 0; f.ids && i < f.count; ++i) {
      tav_usrlog("M", __LINE__, 'T', "%s(0x%08x, %d) init %s.\n", f.name,
                 static_cast<unsigned>(f.key + i), f.ids[i], f.ids[i] >= 0 ? "success" : "error");
    }
  }
}

}  // namespace tav
