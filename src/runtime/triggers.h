// Trigger registry and change dispatch.
//
// The task registers handlers on tags; zq_wait_event blocks in the kernel
// until a registered tag changes and runs the handlers of that tag and of
// every other changed tag once per pass, in round-robin order starting at the
// tag the kernel reported. A registration on another thread wakes the waiting
// thread with signal 16 so that the tag list can change while it waits.
//
// Two re-entrant locks, always taken in this order: the registration lock
// (held for a whole registration) and the registry lock (held for a whole
// pass and for the data update of a registration). Handlers run under the
// registry lock and may register triggers and call dispatch_tag_now.
#ifndef ZQ_RUNTIME_TRIGGERS_H_
#define ZQ_RUNTIME_TRIGGERS_H_

#include <stdint.h>

#include "kernel/zqkernel.h"
#include "runtime/task_context.h"

// Called with the user data given at registration and the changed tag's
// value record. 0 = go on; any other value ends the pass and becomes the
// result of zq_wait_event.
using TriggerHandler = int (*)(void* user_data, ChangeRecord record);

constexpr int TRIGGER_WAKEUP_SIGNAL = 16;          // registration wake-up
constexpr int TRIGGER_STOP_SIGNAL = 1;             // ends the main loop
constexpr int TRIGGER_BAD_ARGUMENT = 1;            // register_triggers: no tags or no handler
constexpr int TRIGGER_NO_MEMORY = 2;               // register_triggers: allocation failed
constexpr int TRIGGER_NOT_REGISTERED = 10;         // dispatch_tag_now: tag has no handler
constexpr uint16_t TRIGGER_TYPE_UNKNOWN = 0xFFFD;  // tag_type_of: kernel refused the tag
constexpr uint32_t TRIGGER_MAX_TAGS = 0xFFFF;      // registered tags at most

// 1 when a orders after b, -1 when before, 0 for the same tag: first halves
// compared as unsigned numbers, then second halves.
int compare_tag_refs(TagRef a, TagRef b);

// Binary search over count tags sorted ascending. Returns true when the tag
// is present (*position = its index); otherwise *position is the index at
// which inserting it keeps the array sorted.
bool find_tag(const TagRef* tags, uint32_t count, TagRef tag, uint32_t* position);

// Records the task as the wake-up target and enables signal 16 for it.
// 0, or -1 when the kernel refuses the signal set-up.
int signal_setup(TaskContext* ctx);

// Registers each of the n tags with the handler; the i-th tag gets
// user_data[i], or null when user_data is null. A tag registered before gets
// a new head on its chain: the newest registration runs first. All or
// nothing: returns 0, TRIGGER_NO_MEMORY (nothing registered, the registry
// unchanged and usable; also when more than TRIGGER_MAX_TAGS distinct tags
// would be registered) or TRIGGER_BAD_ARGUMENT.
int register_triggers(TaskContext* ctx, const TagRef* tags, void* const* user_data, uint16_t n,
                      TriggerHandler handler);

// One wait-and-dispatch pass. Sets ctx->waiting and ctx->wait_result (the
// kernel error of a failed wait, the interrupting signal, or 1 when the task
// must stop). Returns 0, a kernel error number or a handler's non-zero
// result.
int zq_wait_event(TaskContext* ctx);

// Reads one registered tag now and runs its whole chain, newest first. For
// handlers inside a pass (takes no lock). Returns 0, TRIGGER_NOT_REGISTERED,
// the kernel error number of a failed read, or the last non-zero handler
// result.
int dispatch_tag_now(TaskContext* ctx, TagRef tag);

// The kernel's type code of the tag, or TRIGGER_TYPE_UNKNOWN when the kernel
// refuses it (an unset reference, for instance).
uint16_t tag_type_of(TagRef tag);

// ---- Inspection and test support ---------------------------------------------

// Registered tags (ascending) and the round-robin resume index.
uint16_t trigger_count(void);
TagRef trigger_tag_at(uint16_t index);
uint32_t trigger_resume(void);

// Empties the registry and forgets the wake-up target. For tests and
// benchmarks; the task itself never shrinks its registry.
void trigger_registry_reset(void);

// Makes the registry's allocations fail after `successes` more successful
// ones; a negative count turns the failure off. For tests of the
// out-of-memory path.
void trigger_fail_allocations_after(int successes);

#endif  // ZQ_RUNTIME_TRIGGERS_H_
