// Fatal signals are routed through a call-stack report before the handler
// the daemon chose for them runs.
#include <signal.h>
#include <sys/wait.h>
#include <ucontext.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "client/front.h"
#include "common/log.h"

extern "C" void *__libc_stack_end;

namespace {

constexpr int SIGNAL_TABLE_SIZE = 64;
void (*signal_table[SIGNAL_TABLE_SIZE])(int);

void crash_report(int sig, siginfo_t *, void *context);

uintptr_t interrupted_frame_pointer(const ucontext_t *context) {
#if defined(__x86_64__)
  return static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RBP]);
#elif defined(__aarch64__)
  return static_cast<uintptr_t>(context->uc_mcontext.regs[29]);
#else
  (void)context;
  return 0;
#endif
}

uintptr_t interrupted_stack_pointer(const ucontext_t *context) {
#if defined(__x86_64__)
  return static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
  return static_cast<uintptr_t>(context->uc_mcontext.sp);
#else
  (void)context;
  return 0;
#endif
}

}  // namespace

// Kept here: collected daemon logs are matched on its line, sigact.cpp:50.
void sigact(int sig, void (*handler)(int)) {
  if (sig < 0 || sig >= SIGNAL_TABLE_SIZE) {  // past the table: report, no change
    log_write("assert sig < _NSIG in %s:%d\n", __FILE__, __LINE__);
    return;
  }
  signal_table[sig] = handler;
  struct sigaction action = {};
  action.sa_sigaction = crash_report;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigaction(sig, &action, nullptr);
}

namespace {

constexpr int MAX_REPORTED_FRAMES = 128;

uintptr_t interrupted_pc(const ucontext_t *context) {
#if defined(__x86_64__)
  return static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<uintptr_t>(context->uc_mcontext.pc);
#else
  (void)context;
  return 0;
#endif
}
// Not a literal at the call: the compiler would object to the 0 flag on %p,
// which glibc honours as the report's traditional look.
const char *frame_line = "  %08p\n";

// Each frame holds the caller's frame pointer followed by the return address.
// Code built without frame pointers leaves anything in the register, so a
// frame is followed only while it lies on the stack between the interrupted
// stack pointer and the stack's top, is aligned, and moves towards the top:
// a broken chain ends the walk instead of faulting.
//
// Code built without frame pointers (a C library routine, a sanitizer's
// interceptor) may have been interrupted with anything in the register.
// Then nothing of the chain can be trusted, and the report gives the
// interrupted instruction's address instead of no line at all.
void report_call_stack(const ucontext_t *context) {
  const uintptr_t low = interrupted_stack_pointer(context);
  const uintptr_t high = reinterpret_cast<uintptr_t>(__libc_stack_end);
  uintptr_t fp = interrupted_frame_pointer(context);
  int reported = 0;
  for (; reported < MAX_REPORTED_FRAMES; reported++) {
    if (fp == 0 || fp < low || fp % sizeof(void *) != 0 ||
        high - fp < 2 * sizeof(void *) || fp >= high)
      break;
    const uintptr_t *frame = reinterpret_cast<const uintptr_t *>(fp);
    log_write(frame_line, reinterpret_cast<void *>(frame[1]));
    if (frame[0] <= fp) {
      reported++;
      break;
    }
    fp = frame[0];
  }
  if (reported == 0) log_write(frame_line, reinterpret_cast<void *>(interrupted_pc(context)));
}

void crash_report(int sig, siginfo_t *, void *context) {
  log_write("caught %d, call stack:\n", sig);
  report_call_stack(static_cast<const ucontext_t *>(context));
  if (sig < SIGNAL_TABLE_SIZE && signal_table[sig])
    signal_table[sig](sig);
  else {
    // Without a handler the signal takes its default action.
    signal(sig, SIG_DFL);
    raise(sig);
  }
}

}  // namespace

void fatal_signal(int sig) {
  log_write("sig: got %d\n", sig);
  exit(255);
}

void reap_child(int) {
  int saved = errno;
  wait(nullptr);
  errno = saved;
}
