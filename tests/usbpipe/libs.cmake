set(TEST_LIBS emu_usbpipe)
