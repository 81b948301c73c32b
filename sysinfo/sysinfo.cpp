// Process and host figures computed from /proc, sysinfo(2), uname(2) and the
// host's CPU statistics tool.
#include "sysinfo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "sysinfo_internal.hpp"

namespace {

constexpr int kMpstatTimeoutMs = 5000;
constexpr std::size_t kMpstatMaxOutput = 16384;

double now_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void sleep_one_second() {
  timespec req{1, 0}, rem{};
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

int process_cpu_share(int pid, double* out) {
  if (out == nullptr) return -1;
  double cpu = 0, rss = 0;
  if (tavGetProcessInfos(pid, &cpu, &rss) != 0) {
    *out = SYSINFO_ERR_PROC_CPU;
    return -1;
  }
  const int n = get_nprocs();
  double share = cpu / (n > 0 ? n : 1);
  if (share < 0) share = 0;
  if (share > 100) share = 100;
  *out = share;
  return 0;
}

}  // namespace

SYSINFO_EXPORT int tavReadOneProcStat(int pid, uint64_t* ticks, uint64_t* rss_kib) {
  if (pid <= 0) return -2;
  char path[64];
  std::snprintf(path, sizeof path, "%s/%d/stat", "/proc", pid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -2;
  char buf[4096];
  ssize_t n;
  do {
    n = read(fd, buf, sizeof buf - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return -1;
  uint64_t t = 0, r = 0;
  if (sysmetrics::parse_proc_stat(std::string_view(buf, static_cast<std::size_t>(n)), t, r) != 0) return -1;
  if (ticks) *ticks = t;
  if (rss_kib) *rss_kib = r;
  return 0;
}

SYSINFO_EXPORT int tavGetProcessInfos(int pid, double* cpu, double* rss_kib) {
  uint64_t ticks0 = 0, ticks1 = 0, rss = 0;
  const double t0 = now_seconds();
  if (tavReadOneProcStat(pid, &ticks0, &rss) != 0) return -1;
  sleep_one_second();
  const double t1 = now_seconds();
  if (tavReadOneProcStat(pid, &ticks1, &rss) != 0) return -1;
  if (cpu) *cpu = sysmetrics::cpu_percent(ticks0, ticks1, t1 - t0);
  if (rss_kib) *rss_kib = static_cast<double>(rss);
  return 0;
}

SYSINFO_EXPORT int tavGetProcessCpuUsage(int pid, double* out) { return process_cpu_share(pid, out); }

SYSINFO_EXPORT int tavGetProcessCpuUsage2(int pid, double* out) { return process_cpu_share(pid, out); }

SYSINFO_EXPORT int tavGetProcessInfoByPid(int pid, double* cpu, double* rss_kib) {
  if (tavGetProcessInfos(pid, cpu, rss_kib) != 0) {
    if (cpu) *cpu = SYSINFO_ERR_PROC_CPU;
    if (rss_kib) *rss_kib = SYSINFO_ERR_PROC_CPU;
    return -1;
  }
  return 0;
}

SYSINFO_EXPORT int tavGetProcessMemorySizeKBytes(int pid, double* out) {
  if (out == nullptr) return -1;
  uint64_t ticks = 0, rss = 0;
  if (tavReadOneProcStat(pid, &ticks, &rss) != 0) {
    *out = SYSINFO_ERR_PROC_MEM;
    return -1;
  }
  *out = static_cast<double>(rss);
  return 0;
}

SYSINFO_EXPORT int tavGetProcessMallocSizeKBytes(double* out) {
  return tavGetProcessMemorySizeKBytes(static_cast<int>(getpid()), out);
}

SYSINFO_EXPORT int tavGetProcessMemoryUsage(int pid, double* out) {
  if (out == nullptr) return -1;
  uint64_t ticks = 0, rss = 0, total = 0, used = 0;
  if (tavReadOneProcStat(pid, &ticks, &rss) != 0 || memGetSystemMemoryInfo(&total, &used) != 0 || total == 0) {
    *out = SYSINFO_ERR_PROC_MEM_USAGE;
    return -1;
  }
  *out = static_cast<double>(rss) / static_cast<double>(total) * 100.0;
  return 0;
}

SYSINFO_EXPORT int memGetSystemMemoryInfo(uint64_t* total_kib, uint64_t* used_kib) {
  struct sysinfo si {};
  if (sysinfo(&si) != 0) return -1;
  const uint64_t unit = si.mem_unit ? si.mem_unit : 1;
  if (total_kib) *total_kib = (static_cast<uint64_t>(si.totalram) / 1024) * unit;
  if (used_kib) *used_kib = ((static_cast<uint64_t>(si.totalram) - si.freeram) / 1024) * unit;
  return 0;
}

SYSINFO_EXPORT int tavGetSystemMemoryTotalSizeKBytes(double* out) {
  if (out == nullptr) return -1;
  uint64_t total = 0, used = 0;
  if (memGetSystemMemoryInfo(&total, &used) != 0) {
    *out = SYSINFO_ERR_SYS_MEM_TOTAL;
    return -1;
  }
  *out = static_cast<double>(total);
  return 0;
}

SYSINFO_EXPORT int tavGetSystemMemoryUsedSizeKBytes(double* out) {
  if (out == nullptr) return -1;
  uint64_t total = 0, used = 0;
  if (memGetSystemMemoryInfo(&total, &used) != 0) {
    *out = SYSINFO_ERR_SYS_MEM_USED;
    return -1;
  }
  *out = static_cast<double>(used);
  return 0;
}

SYSINFO_EXPORT int tavGetSystemMemoryUsage(double* out) {
  if (out == nullptr) return -1;
  uint64_t total = 0, used = 0;
  if (memGetSystemMemoryInfo(&total, &used) != 0 || total == 0) {
    *out = SYSINFO_ERR_SYS_MEM_USAGE;
    return -1;
  }
  *out = static_cast<double>(used) / static_cast<double>(total) * 100.0;
  return 0;
}

SYSINFO_EXPORT int tavGetSystemCpuCount(int* out) {
  if (out) *out = get_nprocs();
  return 0;
}

SYSINFO_EXPORT int tavGetSystemActiveProcessCount(int* out) {
  if (out) *out = 1024;
  return 0;
}

SYSINFO_EXPORT int tavGetSystemActiveThreadCount(int* out) {
  if (out) *out = 0;
  return 0;
}

SYSINFO_EXPORT int tavGetSystemCPUInfo_popen_mpstat(double* user, double* system, double* iowait,
                                                    double* steal) {
  try {
    std::string output;
    if (!sysmetrics::run_bounded("mpstat 1 1", output, kMpstatMaxOutput, kMpstatTimeoutMs)) return -1;
    sysmetrics::HostCpu cpu{};
    if (!sysmetrics::parse_mpstat_output(output, cpu)) return -1;
    if (user) *user = cpu.user;
    if (system) *system = cpu.system;
    if (iowait) *iowait = cpu.iowait;
    if (steal) *steal = cpu.steal;
    return 0;
  } catch (...) {
    return -1;
  }
}

SYSINFO_EXPORT int tavGetSystemCpuUsage(double* out) {
  if (out == nullptr) return -1;
  double user = 0, system = 0, iowait = 0, steal = 0;
  if (tavGetSystemCPUInfo_popen_mpstat(&user, &system, &iowait, &steal) != 0) {
    *out = SYSINFO_ERR_SYS_CPU;
    return -1;
  }
  *out = user + system;
  return 0;
}

SYSINFO_EXPORT int tavGetSystemOverview(char* host, char* addr, char* os_name, char* os_version,
                                        char* machine, char* os_release, char* users) {
  struct utsname u {};
  const bool have_uname = uname(&u) == 0;

  // Always terminated, even when the name fills or overflows the buffer.
  char name[SYSINFO_HOSTNAME_WIDTH + 1] = {};
  if (gethostname(name, SYSINFO_HOSTNAME_WIDTH) != 0) {
    std::memset(name, 0, sizeof name);
    if (have_uname) std::strncpy(name, u.nodename, SYSINFO_HOSTNAME_WIDTH);
  }
  name[SYSINFO_HOSTNAME_WIDTH] = '\0';
  sysmetrics::copy_field(host, SYSINFO_HOSTNAME_WIDTH, name);

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (name[0] != '\0' && getaddrinfo(name, nullptr, &hints, &res) == 0 && res != nullptr) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(res->ai_addr);
    const auto* b = reinterpret_cast<const unsigned char*>(&sin->sin_addr.s_addr);
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    sysmetrics::copy_field(addr, SYSINFO_FIELD_WIDTH, text);
  }
  if (res) freeaddrinfo(res);

  if (have_uname) {
    sysmetrics::copy_field(os_name, SYSINFO_FIELD_WIDTH, u.sysname);
    sysmetrics::copy_field(os_version, SYSINFO_FIELD_WIDTH, u.version);
    sysmetrics::copy_field(machine, SYSINFO_FIELD_WIDTH, u.machine);
    sysmetrics::copy_field(os_release, SYSINFO_FIELD_WIDTH, u.release);
  }
  sysmetrics::copy_field(users, SYSINFO_FIELD_WIDTH, "Unlimited Users");
  return 0;
}

SYSINFO_EXPORT int tavGetProcessInfosByName(const char*, void** a, uint64_t* b, uint64_t* c) {
  if (a) *a = nullptr;
  if (b) *b = 0;
  if (c) *c = 0;
  return 0;
}

SYSINFO_EXPORT int tavCheckProcessInfoList(void) { return 0; }

extern "C" int tavGetMyProcessCpuUsage(double* out) { return process_cpu_share(static_cast<int>(getpid()), out); }
