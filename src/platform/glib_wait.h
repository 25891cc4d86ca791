#pragma once

#include <gio/gio.h>

namespace cordavelle {

// One call's wait for its end. It outlives a wait given up on: the call's end may still come, on
// a later wait of the thread, or never (a libsecret task left unreturned).
struct GLibCallWaiting {
    GAsyncResult *result = nullptr;
    bool abandoned = false;
};

// Starts an asynchronous call with `start(callback, data)` and waits on `context` for its end, or
// for `cancellable` to be cancelled: the call's result, or null when no context was given or the
// wait was cancelled (`*cancelled` then says so).
template <typename Start>
GAsyncResult *waitForCall(GMainContext *context, GCancellable *cancellable, Start start, bool *cancelled = nullptr)
{
    if (!context) {
        return nullptr;
    }
    auto *waiting = new GLibCallWaiting;
    g_main_context_push_thread_default(context);
    start(+[](GObject *, GAsyncResult *ended, gpointer data) {
        auto *w = static_cast<GLibCallWaiting *>(data);
        if (w->abandoned) {
            delete w;
        } else {
            w->result = G_ASYNC_RESULT(g_object_ref(ended));
        }
    }, waiting);
    // Wakes the wait once cancelled: a cancelled call is not sure to end (libsecret leaves some of
    // its tasks unreturned), and the one thread kept for the keyring must not wait for it for
    // ever. The source takes no descriptor of its own.
    GSource *wake = nullptr;
    if (cancellable) {
        wake = g_cancellable_source_new(cancellable);
        g_source_set_callback(wake, G_SOURCE_FUNC(+[](GCancellable *, gpointer) -> gboolean { return G_SOURCE_CONTINUE; }),
                              nullptr, nullptr);
        g_source_attach(wake, context);
    }
    while (!waiting->result && !g_cancellable_is_cancelled(cancellable)) {
        g_main_context_iteration(context, TRUE);
    }
    if (wake) {
        g_source_destroy(wake);
        g_source_unref(wake);
    }
    g_main_context_pop_thread_default(context);
    GAsyncResult *result = waiting->result;
    if (result) {
        delete waiting;
    } else {
        waiting->abandoned = true;
        if (cancelled) {
            *cancelled = true;
        }
    }
    return result;
}

} // namespace cordavelle
