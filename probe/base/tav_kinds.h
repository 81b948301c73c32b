// What a descriptor is for: the bits of its record's flag word. Entries of
// the service list carry the same values as their kind.
#pragma once

// Classification bits of mfd::info; 0 means the descriptor is untracked.
enum : int {
  MFD_START = 0x1,
  MFD_SERVICE = 0x2,
  MFD_KEEP = 0x10,
  MFD_ORACLE = 0x20,
  MFD_SYBASE = 0x40,
  MFD_DB2 = 0x80,
  MFD_ORACLE_MS = 0x120,
  MFD_UDB = 0x200,
  MFD_ALTIBASE = 0x400,
  MFD_SERVER_INFO = 0xA00,
  MFD_JRMI = 0x4000,
  MFD_TPSTART = 0x8000,
  MFD_LOCAL = 0x10000,
  MFD_REMOTE = 0x20000,
  MFD_INET = 0x100000,
  MFD_INET6 = 0x200000,
  MFD_UNIX = 0x400000,
  MFD_FILE = 0x800000,  // WebtoB build: a file named in the service list
  MFD_FIRSTREAD = 0x1000000,
  MFD_HFORM = 0x4000000,  // Tmax build: the connection's header form is known
  MFD_DGRAM = 0x8000000,  // a datagram socket: never framed, never tested
  MFD_HTTP = 0x10000000,
  MFD_ADAPTER = 0x20000000,
};
