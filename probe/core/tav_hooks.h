// The build's table of libc names resolved at start-up.
#pragma once

struct enHooking {
  const char* name;
  void** pfunc;  // where the resolved address is stored
};

extern "C" {
extern const enHooking hook[];
}

namespace tav {
// Resolves every row whose pointer is still null: first the next definition
// after this library, then libc's own, so a name is missing only when libc
// lacks it. `lookup` is the resolver, replaceable in tests.
void hook_resolve(const enHooking* table, void* (*lookup)(const char* name));
void* hook_lookup(const char* name);
}  // namespace tav
