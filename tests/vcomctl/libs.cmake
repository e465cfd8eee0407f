# The tests run the built tool as a user does.
set(TEST_DEFINITIONS VCOMCTL_PATH="$<TARGET_FILE:vcomctl>")
set(TEST_DEPENDS vcomctl)
