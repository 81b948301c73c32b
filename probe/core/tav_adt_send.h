// The adapter's two sender threads. The GTUID sender batches the records
// that adapter mode leaves on the Java threads' lists and writes the batches
// on the GTUID link; the was-sender writes the serialised packets of the
// packet list on the was link. Both answer the master's polls on their link.
// While a link is not usable the records and packets stay where they are
// (the lists are bounded) and go out once the link is up again.
#pragma once

#include <pthread.h>

#include <cstddef>

#include "base/tav_list.h"

extern "C" {
// Stop flags: a sender runs while its flag is 0 (the library never sets them).
extern int en_gsend_stat;
extern int en_wsend_stat;
extern pthread_t en_gsend_tid;
extern pthread_t en_wsend_tid;
// Serialised packets waiting for the was-sender.
extern tavlist_t* en_wlist;
}

namespace tav::adt {

// Batches of the GTUID link: type-1 bodies, and the transaction-code records
// of 104 and 168 bytes, each in batches of their own.
struct BatchKind {
  const char* code;   // message code of the batch
  char item;          // kind of the list items it takes
  size_t record;      // their size
  int max;            // records per batch
  size_t buffer;      // bytes allocated for the batch
};
inline constexpr BatchKind kGtuidBatch{"MZZP000001", 'G', 288, 3640, 0x100024};
inline constexpr BatchKind kTcodeBatch{"MZZP000002", 'T', 104, 5040, 0x80024};
inline constexpr BatchKind kTcode4Batch{"MZZP000004", 'T', 168, 3120, 0x80024};

// Starts both sender threads unless they run already. 0, or -1 when a thread
// could not be started (logged).
int start_senders();

// The GTUID sender's state: its batch buffers.
class GtuidSender {
 public:
  GtuidSender();
  ~GtuidSender();
  GtuidSender(const GtuidSender&) = delete;
  GtuidSender& operator=(const GtuidSender&) = delete;
  bool ready() const;
  // One pass over the thread table (adapter mode, tables present). Returns
  // the number of batches written.
  int pass();

 private:
  struct Batch;
  Batch* batch_for(const tavlist& node);
  int flush_all(bool* stop);
  Batch* batches_[3];
};

// One pass of the was-sender over the packet list. Returns the number of
// packets written.
int wsend_pass();

}  // namespace tav::adt
