// Texts of the kernel's error numbers.
#include "kernel/zqerrno.h"

const char* zq_strerror(int error) {
  switch (error) {
    case ZQ_OK:
      return "no error";
    case ZQ_EINVAL:
      return "bad argument";
    case ZQ_ENOTATTACHED:
      return "task not attached to a database";
    case ZQ_EBADTAG:
      return "tag reference unset or out of range";
    case ZQ_EWRONGTYPE:
      return "tag of the wrong type for the operation";
    case ZQ_EMBXFULL:
      return "mailbox full";
    case ZQ_ENOSPACE:
      return "message data pool exhausted";
    case ZQ_ETOOBIG:
      return "message too long";
    case ZQ_ENOMSG:
      return "no message at that mailbox index";
    case ZQ_ENODB:
      return "no such database";
    case ZQ_EEXIST:
      return "database exists already";
    case ZQ_ENOCHANGE:
      return "no further changed tag";
    case ZQ_ETASKFULL:
      return "no free task slot";
    case ZQ_ETASKBUSY:
      return "task name attached by a live process";
    case ZQ_ENOTASK:
      return "no task of that name";
    case ZQ_ENOSIGNAL:
      return "signal out of range or not enabled";
    case ZQ_ECORRUPT:
      return "database does not match this kernel";
    case ZQ_ESYS:
      return "operating-system call failed";
    case ZQ_ELIMIT:
      return "creation limit exceeded";
    case ZQ_ESTOP:
      return "stop requested";
    case ZQ_EINTR:
      return "interrupted by a signal";
    default:
      return "unknown error";
  }
}
