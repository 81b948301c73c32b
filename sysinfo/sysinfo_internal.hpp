// Internal helpers of libsysinfo: pure parsing and arithmetic, kept apart from
// the exported entry points so that they can be checked without a process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#ifndef SYSINFO_EXPORT
#define SYSINFO_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace sysmetrics {

// Parses the text of /proc/<pid>/stat. Returns 0, or -1 when the text is not
// a complete stat line.
int parse_proc_stat(std::string_view text, std::uint64_t& ticks, std::uint64_t& rss_kib);

// Per cent of one processor used between two tick readings taken `elapsed`
// seconds apart. A count that went backwards (the pid now names another
// process) gives 0.
double cpu_percent(std::uint64_t ticks0, std::uint64_t ticks1, double elapsed);

struct HostCpu {
  double user, system, iowait, steal;
};

// Picks the fifth line out of the statistics tool's output, read as the tool
// would be read line by line with 1024-byte line buffers, and converts it.
// Every numeric field must convert completely.
bool parse_mpstat_output(std::string_view output, HostCpu& out);

// Converts one line "<word> <word> <7 numbers> <word> ...".
bool parse_mpstat_line(std::string_view line, HostCpu& out);

// Runs `command` through /bin/sh with LC_ALL=C, collecting at most
// `max_bytes` of its standard output and waiting at most `timeout_ms`. The
// whole process group of the command is killed before returning. Returns
// false when the command could not be started.
bool run_bounded(const char* command, std::string& output, std::size_t max_bytes, int timeout_ms);

// Copies `text` into `area` of `width` bytes, without terminator, cut to fit.
void copy_field(char* area, std::size_t width, std::string_view text);

}  // namespace sysmetrics
