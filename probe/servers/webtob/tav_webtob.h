// WebtoB build: the class of the web-server process the library runs in,
// and the URLs whose requests are not traced.
#pragma once

#include <cstddef>

#include "base/tav_list.h"

// Process classes, from the program name.
enum : int {
  TAV_WEBTOB_OTHER = 0,
  TAV_WEBTOB_HTH = 1,   // HTTP handler
  TAV_WEBTOB_HTML = 2,  // "html..." processes
};

extern "C" {
extern int tav_webtob_proc;
// URL texts not traced, each stored with one space appended.
extern tavlist_t* en_gelist;

// Appends the comma-separated URL texts of `text`, trimmed, to the list.
// Always 0.
int tav_geinfo(const char* text);
// 1 when the HTTP request in the first `n` bytes of `buf` names an excluded
// URL, else 0. Only the bytes given are read, at most 512.
int tav_gtuid_url_expect(const void* buf, size_t n);
}

namespace tav::webtob {

// The class of a program name.
int process_class(const char* name);
// The class of this process, from its program name; run before the tables
// are made.
void init();
// The URL list from "QEL_GTUID_EXCEPT" of the settings file, made once.
void read_settings();

}  // namespace tav::webtob
