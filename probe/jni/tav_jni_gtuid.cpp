// Natives with which the Java adapter marks transaction boundaries and
// database-call events on the calling thread, and sets process identity.
// Every one works on the caller's own record and does nothing (beyond a log
// line) on a thread that has none or whose library passes calls through.
#include <cstdint>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_export.h"
#include "base/tav_globals.h"
#include "base/tav_ipinfo.h"
#include "base/tav_iplist.h"
#include "base/tav_log.h"
#include "core/tav_clock31.h"
#include "core/tav_gtuid.h"
#include "core/tav_jcall.h"
#include "core/tav_load.h"
#include "core/tav_mzp_send.h"
#include "core/tav_tables.h"
#include "jni/tav_jni_state.h"

namespace {

using tav::jni::active;
using tav::jni::clear;
using tav::jni::own_record;
using tav::jni::sequence_step;

// A database kind character marks an open call.
bool database_call_open(const mthr* m) {
  switch (m->dbmsf) {
    case '(': case ')': case '+': case '*': case ',': case '-':
      return true;
    default:
      return false;
  }
}

// Takes the database time of the call just closed out of the hop time: the
// hop stamp moves back by that time, modulo 2^31 like every hop stamp.
void deduct_database_time(mthr* m) {
  const auto ptime = static_cast<uint32_t>(m->dbmsptime);
  m->gtuid.ctime = static_cast<uint32_t>(tav::earlier31(m->gtuid.ctime.get(), ptime));
  m->dbmsptime = 0;
  m->dbms_ltime = 0;
}

void start_transaction(mthr* m) {
  tav_gtuid_create(m);
  tav_gtuid_time_init(m);
  tav_mzp1_proc(m, TAV_MZP_RS);
}

// The class of a service-list entry's kind as setGTUID2 reports it.
int service_class(int mode) {
  switch (mode) {
    case 2: return 1;
    case 16: return 2;
    case 32: case 64: case 128: case 288: case 512: case 1024: case 2560: return 3;
    case 0x10000000: return 5;
    case 0x20000000: return 6;
    default: return 4;
  }
}

// Sends the end message of the active transaction: the open database call is
// closed first, and the end is reported on no descriptor of its own.
void end_message(mthr* m) {
  if (database_call_open(m)) tav_mzp1_dbms_recv(m);
  sequence_step(m);
  m->fildes = 0;
  tav_mzp1_proc(m, TAV_MZP_SE);
}

}  // namespace

extern "C" {

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_createGTUID(JNIEnv*, jobject) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return;
  tav_gtuid_create(m);
  tav_gtuid_time_init(m);
  tav_mzp1_proc2(m, TAV_MZP_RS, nullptr, 0);
  tav::java_put(m);
  m->dbms_ltime = 0;
  m->ofildes = 0;
  m->dbmsf = 0;
  TAV_LOG_G("J", &m->gtuid, "createGTUID.\n");
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_procSTART(JNIEnv*, jobject) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return;
  if (en_gtuid_proc_mode == 1 && active(m)) {
    TAV_LOG_G("J", &m->gtuid, "procSTART. not CREATE GTUID (%d)\n", en_gtuid_proc_mode);
    return;
  }
  start_transaction(m);
  tav::java_put(m);
  TAV_LOG_G("J", &m->gtuid, "procSTART.\n");
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_procEND(JNIEnv*, jobject) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return;
  TAV_LOG_G("J", &m->gtuid, "procEND.\n");
  if (!active(m)) return;
  end_message(m);
  clear(m);
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_clearGTUID(JNIEnv*, jobject) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return;
  TAV_LOG_G("J", &m->gtuid, "clearGTUID.\n");
  if (!active(m)) return;
  if (en_qel_gtuid_clear_end == 1) end_message(m);
  clear(m);
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_setGTUID(JNIEnv*, jobject, jint type) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return;
  TAV_LOG_G("J", &m->gtuid, "setGTUID. (%d)\n", static_cast<int>(type));
  TAV_LOG_H("J", &m->gtuid, sizeof m->gtuid, "setGTUID");
  const bool open_active = database_call_open(m) && m->gtuid.gflag == 1;
  switch (type) {
    case 1:
      if (open_active) {
        tav_mzp1_dbms_recv(m);
        deduct_database_time(m);
      }
      break;
    case 2:
      m->gtuid.etc = 0;
      tav_gtuid_time(m);
      tav_mzp1_proc(m, TAV_MZP_RC);
      break;
    case 7:
      if (open_active) {
        tav_mzp1_dbms_recv(m);
        tav_gtuid_time(m);
      }
      m->gtuid.etc = 7;
      break;
    case 8:
      if (open_active) {
        tav_mzp1_dbms_conti_recv(m);
        tav_mzp1_dbms_recv(m);
        deduct_database_time(m);
      }
      break;
    case 9:
      if (open_active) {
        tav_mzp1_dbms_conti_recv(m);
        tav_mzp1_dbms_recv(m);
        deduct_database_time(m);
        sequence_step(m);
        tav_mzp1_proc(m, TAV_MZP_SC);
      } else if (m->gtuid.gflag == 1) {
        sequence_step(m);
        tav_mzp1_proc(m, TAV_MZP_SC);
      }
      break;
    default:
      break;
  }
  TAV_LOG_G("J", &m->gtuid, "setGTUID. (%d)\n", static_cast<int>(type));
  TAV_LOG_H("J", &m->gtuid, sizeof m->gtuid, "setGTUID");
}

// A call to or from a peer that only the adapter knows by address and port.
TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_setGTUID2(JNIEnv* env, jobject, jint type,
                                                               jstring jip, jint port) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return;
  TAV_LOG_G("J", &m->gtuid, "setGTUID2. (%d)\n", static_cast<int>(type));
  TAV_LOG_H("J", &m->gtuid, sizeof m->gtuid, "setGTUID2");
  const char* chars = jip ? env->GetStringUTFChars(jip, nullptr) : nullptr;
  if (tav::jni::clear_exception(env)) chars = nullptr;
  if (!chars) {
    TAV_LOG_E("J", "setGTUID2. (%d) null or unreadable ip\n", static_cast<int>(type));
    return;
  }
  // At most an address's worth of text travels on.
  char ip[64];
  const size_t n = strnlen(chars, sizeof ip - 1);
  memcpy(ip, chars, n);
  ip[n] = 0;
  env->ReleaseStringUTFChars(jip, chars);

  // A database call names the server's codes only when a server-information
  // entry gives them; otherwise the descriptor's database kind is reported
  // (the process's own system code is a letter, not a server's number).
  int scode = 0;
  int pcode = 0;
  int cls = 0;
  if (type == 9 || type == 12) {
    if (const taviplist* e = tav::iplist_match(__atomic_load_n(&en_mip, __ATOMIC_ACQUIRE), ip, port, -1)) {
      const int mode = tav::iplist_mode(e);
      cls = service_class(mode);
      if (cls == 6) {
        scode = tav::iplist_scode(e);
        pcode = tav::iplist_pcode(e);
      }
      TAV_LOG_D("J", "isSERVICE (%s : %d) mode(0x%08x) rc(%d)\n", ip, static_cast<int>(port),
                static_cast<unsigned>(mode), 0);
    }
  }
  TAV_LOG_D("J", "setGTUID2 type(%d) ip(%s) port(%d) mode(%d) scode(%d) pcode(%d)>\n",
            static_cast<int>(type), ip, static_cast<int>(port), cls, scode, pcode);

  const bool is_active = m->gtuid.gflag == 1;
  const bool open_active = database_call_open(m) && is_active;
  // A call out of the active transaction to the peer given.
  auto call_out = [&] {
    tav_gtuid_time(m);
    sequence_step(m);
    tav_mzp1_proc2(m, TAV_MZP_SC, ip, port);
  };
  switch (type) {
    case 9:
      if (open_active) {
        tav_mzp1_dbms_conti_recv(m);
        tav_mzp1_dbms_recv(m);
        deduct_database_time(m);
      } else if (is_active) {
        call_out();
      }
      break;
    case 10:
      if (is_active) {
        tav_gtuid_time(m);
        sequence_step(m, true);
        tav_mzp1_proc2(m, TAV_MZP_RC, ip, port);
      }
      break;
    case 11:
      if (open_active) tav_mzp1_dbms_recv(m);
      if (is_active) {
        sequence_step(m);
        tav_mzp1_proc2(m, TAV_MZP_SE, ip, port);
      }
      break;
    case 12:
      if (open_active) tav_mzp1_dbms_recv(m);
      tav_mzp1_dbms_send2(m, ip, port, scode, pcode);
      break;
    case 13:
      if (open_active) {
        tav_mzp1_dbms_recv2(m, ip, port, scode, pcode);
        deduct_database_time(m);
      } else if (is_active) {
        call_out();
      }
      break;
    default:
      break;
  }
  TAV_LOG_G("J", &m->gtuid, "setGTUID2. (%d)\n", static_cast<int>(type));
  TAV_LOG_H("J", &m->gtuid, sizeof m->gtuid, "setGTUID2");
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_keepGTUID(JNIEnv*, jobject, jbyte v) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return;
  if (m->gtuid.gflag == 1) m->gtuid.rem[0] = static_cast<uint8_t>(v);
  // The two differ when there was no transaction to keep.
  TAV_LOG_D("J", "keepGTUID. (0x%02x:0x%02x)\n", static_cast<unsigned>(m->gtuid.rem[0]),
            static_cast<unsigned>(static_cast<uint8_t>(v)));
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_keepENDSEND(JNIEnv*, jobject) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return;
  m->wflag = 1;
  m->wfildes = m->fildes;
  m->sflag = 0;
  TAV_LOG_D("J", "keepENDSEND : thr wflag(%d) wfildes(%d) fildes(%d)\n", m->wflag, m->wfildes,
            m->fildes);
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_sendEND(JNIEnv*, jobject) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return;
  const bool has_code = static_cast<unsigned char>(m->gtuid.trcode[0]) > 0x20;
  if (active(m) && (has_code || m->gtuid.seq.get() != 0)) {
    mfd* r = tav::fd_record(m->wfildes);
    if (r && en_ws_gtuid) en_ws_gtuid[m->wfildes].gflag = 0;
    TAV_LOG_D("J", "sendEND : wflag(%d) wfildes(%d) mode(%d)\n", m->wflag, m->wfildes, en_qel_full);
    TAV_LOG_G("J", &m->gtuid, "sendEND\n");
    sequence_step(m);
    tav_mzp1_proc(m, r && (r->info & 0x2) ? TAV_MZP_SC : TAV_MZP_SE);
    clear(m);
  } else {
    TAV_LOG_D("J", "sendEND : wflag(%d) wfildes(%d) mode(%d)\n", m->wflag, m->wfildes, en_qel_full);
  }
  m->sflag = 0;
  m->wflag = 0;
  m->wfildes = 0;
}

// Excluding a thread is allowed on any record of its own, also one already
// excluded (-1 returns it to normal tracking).
TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_setBL(JNIEnv*, jobject, jint v) {
  tav::ErrnoKeeper keep;
  if (!tav::prologue()) return;
  mthr* m = tav_thrinfo();
  if (m == tav::overflow_record()) {
    TAV_LOG_E("J", "setBL(%d) no thread record of its own\n", static_cast<int>(v));
    return;
  }
  m->bl = static_cast<char>(v + 1);
  TAV_LOG_D("J", "setBL(%d)\n", m->bl);
}

// Domain name, process name, system code and database code, 66 bytes.
TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_setSYSTEM(JNIEnv* env, jobject,
                                                               jbyteArray info) {
  tav::ErrnoKeeper keep;
  // Start-up reads the same names from the settings: it must not run later
  // and overwrite what the adapter sets here.
  if (!tav::prologue()) return;
  constexpr jsize kSize = 66;
  const jsize len = info ? env->GetArrayLength(info) : -1;
  if (len < kSize) {
    TAV_LOG_E("J", "setSYSTEM. info too short (%d)\n", static_cast<int>(len));
    return;
  }
  jbyte b[kSize];
  env->GetByteArrayRegion(info, 0, kSize, b);
  if (tav::jni::clear_exception(env)) return;
  memcpy(en_my_dname, b, 32);
  memcpy(en_my_pname, b + 32, 32);
  en_my_dname[32] = 0;
  en_my_pname[32] = 0;
  en_my_scode = static_cast<char>(b[64]);
  en_my_dcode = static_cast<char>(b[65]);
  TAV_LOG_H("J", b, kSize, "setSYSTEM.");
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_printGTUID(JNIEnv* env, jobject,
                                                                jobject buffer) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return;
  void* addr = buffer ? env->GetDirectBufferAddress(buffer) : nullptr;
  if (tav::jni::clear_exception(env)) addr = nullptr;
  TAV_LOG_D("J", "printGTUID. thr->gtuid(0x%p) obj(0x%p) addr(0x%p)\n",
            static_cast<void*>(&m->gtuid), static_cast<void*>(buffer), addr);
}

TAV_EXPORT jint JNICALL Java_com_wq_tav_adapter_GTUID_setCREATEGTUID(JNIEnv*, jobject, jint v) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (!m) return 0;
  m->createGTUID = v;
  TAV_LOG_D("J", "setCREATEGTUID (%d) (%d)\n", static_cast<int>(v), m->createGTUID);
  return 0;
}

}  // extern "C"
