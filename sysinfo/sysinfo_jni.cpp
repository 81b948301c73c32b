// Native methods of com.wq.tav.common.SystemInfo. Every method returns a
// neutral value (0, -1 or null) for null or unusable arguments and lets no
// C++ exception reach the virtual machine.
#include <jni.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <vector>

#include <unistd.h>

#include "sysinfo.h"

#define SYSINFO_JNI(ret, name) extern "C" JNIEXPORT ret JNICALL Java_com_wq_tav_common_SystemInfo_##name

namespace {

constexpr int kOverviewLength = 152;
constexpr jint kProcRecordSize = 24;

template <typename Fn>
jdouble figure(Fn fn) {
  double v = 0;
  fn(&v);
  return v;
}

}  // namespace

SYSINFO_JNI(jint, getCurrPID)(JNIEnv*, jclass) { return static_cast<jint>(getpid()); }

SYSINFO_JNI(jint, isAliveProc)(JNIEnv*, jclass, jint pid) {
  if (pid <= 0) return 0;
  if (getpgid(pid) >= 0) return 1;
  return errno == ESRCH ? 0 : 1;
}

SYSINFO_JNI(jint, sendSignal)(JNIEnv*, jclass, jint pid, jint sig) {
  // 0 and negative pids address process groups or every process: refused.
  if (pid <= 0) return -1;
  return kill(pid, sig) == 0 ? 0 : -1;
}

SYSINFO_JNI(jint, checkProcessInfoList)(JNIEnv*, jclass) { return tavCheckProcessInfoList(); }

SYSINFO_JNI(jdouble, getMyProcCpu)(JNIEnv*, jclass) { return figure(tavGetMyProcessCpuUsage); }

SYSINFO_JNI(jdouble, getProcCpu)(JNIEnv*, jclass, jint pid) {
  return figure([pid](double* v) { return tavGetProcessCpuUsage(pid, v); });
}

SYSINFO_JNI(jdouble, getProcCpu2)(JNIEnv*, jclass, jint pid) {
  return figure([pid](double* v) { return tavGetProcessCpuUsage2(pid, v); });
}

SYSINFO_JNI(jdouble, getSysCpu)(JNIEnv*, jclass) { return figure(tavGetSystemCpuUsage); }

SYSINFO_JNI(jint, getSysCpuCount)(JNIEnv*, jclass) {
  int n = 0;
  tavGetSystemCpuCount(&n);
  return n;
}

SYSINFO_JNI(jint, getSysProcCount)(JNIEnv*, jclass) {
  int n = 0;
  tavGetSystemActiveProcessCount(&n);
  return n;
}

SYSINFO_JNI(jint, getSysThreadCount)(JNIEnv*, jclass) {
  int n = 0;
  tavGetSystemActiveThreadCount(&n);
  return n;
}

SYSINFO_JNI(jdouble, getProcMem)(JNIEnv*, jclass, jint pid) {
  return figure([pid](double* v) { return tavGetProcessMemorySizeKBytes(pid, v); });
}

SYSINFO_JNI(jdouble, getMallocMem)(JNIEnv*, jclass) { return figure(tavGetProcessMallocSizeKBytes); }

SYSINFO_JNI(jdouble, getSysMem)(JNIEnv*, jclass) { return figure(tavGetSystemMemoryUsedSizeKBytes); }

SYSINFO_JNI(jdouble, getSysMemTot)(JNIEnv*, jclass) { return figure(tavGetSystemMemoryTotalSizeKBytes); }

SYSINFO_JNI(jint, getProcCpuMemStructSize)(JNIEnv*, jclass) { return kProcRecordSize; }

SYSINFO_JNI(void, getProcCpuMem)(JNIEnv* env, jclass, jstring name, jobject out) {
  if (out == nullptr) return;
  void* addr = env->GetDirectBufferAddress(out);
  const jlong cap = env->GetDirectBufferCapacity(out);
  if (addr == nullptr || cap < kProcRecordSize) return;
  const char* chars = name ? env->GetStringUTFChars(name, nullptr) : nullptr;
  if (name && chars == nullptr) {
    env->ExceptionClear();
  }
  void* a = nullptr;
  uint64_t b = 0, c = 0;
  auto* dst = static_cast<unsigned char*>(addr);
  if (tavGetProcessInfosByName(chars, &a, &b, &c) != 0) {
    std::memset(dst, 0, kProcRecordSize);
  } else {
    const uint64_t slot0 = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(a));
    std::memcpy(dst, &slot0, 8);
    std::memcpy(dst + 8, &b, 8);
    std::memcpy(dst + 16, &c, 8);
  }
  if (chars) env->ReleaseStringUTFChars(name, chars);
}

SYSINFO_JNI(jstring, getSysOverview)(JNIEnv* env, jclass) {
  // One area per call: concurrent callers never share it.
  char area[kOverviewLength + 1];
  std::memset(area, ' ', kOverviewLength);
  area[kOverviewLength] = '\0';
  tavGetSystemOverview(area, area + 32, area + 52, area + 72, area + 92, area + 112, area + 132);
  // Only plain ASCII goes into the Java string (NewStringUTF needs valid
  // modified UTF-8).
  for (int i = 0; i < kOverviewLength; ++i) {
    const unsigned char ch = static_cast<unsigned char>(area[i]);
    if (ch < 0x20 || ch > 0x7e) area[i] = '?';
  }
  return env->NewStringUTF(area);
}

SYSINFO_JNI(jobjectArray, getArrayProcessInfo)(JNIEnv* env, jclass, jintArray pids) {
  if (pids == nullptr) return nullptr;
  try {
    const jsize n = env->GetArrayLength(pids);
    // Grown to the caller's array, whatever its length.
    std::vector<jint> table(static_cast<std::size_t>(n));
    if (n > 0) {
      env->GetIntArrayRegion(pids, 0, n, table.data());
      if (env->ExceptionCheck()) return nullptr;
    }
    jclass row_class = env->FindClass("[D");
    if (row_class == nullptr) return nullptr;
    jobjectArray result = env->NewObjectArray(n, row_class, nullptr);
    env->DeleteLocalRef(row_class);
    if (result == nullptr) return nullptr;

    double total = 0;
    tavGetSystemMemoryTotalSizeKBytes(&total);
    tavCheckProcessInfoList();
    for (jsize i = 0; i < n; ++i) {
      const int pid = table[static_cast<std::size_t>(i)];
      double cpu = 0, rss = 0;
      const bool ok = tavGetProcessInfoByPid(pid, &cpu, &rss) == 0;
      const jdouble row[4] = {
          pid > 0 ? static_cast<double>(pid) : 0.0,
          ok && cpu > 0 ? cpu : 0.0,
          rss > 0 && total > 0 ? rss / total * 100.0 : 0.0,
          ok && rss > 0 ? rss : 0.0,
      };
      jdoubleArray arr = env->NewDoubleArray(4);
      if (arr == nullptr) return nullptr;
      env->SetDoubleArrayRegion(arr, 0, 4, row);
      env->SetObjectArrayElement(result, i, arr);
      env->DeleteLocalRef(arr);
      if (env->ExceptionCheck()) return nullptr;
      timespec ms{0, 1000000};
      nanosleep(&ms, nullptr);
    }
    return result;
  } catch (...) {
    return nullptr;
  }
}
