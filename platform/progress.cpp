#include "platform/progress.h"

namespace kv {
namespace {

ProgressHook g_hook = nullptr;
void* g_context = nullptr;
int g_step = 0;
int g_inStep = 0;

}  // namespace

void register_progress_hook(ProgressHook hook, void* context)
{
    g_hook = hook;
    g_context = context;
}

void unregister_progress_hook()
{
    g_hook = nullptr;
    g_context = nullptr;
}

void set_progress_step(int step, int inStep)
{
    g_step = step;
    g_inStep = inStep;
}

void report_progress(int percent)
{
    if (g_hook)
        g_hook(g_context, g_step, g_inStep, percent);
}

int progress_percent(unsigned long done, unsigned long total)
{
    if (total <= 1 || done >= total)
        return 100;
    return static_cast<int>((done * 100UL) / total);
}

}  // namespace kv
