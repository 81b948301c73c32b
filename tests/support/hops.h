// Type-1 records as the integration tests compare them: grouped by
// transaction, each record a line "00003 appsvr SC" (sequence, process name,
// event), whether read from the queue or from the master's output.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "master_run.h"
#include "queue_drain.h"

namespace qel::test {

using Names = std::map<long, std::string>;  // pid -> process name

struct Hop {
  long pid = 0;
  std::string gtuid, seq, kind;
};

// The event of a record from its start and send letters.
inline std::string kind_of(char start, char send) {
  static const std::map<std::pair<char, char>, std::string> kinds = {
      {{'S', 'R'}, "RS"}, {{'C', 'S'}, "SC"}, {{'C', 'R'}, "RC"}, {{'E', 'S'}, "SE"}};
  const auto it = kinds.find({start, send});
  return it != kinds.end() ? it->second : std::string("?") + start + send;
}

inline Hop hop_of(const Record& r) {
  const auto text = [](const char* f, size_t cap) { return std::string(f, strnlen(f, cap)); };
  return {r.type, text(r.z.gtuid, sizeof r.z.gtuid), text(r.z.seq, sizeof r.z.seq),
          kind_of(r.z.start[0], r.z.send[0])};
}

// The master writes the pid as its last eight digits.
inline Hop hop_of(const MasterRecord& r) {
  const char start = r.event.empty() ? '\0' : r.event[0], send = r.direction.empty() ? '\0' : r.direction[0];
  return {std::atol(r.pid.c_str()), r.gtuid, r.seq, kind_of(start, send)};
}

template <typename From>
std::vector<Hop> hops_of(const std::vector<From>& records) {
  std::vector<Hop> out;
  for (const From& r : records) out.push_back(hop_of(r));
  return out;
}

// The records of each identifier as lines in sequence order; identifiers in
// the order they first appear.
inline std::vector<std::pair<std::string, std::vector<std::string>>> per_gtuid(const std::vector<Hop>& hops,
                                                                               const Names& names) {
  std::vector<std::pair<std::string, std::vector<Hop>>> groups;
  for (const Hop& h : hops) {
    auto g = std::find_if(groups.begin(), groups.end(), [&](const auto& e) { return e.first == h.gtuid; });
    if (g == groups.end()) g = groups.insert(groups.end(), {h.gtuid, {}});
    g->second.push_back(h);
  }
  std::vector<std::pair<std::string, std::vector<std::string>>> out;
  for (auto& [id, list] : groups) {
    std::stable_sort(list.begin(), list.end(), [](const Hop& a, const Hop& b) { return a.seq < b.seq; });
    std::vector<std::string> lines;
    for (const Hop& h : list) {
      const auto n = names.find(h.pid);
      lines.push_back(h.seq + " " + (n != names.end() ? n->second : "pid " + std::to_string(h.pid)) + " " + h.kind);
    }
    out.emplace_back(id, lines);
  }
  return out;
}

// The lines one transaction must leave: `hops` ("appsvr SC"), numbered
// from 00000.
inline std::vector<std::string> numbered(const std::vector<std::string>& hops) {
  std::vector<std::string> out;
  for (size_t i = 0; i < hops.size(); ++i) {
    char seq[24];
    snprintf(seq, sizeof seq, "%05zu", i);
    out.push_back(seq + (" " + hops[i]));
  }
  return out;
}

// The names of processes as the master knows them: by the last eight
// digits of their pid.
inline Names master_names(const Names& names) {
  Names out;
  for (const auto& [pid, name] : names) out[pid % 100000000] = name;
  return out;
}

// The settings of a test of a server build's processes: FULL mode with
// trace logging, one gtuid queue, and the check of peers on, with its
// datagrams to `check_port`.
inline void server_test_settings(ProbeSandbox& box, int check_port) {
  box.add_setting("qel.log", "ON");
  box.add_setting("qel.log.level", "2");
  box.add_setting("qel.mode", "FULL");
  box.add_setting("qel.gtuid.queue.count", "1");
  box.add_setting("qel.check.mode", "ON");
  box.add_setting("qel.check.udp.port", std::to_string(check_port));
}

// `transactions` transactions, each with a 22-digit identifier of its own
// and exactly `lines` (numbered ones); `context` tells more on a failure.
inline void expect_transactions(const std::vector<Hop>& hops, size_t transactions,
                                const std::vector<std::string>& lines, const Names& names,
                                const std::function<std::string()>& context) {
  const auto groups = per_gtuid(hops, names);
  EXPECT_EQ(groups.size(), transactions) << hops.size() << " records\n" << context();
  for (size_t t = 0; t < groups.size(); ++t) {
    const auto& [id, got] = groups[t];
    SCOPED_TRACE("transaction " + std::to_string(t) + " " + id);
    EXPECT_EQ(id.size(), 22u);
    EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(got, lines) << context();
  }
}

}  // namespace qel::test
