# The knob tests that run the port driver above the model reuse the driver tests' real stack.
set(TEST_LIBS vcomtest_stack vcom_driver emu_usbpipe)
