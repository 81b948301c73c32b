// The adapter declares its master links up and down; the three natives of the
// API class only log.
#include "base/tav_errno.h"
#include "base/tav_export.h"
#include "base/tav_log.h"
#include "core/tav_adt_link.h"
#include "jni/tav_jni_state.h"

namespace {

void log_links(const char* what, int type) {
  TAV_LOG_D("J", "%s. type(%d) sock(%d : %d)\n", what, type,
            __atomic_load_n(&en_gtuid_sock, __ATOMIC_RELAXED),
            __atomic_load_n(&en_was_sock, __ATOMIC_RELAXED));
}

jint api_log(JNIEnv* env, const char* name, jstring s, jint n) {
  tav::ErrnoKeeper keep;
  tav::jni::JavaText text(env, s);
  TAV_LOG_D("J", "%s (%s : %d)\n", name, text ? text.get() : "(null)", static_cast<int>(n));
  return 0;
}

}  // namespace

extern "C" {

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_connectMASTER(JNIEnv*, jobject, jint type) {
  tav::ErrnoKeeper keep;
  tav::adt::master_connected(type);
  log_links("connectMASTER", type);
}

// The socket itself stays open: the Java side owns it and closes it after
// this call, so the sender threads let go of the descriptor first.
TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_closeMASTER(JNIEnv*, jobject, jint type) {
  tav::ErrnoKeeper keep;
  tav::adt::master_closed(type);
  log_links("closeMASTER", type);
}

TAV_EXPORT jint JNICALL Java_com_wq_tav_api_TAVApi_tavJNIGet(JNIEnv* env, jobject, jstring s,
                                                           jint n) {
  return api_log(env, "tavJNIGet", s, n);
}

TAV_EXPORT jint JNICALL Java_com_wq_tav_api_TAVApi_tavJNIPut(JNIEnv* env, jobject, jstring s,
                                                           jint n) {
  return api_log(env, "tavJNIPut", s, n);
}

TAV_EXPORT jint JNICALL Java_com_wq_tav_api_TAVApi_tavJNIEnd(JNIEnv*, jobject) {
  TAV_LOG_D("J", "tavJNIEnd\n");
  return 0;
}

}  // extern "C"
