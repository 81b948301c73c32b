#include "tavmaster_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tavmaster_json.h"
#include "tavmaster_records.h"

namespace tavmaster {

namespace {

namespace tm = tav::master;

constexpr size_t kReadChunk = 64 * 1024;
// Reads per session and wake-up, so that one busy peer cannot starve others.
constexpr int kReadsPerTurn = 16;
// Reply bytes a peer may leave unread before its session is closed.
constexpr size_t kMaxPending = 1 << 20;
// Longest wait without looking at the clock (polls are due, stop flag).
constexpr int kMaxWaitMs = 1000;

// A header-only message: the length field 28 and the header.
struct HeaderMessage {
  _tavMasterbuf frame;
  _tavMasterhdr hdr;
};
static_assert(sizeof(HeaderMessage) == tm::kLenField + tm::kHeader);

HeaderMessage header_message(const _tavMasterhdr& h) {
  HeaderMessage m;
  m.frame.pksz = static_cast<uint32_t>(tm::kHeader);
  m.hdr = h;
  return m;
}

// A fixed-width text of a message for a log line: up to the first NUL,
// without the space fill, escaped. Only the part inside the message is read.
std::string message_text(const uint8_t* msg, size_t size, size_t at, size_t len) {
  if (at >= size) return {};
  std::string_view t = field_text(reinterpret_cast<const char*>(msg) + at, std::min(len, size - at));
  while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
  std::string out;
  json_escape(out, t);
  return out;
}

std::string printable(const char* p, size_t n) {
  std::string out;
  json_escape(out, std::string_view(p, n));
  return out;
}

}  // namespace

void log_line(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  // One write per line, so lines of one process never interleave.
  fprintf(stderr, "tavmaster: %s\n", buf);
}

Server::Server(const Options& opt) : opt_(opt), rbuf_(kReadChunk) {}

Server::~Server() {
  for (auto& s : sessions_)
    if (!s->closed) close(s->fd);
  if (listen_fd_ >= 0) close(listen_fd_);
}

bool Server::start() {
  if (!out_.open(opt_.out)) {
    log_line("cannot open %s: %s", opt_.out.c_str(), strerror(errno));
    return false;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(opt_.port));
  if (inet_pton(AF_INET, opt_.bind.c_str(), &addr.sin_addr) != 1) {
    log_line("not an IPv4 address: %s", opt_.bind.c_str());
    return false;
  }
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) {
    log_line("socket: %s", strerror(errno));
    return false;
  }
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 128) != 0) {
    log_line("cannot listen on %s:%d: %s", opt_.bind.c_str(), opt_.port, strerror(errno));
    return false;
  }
  socklen_t len = sizeof addr;
  if (getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    log_line("getsockname: %s", strerror(errno));
    return false;
  }
  port_ = ntohs(addr.sin_port);
  return true;
}

int Server::next_timeout_ms(Clock::time_point now) const {
  int ms = kMaxWaitMs;
  if (opt_.poll_ms <= 0) return ms;
  for (const auto& s : sessions_) {
    if (s->closed || s->opening == Opening::kRefused) continue;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(s->next_poll - now).count();
    ms = static_cast<int>(std::clamp<long long>(left, 0, ms));
  }
  return ms;
}

int Server::run(const volatile sig_atomic_t& stop, const sigset_t& wait_mask) {
  stop_ = &stop;
  std::vector<pollfd> fds;
  while (!stop && !output_failed_) {
    fds.clear();
    fds.push_back({listen_fd_, static_cast<short>(accept_paused_ ? 0 : POLLIN), 0});
    for (const auto& s : sessions_)
      fds.push_back({s->fd, static_cast<short>(POLLIN | (s->pending.empty() ? 0 : POLLOUT)), 0});
    int ms = next_timeout_ms(Clock::now());
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    // The stop signals are open only inside this wait, so a signal that
    // comes just before it still ends the wait at once.
    int r = ppoll(fds.data(), fds.size(), &ts, &wait_mask);
    if (r < 0) {
      if (errno == EINTR) continue;
      log_line("poll: %s", strerror(errno));
      return 1;
    }
    // Sessions accepted below are not in fds; they are served next turn.
    size_t known = sessions_.size();
    for (size_t i = 0; i < known && !output_failed_; ++i) {
      Session& s = *sessions_[i];
      short ev = fds[i + 1].revents;
      if (ev & POLLOUT) flush(s);
      if (!s.closed && (ev & (POLLIN | POLLHUP | POLLERR))) read_session(s);
    }
    if (fds[0].revents & POLLIN) accept_new();
    if (accept_paused_ && r == 0) accept_paused_ = false;  // try again after a quiet wait
    send_polls(Clock::now());
    std::erase_if(sessions_, [](const auto& s) { return s->closed; });
  }
  for (auto& s : sessions_) close_session(*s, "master stops");
  sessions_.clear();
  return output_failed_ && !stop ? 1 : 0;
}

void Server::accept_new() {
  for (int i = 0; i < 64; ++i) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        log_line("accept: %s; new sessions wait", strerror(errno));
        accept_paused_ = true;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        log_line("accept: %s", strerror(errno));
      }
      return;
    }
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    std::string peer = std::string(ip) + ":" + std::to_string(ntohs(addr.sin_port));
    if (sessions_.size() >= static_cast<size_t>(opt_.max_sessions)) {
      log_line("%s: session limit (%d) reached; connection closed", peer.c_str(), opt_.max_sessions);
      close(fd);
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto s = std::make_unique<Session>(next_id_++, fd, std::move(peer), opt_.max_message);
    s->next_poll = Clock::now() + std::chrono::milliseconds(opt_.poll_ms);
    ++stats_.sessions;
    log_line("session %llu %s: connected", static_cast<unsigned long long>(s->id), s->peer.c_str());
    sessions_.push_back(std::move(s));
  }
}

void Server::read_session(Session& s) {
  auto on_msg = [this, &s](const uint8_t* msg, size_t size) { return on_message(s, msg, size); };
  for (int turn = 0; turn < kReadsPerTurn; ++turn) {
    ssize_t n = recv(s.fd, rbuf_.data(), rbuf_.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      close_session(s, strerror(errno));
      return;
    }
    if (n == 0) {
      close_session(s, s.reader.mid_message() ? "peer closed in the middle of a message"
                                              : "peer closed");
      return;
    }
    char why[128];
    switch (s.reader.feed(rbuf_.data(), static_cast<size_t>(n), on_msg)) {
      case FrameReader::Status::kOk:
        break;
      case FrameReader::Status::kStopped:
        return;
      case FrameReader::Status::kTooLarge:
        snprintf(why, sizeof why, "length field %u above the bound %u", s.reader.announced(),
                 opt_.max_message);
        close_session(s, why);
        return;
      case FrameReader::Status::kTooShort:
        snprintf(why, sizeof why, "length field %u shorter than a header", s.reader.announced());
        close_session(s, why);
        return;
    }
    if (static_cast<size_t>(n) < rbuf_.size()) return;  // drained for now
  }
}

bool Server::on_message(Session& s, const uint8_t* msg, size_t size) {
  _tavMasterhdr h;
  memcpy(&h, msg + tm::kLenField, sizeof h);
  char mtype = h.mtype[0];
  if (tm::is_code(h, tm::kOpen)) {
    if (mtype == '0')
      on_opening(s, msg, size);
    else
      log_line("session %llu %s: opening reply from a peer ignored",
               static_cast<unsigned long long>(s.id), s.peer.c_str());
  } else if (tm::is_code(h, tm::kPoll)) {
    if (mtype == '0') {
      // The peer polls the master: the same header back as a reply.
      h.mtype[0] = '1';
      memcpy(h.ercode, tm::kOk, sizeof h.ercode);
      HeaderMessage m = header_message(h);
      send(s, &m, sizeof m);
    } else {
      on_poll_answer(s, h);
    }
  } else if (const BatchKind* kind = batch_kind(h)) {
    return on_batch(s, *kind, msg, size);
  } else {
    // Anything else (the adapter's packets) is shown as it came.
    lines_.clear();
    append_message_json(lines_, Origin{s.id, s.peer}, msg, size);
    if (!out_.write(lines_, *stop_)) {
      if (!*stop_) log_line("output failed: %s", strerror(errno));
      output_failed_ = true;
      return false;
    }
    ++stats_.messages;
    if (opt_.verbose)
      log_line("session %llu %s: message \"%s\" mtype \"%s\" of %zu bytes",
               static_cast<unsigned long long>(s.id), s.peer.c_str(),
               printable(h.trcode, sizeof h.trcode).c_str(), printable(h.mtype, 1).c_str(), size);
  }
  return !s.closed && !output_failed_;
}

void Server::on_opening(Session& s, const uint8_t* msg, size_t size) {
  bool refuse = !opt_.refuse.empty();
  _tavMasterhdr h;
  tm::fill_header(h, '1', tm::kOpen);
  if (refuse) memcpy(h.ercode, opt_.refuse.data(), sizeof h.ercode);
  s.opening = refuse ? Opening::kRefused : Opening::kAccepted;
  log_line("session %llu %s: opening of agent \"%s\" alias \"%s\" host \"%s\" ip \"%s\" "
           "domain \"%s\" started \"%s\": %s %.5s",
           static_cast<unsigned long long>(s.id), s.peer.c_str(),
           message_text(msg, size, tm::kOpenAgentAt, tm::kOpenAgentLen).c_str(),
           message_text(msg, size, tm::kOpenAliasAt, tm::kOpenAliasLen).c_str(),
           message_text(msg, size, tm::kOpenHostAt, tm::kOpenHostLen).c_str(),
           message_text(msg, size, tm::kOpenIpAt, tm::kOpenIpLen).c_str(),
           message_text(msg, size, tm::kOpenDomainAt, tm::kOpenDomainLen).c_str(),
           message_text(msg, size, tm::kOpenStartAt, tm::kOpenStartLen).c_str(),
           refuse ? "refused with" : "accepted with", h.ercode);
  HeaderMessage m = header_message(h);
  send(s, &m, sizeof m);
}

void Server::on_poll_answer(Session& s, const _tavMasterhdr& h) {
  auto id = static_cast<unsigned long long>(s.id);
  if (!s.poll_out) {
    log_line("session %llu %s: poll answer without a poll", id, s.peer.c_str());
    return;
  }
  s.poll_out = false;
  // The answer is the poll's header with mtype "1" and ercode "00000".
  _tavMasterhdr want = s.poll_hdr;
  want.mtype[0] = '1';
  memcpy(want.ercode, tm::kOk, sizeof want.ercode);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - s.poll_at).count();
  if (memcmp(&want, &h, sizeof h) == 0) {
    ++stats_.polls_answered;
    if (opt_.verbose) log_line("session %llu %s: poll answered in %lld ms", id, s.peer.c_str(),
                               static_cast<long long>(ms));
    return;
  }
  ++stats_.polls_mismatched;
  std::string diff;
  auto differs = [&](const char* name, const char* got, const char* wanted, size_t n) {
    if (memcmp(got, wanted, n) == 0) return;
    diff += std::string(" ") + name + " \"" + printable(got, n) + "\" (want \"" +
            printable(wanted, n) + "\")";
  };
  differs("id", h.id, want.id, sizeof h.id);
  differs("mtype", h.mtype, want.mtype, sizeof h.mtype);
  differs("rtype", h.rtype, want.rtype, sizeof h.rtype);
  differs("trnum", h.trnum, want.trnum, sizeof h.trnum);
  differs("ercode", h.ercode, want.ercode, sizeof h.ercode);
  differs("etc", h.etc, want.etc, sizeof h.etc);
  log_line("session %llu %s: poll answer mismatch:%s", id, s.peer.c_str(), diff.c_str());
}

bool Server::on_batch(Session& s, const BatchKind& kind, const uint8_t* msg, size_t size) {
  auto id = static_cast<unsigned long long>(s.id);
  if (s.opening == Opening::kRefused) {
    ++stats_.dropped_batches;
    log_line("session %llu %s: batch %s on a refused session dropped", id, s.peer.c_str(), kind.code);
    return true;
  }
  uint32_t count = 0;
  switch (check_batch(msg, size, kind, &count)) {
    case BatchError::kNone:
      break;
    case BatchError::kShort:
      ++stats_.dropped_batches;
      log_line("session %llu %s: batch %s of %zu bytes has no record count; dropped", id,
               s.peer.c_str(), kind.code, size);
      return true;
    case BatchError::kSizeMismatch:
      ++stats_.dropped_batches;
      log_line("session %llu %s: batch %s of %zu bytes announces %u records of %zu bytes; dropped",
               id, s.peer.c_str(), kind.code, size, count, kind.record_size);
      return true;
  }
  lines_.clear();
  lines_.reserve(static_cast<size_t>(count) * 640);
  append_batch_json(lines_, Origin{s.id, s.peer}, kind, msg, count);
  if (!lines_.empty() && !out_.write(lines_, *stop_)) {
    if (!*stop_) log_line("output failed: %s", strerror(errno));
    output_failed_ = true;
    return false;
  }
  ++stats_.batches;
  stats_.records += count;
  if (opt_.verbose)
    log_line("session %llu %s: batch %s of %u records", id, s.peer.c_str(), kind.code, count);
  return true;
}

void Server::send_polls(Clock::time_point now) {
  if (opt_.poll_ms <= 0) return;
  for (auto& sp : sessions_) {
    Session& s = *sp;
    if (s.closed || s.opening == Opening::kRefused || now < s.next_poll) continue;
    if (s.poll_out) {
      ++stats_.polls_unanswered;
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - s.poll_at).count();
      log_line("session %llu %s: poll sent %lld ms ago not answered",
               static_cast<unsigned long long>(s.id), s.peer.c_str(), static_cast<long long>(ms));
    }
    tm::fill_header(s.poll_hdr, '0', tm::kPoll);
    s.poll_out = true;
    s.poll_at = now;
    s.next_poll = now + std::chrono::milliseconds(opt_.poll_ms);
    ++stats_.polls_sent;
    HeaderMessage m = header_message(s.poll_hdr);
    send(s, &m, sizeof m);
  }
}

void Server::send(Session& s, const void* data, size_t size) {
  if (s.closed) return;
  s.pending.append(static_cast<const char*>(data), size);
  flush(s);
  if (!s.closed && s.pending.size() > kMaxPending) close_session(s, "peer does not read its replies");
}

void Server::flush(Session& s) {
  while (!s.closed && !s.pending.empty()) {
    ssize_t n = ::send(s.fd, s.pending.data(), s.pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      s.pending.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return;  // the rest goes when the socket can take it
    } else {
      close_session(s, n < 0 ? strerror(errno) : "send failed");
    }
  }
}

void Server::close_session(Session& s, const char* why) {
  if (s.closed) return;
  close(s.fd);
  s.fd = -1;
  s.closed = true;
  accept_paused_ = false;
  log_line("session %llu %s: closed: %s", static_cast<unsigned long long>(s.id), s.peer.c_str(), why);
}

}  // namespace tavmaster
