// Packets of the adapter's Packet class on their way to the was link: putClass
// serialises a packet at once or leaves a reference to it on the calling
// thread, wasMAKE serialises the references of every thread. A packet is
// serialised through its own computeLength and getByte into a zeroed native
// block that a direct buffer, made for that call alone, exposes to getByte.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_export.h"
#include "base/tav_log.h"
#include "core/tav_adt_link.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"
#include "jni/tav_jni_state.h"

namespace {

// Largest message a packet may announce; more is taken as a bad length.
constexpr jint kPacketMax = 16 << 20;
// Serialised packets the packet list keeps while the was link is down.
constexpr int kWaitingPackets = 1024;
constexpr int kWaitingBytes = 16 << 20;
// Packet references a thread keeps for wasMAKE.
constexpr int kThreadPackets = 1024;

jint reconnect() { return __atomic_load_n(&en_master_reconnect, __ATOMIC_ACQUIRE); }

// Drops the oldest serialised packets until `size` more bytes fit.
void make_room(tavlist_t* list, int size) {
  for (;;) {
    pthread_mutex_lock(&list->lock);
    const bool fits = list->count < kWaitingPackets && list->tsize <= kWaitingBytes - size;
    pthread_mutex_unlock(&list->lock);
    if (fits) return;
    tavlist* oldest = tav_list_get(list);
    if (!oldest) return;
    TAV_LOG_T("J", "wlist full: oldest packet (%d bytes) dropped.\n", oldest->size);
    tav_list_free(oldest);
  }
}

// Serialises one packet and queues it for the was-sender. Every call into
// Java is checked for an exception, which is cleared: the packet is then
// dropped.
void serialise(JNIEnv* env, jobject packet) {
  jmethodID get = __atomic_load_n(&en_get_byte_mid, __ATOMIC_ACQUIRE);
  jmethodID size_of = __atomic_load_n(&en_get_byte_mid_size, __ATOMIC_ACQUIRE);
  tavlist_t* list = __atomic_load_n(&en_wlist, __ATOMIC_ACQUIRE);
  if (!get || !size_of || !list || !packet) return;

  const jint n = env->CallIntMethod(packet, size_of);
  if (tav::jni::clear_exception(env) || n <= 0 || n > kPacketMax) {
    TAV_LOG_E("J", "computeLength error !\n");
    return;
  }
  const int size = n + 4;  // room for the message's length field
  // Zeroed: bytes that getByte leaves unwritten must not carry old heap data.
  void* block = calloc(1, static_cast<size_t>(size));
  if (!block) {
    TAV_LOG_E("J", "wlist malloc(%d) error (%d:%s) !\n", size, errno, strerror(errno));
    return;
  }
  jobject window = env->NewDirectByteBuffer(block, size);
  if (tav::jni::clear_exception(env) || !window) {
    TAV_LOG_E("J", "NewDirectByteBuffer error !\n");
    free(block);
    return;
  }
  const jint r = env->CallIntMethod(packet, get, window);
  const bool threw = tav::jni::clear_exception(env);
  env->DeleteLocalRef(window);
  if (threw || r != 0) {
    free(block);
    TAV_LOG_E("J", "wlist getByte error !\n");
    return;
  }
  make_room(list, size);
  const int rc = tav_list_add(list, 0, block, size);
  if (rc != 0) free(block);
  TAV_LOG_D("J", "wlist add(%d). len(%d)\n", rc, size);
}

// A node of a thread's reference list: its data is a global reference, not
// a block of ours.
void release_reference(JNIEnv* env, tavlist* node) {
  env->DeleteGlobalRef(static_cast<jobject>(node->data));
  node->data = nullptr;
  tav_list_free(node);
}

}  // namespace

extern "C" {

TAV_EXPORT jint JNICALL Java_com_wq_tav_common_packet_dtc_Packet_putClass(JNIEnv* env,
                                                                          jobject packet) {
  tav::ErrnoKeeper keep;
  if (!tav::prologue()) return reconnect();
  if (en_putClass) {
    if (__atomic_load_n(&en_get_byte_mid, __ATOMIC_ACQUIRE) &&
        __atomic_load_n(&thread_started, __ATOMIC_RELAXED))
      serialise(env, packet);
    return reconnect();
  }
  // Deferred: a reference on the calling thread's record, serialised by
  // wasMAKE. Any record serves, also the one that threads beyond the table
  // share: the list is locked.
  mthr* m = tav_thrinfo();
  if (!m || !m->wlist || !packet) return -1;
  while (__atomic_load_n(&m->wlist->count, __ATOMIC_RELAXED) >= kThreadPackets) {
    tavlist* oldest = tav_list_get(m->wlist);
    if (!oldest) break;
    TAV_LOG_T("J", "putClass: oldest deferred packet dropped.\n");
    release_reference(env, oldest);
  }
  jobject ref = env->NewGlobalRef(packet);
  if (tav::jni::clear_exception(env) || !ref) return -1;
  const int rc = tav_list_add(m->wlist, 0, ref, 0);
  if (rc != 0) env->DeleteGlobalRef(ref);
  return rc;
}

TAV_EXPORT jint JNICALL Java_com_wq_tav_adapter_GTUID_wasMAKE(JNIEnv* env, jobject) {
  tav::ErrnoKeeper keep;
  if (!tav::prologue()) return reconnect();
  if (en_putClass || !__atomic_load_n(&en_get_byte_mid, __ATOMIC_ACQUIRE) ||
      !__atomic_load_n(&thread_started, __ATOMIC_RELAXED) || !en_mthr)
    return reconnect();
  // The calling thread's environment serves for the packets of all threads.
  // Packets are serialised whether or not the was link is up: they wait on
  // the packet list (bounded) until it is.
  const int last = tav_mth_idx < en_thread_max ? tav_mth_idx : en_thread_max - 1;
  for (int i = 0; i <= last + 1; ++i) {
    mthr& m = i <= last ? en_mthr[i] : *tav::overflow_record();
    tavlist_t* refs = __atomic_load_n(&m.wlist, __ATOMIC_ACQUIRE);
    if (!refs) continue;
    while (tavlist* node = tav_list_get(refs)) {
      serialise(env, static_cast<jobject>(node->data));
      release_reference(env, node);
    }
  }
  return reconnect();
}

}  // extern "C"
