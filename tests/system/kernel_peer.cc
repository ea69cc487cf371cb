// A second process for the kernel's system tests. Roles:
//   echo NAME ZQNAME DOMAIN USER  attach as NAME; answer request tags and mailbox
//                                 messages until asked to stop
//   hold ZQNAME DOMAIN USER       attach, take the database lock, print "held", sleep
// The tag layout is the one kernel_system_test.cc creates (kPeer* below).
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "kernel/zqkernel.h"

namespace {

// Tags by convention with the test: digital 1 = ready, analog 1 = request,
// analog 2 = reply (request + 1), analog 3 = last signal taken, mailbox 1 =
// the peer's inbox, mailbox 2 = the test's inbox.
constexpr TagRef kReady = {TAG_DIGITAL, 1};
constexpr TagRef kRequest = {TAG_ANALOG, 1};
constexpr TagRef kReply = {TAG_ANALOG, 2};
constexpr TagRef kSignalSeen = {TAG_ANALOG, 3};
constexpr TagRef kPeerInbox = {TAG_MAILBOX, 1};
constexpr TagRef kTestInbox = {TAG_MAILBOX, 2};
constexpr int kWakeSignal = 16;
constexpr int kExitFailure = 2;
constexpr size_t kMessageBuffer = 4096;

int fail(const char* what, int id) {
  fprintf(stderr, "kernel_peer: %s failed: %s\n", what, zq_strerror(zq_errno(id)));
  return kExitFailure;
}

// Sends every queued message back to the test's inbox, its bytes reversed.
int echo_mailbox(int id) {
  uint8_t data[kMessageBuffer];
  int count = 0;
  if (zq_count_mbx(id, kPeerInbox, &count) != 0) return fail("zq_count_mbx", id);
  for (int i = 0; i < count; ++i) {
    MbxMessage m = {};
    m.data = data;
    m.capacity = sizeof data;
    if (zq_read_mbx(id, id, kPeerInbox, &m, 0) != 0) return fail("zq_read_mbx", id);
    std::reverse(data, data + m.length);
    if (zq_write_mbx(id, id, kTestInbox, &m) != 0) return fail("zq_write_mbx", id);
  }
  return 0;
}

int run_echo(const char* name, const char* zq_name, const char* domain, const char* user) {
  int id = zq_init(name, "kernel test peer", zq_name, domain, user);
  if (id < 0) return fail("zq_init", id);
  if (zq_signal_setup(id, kWakeSignal, ZQ_SIGNAL_ENABLE) != 0) return fail("zq_signal_setup", id);
  const int16_t one = 1;
  if (zq_f_write(id, &kReady, 1, &one) != 0) return fail("zq_f_write", id);
  const TagRef watched[] = {kRequest, kPeerInbox};
  uint32_t index = 0;
  for (;;) {
    char text[ZQ_CHANGE_TEXT_CAPACITY];
    ChangeRecord record;
    change_record_prepare(&record, text, sizeof text);
    if (zq_change_wait(id, watched, 2, &index, &record) != 0) {
      int error = zq_errno(id);
      if (error == ZQ_ESTOP) return zq_exit(id) == 0 ? 0 : fail("zq_exit", id);
      if (error != ZQ_EINTR) return fail("zq_change_wait", id);
      int16_t signal = static_cast<int16_t>(zq_get_signal(id));
      if (zq_write(id, &kSignalSeen, 1, &signal) != 0) return fail("zq_write", id);
      continue;
    }
    if (index == 1) {
      if (int rc = echo_mailbox(id)) return rc;
      continue;
    }
    int16_t reply = static_cast<int16_t>(change_record_int16(record) + 1);
    if (zq_write(id, &kReply, 1, &reply) != 0) return fail("zq_write", id);
  }
}

int run_hold(const char* zq_name, const char* domain, const char* user) {
  int id = zq_init("HOLDER", "holds the lock", zq_name, domain, user);
  if (id < 0) return fail("zq_init", id);
  if (zq_db_lock_hold(zq_db_current()) != 0) return fail("zq_db_lock_hold", id);
  printf("held\n");
  fflush(stdout);
  for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && strcmp(argv[1], "echo") == 0)
    return run_echo(argv[2], argv[3], argv[4], argv[5]);
  if (argc == 5 && strcmp(argv[1], "hold") == 0) return run_hold(argv[2], argv[3], argv[4]);
  fprintf(stderr, "usage: kernel_peer echo NAME ZQNAME DOMAIN USER | hold ZQNAME DOMAIN USER\n");
  return kExitFailure;
}
