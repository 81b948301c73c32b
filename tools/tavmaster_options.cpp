#include "tavmaster_options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tavmaster {

namespace {

// A decimal number that is the whole text and lies in [lo, hi].
bool parse_number(const char* text, long lo, long hi, long* value) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *value = v;
  return true;
}

}  // namespace

std::string usage(const char* prog) {
  return std::string("Usage: ") + prog +
         " [options]\n"
         "  --port N          TCP port to listen on (0: any free port; default 0)\n"
         "  --bind ADDR       IPv4 address to listen on (default 127.0.0.1)\n"
         "  --poll-ms N       send a poll on every session each N ms (0: never; default 0)\n"
         "  --refuse CODE     answer openings with this 5-character error code\n"
         "  --out FILE        append the JSON lines to FILE (default: standard output)\n"
         "  --ready-file PATH write \"ADDR:PORT\" to PATH once listening\n"
         "  --max-sessions N  sessions open at once (default 64)\n"
         "  --max-message N   largest length field accepted, in bytes (default 16777216)\n"
         "  --verbose         also log every batch and poll answer on standard error\n"
         "  --help            show this text\n";
}

ParseResult parse_options(int argc, char** argv, Options* opt, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") return ParseResult::kHelp;
    if (name == "--verbose" || name == "-v") {
      opt->verbose = true;
      continue;
    }
    // Every other option takes a value, as "--name value" or "--name=value".
    std::string value;
    size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      *error = "option " + name + " needs a value";
      return ParseResult::kError;
    }
    long n = 0;
    if (name == "--port") {
      if (!parse_number(value.c_str(), 0, 65535, &n)) {
        *error = "--port must be 0 to 65535";
        return ParseResult::kError;
      }
      opt->port = static_cast<int>(n);
    } else if (name == "--bind") {
      in_addr a;
      if (inet_pton(AF_INET, value.c_str(), &a) != 1) {
        *error = "--bind needs a dotted IPv4 address";
        return ParseResult::kError;
      }
      opt->bind = value;
    } else if (name == "--poll-ms") {
      if (!parse_number(value.c_str(), 0, 86400000, &n)) {
        *error = "--poll-ms must be 0 to 86400000";
        return ParseResult::kError;
      }
      opt->poll_ms = static_cast<int>(n);
    } else if (name == "--refuse") {
      bool printable = value.size() == 5;
      for (char c : value) printable = printable && c > ' ' && c < 0x7f;
      if (!printable) {
        *error = "--refuse needs a code of 5 printable characters";
        return ParseResult::kError;
      }
      opt->refuse = value;
    } else if (name == "--out") {
      if (value.empty()) {
        *error = "--out needs a file name";
        return ParseResult::kError;
      }
      opt->out = value;
    } else if (name == "--ready-file") {
      if (value.empty()) {
        *error = "--ready-file needs a file name";
        return ParseResult::kError;
      }
      opt->ready_file = value;
    } else if (name == "--max-sessions") {
      if (!parse_number(value.c_str(), 1, 10000, &n)) {
        *error = "--max-sessions must be 1 to 10000";
        return ParseResult::kError;
      }
      opt->max_sessions = static_cast<int>(n);
    } else if (name == "--max-message") {
      // At least a header; at most 1 GiB.
      if (!parse_number(value.c_str(), 28, 1L << 30, &n)) {
        *error = "--max-message must be 28 to 1073741824";
        return ParseResult::kError;
      }
      opt->max_message = static_cast<uint32_t>(n);
    } else {
      *error = "unknown option " + name;
      return ParseResult::kError;
    }
  }
  return ParseResult::kRun;
}

}  // namespace tavmaster
