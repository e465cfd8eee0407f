# Race scenarios: the real driver on the emulated stack, explored under the deterministic scheduler.
set(TEST_LIBS vcomtest_stack)
