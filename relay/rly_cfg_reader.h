// Readers of the relay's settings files.
#pragma once

#include <cstdio>

extern "C" {
// One logical line of a key = value file: "#" starts a comment that runs to
// the end of the physical line; a backslash joins the next physical line and
// drops the rest of its own. The line is allocated into *line (the caller
// frees it) and its length returned; -562 for a line without characters,
// -567 when memory runs out.
int tav_cfg_fgets(FILE* fp, char** line);

// Value of the first logical line that, left-trimmed, begins with `key`: the
// text after the first "=", trimmed; a leading double quote is dropped and
// the value ends at the next one. NULL when the file cannot be read, no line
// matches, the line has no "=" or the value is empty; otherwise a new string
// that the caller frees. The file is opened anew for every call.
char* tav_gets(const char* path, const char* key);

// XML-like reader: the first physical line that contains `key` anywhere;
// the value is the text between the first double quote after the first
// "value" on that line and the next double quote, trimmed, copied into buf
// (at most n - 1 characters). Returns its length, 0 when absent, -1 when the
// file cannot be opened (after printing "file(%s) (%d:%s) error.\n" on
// standard output). Lines longer than 4095 bytes are read in pieces.
int tav_xfgets(const char* path, const char* key, char* buf, int n);
}
