set(TEST_LIBS vcom_driver emu_usbpipe)
