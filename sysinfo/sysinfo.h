// Process and host figures of libsysinfo. CPU time is counted in 1/100 s
// ticks, memory in KiB. Every function returns 0 on success and a negative
// value on failure; on failure the figure receives the function's sentinel.
#pragma once

#include <stdint.h>

#ifndef SYSINFO_EXPORT
#define SYSINFO_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#define SYSINFO_ERR_PROC_CPU -0.001231
#define SYSINFO_ERR_PROC_MEM -0.001232
#define SYSINFO_ERR_PROC_MEM_USAGE -0.001233
#define SYSINFO_ERR_SYS_MEM_TOTAL -0.001234
#define SYSINFO_ERR_SYS_MEM_USED -0.001235
#define SYSINFO_ERR_SYS_MEM_USAGE -0.001236
#define SYSINFO_ERR_SYS_CPU -0.001237

// Widths of the seven host overview fields.
#define SYSINFO_HOSTNAME_WIDTH 32
#define SYSINFO_FIELD_WIDTH 20

SYSINFO_EXPORT int tavReadOneProcStat(int pid, uint64_t* ticks, uint64_t* rss_kib);
SYSINFO_EXPORT int tavGetProcessInfos(int pid, double* cpu, double* rss_kib);
SYSINFO_EXPORT int tavGetProcessCpuUsage(int pid, double* out);
SYSINFO_EXPORT int tavGetProcessCpuUsage2(int pid, double* out);
SYSINFO_EXPORT int tavGetProcessInfoByPid(int pid, double* cpu, double* rss_kib);
SYSINFO_EXPORT int tavGetProcessMemorySizeKBytes(int pid, double* out);
SYSINFO_EXPORT int tavGetProcessMallocSizeKBytes(double* out);
SYSINFO_EXPORT int tavGetProcessMemoryUsage(int pid, double* out);
SYSINFO_EXPORT int memGetSystemMemoryInfo(uint64_t* total_kib, uint64_t* used_kib);
SYSINFO_EXPORT int tavGetSystemMemoryTotalSizeKBytes(double* out);
SYSINFO_EXPORT int tavGetSystemMemoryUsedSizeKBytes(double* out);
SYSINFO_EXPORT int tavGetSystemMemoryUsage(double* out);
SYSINFO_EXPORT int tavGetSystemCpuCount(int* out);
SYSINFO_EXPORT int tavGetSystemActiveProcessCount(int* out);
SYSINFO_EXPORT int tavGetSystemActiveThreadCount(int* out);
SYSINFO_EXPORT int tavGetSystemCPUInfo_popen_mpstat(double* user, double* system, double* iowait,
                                                    double* steal);
SYSINFO_EXPORT int tavGetSystemCpuUsage(double* out);
SYSINFO_EXPORT int tavGetSystemOverview(char* host, char* addr, char* os_name, char* os_version,
                                        char* machine, char* os_release, char* users);
SYSINFO_EXPORT int tavGetProcessInfosByName(const char* name, void** a, uint64_t* b, uint64_t* c);
SYSINFO_EXPORT int tavCheckProcessInfoList(void);

// CPU use of the calling process as a percentage of the whole host (the unit
// of tavGetProcessCpuUsage). Internal: used by the Java bindings only.
extern "C" int tavGetMyProcessCpuUsage(double* out);
