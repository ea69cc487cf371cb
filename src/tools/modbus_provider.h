// zq modbus: a provider task that serves QUANTREL's data sources from Modbus TCP devices.
//
// Requests arrive in the provider's own mailbox; every answer goes to
// QUANTREL's mailbox:
//
//   query (0)   -> query reply (1): the source's geometry (unit size 2 for
//                  registers, 0 for bits; byte_swap, low_bit_first,
//                  one_based_bits as configured), no device access
//   read (2), or on QUANTREL's station a forced write of the data-source tag
//               -> Modbus reads of the asked range (split at the device's
//                  per-request maximum) -> read data (3)
//   write (4)   -> the Modbus write it asks for (functions 5, 6, 15, 16, 22)
//               -> write acknowledgement (5)
//
// Each device has a thread of its own that owns its connection and serves its
// requests in arrival order, so a device that does not answer delays only
// its own data sources. A failed request gets the error reply of its kind
// (9, 11, 13) with an MB_ERR_* code (modbus_block.h). A connection that
// breaks is made again at once, and the request repeated, once; after that,
// connection attempts follow a doubling back-off (retry_min_ms up to
// retry_max_ms) and each request waits for the next attempt, so a continuous
// read of an absent device runs at the back-off's pace instead of spinning.
// Connection state changes (not requests) are reported once each: a line on
// the trace sink, the state tags of the device's sources, the task's status
// and message tags.
//
// A data source that QUANTREL reads back to back (its next request comes
// within the device's read_ahead_ms of the answer, as a continuous read
// does) is read ahead: the worker starts the next Modbus read as soon as an
// answer has gone out, and the next request of the same range takes that
// read's result when it comes within read_ahead_ms of the read's start and
// no write has gone to the device since; otherwise it is read afresh. The
// device's read thus overlaps QUANTREL's handling of the previous answer.
#ifndef ZQ_TOOLS_MODBUS_PROVIDER_H_
#define ZQ_TOOLS_MODBUS_PROVIDER_H_

#include <stdint.h>

#include <functional>
#include <string>

#include "tools/modbus_config.h"
#include "tools/sim_provider.h"

// Task status values written into the status tag the run-time manager gave.
constexpr int16_t MB_TASK_STOPPED = 0;
constexpr int16_t MB_TASK_RUNNING = 1;
constexpr int16_t MB_TASK_DEVICE_DOWN = 2;  // running; some device is not connected

// Kernel signal that wakes the main loop for a stop.
constexpr int MB_STOP_SIGNAL = 1;

// Exit statuses of mb_provider_run.
constexpr int MB_RUN_STOPPED = 0;
constexpr int MB_RUN_FAILED = 1;

struct MbCounters {
  uint64_t received = 0;         // messages taken from the own mailbox
  uint64_t forced = 0;           // forced writes of data-source tags served
  uint64_t answered = 0;         // answers sent (errors included)
  uint64_t errors = 0;           // error replies among them
  uint64_t dropped = 0;          // messages not answered (not requests)
  uint64_t send_failures = 0;    // answers the kernel refused
  uint64_t modbus_requests = 0;  // requests sent to devices
  uint64_t read_ahead_used = 0;  // read requests answered from a read ahead
};

struct MbProvider;

// One line of output (no newline). Connection state changes always go here;
// one line per request and answer only when `trace_requests` is set.
using MbTraceSink = std::function<void(const std::string& line)>;

// Resolves the configuration's names with `resolve`, checks their tag types
// and prepares one worker per device (not started yet). The caller has
// attached as task `id` to the database the names stand for. nullptr with
// *error on a name that does not resolve or a tag of the wrong type.
MbProvider* mb_provider_create(const MbConfig& config, int id, const SimResolver& resolve,
                               MbTraceSink sink, bool trace_requests, std::string* error);
// Serves requests until a stop is requested (through the kernel, or by
// mb_provider_interrupt), then stops the workers and writes the stopped
// states. MB_RUN_STOPPED, or MB_RUN_FAILED with *error when the kernel fails.
int mb_provider_run(MbProvider* provider, std::string* error);
// Asks a running provider to stop; callable from any thread (not from a
// POSIX signal handler).
void mb_provider_interrupt(MbProvider* provider);
MbCounters mb_provider_counters(const MbProvider* provider);
void mb_provider_destroy(MbProvider* provider);

#endif  // ZQ_TOOLS_MODBUS_PROVIDER_H_
