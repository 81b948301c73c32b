// What the server build being compiled carries: exactly one TAV_BUILD_* is
// defined by the build system.
#pragma once

#if defined(TAV_BUILD_JEUS) + defined(TAV_BUILD_WEBLOGIC) + defined(TAV_BUILD_TMAX) + \
        defined(TAV_BUILD_WEBTOB) != 1
#error "exactly one of TAV_BUILD_JEUS, TAV_BUILD_WEBLOGIC, TAV_BUILD_TMAX, TAV_BUILD_WEBTOB"
#endif

#if defined(TAV_BUILD_JEUS)
#define TAV_SERVER_KIND "JEUS"
#elif defined(TAV_BUILD_WEBLOGIC)
#define TAV_SERVER_KIND "weblogic"
#elif defined(TAV_BUILD_TMAX)
#define TAV_SERVER_KIND "Tmax"
#else
#define TAV_SERVER_KIND "WebtoB"
#endif

// Java application-server builds: thread records carry the Java callback ids
// and item lists, and the library is also the adapter's native library.
#if defined(TAV_BUILD_JEUS) || defined(TAV_BUILD_WEBLOGIC)
#define TAV_WITH_JAVA 1
#else
#define TAV_WITH_JAVA 0
#endif

// Which libc calls the build overrides beyond the common socket set.
#if defined(TAV_BUILD_JEUS)
#define TAV_OVR_READV 1
#define TAV_OVR_WRITEV 1
#define TAV_OVR_MSG 1
#define TAV_OVR_FORK 1
#define TAV_OVR_OPEN 0
#elif defined(TAV_BUILD_WEBLOGIC)
#define TAV_OVR_READV 0
#define TAV_OVR_WRITEV 1
#define TAV_OVR_MSG 0
#define TAV_OVR_FORK 1
#define TAV_OVR_OPEN 0
#elif defined(TAV_BUILD_TMAX)
#define TAV_OVR_READV 0
#define TAV_OVR_WRITEV 0
#define TAV_OVR_MSG 1
#define TAV_OVR_FORK 0
#define TAV_OVR_OPEN 0
#else
#define TAV_OVR_READV 0
#define TAV_OVR_WRITEV 0
#define TAV_OVR_MSG 1
#define TAV_OVR_FORK 0
#define TAV_OVR_OPEN 1
#endif

// Messages passing descriptors carry their classification in front (the
// receiving probe of these builds takes it off).
#if defined(TAV_BUILD_TMAX) || defined(TAV_BUILD_WEBTOB)
#define TAV_MSG_PREFIX 1
#else
#define TAV_MSG_PREFIX 0
#endif

#ifndef TAV_VERSION
#define TAV_VERSION "0"
#endif
// Product, version, server kind and bit width, as shown in the start lines.
#define TAV_BANNER "QEL " TAV_VERSION " " TAV_SERVER_KIND " 64bit"
