/* A tiny library the loader tests find by bare name in the program directory. */
__attribute__((visibility("default"))) int tw_test_answer(void) { return 42; }
