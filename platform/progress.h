// The update progress hook: the update run registers a callback for its
// duration; the loops of the update modules report through it. Without a
// registered hook nothing happens.
#pragma once

namespace kv {

// hook(context, step 0..7, in-step flag, percent 0..100)
using ProgressHook = void (*)(void* context, int step, int inStep, int percent);

void register_progress_hook(ProgressHook hook, void* context);
void unregister_progress_hook();

// The step the run is in; the module loops report within it.
void set_progress_step(int step, int inStep);

// Calls the hook with the current step, in-step flag and the percentage.
void report_progress(int percent);

// The percentage of `done` out of a range of `total` units, 100 when the
// range is empty or a single unit, and never above 100.
int progress_percent(unsigned long done, unsigned long total);

}  // namespace kv
