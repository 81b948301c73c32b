// The two natives of the adapter API class of the WebLogic build. They carry
// the calling thread's identifier record across a hop that only Java sees:
// getValue hands it out as 192 hexadecimal characters before the call leaves,
// setValue takes such a text back on the receiving thread.
//
// The text comes from Java and is not trusted: it is read only through the
// array functions, and a record that is missing, short or not hexadecimal
// changes nothing.
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_export.h"
#include "base/tav_hexa.h"
#include "base/tav_log.h"
#include "core/tav_frame.h"
#include "core/tav_gtuid.h"
#include "core/tav_jcall.h"
#include "core/tav_mzp_send.h"
#include "core/tav_tables.h"
#include "jni/tav_jni_state.h"

namespace {

using tav::jni::active;
using tav::jni::clear;
using tav::jni::clear_exception;
using tav::jni::own_record;
using tav::jni::sequence_step;

constexpr jsize kText = 2 * sizeof(gtuid_t);  // 192 characters
// Marks a record that crossed a Java hop: set when it is taken over, cleared
// when it is handed out again.
constexpr uint8_t kJavaHop = 0x10;

// The record in the first 192 characters of `value`; false (and `out`
// untouched) when there is no such array or the text does not decode.
bool read_record(JNIEnv* env, jbyteArray value, gtuid_t* out) {
  const jsize len = value ? env->GetArrayLength(value) : -1;
  if (clear_exception(env) || len < kText) {
    TAV_LOG_E("J", "QELInterface.setValue. bad value (%d)\n", static_cast<int>(len));
    return false;
  }
  jbyte text[kText];
  env->GetByteArrayRegion(value, 0, kText, text);
  if (clear_exception(env)) {
    TAV_LOG_E("J", "QELInterface.setValue. unreadable value (%d)\n", static_cast<int>(len));
    return false;
  }
  gtuid_t rec;
  if (tav_gtuid_unhexa(reinterpret_cast<const char*>(text), kText,
                       reinterpret_cast<unsigned char*>(&rec)) != static_cast<int>(sizeof rec)) {
    TAV_LOG_E("J", "QELInterface.setValue. bad value (%d) not hexadecimal\n",
              static_cast<int>(len));
    return false;
  }
  // What the thread takes over goes out in front of its next message: it
  // must be a record the peer accepts, or the peer would read it as data.
  // The marker is the library's, whatever Java left in those bytes.
  memcpy(rec.init, TAV_GTUID_INIT, sizeof rec.init);
  if (!tav::block_valid(rec)) {
    TAV_LOG_E("J", "QELInterface.setValue. bad value (%d) not a record\n", static_cast<int>(len));
    return false;
  }
  *out = rec;
  return true;
}

// Takes over the transaction of the record Java brought, or ends the thread's
// own one when that record carries none; an active transaction then reports
// the call received.
void take_over(JNIEnv* env, mthr* m, jbyteArray value) {
  gtuid_t rec;
  if (!read_record(env, value, &rec)) return;
  TAV_LOG_G("J", &rec, "QELInterface.setValue. tav_gtuid_unhexa.\n");
  if (rec.gflag == 1) {
    m->gtuid = rec;
    m->dbmsf = 0;
  } else if (active(m)) {
    clear(m);
  }
  if (!active(m)) return;
  tav_gtuid_time(m);
  sequence_step(m, true);
  tav_mzp1_proc(m, TAV_MZP_RC);
  m->gtuid.etc = static_cast<uint8_t>(m->gtuid.etc | kJavaHop);
  m->action |= kJavaHop;
  TAV_LOG_G("J", &m->gtuid, "QELInterface.setValue.\n");
  tav::java_put(m);
}

// Starts a transaction unless one is active.
void start(mthr* m) {
  if (active(m)) return;
  tav_gtuid_create(m);
  tav_gtuid_time_init(m);
  tav_mzp1_proc(m, TAV_MZP_RS);
  tav::java_put(m);
  TAV_LOG_G("J", &m->gtuid, "QELInterface.setValue. start.\n");
}

// The record as text for the next hop when it crossed a Java hop; otherwise
// the hop ends here: the active transaction is ended and null returned.
jbyteArray hand_out(JNIEnv* env, mthr* m) {
  if (!(m->gtuid.etc & kJavaHop) && !(m->action & kJavaHop)) {
    if (active(m)) {
      sequence_step(m);
      tav_mzp1_proc(m, TAV_MZP_SE);
      clear(m);
    }
    m->gtuid.svc = 0;
    return nullptr;
  }
  sequence_step(m);
  tav_mzp1_proc(m, TAV_MZP_SC);
  m->gtuid.etc = static_cast<uint8_t>(m->gtuid.etc & ~kJavaHop);
  m->action &= ~kJavaHop;

  char text[kText];
  tav_gtuid_hexa(reinterpret_cast<const unsigned char*>(&m->gtuid), sizeof m->gtuid, text);
  TAV_LOG_H("J", text, kText, "gtuid info(getValue)");
  jbyteArray out = env->NewByteArray(kText);
  if (clear_exception(env) || !out) {
    TAV_LOG_E("J", "QELInterface.getValue. no array\n");
    return nullptr;
  }
  env->SetByteArrayRegion(out, 0, kText, reinterpret_cast<const jbyte*>(text));
  if (clear_exception(env)) {
    env->DeleteLocalRef(out);
    return nullptr;
  }
  return out;
}

}  // namespace

extern "C" {

// 1: take over the record in `value` (192 hex characters); 2: start a
// transaction unless one is active; anything else: nothing.
TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_api_QELInterface_setValue(JNIEnv* env, jobject,
                                                                         jint type,
                                                                         jbyteArray value) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  TAV_LOG_T("J", "QELInterface.setValue : start type(%d)\n", static_cast<int>(type));
  if (!m) {
    TAV_LOG_E("J", "QELInterface.setValue. no thread record\n");
  } else if (type == 1) {
    take_over(env, m, value);
  } else if (type == 2) {
    start(m);
  }
  TAV_LOG_T("J", "QELInterface.setValue : end\n");
}

// 3: the record for the next hop, or null when the hop ends here; anything
// else: null.
TAV_EXPORT jbyteArray JNICALL Java_com_wq_tav_adapter_api_QELInterface_getValue(JNIEnv* env,
                                                                               jobject,
                                                                               jint type) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  TAV_LOG_T("J", "QELInterface.getValue : start type(%d)\n", static_cast<int>(type));
  jbyteArray out = nullptr;
  if (!m)
    TAV_LOG_E("J", "QELInterface.getValue. no thread record\n");
  else if (type == 3)
    out = hand_out(env, m);
  TAV_LOG_T("J", "QELInterface.getValue : end\n");
  return out;
}

}  // extern "C"
