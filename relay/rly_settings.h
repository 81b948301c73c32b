// Loading the relay's settings file into the en_ globals.
#pragma once

#include <sys/types.h>

extern "C" {
// Reads the settings file of the selected deliverable (key = value, or the
// XML-like form of librelay-jni). Returns 0, or the code of the first
// required key that is absent or unusable. Numbers are range-checked; texts
// longer than their field are cut to it.
int tav_cfg_init(const char* path);

// Resolves `name` to its first IPv4 address in dotted form in out (16 bytes).
// 0, or -1 with out set to the empty text.
int tav_gethostbyname(const char* name, char* out);
}

// Leading decimal number of `text` (like atoi: white space and a sign first,
// anything after the digits ignored), saturated to the int range. False when
// there is no digit.
bool rly_parse_int(const char* text, int* out);

// Codes of the required keys.
struct rly_required_codes {
  int agent_name, agent_alias, domain, product, gtuid_queue, tcode_queue, master_ip,
      master_ip2, master_port, master_port2;
};
extern const rly_required_codes rly_codes_keys;
extern const rly_required_codes rly_codes_xml;

// Creates the 8-byte shared-memory segment of `key` when it does not exist,
// attaches it and detaches it again. 0, or -1.
int rly_shm_touch(key_t key);
