// Monitoring messages as they go onto the message queues: an 8-byte message
// type (the sender's pid) and fixed-size text and big-endian fields.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/tav_be.h"

// Type-1 message: one event of a transaction in one thread.
struct mzp1 {
  long type;
  char gtuid[23];
  char seq[6];
  char nid[4];
  char pid[9];
  char tid[9];
  char dtime[21];
  char start[2];
  char send[2];
  char trcode[33];
  char dmname[33];
  char ndname[33];
  char srname[33];
  char svname[33];
  char scode[2];
  char pcode[3];
  char iotype[2];
  char ipaddr[16];
  tav::be32 port;
  tav::be32 iosize;
  tav::be32 etime;
  tav::be32 rtime;
  uint8_t pattern[4];
  uint8_t filler[4];
};
using mzp1_t = mzp1;

static_assert(sizeof(mzp1) == 296);
static_assert(offsetof(mzp1, gtuid) == 8);
static_assert(offsetof(mzp1, seq) == 31);
static_assert(offsetof(mzp1, nid) == 37);
static_assert(offsetof(mzp1, pid) == 41);
static_assert(offsetof(mzp1, tid) == 50);
static_assert(offsetof(mzp1, dtime) == 59);
static_assert(offsetof(mzp1, start) == 80);
static_assert(offsetof(mzp1, send) == 82);
static_assert(offsetof(mzp1, trcode) == 84);
static_assert(offsetof(mzp1, dmname) == 117);
static_assert(offsetof(mzp1, ndname) == 150);
static_assert(offsetof(mzp1, srname) == 183);
static_assert(offsetof(mzp1, svname) == 216);
static_assert(offsetof(mzp1, scode) == 249);
static_assert(offsetof(mzp1, pcode) == 251);
static_assert(offsetof(mzp1, iotype) == 254);
static_assert(offsetof(mzp1, ipaddr) == 256);
static_assert(offsetof(mzp1, port) == 272);
static_assert(offsetof(mzp1, iosize) == 276);
static_assert(offsetof(mzp1, etime) == 280);
static_assert(offsetof(mzp1, rtime) == 284);
static_assert(offsetof(mzp1, pattern) == 288);
static_assert(offsetof(mzp1, filler) == 292);

// The transaction-code messages share their first 109 bytes.
#define TAV_ASSERT_TCODE_HEAD(T)                 \
  static_assert(offsetof(T, gtuid) == 8);        \
  static_assert(offsetof(T, trcode) == 31);      \
  static_assert(offsetof(T, seq) == 64);         \
  static_assert(offsetof(T, dtime) == 70);       \
  static_assert(offsetof(T, ipaddr) == 91);      \
  static_assert(offsetof(T, blocking) == 107)

// Type-2 message: the transaction code of a transaction, once known.
struct mzp2 {
  long type;
  char gtuid[23];
  char trcode[33];
  char seq[6];
  char dtime[21];
  char ipaddr[16];
  char blocking[2];
  char dummy[3];
};
using mzp2_t = mzp2;

static_assert(sizeof(mzp2) == 112);
TAV_ASSERT_TCODE_HEAD(mzp2);
static_assert(offsetof(mzp2, dummy) == 109);

// Type-4 message: the transaction code with customer and user information.
struct mzp4 {
  long type;
  char gtuid[23];
  char trcode[33];
  char seq[6];
  char dtime[21];
  char ipaddr[16];
  char blocking[2];
  char custinfo[33];
  char userinfo[33];
  char dummy[1];
};
using mzp4_t = mzp4;

static_assert(sizeof(mzp4) == 176);
TAV_ASSERT_TCODE_HEAD(mzp4);
static_assert(offsetof(mzp4, custinfo) == 109);
static_assert(offsetof(mzp4, userinfo) == 142);
static_assert(offsetof(mzp4, dummy) == 175);

// Type-6 message: the transaction code with the request URL.
struct mzp6 {
  long type;
  char gtuid[23];
  char trcode[33];
  char seq[6];
  char dtime[21];
  char ipaddr[16];
  char blocking[2];
  char custinfo[33];
  char userinfo[33];
  char trcd_url[129];
};
using mzp6_t = mzp6;

static_assert(sizeof(mzp6) == 304);
TAV_ASSERT_TCODE_HEAD(mzp6);
static_assert(offsetof(mzp6, custinfo) == 109);
static_assert(offsetof(mzp6, userinfo) == 142);
static_assert(offsetof(mzp6, trcd_url) == 175);
