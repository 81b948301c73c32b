// Calls from the I/O paths into the Java adapter of the thread, when the
// thread registered one: "put" after the thread created or took over a
// transaction, "get" before it sends one, and the call-stack hook.
#pragma once

#include "core/tav_build.h"

struct mthr;

namespace tav {

#if TAV_WITH_JAVA
void java_put(mthr* m);
void java_get(mthr* m);
void java_call_stack(mthr* m);
#else
inline void java_put(mthr*) {}
inline void java_get(mthr*) {}
inline void java_call_stack(mthr*) {}
#endif

}  // namespace tav
