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

// Java-side twins: peer address, codes and service name come from the
// adapter instead of from a descriptor.
// Type-1 message for event `code`: with a service name `svcname` (at most 15
// characters) as the address, else "NONE"; `size` goes into the port field.
void tav_mzp1_proc2(struct mthr* m, int code, const char* svcname, int size);
// A database call to `ip`:`port` goes out; a non-zero `scode` names the
// database side (with `pcode`), else the thread's descriptor does.
void tav_mzp1_dbms_send2(struct mthr* m, const char* ip, int port, int scode, int pcode);
// The database call comes back (only the thread's record is used).
void tav_mzp1_dbms_recv2(struct mthr* m, const char* ip, int port, int scode, int pcode);
// Calls to another server, out and back: system code (first character),
// product code (two characters), service name (32) and address (15).
void tav_mzp1_server_send(struct mthr* m, const char* scode, const char* pcode,
                          const char* svcname, const char* ip);
void tav_mzp1_server_recv(struct mthr* m, const char* scode, const char* pcode,
                          const char* svcname, const char* ip);

// Adapter mode (Java builds): the transaction-code record of `type` 2, 4 or
// 6 (104, 168 or 296 bytes, the queue message without its message type) onto
// the thread's list with kind 'T' and its own size; the URL of type 6 is cut
// to 128 bytes. Clears the one-shot blocking flag. 0 when appended.
int tav_mzp_tcode_append(struct mthr* m, int type, const char* url, int len);
}
