// Error numbers of libzqkernel, as zq_errno() gives them.
//
// 11, 27 and 34 are fixed by the task's contract; the others are ours. A
// caller reports a failed kernel call with the number plus 400.
#ifndef ZQ_KERNEL_ZQERRNO_H_
#define ZQ_KERNEL_ZQERRNO_H_

enum ZqErrno {
  ZQ_OK = 0,
  ZQ_EINVAL = 1,        // bad argument: null pointer, bad count, bad mode
  ZQ_ENOTATTACHED = 2,  // task id not attached to a database
  ZQ_EBADTAG = 3,       // tag reference unset, of an unknown type, or index out of range
  ZQ_EWRONGTYPE = 4,    // tag of the wrong type for the operation (value op on a mailbox, ...)
  ZQ_EMBXFULL = 5,      // mailbox holds its maximum number of messages
  ZQ_ENOSPACE = 6,      // the database's message data pool is exhausted
  ZQ_ETOOBIG = 7,       // message longer than the caller's buffer or the per-message limit
  ZQ_ENOMSG = 8,        // no message at the given mailbox index
  ZQ_ENODB = 9,         // no database under that name, or it cannot be mapped
  ZQ_EEXIST = 10,       // a database of that name exists already
  ZQ_ENOCHANGE = 11,    // no further changed tag (fixed)
  ZQ_ETASKFULL = 12,    // no free task slot
  ZQ_ETASKBUSY = 13,    // task name attached by a live process
  ZQ_ENOTASK = 14,      // no task of that name
  ZQ_ENOSIGNAL = 15,    // signal number out of range or not enabled at the target
  ZQ_ECORRUPT = 16,     // database header does not match this kernel
  ZQ_ESYS = 17,         // an operating-system call failed
  ZQ_ELIMIT = 18,       // a creation limit exceeded (tags, capacity, sizes)
  ZQ_ESTOP = 27,        // the task was asked to stop (fixed)
  ZQ_EINTR = 34,        // wait interrupted by a signal (fixed)
};

#ifdef __cplusplus
extern "C" {
#endif

// Short English meaning of an error number, for tools and traces.
const char* zq_strerror(int error);

#ifdef __cplusplus
}
#endif

#endif  // ZQ_KERNEL_ZQERRNO_H_
