/* Export marker for the C entry points of the project's shared libraries, which
 * are otherwise built with hidden visibility. */
#ifndef TUNEWRIGHT_PLUGIN_EXPORT_H
#define TUNEWRIGHT_PLUGIN_EXPORT_H

#define TW_EXPORT __attribute__((visibility("default")))

#endif
