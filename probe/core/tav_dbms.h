// Database connections: which descriptors are one, and the kind character a
// thread keeps for the database call in progress.
#pragma once

#include "base/tav_kinds.h"

namespace tav {

inline constexpr int kDatabaseBits = MFD_ORACLE | MFD_SYBASE | MFD_DB2 | MFD_UDB | MFD_ALTIBASE;

// Any database kind; the server-information kind contains a database bit and
// so counts too.
constexpr bool is_database(int info) { return (info & kDatabaseBits) != 0; }

// The kind character of a descriptor, 0 for none. The server-information
// kind shares a bit with another kind, so it is tested first.
constexpr char dbms_class(int info) {
  if ((info & MFD_SERVER_INFO) == MFD_SERVER_INFO) return '(';
  if (info & MFD_ORACLE) return ')';
  if (info & MFD_SYBASE) return '+';
  if (info & MFD_DB2) return '*';
  if (info & MFD_UDB) return ',';
  if (info & MFD_ALTIBASE) return '-';
  return 0;
}

static_assert(dbms_class(MFD_ORACLE_MS) == ')');
static_assert(dbms_class(MFD_SERVER_INFO) == '(' && is_database(MFD_SERVER_INFO));

}  // namespace tav
