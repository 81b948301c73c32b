// Process-wide state of the Java adapter side of the library.
#pragma once

#include <jni.h>

#include <cstdint>

#include "base/tav_globals.h"
#include "base/tav_log.h"
#include "core/tav_adt_send.h"
#include "core/tav_tables.h"

extern "C" {
// The virtual machine that loaded the library; set once by JNI_OnLoad.
extern JavaVM* en_jvm;
// getByte and computeLength of the adapter's Packet class, bound by initMID.
extern jmethodID en_get_byte_mid;
extern jmethodID en_get_byte_mid_size;
// Number of thrSTART calls made in this process.
extern int thread_started;
}

namespace tav::jni {

// The calling thread's record after the load-and-refresh prologue, or null
// when the library passes calls through, the thread shares the overflow
// record, or the thread is excluded from tracking.
mthr* own_record();

// Clears an exception that a JNI call left pending; true when there was one.
bool clear_exception(JNIEnv* env);

// The thread's transaction is active: marker present and flag 1.
inline bool active(const mthr* m) { return tav::gtuid_active(m); }

// The hop counter moves only in full mode, unless the event always counts.
inline void sequence_step(mthr* m, bool always = false) {
  if (always || en_qel_full == 1) m->gtuid.seq = static_cast<uint16_t>(m->gtuid.seq.get() + 1);
}

// Ends the thread's transaction without a message.
inline void clear(mthr* m) {
  m->gtuid.gflag = 0;
  TAV_LOG_G("J", &m->gtuid, "clear.\n");
}

// The characters of a Java string for the life of this object; null when the
// string is null or its characters cannot be had.
class JavaText {
 public:
  JavaText(JNIEnv* env, jstring s) : env_(env), s_(s) {
    if (s_) chars_ = env_->GetStringUTFChars(s_, nullptr);
    if (clear_exception(env_)) chars_ = nullptr;
  }
  ~JavaText() {
    if (chars_) env_->ReleaseStringUTFChars(s_, chars_);
  }
  JavaText(const JavaText&) = delete;
  JavaText& operator=(const JavaText&) = delete;
  const char* get() const { return chars_; }
  explicit operator bool() const { return chars_ != nullptr; }

 private:
  JNIEnv* env_;
  jstring s_;
  const char* chars_ = nullptr;
};

// True when the text could be had; otherwise logs "<what>. no text".
inline bool have_text(const JavaText& t, const char* what) {
  if (t) return true;
  TAV_LOG_E("J", "%s. no text\n", what);
  return false;
}

}  // namespace tav::jni
