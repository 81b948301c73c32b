// qellog: creates, shows and sets the log-control segment, the 8-byte System V
// shared-memory segment whose two ints (log mode, log level) every probe on
// the host copies into its logging switches at each intercepted call.
//
//   qellog -k 0x<key> [-c] [-s] [-m <mode>] [-l <level>]
//
// Without -s the given mode and level are written; values that are not given
// are 0, so "qellog -k 0x..." alone switches logging off. The report shows
// the segment's content after the write.

#include <cstdio>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include "base/tav_ring.h"
#include "qellog_shm.h"

namespace {

// Content of the log-control segment, host byte order.
struct mlogshm {
  int logmode;
  int loglevel;
};
static_assert(sizeof(mlogshm) == 8);

key_t en_shmkey = 0;
int en_shmid = 0;
mlogshm* en_linfo = nullptr;
int en_create = 0;
int en_show = 0;
int en_logmode = 0;
int en_loglevel = 0;
// Set by -k: key 0 would be the private key, a fresh segment that no probe
// can see (and that nobody would remove), so a call without a key is refused.
bool en_keyset = false;

void usage(const char* prog) {
  printf("Usage: %s -c {create memory} -s {show} -k [shm key] -m [set log mode] -l [set log level]\n",
         prog);
}

// Reads the command line into the program state. Returns 0 when it is
// complete and usable, non-zero otherwise (after its message, if it has one).
int parse(int argc, char** argv) {
  int c;
  while ((c = getopt(argc, argv, "csk:m:l:")) != -1) {
    switch (c) {
      case 'c':
        en_create = 1;
        break;
      case 's':
        en_show = 1;
        break;
      case 'k': {
        unsigned int key = 0;
        if (sscanf(optarg, "0x%x", &key) != 1) return -1;
        en_shmkey = static_cast<key_t>(key);
        en_keyset = true;
        break;
      }
      case 'm':
        if (sscanf(optarg, "%d", &en_logmode) != 1) return -1;
        break;
      case 'l':
        if (sscanf(optarg, "%d", &en_loglevel) != 1) return -1;
        break;
      default:
        // Unknown letter or missing argument: getopt leaves the letter in optopt.
        printf("INFO : Unrecognized option: -%c\n", optopt);
        return -1;
    }
  }
  if (optind < argc) {
    for (int i = optind; i < argc; ++i) printf("INFO  : Unrecognized %s\n", argv[i]);
    return -1;
  }
  if (!en_keyset || en_shmkey == IPC_PRIVATE) return -1;
  return 0;
}

const char kRule[] = "-----------------------------------";  // 35 hyphens
static_assert(sizeof(kRule) == 36);

}  // namespace

int main(int argc, char** argv) {
  const char* prog = argc > 0 ? argv[0] : "qellog";
  if (argc < 2) {
    usage(prog);
    return 1;
  }
  if (parse(argc, argv) != 0) {
    usage(prog);
    return 1;
  }

  // The tool never clears the segment: a new one starts at zero from the kernel.
  const int flags = en_create ? (IPC_CREAT | 0666) : 0;
  en_linfo = static_cast<mlogshm*>(tav_shm_get(en_shmkey, &en_shmid, sizeof(mlogshm), flags));
  if (en_linfo == nullptr) {
    printf("INFO : Shared memory get error\n");
    usage(prog);
    return 1;
  }
  // The relay's record ring with the same key: writing the switches would
  // spoil its header.
  shmid_ds ds{};
  if (shmctl(en_shmid, IPC_STAT, &ds) == 0 && tav::ring::is_ring(en_linfo, ds.shm_segsz)) {
    printf("INFO : 0x%08x is a record ring of the relay, not a log-control segment\n",
           static_cast<unsigned int>(en_shmkey));
    shmdt(en_linfo);
    return 1;
  }

  if (!en_show) {
    en_linfo->logmode = en_logmode;
    en_linfo->loglevel = en_loglevel;
  }

  const int mode = en_linfo->logmode;
  const int level = en_linfo->loglevel;
  printf("%s\n", kRule);
  printf("KEY       : 0x%08x, %d             \n", static_cast<unsigned int>(en_shmkey), en_shmid);
  printf("LOG_MODE  : %d (%s)                \n", mode, mode ? "ON" : "OFF");
  printf("LOG_LEVEL : %d                     \n", level);
  printf("%s\n", kRule);

  // 0, or 255 when the detach fails.
  return shmdt(en_linfo);
}
