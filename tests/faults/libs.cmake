# The sweeps drive the port through the Win32-style API over the real stack.
set(TEST_LIBS emu_win32 vcom_driver emu_usbpipe)
