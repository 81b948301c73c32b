#include "core/tav_hooks.h"

#include <dlfcn.h>

#include "base/tav_real.h"
#include "core/tav_build.h"
#include "core/tav_gtuid.h"

const uint8_t TAV_GTUID_INIT[4] = {0x02, 0x0A, 0x24, 0x0F};

#define TAV_HOOK(fn) {#fn, reinterpret_cast<void**>(&f_##fn)}

// Row order is the same in every build; each build leaves out what it does
// not use.
const enHooking hook[] = {
    TAV_HOOK(listen),  TAV_HOOK(bind),   TAV_HOOK(accept), TAV_HOOK(connect),
    TAV_HOOK(close),   TAV_HOOK(dup),    TAV_HOOK(dup2),   TAV_HOOK(read),
    TAV_HOOK(write),   TAV_HOOK(recv),   TAV_HOOK(send),   TAV_HOOK(open),
    TAV_HOOK(msgget),  TAV_HOOK(msgrcv), TAV_HOOK(msgsnd),
#if TAV_OVR_READV
    TAV_HOOK(readv),
#endif
#if TAV_OVR_WRITEV
    TAV_HOOK(writev),
#endif
#if TAV_OVR_MSG
    TAV_HOOK(recvmsg), TAV_HOOK(sendmsg),
#endif
#if TAV_OVR_FORK
    TAV_HOOK(fork),
#endif
#if !defined(TAV_BUILD_WEBLOGIC) && !defined(TAV_BUILD_TMAX)
    TAV_HOOK(execve),
#endif
#if defined(TAV_BUILD_TMAX)
    TAV_HOOK(pipe),
#endif
    // The forms of accept and dup that current runtimes use.
    TAV_HOOK(accept4), TAV_HOOK(dup3),
    // Further ways to read, send and size a stream.
    TAV_HOOK(recvfrom), TAV_HOOK(sendto), TAV_HOOK(ioctl), TAV_HOOK(sendfile),
    TAV_HOOK(sendfile64),
    {nullptr, nullptr},
};

namespace tav {

void* hook_lookup(const char* name) {
  if (void* p = dlsym(RTLD_NEXT, name)) return p;
  // Loaded in a way that leaves libc before this library in the search
  // order: ask libc itself (already loaded, so this never loads anything).
  if (void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD)) {
    void* p = dlsym(libc, name);
    dlclose(libc);
    return p;
  }
  return nullptr;
}

void hook_resolve(const enHooking* table, void* (*lookup)(const char*)) {
  for (const enHooking* h = table; h->name; ++h) {
    if (*h->pfunc == nullptr) *h->pfunc = lookup(h->name);
  }
}

}  // namespace tav
