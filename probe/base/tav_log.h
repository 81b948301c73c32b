// Logging entry points of the probe.
#pragma once

extern "C" {
// One line on standard output: "<pid>.<tid> <module><position> " and the
// message. `file` names the call site's module by its first letter.
void tav_scrlog(const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
}
