// Building and sending the monitoring messages: type-1 events of a thread,
// the transaction-code messages and the database call accounting.
#pragma once

struct mthr;

// Event (low byte) and direction (high byte) codes of tav_mzp1_proc.
enum : int {
  TAV_MZP_RS = 0x5253,  // service start, receive side
  TAV_MZP_RC = 0x5243,  // call, receive side
  TAV_MZP_SC = 0x5343,  // call, send side
  TAV_MZP_SE = 0x5345,  // service end, send side
};

extern "C" {
// Completes the thread's type-1 message for event `code` and sends it.
void tav_mzp1_proc(struct mthr* m, int code);
// Sends the thread's type-1 message as it stands: onto the next queue of the
// gtuid family in queue mode, else (Java builds) onto the thread's list.
void tav_mzp1_send(struct mthr* m);
// Transaction-code messages built from the thread's identifier; queue mode
// only, otherwise dropped. The URL of type 6 is cut to 128 bytes.
void tav_mzp2_send(struct mthr* m);
void tav_mzp4_send(struct mthr* m);
void tav_mzp6_send(struct mthr* m, const char* url, int len);

// Database call accounting: the first write of an exchange, a further write,
// a read, and the end of the exchange.
void tav_mzp1_dbms_send(struct mthr* m);
void tav_mzp1_dbms_conti_send(struct mthr* m);
void tav_mzp1_dbms_conti_recv(struct mthr* m);
void tav_mzp1_dbms_recv(struct mthr* m);
}
