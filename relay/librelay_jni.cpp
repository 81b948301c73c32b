// librelay-jni: the natives of com.wq.tav.agent.plugin.RLYControlPlugin.
// startRLY runs the relay in a thread of its own; stopRLY stops it from the
// caller's thread and returns once the workers have been joined.
#include <jni.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "base/tav_export.h"
#include "rly_start.h"
#include "rly_thread.h"

namespace {

void* relay_thread(void* arg) {
  char* path = static_cast<char*>(arg);
  rly_main(rly_build_jni, path);
  free(path);
  return nullptr;
}

}  // namespace

extern "C" {

TAV_EXPORT jint JNICALL Java_com_wq_tav_agent_plugin_RLYControlPlugin_startRLY(JNIEnv* env, jclass,
                                                                               jstring path) {
  char* copy = nullptr;
  if (path) {
    const char* chars = env->GetStringUTFChars(path, nullptr);
    if (chars) {
      copy = strdup(chars);
      env->ReleaseStringUTFChars(path, chars);
    }
  }
  rly_thread_reset();
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  int rc = pthread_create(&t, &attr, relay_thread, copy);
  pthread_attr_destroy(&attr);
  if (rc != 0) free(copy);
  return rc;
}

TAV_EXPORT jint JNICALL Java_com_wq_tav_agent_plugin_RLYControlPlugin_stopRLY(JNIEnv*, jclass) {
  tav_stop_routine();
  return 0;
}

}  // extern "C"
