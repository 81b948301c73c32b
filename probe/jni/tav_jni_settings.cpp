// Natives with which the Java adapter reads and changes the library's logging,
// reads and edits the service list, asks how an address or a descriptor is
// classified, reads the mode flags, and names the calling thread's messages.
//
// String arguments are taken as modified UTF-8 through the JNI string
// functions; a null string, or one the virtual machine cannot hand over, makes
// the native do nothing but log. Every copy into a fixed field is bounded.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_export.h"
#include "base/tav_globals.h"
#include "base/tav_ipinfo.h"
#include "base/tav_iplist.h"
#include "base/tav_log.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"
#include "jni/tav_jni_state.h"

namespace {

using tav::jni::clear_exception;
using tav::jni::have_text;
using tav::jni::JavaText;
using tav::jni::own_record;

// Copies at most size - 1 bytes of `src` into `dst` and terminates it.
void copy_bounded(char* dst, size_t size, const char* src) {
  const size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = 0;
}

// A new Java string from library text. Bytes outside plain ASCII become '?':
// texts cut to their fields, or read from the settings file, need not be
// valid modified UTF-8, which the virtual machine requires.
jstring java_string(JNIEnv* env, char* text) {
  for (char* p = text; *p; ++p)
    if (static_cast<unsigned char>(*p) >= 0x80) *p = '?';
  jstring s = env->NewStringUTF(text);
  if (clear_exception(env)) return nullptr;
  return s;
}

taviplist_t* service_list() { return __atomic_load_n(&en_mip, __ATOMIC_ACQUIRE); }

// Name of a service-list mode as the list text shows it; null for modes
// that are not listed by name.
const char* mode_name(int mode) {
  switch (mode) {
    case MFD_START: return "START";
    case MFD_SERVICE: return "SERVICE";
    case MFD_KEEP: return "KEEP";
    case MFD_ORACLE: return "ORACLE";
    case MFD_SYBASE: return "SYBASE";
    case MFD_DB2: return "DB2";
    case MFD_ORACLE_MS: return "ORACLE_MS";
    case MFD_UDB: return "UDB";
    case MFD_ALTIBASE: return "ALTIBASE";
    case MFD_JRMI: return "JRMI";
    case MFD_HTTP: return "HTTP";
    default: return nullptr;
  }
}

// Class of an address as isSERVICE reports it: 1 service, 2 keep, 3 database,
// 4 start point and anything else, 5 HTTP, 6 adapter.
int mode_class(int mode) {
  switch (mode) {
    case MFD_SERVICE: return 1;
    case MFD_KEEP: return 2;
    case MFD_ORACLE: case MFD_SYBASE: case MFD_DB2: case MFD_ORACLE_MS: case MFD_UDB:
    case MFD_ALTIBASE: case MFD_SERVER_INFO:
      return 3;
    case MFD_HTTP: return 5;
    case MFD_ADAPTER: return 6;
    default: return 4;
  }
}

// Class of a descriptor by its flag word: 1 service, 2 keep, adapter or
// server information, 3 database, 0 anything else.
int descriptor_class(int info) {
  if (info & MFD_SERVICE) return 1;
  if ((info & MFD_KEEP) || (info & MFD_ADAPTER) || (info & MFD_SERVER_INFO) == MFD_SERVER_INFO)
    return 2;
  if (info & (MFD_ORACLE | MFD_SYBASE | MFD_DB2 | MFD_UDB | MFD_ALTIBASE)) return 3;
  return 0;
}

// Room for one entry of the list text: a full address field, two ports of
// any int value, the longest name and the separator.
constexpr size_t kEntryText = sizeof(taviplist::ip) + 64;

// Appends the text of one entry to `out` (capacity `size`, `used` bytes in
// it); false when the entry shows nothing.
bool append_entry(char* out, size_t size, size_t* used, const taviplist* e, bool first) {
  const int mode = tav::iplist_mode(e);
  const char* name = mode_name(mode);
  if (!name || (mode == MFD_HTTP && e->port == 0)) return false;
  char ip[sizeof e->ip];
  copy_bounded(ip, sizeof ip, e->ip);
  const char* sep = first ? "" : ", ";
  int n;
  if (e->port == 0)
    n = snprintf(out + *used, size - *used, "%s%s:*:%s", sep, ip, name);
  else if (e->port == TAV_PORT_RANGE)
    n = snprintf(out + *used, size - *used, "%s%s:%d-%d:%s", sep, ip, e->from, e->to, name);
  else
    n = snprintf(out + *used, size - *used, "%s%s:%d:%s", sep, ip, e->port, name);
  if (n < 0) return false;
  *used += static_cast<size_t>(n) < size - *used ? static_cast<size_t>(n) : size - *used - 1;
  return true;
}

// Applies an address text to the service list: 1 adds, 0 removes. The
// parser cuts the text it is given, so it works on a private copy.
void edit_service_list(JNIEnv* env, jstring text, int mode, const char* what) {
  tav::prologue();
  JavaText t(env, text);
  if (!have_text(t, what)) return;
  TAV_LOG_T("J", "%s. (%s)\n", what, t.get());
  char* copy = strdup(t.get());
  if (!copy) {
    TAV_LOG_E("J", "%s. out of memory\n", what);
    return;
  }
  tav_ipinfo(copy, mode);
  free(copy);
}

}  // namespace

extern "C" {

TAV_EXPORT jstring JNICALL Java_com_wq_tav_adapter_GTUID_getLOGMODE(JNIEnv* env, jobject) {
  tav::ErrnoKeeper keep;
  tav::prologue();
  char mode[4];
  copy_bounded(mode, sizeof mode, en_log == 1 ? "ON" : "OFF");
  TAV_LOG_D("J", "getLOGMODE. (%s:%d)\n", mode, en_log);
  return java_string(env, mode);
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_setLOGMODE(JNIEnv* env, jobject,
                                                                jstring mode) {
  tav::ErrnoKeeper keep;
  tav::prologue();
  JavaText t(env, mode);
  if (!have_text(t, "setLOGMODE")) return;
  en_log = strcasecmp(t.get(), "ON") == 0 ? 1 : 0;
  TAV_LOG_D("J", "setLOGMODE. (%s:%d)\n", t.get(), en_log);
}

TAV_EXPORT jint JNICALL Java_com_wq_tav_adapter_GTUID_getLOGLEVEL(JNIEnv*, jobject) {
  tav::ErrnoKeeper keep;
  tav::prologue();
  TAV_LOG_D("J", "getLOGLEVEL. (%d)\n", en_log_level);
  return en_log_level;
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_setLOGLEVEL(JNIEnv*, jobject, jint level) {
  tav::ErrnoKeeper keep;
  tav::prologue();
  en_log_level = level;
  TAV_LOG_D("J", "setLOGLEVEL. (%d)\n", en_log_level);
}

TAV_EXPORT jstring JNICALL Java_com_wq_tav_adapter_GTUID_getLOGPATH(JNIEnv* env, jobject) {
  tav::ErrnoKeeper keep;
  tav::prologue();
  char path[sizeof en_log_path];
  copy_bounded(path, sizeof path, en_log_path);
  TAV_LOG_D("J", "getLOGPATH. (%s)\n", path);
  return java_string(env, path);
}

// The new names are built aside and copied in whole, so that other threads'
// log lines meet a complete file name as far as they can.
TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_setLOGPATH(JNIEnv* env, jobject,
                                                                jstring path) {
  tav::ErrnoKeeper keep;
  tav::prologue();
  JavaText t(env, path);
  if (!have_text(t, "setLOGPATH")) return;
  char dir[sizeof en_log_path];
  char file[sizeof en_log_file];
  copy_bounded(dir, sizeof dir, t.get());
  snprintf(file, sizeof file, "%s/%s.%d", dir, "TavQEL.LOG", static_cast<int>(en_my_pid));
  memcpy(en_log_path, dir, sizeof dir);
  memcpy(en_log_file, file, sizeof file);
  TAV_LOG_D("J", "setLOGPATH. (%s)(%s)\n", dir, file);
}

// The service list as "address:port:NAME" entries separated by ", "; null
// when there is no list. Removed entries, server-information entries and
// entries whose mode has no name are left out.
TAV_EXPORT jstring JNICALL Java_com_wq_tav_adapter_GTUID_getIPINFO(JNIEnv* env, jobject) {
  tav::ErrnoKeeper keep;
  tav::prologue();
  const taviplist_t* list = service_list();
  if (!list) return nullptr;
  // Entries published after this count are not walked, so the text fits.
  const int count = tav::iplist_count(list);
  const size_t size = static_cast<size_t>(count) * kEntryText + 1;
  char* text = static_cast<char*>(malloc(size));
  if (!text) {
    TAV_LOG_E("J", "getIPINFO. out of memory (%d)\n", count);
    return nullptr;
  }
  text[0] = 0;
  size_t used = 0;
  int walked = 0;
  bool first = true;
  tav::iplist_first(list, [&](const taviplist* e) {
    if (walked++ >= count) return true;
    if (!tav::iplist_used(e) || tav::iplist_mode(e) == MFD_SERVER_INFO) return false;
    if (append_entry(text, size, &used, e, first)) first = false;
    return false;
  });
  TAV_LOG_T("J", "getIPINFO. (%s) count(%d)\n", text, count);
  jstring s = java_string(env, text);
  free(text);
  return s;
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_setIPINFO(JNIEnv* env, jobject,
                                                               jstring text) {
  tav::ErrnoKeeper keep;
  edit_service_list(env, text, 1, "setIPINFO");
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_removeIPINFO(JNIEnv* env, jobject,
                                                                  jstring text) {
  tav::ErrnoKeeper keep;
  edit_service_list(env, text, 0, "removeIPINFO");
}

// No history is kept.
TAV_EXPORT jstring JNICALL Java_com_wq_tav_adapter_GTUID_getIPHISTORY(JNIEnv*, jobject) {
  return nullptr;
}

// Class of an address by the first used service-list entry with exactly this
// address whose port rule takes the port ("*" takes every port); 0 when none.
TAV_EXPORT jint JNICALL Java_com_wq_tav_adapter_GTUID_isSERVICE(JNIEnv* env, jobject, jstring ip,
                                                               jint port) {
  tav::ErrnoKeeper keep;
  tav::prologue();
  const taviplist_t* list = service_list();
  if (!list) return 0;
  JavaText t(env, ip);
  if (!t) {
    TAV_LOG_E("J", "isSERVICE. no address\n");
    return 0;
  }
  TAV_LOG_D("J", "isSERVICE (%s : %d)\n", t.get(), static_cast<int>(port));
  const taviplist* hit = tav::iplist_first(list, [&](const taviplist* e) {
    if (!tav::iplist_used(e) || strncmp(e->ip, t.get(), sizeof e->ip) != 0) return false;
    if (e->port == 0) return true;
    if (e->port == TAV_PORT_RANGE) return e->from <= port && port <= e->to;
    return e->port == port;
  });
  if (!hit) return 0;
  const int mode = tav::iplist_mode(hit);
  const int rc = mode_class(mode);
  TAV_LOG_D("J", "isSERVICE (%s : %d) mode(0x%08x) rc(%d)\n", t.get(), static_cast<int>(port),
            static_cast<unsigned>(mode), rc);
  return rc;
}

TAV_EXPORT jint JNICALL Java_com_wq_tav_adapter_GTUID_isSERVICEFD(JNIEnv*, jobject, jint fd) {
  tav::ErrnoKeeper keep;
  // The descriptor table exists only after start-up.
  if (!tav::prologue()) return 0;
  const mfd* r = tav::fd_record(fd);
  if (!r) return 0;
  const int info = r->info;
  const int rc = descriptor_class(info);
  TAV_LOG_D("J", "fd(%04d 0x%08x) isSERVICEFD (%.*s : %d) rc(%d)\n", static_cast<int>(fd),
            static_cast<unsigned>(info), static_cast<int>(sizeof r->rip), r->rip, r->rport, rc);
  return rc;
}

TAV_EXPORT jint JNICALL Java_com_wq_tav_adapter_GTUID_getMODE(JNIEnv*, jobject) {
  tav::ErrnoKeeper keep;
  tav::prologue();
  TAV_LOG_D("J", "getMODE. (%d)\n", en_qel_full);
  return en_qel_full;
}

TAV_EXPORT jint JNICALL Java_com_wq_tav_adapter_GTUID_getKEEPMODE(JNIEnv*, jobject) {
  tav::ErrnoKeeper keep;
  tav::prologue();
  TAV_LOG_D("J", "getKEEPMODE. (%d)\n", en_ip_keep_mode);
  return en_ip_keep_mode;
}

// The queue name is used once, by the thread's next type-1 message.
TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_setJMSNAME(JNIEnv* env, jobject,
                                                                jstring name) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return;
  JavaText t(env, name);
  if (!have_text(t, "setJMSNAME")) return;
  copy_bounded(m->mqname, sizeof m->mqname, t.get());
  TAV_LOG_T("J", "setJMSNAME. (%s)(%s)\n", t.get(), m->mqname);
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_setACTION(JNIEnv*, jobject, jint action) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return;
  m->action = action;
  TAV_LOG_D("J", "setACTION. (%d)\n", m->action);
}

TAV_EXPORT jint JNICALL Java_com_wq_tav_adapter_GTUID_getACTION(JNIEnv*, jobject) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  return m ? m->action : 0;
}

// A name that begins with a blank restores the default, the process id text.
TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_setSERVICENAME(JNIEnv* env, jobject,
                                                                    jstring name) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m || !service_list()) return;
  JavaText t(env, name);
  if (!have_text(t, "setSERVICENAME")) return;
  TAV_LOG_D("J", "setSERVICENAME. (%s)\n", t.get());
  mzp1_t& z = m->mzp1;
  memset(z.svname, 0, sizeof z.svname);
  if (t.get()[0] == ' ')
    memcpy(z.svname, z.pid, strnlen(z.pid, 8));
  else
    copy_bounded(z.svname, sizeof z.svname, t.get());
}

}  // extern "C"
