// What differs between the three deliverables built from the relay's code:
// relayd, librelay and librelay-jni. Each entry point selects its profile
// before the relay starts; everything else reads it through rly_build().
#pragma once

enum rly_settings_form {
  RLY_SETTINGS_KEYS = 0,  // key = value lines
  RLY_SETTINGS_XML = 1,   // XML-like lines with a "value" attribute
};

struct rly_build_t {
  const char* name;            // for log lines
  int tcode_record;            // bytes of one transaction-code record on a tcode queue
  const char* tcode_code;      // message code of a tcode batch
  int tcode_max;               // records per tcode batch at most
  int exact_sizes;             // 1: only whole single records count, receive limit 1016, no margins
  rly_settings_form settings;  // form of the settings file
  int reads_log_shm_key;       // 1: "QEL_LOG_SHM_KEY" creates the log-control segment
};

extern const rly_build_t rly_build_relayd;
extern const rly_build_t rly_build_lib;
extern const rly_build_t rly_build_jni;

// The profile in force (librelay's until an entry point selects another).
const rly_build_t& rly_build();
void rly_select_build(const rly_build_t& b);
