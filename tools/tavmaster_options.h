// The command line of the development master.
#pragma once

#include <cstdint>
#include <string>

namespace tavmaster {

struct Options {
  std::string bind = "127.0.0.1";  // IPv4 address to listen on
  int port = 0;                    // 0: any free port, printed at start
  int poll_ms = 0;                 // interval of the master's polls; 0: never
  std::string refuse;              // ercode for openings; empty: accept ("00000")
  std::string out;                 // JSON lines; empty: standard output
  std::string ready_file;          // receives "ADDR:PORT\n" once listening
  int max_sessions = 64;           // sessions open at once
  uint32_t max_message = 16u << 20;  // bound of a length field
  bool verbose = false;            // also log every batch and poll answer
};

enum class ParseResult { kRun, kHelp, kError };

// Reads argv into *opt. On kError, *error says why.
ParseResult parse_options(int argc, char** argv, Options* opt, std::string* error);

// The usage text.
std::string usage(const char* prog);

}  // namespace tavmaster
