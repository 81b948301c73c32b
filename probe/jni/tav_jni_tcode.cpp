// Natives with which the Java adapter names the business transaction code of
// the calling thread's transaction (with customer, user and URL information)
// and reports its calls to other servers. In queue mode the code messages go
// onto the tcode and tcod6 queues; in adapter mode the records go onto the
// thread's list with kind 'T' and their own size (104, 168 or 296 bytes).
//
// Arrays are read through GetByteArrayRegion within their real length: a code
// longer than its 32-byte field is cut, a shorter one zero-filled. A null
// array makes the native do nothing but log (a null URL only drops the URL).
#include <cstdint>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_export.h"
#include "base/tav_globals.h"
#include "base/tav_log.h"
#include "core/tav_build.h"
#include "core/tav_mzp_send.h"
#include "core/tav_tables.h"
#include "jni/tav_jni_state.h"

namespace {

using tav::jni::clear_exception;
using tav::jni::JavaText;
using tav::jni::own_record;

constexpr size_t kUrlMax = 128;

// Reads at most `cap` bytes of `a` into `out`, zero-filling the rest of the
// `cap` bytes. Returns the number of bytes read, -1 for a null array or one
// the virtual machine could not hand over.
int read_bytes(JNIEnv* env, jbyteArray a, void* out, size_t cap) {
  memset(out, 0, cap);
  if (!a) return -1;
  const jsize len = env->GetArrayLength(a);
  if (clear_exception(env) || len < 0) return -1;
  const jsize n = static_cast<size_t>(len) < cap ? len : static_cast<jsize>(cap);
  env->GetByteArrayRegion(a, 0, n, static_cast<jbyte*>(out));
  if (clear_exception(env)) {
    memset(out, 0, cap);
    return -1;
  }
  return n;
}

// What one call of the setTRCODE family carries.
struct TcodeArgs {
  int type;  // 2, 4 or 6
  const char* name;
  const char* dump;
  jbyteArray trcode, custinfo, userinfo, ip, url;
  jbyte routing;
  jint mask;
  jbyte trblock;
};

void set_trcode(JNIEnv* env, const TcodeArgs& a) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return;

  // Everything is read before anything changes: a refused call leaves the
  // thread's transaction as it was.
  char code[sizeof m->gtuid.trcode];
  char cust[sizeof m->custinfo];
  char user[sizeof m->userinfo];
  uint8_t addr[sizeof m->gtuid.ip];
  char url[kUrlMax + 1];
  const bool info = a.type != 2;
  if (read_bytes(env, a.trcode, code, sizeof code) < 0 ||
      (info && read_bytes(env, a.custinfo, cust, sizeof cust) < 0) ||
      (info && read_bytes(env, a.userinfo, user, sizeof user) < 0)) {
    TAV_LOG_E("J", "%s. null or unreadable array\n", a.name);
    return;
  }
  const int ip_len = read_bytes(env, a.ip, addr, sizeof addr);
  if (ip_len < 0) TAV_LOG_E("J", "%s. null ip array\n", a.name);
  int url_len = 0;
  if (a.type == 6) {
    if (read_bytes(env, a.url, url, kUrlMax) < 0) TAV_LOG_E("J", "%s. null url array\n", a.name);
    url[kUrlMax] = 0;
    url_len = static_cast<int>(strnlen(url, kUrlMax));
  }

  gtuid_t& g = m->gtuid;
  memcpy(g.trcode, code, sizeof code);
  if (info) {
    memcpy(m->custinfo, cust, sizeof cust);
    memcpy(m->userinfo, user, sizeof user);
  }
  // A short array or a first byte of 0 leaves the transaction's address.
  if (ip_len == static_cast<int>(sizeof addr) && addr[0] != 0) memcpy(g.ip, addr, sizeof addr);
  g.routing = static_cast<uint8_t>(a.routing);
  g.mask = static_cast<uint32_t>(a.mask);
  g.trblock = static_cast<char>(a.trblock);

#if defined(TAV_BUILD_WEBLOGIC)
  // Here the code is the first sign of a transaction: report its start.
  if (g.seq.get() == 0) {
    m->dbmsetime = 0;
    m->dbmsptime = 0;
    m->dbmsstime = 0;
    m->dbms_ltime = 0;
    tav_mzp1_proc(m, TAV_MZP_RS);
  }
#endif

  TAV_LOG_G("J", &g, "%s. (%.*s)\n", a.name, 32, g.trcode);
  TAV_LOG_H("J", &g, sizeof g, "%s", a.dump);

  if (en_mzp_qsend) {
    if (a.type == 2) tav_mzp2_send(m);
    else if (a.type == 4) tav_mzp4_send(m);
    else tav_mzp6_send(m, url, url_len);
  } else {
    tav_mzp_tcode_append(m, a.type, url, url_len);
  }
}

// sendSVR and recvSVR: the four strings, or nothing.
void server_call(JNIEnv* env, bool out, jstring scode, jstring pcode, jstring svcname,
                 jstring ip) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return;
  const char* name = out ? "sendSVR" : "recvSVR";
  JavaText s(env, scode), p(env, pcode), n(env, svcname), i(env, ip);
  if (!s || !p || !n || !i) {
    TAV_LOG_E("J", "%s : null or unreadable string\n", name);
    return;
  }
  TAV_LOG_D("J", "%s : scode(%s) pcode(%s) svcname(%s) ip(%s)\n", name, s.get(), p.get(),
            n.get(), i.get());
  if (out)
    tav_mzp1_server_send(m, s.get(), p.get(), n.get(), i.get());
  else
    tav_mzp1_server_recv(m, s.get(), p.get(), n.get(), i.get());
}

}  // namespace

extern "C" {

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_setTRCODE(JNIEnv* env, jobject,
                                                               jbyteArray trcode, jbyteArray ip,
                                                               jbyte routing, jint mask,
                                                               jbyte trblock) {
  set_trcode(env, {2, "setTRCODE", "setTRCODE", trcode, nullptr, nullptr, ip, nullptr, routing,
                   mask, trblock});
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_setTRCODE2(
    JNIEnv* env, jobject, jbyteArray trcode, jbyteArray custinfo, jbyteArray userinfo,
    jbyteArray ip, jbyte routing, jint mask, jbyte trblock) {
  set_trcode(env, {4, "setTRCODE2", "setTRCODE2", trcode, custinfo, userinfo, ip, nullptr,
                   routing, mask, trblock});
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_setTRCODE6(
    JNIEnv* env, jobject, jbyteArray trcode, jbyteArray custinfo, jbyteArray userinfo,
    jbyteArray ip, jbyte routing, jint mask, jbyte trblock, jbyteArray url) {
  set_trcode(env, {6, "setTRCODE6", "setTRCODE", trcode, custinfo, userinfo, ip, url, routing,
                   mask, trblock});
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_sendSVR(JNIEnv* env, jobject,
                                                             jstring scode, jstring pcode,
                                                             jstring svcname, jstring ip) {
  server_call(env, true, scode, pcode, svcname, ip);
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_recvSVR(JNIEnv* env, jobject,
                                                             jstring scode, jstring pcode,
                                                             jstring svcname, jstring ip) {
  server_call(env, false, scode, pcode, svcname, ip);
}

}  // extern "C"
