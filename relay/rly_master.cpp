#include "rly_master.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "rly_master_msg.h"
#include "rly_net.h"
#include "rly_state.h"
#include "rly_stop.h"

using namespace tav::master;

namespace {

constexpr int kConnectTimeoutUs = 100000;
constexpr int kOpenDelayMs = 500;
constexpr int kPassWaitMs = 5000;

void store(int* p, int v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }

// Writes a control message on a connected (not necessarily accepted)
// session under its lock. True when all of it went out.
bool control_write(int i, const void* buf, size_t n, const char* what) {
  pthread_mutex_lock(&en_lock[i]);
  int fd = en_master_fd[i];
  size_t w = fd > 0 ? tav::send_all(fd, buf, n, rly_io_wait_ms()) : 0;
  pthread_mutex_unlock(&en_lock[i]);
  RLY_LOG_H(buf, static_cast<int>(n), "master %s send. rc(%d) (%02d)\n", what, static_cast<int>(w), i);
  if (w != n) RLY_LOG_E("master %s send error. (%zu/%zu) (%d:%s) (%02d)\n", what, w, n, errno,
                        strerror(errno), i);
  return w == n;
}

}  // namespace

int rly_io_wait_ms() { return (en_master_ptime > 0 ? en_master_ptime : 10) * 1000; }

int rly_sessions_alloc() {
  const int n = en_master_max_cnt;
  en_lock = static_cast<pthread_mutex_t*>(calloc(n, sizeof *en_lock));
  if (!en_lock) {
    RLY_LOG_E("master session alloc error(%d:%s) !\n", errno, strerror(errno));
    return -194;
  }
  for (int i = 0; i < n; ++i) pthread_mutex_init(&en_lock[i], nullptr);
  en_master_fd = static_cast<int*>(calloc(n, sizeof(int)));
  if (!en_master_fd) {
    RLY_LOG_E("master fd alloc error(%d:%s) !\n", errno, strerror(errno));
    return -213;
  }
  en_master_sock = static_cast<int*>(calloc(n, sizeof(int)));
  if (!en_master_sock) {
    RLY_LOG_E("master sock alloc error(%d:%s) !\n", errno, strerror(errno));
    return -223;
  }
  en_data_sz = 1024;
  en_data = static_cast<char*>(malloc(en_data_sz));
  if (!en_data) {
    RLY_LOG_E("malloc error (%d:%s) !\n", errno, strerror(errno));
    return -236;
  }
  return 0;
}

void rly_sessions_free() {
  if (en_lock) {
    for (int i = 0; i < en_master_max_cnt; ++i) pthread_mutex_destroy(&en_lock[i]);
  }
  free(en_lock);
  free(en_master_fd);
  free(en_master_sock);
  free(en_data);
  en_lock = nullptr;
  en_master_fd = en_master_sock = nullptr;
  en_data = nullptr;
  en_data_sz = 1024;
}

extern "C" int tav_master_connect(int i) {
  const char* ip;
  int port;
  if (en_master_conn == 1) {
    ip = en_master_ip2;
    port = en_master_port2;
    en_master_conn = 0;
  } else {
    ip = en_master_ip;
    port = en_master_port;
    en_master_conn = 1;
  }
  int fd = tav_sck_connect(ip, port, kConnectTimeoutUs);
  pthread_mutex_lock(&en_lock[i]);
  en_master_fd[i] = fd;
  pthread_mutex_unlock(&en_lock[i]);
  int rc = -1;
  if (fd > 0) {
    // The master gets a moment to set the session up before the opening.
    if (rly_wait_stop(kOpenDelayMs)) {
      rc = -1;
    } else {
      rc = tav_master_connsend(i);
    }
    if (rc != 0) {
      pthread_mutex_lock(&en_lock[i]);
      close(fd);
      en_master_fd[i] = 0;
      pthread_mutex_unlock(&en_lock[i]);
    }
  }
  RLY_LOG_D("master %s:%d connect. (%02d) rc(%d)\n", ip, port, i, fd > 0 ? rc : -1);
  return en_master_fd[i];
}

extern "C" int tav_master_connsend(int i) {
  unsigned char msg[kOpenSize];
  rly_build_open(msg, i);
  return control_write(i, msg, sizeof msg, "connect") ? 0 : -1;
}

extern "C" int tav_master_pollsend(int i, char mtype) {
  unsigned char msg[RLY_POLL_SIZE];
  const _tavMasterhdr* received =
      mtype == '0' ? nullptr : reinterpret_cast<const _tavMasterhdr*>(en_data + kLenField);
  rly_build_poll(msg, received, mtype);
  return control_write(i, msg, sizeof msg, "poll") ? 0 : -1;
}

extern "C" int tav_master_recv(int i) {
  const int fd = en_master_fd[i];
  const int wait = rly_io_wait_ms();
  _tavMasterbuf lenfield;
  if (tav::recv_all(fd, &lenfield, kLenField, wait) != kLenField) return -1;
  const uint32_t len = lenfield.pksz;
  if (!rly_master_length_ok(len)) {
    RLY_LOG_E("master recv length(%u) out of bounds %zu..%u. (%02d)\n", len, kHeader,
              RLY_MASTER_MSG_MAX, i);
    return -1;
  }
  const size_t total = len + kLenField;
  if (total > static_cast<size_t>(en_data_sz)) {
    char* p = static_cast<char*>(realloc(en_data, total));
    if (!p) {
      RLY_LOG_E("malloc error (%d:%s) !\n", errno, strerror(errno));
      return -1;
    }
    en_data = p;
    en_data_sz = static_cast<int>(total);
  }
  memcpy(en_data, &lenfield, kLenField);
  if (tav::recv_all(fd, en_data + kLenField, len, wait) != len) {
    RLY_LOG_E("master recv short. len(%u) (%d:%s) (%02d)\n", len, errno, strerror(errno), i);
    return -1;
  }
  RLY_LOG_H(en_data, static_cast<int>(total), "master recv. len(%d)\n", static_cast<int>(total));
  return static_cast<int>(total);
}

extern "C" int tav_master_close(int i) {
  const int first = i < 0 ? 0 : i;
  const int last = i < 0 ? en_master_max_cnt - 1 : i;
  const int after = i < 0 ? 0 : -1;
  for (int k = first; k <= last; ++k) {
    pthread_mutex_lock(&en_lock[k]);
    if (en_master_fd[k] > 0) close(en_master_fd[k]);
    en_master_fd[k] = after;
    store(&en_master_sock[k], after);
    pthread_mutex_unlock(&en_lock[k]);
    RLY_LOG_T("master close. (%02d)\n", k);
  }
  return 0;
}

int rly_master_service(int i) {
  if (tav_master_recv(i) < 0) {
    RLY_LOG_T("master close.\n");
    tav_master_close(i);
    return -1;
  }
  const auto& h = *reinterpret_cast<const _tavMasterhdr*>(en_data + kLenField);
  switch (rly_master_classify(h)) {
    case RLY_MASTER_POLL:
      if (tav_master_pollsend(i, '1') != 0) {
        RLY_LOG_T("master close.\n");
        tav_master_close(i);
        return -1;
      }
      break;
    case RLY_MASTER_OPEN_OK:
      pthread_mutex_lock(&en_lock[i]);
      store(&en_master_sock[i], en_master_fd[i]);
      pthread_mutex_unlock(&en_lock[i]);
      RLY_LOG_T("master %s:%d rep connect. (%02d)\n", en_master_ip, en_master_port, i);
      break;
    case RLY_MASTER_OPEN_REFUSED:
      RLY_LOG_T("master refused. ercode(%.5s) (%02d)\n", h.ercode, i);
      RLY_LOG_T("master close.\n");
      tav_master_close(i);
      return -1;
    case RLY_MASTER_OTHER:
      break;
  }
  return 0;
}

long rly_session_write(int i, const void* buf, size_t n) {
  pthread_mutex_lock(&en_lock[i]);
  const int fd = en_master_sock[i];
  if (fd <= 0) {
    pthread_mutex_unlock(&en_lock[i]);
    return -1;
  }
  // A master that has closed its end reads nothing more: a batch written
  // there would be taken by the kernel and lost. The session is done.
  pollfd p{fd, POLLRDHUP, 0};
  if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
    shutdown(fd, SHUT_RDWR);
    store(&en_master_sock[i], -1);
    pthread_mutex_unlock(&en_lock[i]);
    return -1;
  }
  size_t w = tav::send_all(fd, buf, n, rly_io_wait_ms());
  if (w != n) {
    // Never leave half a frame for the next writer: the session is done.
    int e = errno;
    shutdown(fd, SHUT_RDWR);
    store(&en_master_sock[i], -1);
    errno = e;
  }
  pthread_mutex_unlock(&en_lock[i]);
  return static_cast<long>(w);
}

void rly_master_loop() {
  pollfd fds[RLY_SESSIONS_MAX + 1];
  int owner[RLY_SESSIONS_MAX + 1];
  while (!rly_stop_requested()) {
    int count = 0;
    for (int i = 0; i < en_master_max_cnt && !rly_stop_requested(); ++i) {
      if (en_master_fd[i] <= 0) tav_master_connect(i);
      if (en_master_fd[i] > 0) {
        fds[count] = pollfd{en_master_fd[i], POLLIN, 0};
        owner[count++] = i;
      }
    }
    if (rly_stop_requested()) break;
    if (count == 0) {
      RLY_LOG_T("master wait.\n");
      rly_wait_stop(kPassWaitMs);
      continue;
    }
    fds[count] = pollfd{rly_wake_fd(), POLLIN, 0};
    int rc = poll(fds, static_cast<nfds_t>(count + (fds[count].fd >= 0 ? 1 : 0)), kPassWaitMs);
    if (rc < 0) {
      if (errno == EINTR) continue;  // a signal is no reason to drop the sessions
      RLY_LOG_T("master close.\n");
      tav_master_close(-1);
      continue;
    }
    if (rc == 0) continue;
    for (int k = 0; k < count; ++k) {
      if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      if (rly_master_service(owner[k]) < 0) break;
    }
  }
}
