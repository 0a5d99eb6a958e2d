/* A window handle as the decoder library sees it: the program's hidden message
 * window, reduced to one thread-safe function that queues a message for the
 * window's thread. Shared by the program and the decoder library. */
#ifndef TUNEWRIGHT_MESSAGE_WINDOW_H
#define TUNEWRIGHT_MESSAGE_WINDOW_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MessageWindow MessageWindow;
struct MessageWindow {
    /* Callable from any thread: queues (message, wparam, lparam) for the window's
       thread and returns at once. */
    void (*post)(MessageWindow *window, uint32_t message, uintptr_t wparam, intptr_t lparam);
};

#ifdef __cplusplus
}
#endif

#endif
