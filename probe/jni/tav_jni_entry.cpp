// Entry of the library under the Java virtual machine and the binding of a
// Java thread to its thread record: the callbacks of the adapter class and
// the 96-byte window through which Java reads and writes the thread's GTUID.
#include <pthread.h>

#include "base/tav_errno.h"
#include "base/tav_export.h"
#include "base/tav_log.h"
#include "core/tav_jcall.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"
#include "jni/tav_jni_state.h"

extern "C" {
JavaVM* en_jvm;
jmethodID en_get_byte_mid;
jmethodID en_get_byte_mid_size;
int thread_started;
}

namespace tav::jni {

mthr* own_record() {
  if (!tav::prologue()) return nullptr;
  mthr* m = tav_thrinfo();
  return tav::thread_usable(m) ? m : nullptr;
}

bool clear_exception(JNIEnv* env) {
  if (!env->ExceptionCheck()) return false;
  env->ExceptionClear();
  return true;
}

}  // namespace tav::jni

namespace {

constexpr const char* kAdapterClass = "com/wq/tav/adapter/GTUID";
constexpr const char* kPacketClass = "com/wq/tav/common/packet/dtc/Packet";

// A static "()V" method of the adapter class; null when it does not exist.
jmethodID static_callback(JNIEnv* env, jclass cls, const char* name) {
  jmethodID id = env->GetStaticMethodID(cls, name, "()V");
  if (tav::jni::clear_exception(env)) id = nullptr;
  if (!id) TAV_LOG_E("J", "GetStaticMethodID(%s) error !\n", name);
  return id;
}

// One global reference to the adapter class, shared by every thread: a
// thread that ends leaves nothing to release (its JNI environment may be gone
// by then). Null when the class cannot be found.
jclass adapter_class(JNIEnv* env) {
  static jclass shared = nullptr;
  if (jclass c = __atomic_load_n(&shared, __ATOMIC_ACQUIRE)) return c;
  jclass local = env->FindClass(kAdapterClass);
  if (tav::jni::clear_exception(env) || !local) return nullptr;
  auto* global = static_cast<jclass>(env->NewGlobalRef(local));
  env->DeleteLocalRef(local);
  if (!global) return nullptr;
  jclass none = nullptr;
  if (!__atomic_compare_exchange_n(&shared, &none, global, false, __ATOMIC_ACQ_REL,
                                   __ATOMIC_ACQUIRE)) {
    env->DeleteGlobalRef(global);  // another thread was first
    return none;
  }
  return global;
}

// The packet count or byte total of the packet list, read under its lock.
jint packet_list_figure(int tavlist_t::*field) {
  tavlist_t* l = __atomic_load_n(&en_wlist, __ATOMIC_ACQUIRE);
  if (!l) return 0;
  pthread_mutex_lock(&l->lock);
  const int v = l->*field;
  pthread_mutex_unlock(&l->lock);
  return v;
}

}  // namespace

extern "C" {

// Records the virtual machine, prepares the packet list and starts the two
// sender threads, which wait for start-up: settings are read at the first
// native or interposed call.
TAV_EXPORT jint JNI_OnLoad(JavaVM* vm, void*) {
  tav::ErrnoKeeper keep;
  JavaVM* none = nullptr;
  if (!__atomic_compare_exchange_n(&en_jvm, &none, vm, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
    return JNI_VERSION_1_2;
  if (!en_wlist) __atomic_store_n(&en_wlist, tav_list_create(), __ATOMIC_RELEASE);
  if (!en_wlist) {
    TAV_LOG_E("J", "en_wlist create error !\n");
    return -1;
  }
  if (tav::adt::start_senders() != 0) return -1;
  return JNI_VERSION_1_2;
}

TAV_EXPORT void JNICALL Java_com_wq_tav_adapter_GTUID_initMID(JNIEnv* env, jobject) {
  tav::ErrnoKeeper keep;
  jclass cls = env->FindClass(kPacketClass);
  if (tav::jni::clear_exception(env) || !cls) {
    TAV_LOG_E("J", "FindClass(GETBYTE_CLASS) error !\n");
    return;
  }
  jmethodID get = env->GetMethodID(cls, "getByte", "(Ljava/nio/ByteBuffer;)I");
  if (tav::jni::clear_exception(env) || !get) {
    TAV_LOG_E("J", "GetMethodID(getByte) error !\n");
    env->DeleteLocalRef(cls);
    return;
  }
  jmethodID size = env->GetMethodID(cls, "computeLength", "()I");
  if (tav::jni::clear_exception(env) || !size) {
    TAV_LOG_E("J", "GetMethodID(computeLength) error !\n");
    env->DeleteLocalRef(cls);
    return;
  }
  // Both ids are published together, the size first, so that a user of
  // en_get_byte_mid always finds en_get_byte_mid_size set.
  __atomic_store_n(&en_get_byte_mid_size, size, __ATOMIC_RELEASE);
  __atomic_store_n(&en_get_byte_mid, get, __ATOMIC_RELEASE);
  env->DeleteLocalRef(cls);
  TAV_LOG_D("J", "initMID.\n");
}

// Binds the calling Java thread to its record and returns the window over the
// record's GTUID. A thread without a record of its own (table full, excluded)
// gets null: its window would be shared with other threads.
TAV_EXPORT jobject JNICALL Java_com_wq_tav_adapter_GTUID_thrSTART(JNIEnv* env, jobject) {
  tav::ErrnoKeeper keep;
  if (!tav::prologue()) return nullptr;
  mthr* m = tav_thrinfo();
  if (m == tav::overflow_record()) {
    TAV_LOG_E("J", "thrSTART. no thread record of its own\n");
    return nullptr;
  }
  jclass cls = adapter_class(env);
  if (!cls) TAV_LOG_E("J", "FindClass(%s) error !\n", kAdapterClass);

  // A second thrSTART of the same thread replaces its binding.
  m->jcls = nullptr;
  m->rmid = m->smid = nullptr;
#if !defined(TAV_BUILD_WEBLOGIC)
  m->cmid = nullptr;
#endif
  jmethodID rmid = nullptr, smid = nullptr;
#if !defined(TAV_BUILD_WEBLOGIC)
  jmethodID cmid = nullptr;
#endif
  if (cls) {
    rmid = static_callback(env, cls, "rGTUID");
    smid = static_callback(env, cls, "sGTUID");
#if !defined(TAV_BUILD_WEBLOGIC)
    cmid = static_callback(env, cls, "rCallStack");
#endif
  }

  jobject window = env->NewDirectByteBuffer(&m->gtuid, sizeof m->gtuid);
  if (tav::jni::clear_exception(env)) window = nullptr;
  if (!window) TAV_LOG_E("J", "NewDirectByteBuffer error !\n");

  m->jenv = env;
  m->jcls = cls;
  m->rmid = rmid;
  m->smid = smid;
#if !defined(TAV_BUILD_WEBLOGIC)
  m->cmid = cmid;
#endif
  TAV_LOG_D("J", "thrSTART. (0x%p) obj(0x%p) cls(%p) rmid(%p) smid(%p)\n",
            static_cast<void*>(&m->gtuid), static_cast<void*>(window), static_cast<void*>(cls),
            static_cast<void*>(rmid), static_cast<void*>(smid));
  __atomic_add_fetch(&thread_started, 1, __ATOMIC_RELAXED);
  return window;
}

TAV_EXPORT jint JNICALL Java_com_wq_tav_adapter_GTUID_getCOUNT(JNIEnv*, jobject) {
  return packet_list_figure(&tavlist_t::count);
}

TAV_EXPORT jint JNICALL Java_com_wq_tav_adapter_GTUID_getSIZE(JNIEnv*, jobject) {
  return packet_list_figure(&tavlist_t::tsize);
}

TAV_EXPORT jint JNICALL Java_com_wq_tav_adapter_GTUID_getTID(JNIEnv*, jobject) {
  return static_cast<jint>(static_cast<unsigned>(pthread_self()));
}

#if !defined(TAV_BUILD_WEBLOGIC)
// Called by the readv and writev paths: lets the adapter of a thread with an
// active transaction take its call stack.
TAV_EXPORT void GTUID_CallStack(void) {
  tav::ErrnoKeeper keep;
  if (mthr* m = tav::jni::own_record()) tav::java_call_stack(m);
}
#endif

}  // extern "C"
