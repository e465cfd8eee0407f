set(TEST_LIBS vcom_driver)
