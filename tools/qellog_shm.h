// Shared-memory helper of the log-control tool. The tool links only against
// libc, so it carries this small copy instead of using the probe's library.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Gets the segment of `key` with `size` bytes and `flags` (IPC_CREAT and the
// permissions when creating, 0 for an existing segment) and attaches it.
// Each call is retried while it fails with EINTR. Stores the segment id in
// *id (when id is not null) and returns the attached address, or nullptr
// with errno set.
void* tav_shm_get(key_t key, int* id, size_t size, int flags);
