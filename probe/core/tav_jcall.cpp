// Java adapter callbacks of a thread. A callback runs only when the thread
// registered its environment, class and the method; an exception it leaves
// pending is cleared, so the host's next JNI call is not disturbed.
#include "core/tav_jcall.h"

#include "base/tav_errno.h"
#include "base/tav_log.h"
#include "core/tav_tables.h"

#if TAV_WITH_JAVA

namespace tav {
namespace {

// Set while a callback of this thread runs: a callback that does socket I/O
// itself reaches the interposed calls again, which then make no callback.
thread_local bool in_callback;

bool call(mthr* m, jmethodID id) {
  JNIEnv* env = m->jenv;
  if (!env || !m->jcls || !id || in_callback) return false;
  ErrnoKeeper keep;
  in_callback = true;
  env->CallStaticVoidMethod(m->jcls, id);
  if (env->ExceptionCheck()) env->ExceptionClear();
  in_callback = false;
  return true;
}

}  // namespace

void java_put(mthr* m) {
  if (call(m, m->rmid)) TAV_LOG_G("M", &m->gtuid, "jput.\n");
}

void java_get(mthr* m) {
  if (call(m, m->smid)) TAV_LOG_G("M", &m->gtuid, "jget.\n");
}

void java_call_stack(mthr* m) {
#if defined(TAV_BUILD_WEBLOGIC)
  (void)m;
#else
  if (gtuid_active(m)) call(m, m->cmid);
  TAV_LOG_G("M", &m->gtuid, "CallStack\n");
#endif
}

}  // namespace tav

#endif
